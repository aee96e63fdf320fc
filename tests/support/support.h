// Shared helpers of the test programs: the stand-in unit on 127.0.0.1, running a program with
// a time limit, temporary directories, loopback ports and listeners, files, and the time scale
// of sanitizer builds.
//
// Every process started here is stopped by the object or call that started it, on every path,
// and every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
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
// The stand-in unit's bundled document `name` (tools/device/data/), e.g. "values.xml".
std::string bundled_document(const std::string &name);

// How many times longer the work of a process (start, end, thread joins) may take in this
// build than in the normal one: 1 normally, more under the sanitizers; QV_TEST_TIME_SCALE
// in the environment overrides it (e.g. for valgrind). Scale the margin of a time limit,
// never the system's own time-outs it covers.
double time_scale();
std::chrono::milliseconds scaled(std::chrono::milliseconds margin);

struct run_options {
    // Standard error goes into `out` in the order written (and `err` stays empty).
    bool merge_stderr = false;
    // The program to start when argv[0] is not its path (argv may then even be empty).
    std::string program = {};
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

// tarvik of the build tree with `args`, standard error merged into standard output. A run
// still going at `limit` is killed, which is a test failure.
run_result run_tarvik(const std::vector<std::string> &args,
                      std::chrono::milliseconds limit = std::chrono::seconds(40));
// tarvik's output without its progress dots: how many a poll prints depends on timing.
std::string without_progress(const std::string &out);

// A loopback port with nothing listening on it (bound once to learn a free number, then
// released). 9 (discard) when the system gives none.
int closed_port();

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

// The stand-in unit on 127.0.0.1 with a port it picks itself, `args` passed through (e.g.
// {"--power-meter"}, {"--status", "500"} or {"--scenario", "GET /setup.xml silent"}). It logs
// and captures every request into a folder of its own. The constructor waits up to 10 s (more
// under the sanitizers) for the unit's port file and records a test failure when the unit
// does not start (running() is false then). The destructor stops it.
class device {
public:
    explicit device(const std::vector<std::string> &args = {},
                    const std::string &program = device_path());
    // Serving `values` and `setup` instead of its bundled documents (nullopt: the bundled one).
    device(const std::optional<std::string> &values, const std::optional<std::string> &setup,
           const std::vector<std::string> &args);
    ~device();
    device(const device &) = delete;
    device &operator=(const device &) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    pid_t pid() const { return pid_; }
    // Every port the unit listens on (more than one with --ports COUNT), port() first.
    std::vector<int> ports() const;

    // The unit's log so far, one line per request (see tarvik-device --help).
    std::string log() const;
    // How many requests the unit has received (it records a request before answering it).
    int requests() const;
    // The bytes of request n (counted from 1), "" when there is none.
    std::string captured(int n) const;
    // Ends the unit: SIGTERM, SIGKILL after 5 s. Its exit code, -1 when it did not exit by
    // itself (or was not running).
    int stop();

private:
    void start(const std::vector<std::string> &args, const std::string &program);

    temp_dir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A socket listening on 127.0.0.1 at a port the system picks, for a test that plays the peer
// by hand (accept_one) or not at all (fill_queue). Closed by the destructor.
class loopback_listener {
public:
    explicit loopback_listener(int backlog = 4);
    ~loopback_listener();
    loopback_listener(const loopback_listener &) = delete;
    loopback_listener &operator=(const loopback_listener &) = delete;
    int port() const { return port_; }  // 0 when it could not listen
    // The next connection (the caller closes it), waiting up to 5 s; -1 when none came.
    int accept_one();
    // Fills the accept queue with connections that are never accepted: a further connection
    // attempt is not completed, so a connect waits for its own time-out.
    void fill_queue();

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

// Writes `content` (replacing the file); false when that fails.
bool write_file(const std::string &path, const std::string &content);
// The file's bytes; `ok` (when given) false when it cannot be read.
std::string read_file(const std::string &path, bool *ok = nullptr);

}  // namespace qvtest
