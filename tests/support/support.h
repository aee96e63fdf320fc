// Shared helpers of the test programs: the stand-in unit on 127.0.0.1, running a program with
// a time limit, temporary directories, loopback ports and files.
//
// Every process started here is stopped by the object or call that started it, on every path,
// and every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qvtest {

// The build and source trees (QV_BINARY_DIR, QV_SOURCE_DIR, set by CTest; "." without them).
std::string binary_dir();
std::string source_dir();
// A program of the build tree by its path below binary_dir(), e.g. "tarvik".
std::string built_program(const std::string &relative);
// tools/device/tarvik-device of the build tree.
std::string device_path();

struct run_options {
    // Standard error goes into `out` in the order written (and `err` stays empty).
    bool merge_stderr = false;
};

struct run_result {
    int exit_code = -1;      // -1 when ended by a signal (or killed at the time limit)
    int signal = 0;          // the signal that ended it, 0 otherwise
    bool timed_out = false;  // killed with SIGKILL at the time limit
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};  // start to end (as reaped)
};

// Runs argv[0] (a path, not looked up in PATH) with the rest of argv as its arguments and
// collects its output; standard input is /dev/null. At `limit` it is killed (SIGKILL) and reaped;
// `timed_out` says so. A program that cannot be started ends with exit code 127. Records no test
// failure: the caller decides what a time-out means.
run_result run(const std::vector<std::string> &argv, std::chrono::milliseconds limit,
               const run_options &options = {});

// A loopback port with nothing listening on it (bound once to learn a free number, then
// released). 9 (discard) when the system gives none.
int closed_port();

// The stand-in unit on 127.0.0.1 with a port it picks itself, `args` passed through (e.g.
// {"--power-meter"} or {"--status", "500"}). The constructor waits up to 10 s for the unit's
// port file and records a test failure when the unit does not start (running() is false
// then). The destructor stops it: SIGTERM, then SIGKILL after 5 s.
class device {
public:
    explicit device(const std::vector<std::string> &args = {},
                    const std::string &program = device_path());
    ~device();
    device(const device &) = delete;
    device &operator=(const device &) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string port_file_;
};

// A fresh directory under the system's temporary directory, removed with its contents by the
// destructor.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `content` (replacing the file); false when that fails.
bool write_file(const std::string &path, const std::string &content);
// The file's bytes; `ok` (when given) false when it cannot be read.
std::string read_file(const std::string &path, bool *ok = nullptr);

}  // namespace qvtest
