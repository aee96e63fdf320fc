// tarvik's actions on the open module and the completion callbacks through which the
// library reports them.
//
// Output discipline: everything the tool prints goes through one console lock. A
// completion callback holds it for its whole run, so a line of the main thread never lands
// inside a callback's output; the main thread counts a request as done only when the
// library has marked it finished and its completion callback has returned.
//
// Ending the process (end_process) flushes standard output and ends without running static
// destructors, so it is safe on any thread while library threads still run.
#pragma once

#include "qvxml.h"

// Upload size limit: the working buffer of send_setup and set_output, equal to the
// library's document buffers. An upload file must be shorter than this.
constexpr int kUploadBufferSize = 256000;
// Polls of wait_finish_progress for one request (one per second).
constexpr int kRequestPolls = 10;
// Longest wait for the connection test, in one-second polls. The library's connect wait is
// 5 seconds, so this only ends a run whose worker never reports the test.
constexpr int kConnectTestPolls = 60;
// Exit code of a run in which a request never finished (the library's code 19, Timeout).
constexpr int kExitRequestUnfinished = 19;
constexpr int kExitSetupFileFailure = 200;
constexpr int kExitTextFileFailure = 201;
constexpr int kExitSetOutputFailure = 202;

// ---- completion callbacks (slots of qvxml_callbacks); run on the module's worker thread.
// `user` and `sub` are not used. A callback that reports a failure ends the process.

// Connection made: the first one completes the connecting line with " OK\n" and sets
// connect_state to 1; later ones print nothing.
void connect_success_callback(int id, void *user, int sub);
// Connection failed: sets connect_state to -1 and prints " failure\n", every time.
void connect_failure_callback(int id, void *user, int sub, xml_fault_record *error);
// values GET ended: null records end the process with the module's error; otherwise
// " OK\n", and with -v the document is stored ("SAVE <file>\n"; a failure ends the process
// with the module's error).
void values_xml_callback(int id, void *user, int sub, kyvern_values *values,
                         kyvern_values_entry_count *count);
// setup GET ended: as values_xml_callback for -s; then with -g the report to standard
// output, with -t the report into the file (open or close failure: exit code 201).
void setup_xml_callback(int id, void *user, int sub, kyvern_setup *setup,
                        kyvern_setup_entry_count *count);
// POST ended: null records print " " and end with the module's error. The reply of an
// upload prints " OK\n"; the reply of the output switch is checked against the requested
// output: " OK\n" when the output shows the value in manual mode (output and output_value
// become -1), otherwise the reason and exit code 202.
void send_setup_xml_callback(int id, void *user, int sub, kyvern_setup *setup,
                             kyvern_setup_entry_count *count);

// ---- actions; main thread only, after the connection test.

// Uploads user_settings.filename: reads it (must be shorter than kUploadBufferSize bytes),
// drops everything before the first "<" of each line and the LF of a CR LF pair, prints
// "SEND <file>", queues the POST and waits for it (wait_finish_progress(QVXML_FINISH_SEND,
// kRequestPolls)). Returns 0, or -1 when the file cannot be opened ("Open '%s' failure\n") or is
// too large
// ("Max size of SETUP.XML is 256000 bytes\n"). A POST the library refuses to queue (for
// example when its upload filter refuses the document) prints " " and the module's error
// and ends the process with that error's code.
int send_setup();

// Compacts an upload text in place, up to its first zero byte: everything before the first
// "<" of each line is dropped (indentation, blank lines, lines of plain text), and of a
// CR LF pair only the CR is kept. Returns the kept length; the text stays terminated.
// REQUIRES: text NUL-terminated.
int compact_lines(char *text);

// Sends the switch of binary output `output` (device numbering) to `value` (0 or 1),
// prints "SET output <output>=<value>" and waits for the POST; send_setup_xml_callback
// checks the device's reply. Returns 0; a POST that cannot be queued ends the process as
// in send_setup.
int set_output(int output, int value);

// Polls request `kind` of the module (a qvxml_finish_kind) up to `tries` times, one
// "." for each poll that finds it not done, at most one second apart (the wait ends early
// when the request completes). Returns 0 when done (tries <= 0 returns 0 at once), else
// prints "not finish for <tries>s\n", marks the run as unfinished and returns -1.
int wait_finish_progress(int kind, int tries);

// Waits for the module's connection test: prints "." while it has no result, at most one
// second apart. Returns when connect_state is 1; ends the process with the module's error
// code when it is -1, and with kExitRequestUnfinished after kConnectTestPolls polls.
void wait_connection_test();

// Prints "<what>" (no newline) under the console lock, flushed.
void print_progress(const char *what);
// Queues a values (QVXML_FINISH_VALUES) or setup (QVXML_FINISH_SETUP) GET after
// print_progress of its line; when
// the library refuses it, prints the module's error and ends with its code. Then waits
// with wait_finish_progress(kind, kRequestPolls).
void get_document(int kind);

// True when a wait_finish_progress gave up on a request during this run.
bool request_unfinished();

// Prints the module's last error (qvxml_error_print) and ends the process with its code.
[[noreturn]] void end_with_module_error(int id);
// Flushes standard output and ends the process with `code` (-1 gives exit status 255)
// without running static destructors. Any thread.
[[noreturn]] void end_process(int code);
