// The text report of a device: the listing that tarvik prints with -g and writes into the
// -t file, built from the device's parsed setup record alone.
#pragma once

#include <cstdio>

#include "qvxml.h"

// Writes the whole report (header, "ALARM state" section, "Sensors" section, footer) to
// `stream`. Returns the result of the last write; callers ignore it and check the close
// of a file instead (write errors stay on the stream).
// Side effect: cuts setup->Agent_DeviceName to at most 21 characters in place; the cut
// stays in the record, so later reports from the same record show the same name.
// Counts above a set's capacity are treated as the capacity; counts of 0 or less print
// no rows.
// REQUIRES: stream open for writing; setup and count valid records with NUL-terminated
// fields (as the parser leaves them). Takes no lock; any thread.
int print_setup_xml(std::FILE *stream, kyvern_setup *setup, kyvern_setup_entry_count *count);

// Writes the rows of one section: alarm_only = 1 for "ALARM state" (inputs and sensors
// in alarm only, no outputs), 0 for "Sensors" (every output, input and sensor).
// REQUIRES: as print_setup_xml.
void print_sensors(std::FILE *stream, const kyvern_setup *setup,
                   const kyvern_setup_entry_count *count, int alarm_only);

// The text of a binary input's alarm condition for its Alarm field (compared as a whole
// text with "0", "1", "2"); other_family = 1 when the device's title lacks "Kyvern".
// Returns a static text, never null.
const char *alarmstate2string(const char *alarm, int other_family);
