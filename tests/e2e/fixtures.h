// Setup documents served by the stand-in device in the end-to-end tests, and the text
// reports tarvik must print for them (the in-process report test builds the same device).
#pragma once

#include <string>

#include "support.h"

namespace e2e {

// A setup document. Six outputs cover every value text of the report (output 155 is not
// in manual mode), four inputs every alarm text, three sensors of which two are in alarm.
// `title` decides the device family; `ranges` is the TempRangeSet block (may be empty).
inline std::string setup_document(const std::string &title, const std::string &ranges) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Root>\n"
           "<Agent>\n"
           "<DeviceName>ABCDEFGHIJKLMNOPQRSTUVWXYZ0123</DeviceName>\n"
           "<Title>" +
           title +
           "</Title>\n"
           "</Agent>\n"
           "<Network>\n<IPAddr>192.168.0.41</IPAddr>\n</Network>\n"
           "<Time>\n<Date>2026-12-08</Date>\n<Time>16:21:24</Time>\n</Time>\n"
           "<BinaryInSet>\n"
           "<Entry><ID>101</ID><Name>Door</Name><Value>01</Value><Alarm>0</Alarm><State>2</State></"
           "Entry>\n"
           "<Entry><ID>102</ID><Name>Smoke</Name><Value>1</Value><Alarm>1</Alarm><State>1</State></"
           "Entry>\n"
           "<Entry><ID>103</ID><Name>Window</Name><Value>0</Value><Alarm>2</Alarm><State>0</"
           "State></Entry>\n"
           "<Entry><ID>104</ID><Name>Tamper</Name><Value>0</Value><Alarm>3</Alarm><State>1</"
           "State></Entry>\n"
           "</BinaryInSet>\n"
           "<BinaryOutSet>\n"
           "<Entry><ID>151</ID><Name>Relay "
           "A</Name><Value>1</Value><Type>2</Type><Mode>0</Mode></Entry>\n"
           "<Entry><ID>152</ID><Name>Relay "
           "B</Name><Value>0</Value><Type>2</Type><Mode>0</Mode></Entry>\n"
           "<Entry><ID>153</ID><Name>Relay "
           "C</Name><Value>0</Value><Type>1</Type><Mode>0</Mode></Entry>\n"
           "<Entry><ID>154</ID><Name>Relay "
           "D</Name><Value>1</Value><Type>0</Type><Mode>0</Mode></Entry>\n"
           "<Entry><ID>155</ID><Name>Relay "
           "E</Name><Value>0</Value><Type>3</Type><Mode>1</Mode></Entry>\n"
           "<Entry><ID>156</ID><Name>Relay "
           "F</Name><Value>01</Value><Type>0</Type><Mode>0</Mode></Entry>\n"
           "</BinaryOutSet>\n"
           "<SenSet>\n"
           "<Entry><ID>1</ID><Name>Temp</Name><Units>C</Units><Min>10</Min><Max>30</Max>"
           "<Value>23.5</Value><State>2</State><Idx>2</Idx></Entry>\n"
           "<Entry><ID>2</ID><Name>Humidity</Name><Units>%</Units><Min>20</Min><Max>80</Max>"
           "<Value>40</Value><State>1</State><Idx>7</Idx></Entry>\n"
           "<Entry><ID>3</ID><Name>Dew point</Name><Units>C</Units><Min>0</Min><Max>20</Max>"
           "<Value>12</Value><State>02</State><Idx>3</Idx></Entry>\n"
           "</SenSet>\n" +
           ranges + "</Root>\n";
}

inline std::string family_setup() {
    return setup_document("Kyvern Environment Monitor", "");
}

// Safe ranges for sensors Idx 2 (the first of two matches) and 3; none for Idx 7.
inline std::string other_family_setup() {
    return setup_document("Power Unit X",
                          "<TempRangeSet>\n"
                          "<Entry><Idx>1</Idx><Min>-9</Min><Max>9</Max></Entry>\n"
                          "<Entry><Idx>2</Idx><Min>-5</Min><Max>45</Max></Entry>\n"
                          "<Entry><Idx>2</Idx><Min>-1</Min><Max>1</Max></Entry>\n"
                          "<Entry><Idx>3</Idx><Min>0</Min><Max>20</Max></Entry>\n"
                          "</TempRangeSet>\n");
}

inline const char kReportHeader[] =
    "\n"
    "DATE        TIME      Device_NAME            Device_IP      \n"
    "2026-12-08  16:21:24  ABCDEFGHIJKLMNOPQRSTU  192.168.0.41   \n"
    "------------------------------------------------------------\n"
    "ID    Name            Value  Unit  ALARM    Safe Range      \n"
    "------------------------------------------------------------\n"
    "\n"
    "ALARM state:\n"
    "------------------------------------------------------------\n";

inline const char kReportSensorsTitle[] =
    "\n"
    "Sensors:\n"
    "------------------------------------------------------------\n";

inline const char kReportOutputs[] =
    "  151 Relay A         ON (+10V)\n"
    "  152 Relay B         OFF (0V)\n"
    "  153 Relay C         OFF (-10V)\n"
    "  154 Relay D         ON    \n"
    "  155 Relay E         OFF   \n"
    "  156 Relay F         ON    \n";

inline const char kReportFooter[] =
    "\n"
    "------------------------------------------------------------\n"
    "ABCDEFGHIJKLMNOPQRSTU: http://192.168.0.41\n"
    "------------------------------------------------------------\n";

inline std::string family_report() {
    return std::string(kReportHeader) +
           "  101 Door            OFF          Active  \n"
           "    1 Temp            23.5   C     Active       10 .. 30    \n"
           "    3 Dew point       12     C     Active        0 .. 20    \n" +
           kReportSensorsTitle + kReportOutputs +
           "  101 Door            OFF          if ON   \n"
           "  102 Smoke           ON           if OFF  \n"
           "  103 Window          OFF          Inactive\n"
           "  104 Tamper          OFF          unknown \n"
           "    1 Temp            23.5   C     Active       10 .. 30    \n"
           "    2 Humidity        40     %     Inactive     20 .. 80    \n"
           "    3 Dew point       12     C     Active        0 .. 20    \n" +
           kReportFooter;
}

inline std::string other_family_report() {
    return std::string(kReportHeader) +
           "  101 Door            OFF          Active  \n"
           "    1 Temp            23.5   C     Active       -5 .. 45    \n"
           "    3 Dew point       12     C     Active        0 .. 20    \n" +
           kReportSensorsTitle + kReportOutputs +
           "  101 Door            OFF          Inactive\n"
           "  102 Smoke           ON           if OFF  \n"
           "  103 Window          OFF          if ON   \n"
           "  104 Tamper          OFF          unknown \n"
           "    1 Temp            23.5   C     Active       -5 .. 45    \n"
           "    2 Humidity        40     %     Inactive        ..       \n"
           "    3 Dew point       12     C     Active        0 .. 20    \n" +
           kReportFooter;
}

// tarvik's first line once connected to the unit.
inline std::string connected(const qvtest::device &dev) {
    return "127.0.0.1:" + dev.port_text() + " connecting OK\n";
}

}  // namespace e2e
