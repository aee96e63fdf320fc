// Running the real tarvik binary against the stand-in device (tarvik-device) on 127.0.0.1,
// on top of the shared test helpers (tests/support).
#pragma once

#include <string>
#include <vector>

#include "support.h"

namespace e2e {

using qvtest::binary_dir;
using qvtest::closed_port;
using qvtest::device;
using qvtest::device_path;
using qvtest::read_file;
using qvtest::source_dir;
using qvtest::temp_dir;
using qvtest::write_file;

struct run_result {
    int exit_code = -1;  // -1 when ended by a signal or killed at the time limit
    int signal = 0;
    bool killed = false;
    std::string out;  // standard output and standard error, in the order written
};

std::string tarvik_path();

// Runs tarvik with `args` (argv[0] is the binary's full path) and collects its output;
// kills it after `limit_s` seconds, which is a test failure.
run_result run_tarvik(const std::vector<std::string> &args, int limit_s = 40);

// Runs `command` with /bin/sh, its standard output and error (in the order written) into the
// file `log`; kills it after `limit_s` seconds, which is a test failure. Returns the exit
// status, or -1 when it ended by a signal or was killed.
int shell(const std::string &command, const std::string &log, int limit_s = 120);

bool file_exists(const std::string &path);
// Files of `dir` whose names start with `prefix`, sorted.
std::vector<std::string> files_in(const std::string &dir, const std::string &prefix);

// The output with the progress dots removed: how many "." a poll prints depends on timing.
std::string without_progress(const std::string &out);

}  // namespace e2e
