// The tarvik command line: settings shared by the parse stage, the run flow and the
// completion callbacks.
#pragma once

#include <atomic>

#include "qvxml.h"

// Limits of the settings texts (characters, terminator excluded).
constexpr int kIpMaxLength = 15;
constexpr int kPathMaxLength = 259;
constexpr int kAuthMaxLength = 127;

// Filled by the parse stage on the main thread before any library thread exists. The
// completion callbacks read it later on the module's worker thread; output/output_value
// are atomics because the run flow and a callback may touch them at the same time.
struct tool_settings {
    char ip[kIpMaxLength + 1];            // device address as typed (dotted decimal), "" = none
    int port;                             // TCP port of the device's HTTP interface; default 80
    int get;                              // 1 = fetch setup.xml and print the sensor list
    std::atomic<int> output;              // binary output to switch (151..214 or as typed); -1 none
    std::atomic<int> output_value;        // 0 or 1; -1 none
    char filename[kPathMaxLength + 1];    // configuration file to upload, "" = none
    char setup_file[kPathMaxLength + 1];  // where to store setup.xml, "" = none
    char values_file[kPathMaxLength + 1];  // where to store values.xml, "" = none
    char text_file[kPathMaxLength + 1];    // where to write the text report, "" = none
    char user[kAuthMaxLength + 1];         // HTTP authorization user, "" = none
    char password[kAuthMaxLength + 1];     // HTTP authorization password
};

extern tool_settings user_settings;
// Module id returned by qvxml_open; used by every later library call of the tool.
extern int module;
// Result of the connection test: 0 none yet, 1 connected, -1 failed. Written by the
// connection callbacks (worker thread), read by the run flow (main thread).
extern std::atomic<int> connect_state;

// Default TCP port of the device, also shown by the help text.
constexpr int kDefaultPort = 80;

// Parse stage of main: sets the initial settings, parses argv into
// user_settings and answers --help, --version and --error-level.
// Returns 1 when the run flow should follow, 0 when main must end with exit code 0 (a
// listing was printed or the command line was refused; the reason is printed). A missing
// option argument ends the process itself with exit code 0 (arg_next_index).
// REQUIRES: main thread, before the library is started.
int parse_command_line(int argc, char **argv);

// Advances *pos; when no argument is left, prints "Option '<option>' requests an
// argument" and ends the process with exit code 0.
void arg_next_index(int argc, int *pos, const char *option);
// Prints the usage text for program name `name` (already reduced to its base name).
void help(const char *name);
// Copies src (terminator included) into dst when strlen(src) <= max_len and returns 0;
// otherwise prints "maximal length of <name> is <max_len> chars" and returns -1.
// REQUIRES: dst holds max_len + 1 bytes.
int copy_str(char *dst, const char *src, int max_len, const char *name);
// Checks a dotted-decimal address (at most 15 characters, three dots at least, digits only
// in the first four parts) and copies it into dst. dst receives the text whenever it is
// short enough, even when a later check fails. 0 accepted, -1 refused. src is not changed.
// REQUIRES: dst holds 16 bytes.
int copy_ip(char *dst, const char *src);
