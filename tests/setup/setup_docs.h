// Setup documents and helpers shared by the upload-filter tests.
#pragma once

#include <string>
#include <vector>

// A setup document as a device of the family writes it: prefixed root with its namespace,
// indentation, every section the filter touches, entries with Idx in various places.
inline const char *device_setup_document() {
    return R"(<?xml version="1.0" encoding="utf-8"?>
<set:Root xmlns:set="http://www.example.com/setup">
  <Agent>
    <Version>4.2.1</Version>
    <DeviceName>Server room north</DeviceName>
    <Model>33</Model>
    <MAC>00:0A:59:03:12:7C</MAC>
  </Agent>
  <BinaryInSet>
    <Entry>
      <ID>215</ID>
      <Name>Door contact</Name>
      <Value>1</Value>
      <State>0</State>
      <Idx>0</Idx>
    </Entry>

    <AlarmAction>none</AlarmAction>
  </BinaryInSet>
  <BinaryOutSet>
    <Entry>
      <ID>150</ID>
      <Name>Siren</Name>
      <Value>0</Value>
      <Type>1</Type>
      <Mode>manual</Mode>
      <Idx>0</Idx>
    </Entry>
  </BinaryOutSet>
  <SenSet>
    <Entry>
      <Name>Rack 1 inlet</Name>
      <ID>101</ID>
      <Units>C</Units>
      <Min>10.0</Min>
      <Max>35.0</Max>
      <Value>23.4</Value>
      <State>1</State>
      <Idx>0</Idx>
    </Entry>
    <Entry>
      <Name>Rack 1 humidity</Name>
      <ID>102</ID>
      <Units>%RH</Units>
      <Min>20</Min>
      <Max>70</Max>
      <Value>41</Value>
      <State>1</State>
      <Idx>1</Idx>
    </Entry>
  </SenSet>
  <Network>
    <Name>qv-north</Name>
    <IPAddr>192.168.0.41</IPAddr>
    <Submask>255.255.255.0</Submask>
    <Gateway>192.168.0.1</Gateway>
    <HTTPport>80</HTTPport>
    <TelnetPort>23</TelnetPort>
    <DNSPrimary>192.168.0.2</DNSPrimary>
    <DNSSecondary>192.168.0.3</DNSSecondary>
    <DHCP>0</DHCP>
  </Network>
  <Email>
    <Server>mail.example.com</Server>
    <Subject>Alarm &amp; notice</Subject>
  </Email>
  <Time>
    <SNTPServer>pool.example.org</SNTPServer>
    <TimeShift>+1</TimeShift>
    <Date>08.12.2026</Date>
    <Time>16:20:05</Time>
    <Period>60</Period>
  </Time>
  <MIBIISysGroup>
    <SysContact>facilities</SysContact>
    <SysName>north-rack</SysName>
    <SysLocation>Building B</SysLocation>
  </MIBIISysGroup>
  <User>
    <Entry>
      <Name>admin</Name>
      <Pswd>s3cret</Pswd>
      <Idx>0</Idx>
    </Entry>
    <Entry>
      <Name>guest</Name>
      <Pswd>guest</Pswd>
      <Idx>1</Idx>
    </Entry>
  </User>
</set:Root>
)";
}

// The document in a zeroed buffer of its length + 1 + `extra` bytes, as the uploader hands it.
inline std::vector<char> setup_buffer(const std::string &document, size_t extra = 1024) {
    std::vector<char> buffer(document.size() + 1 + extra, '\0');
    document.copy(buffer.data(), document.size());
    return buffer;
}

// Result of one filter run on a fresh buffer.
struct filtered {
    int result;
    std::string text;  // the buffer's text after the call
};
