// Running the real tarvik binary against the stand-in device (tarvik-device) on 127.0.0.1.
//
// Every process started here is stopped by the object that started it, on every path, and
// every wait is bounded.
#pragma once

#include <string>
#include <vector>

namespace e2e {

struct run_result {
    int exit_code = -1;  // -1 when ended by a signal or killed at the time limit
    int signal = 0;
    bool killed = false;
    std::string out;  // standard output and standard error, in the order written
};

std::string binary_dir();
std::string source_dir();
std::string tarvik_path();
std::string device_path();

// Runs tarvik with `args` (argv[0] is the binary's full path) and collects its output;
// kills it after `limit_s` seconds.
run_result run_tarvik(const std::vector<std::string> &args, int limit_s = 40);

// Runs `command` with /bin/sh in a process group of its own, standard output and error to
// the file `log` (standard input from /dev/null); kills the group after `limit_s` seconds.
// Returns the exit status, or -1 when it ended by a signal or was killed (a failure is
// also added to the test then).
int shell(const std::string &command, const std::string &log, int limit_s = 120);

// A loopback port with nothing listening on it.
int closed_port();

// The stand-in device on 127.0.0.1 with a port the system picks. Stopped (SIGTERM, then
// SIGKILL after 5 s) by the destructor.
class device {
public:
    explicit device(const std::vector<std::string> &extra_args = {},
                    const std::string &program = device_path());
    ~device();
    device(const device &) = delete;
    device &operator=(const device &) = delete;

    int port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    bool running() const { return port_ > 0; }

private:
    int pid_ = -1;
    int port_ = 0;
    std::string port_file_;
};

// A fresh directory under the system's temporary directory, removed with its contents by
// the destructor.
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

bool write_file(const std::string &path, const std::string &content);
// The file's bytes; `ok` false when it cannot be read.
std::string read_file(const std::string &path, bool *ok = nullptr);
bool file_exists(const std::string &path);
// Files of `dir` whose names start with `prefix`, sorted.
std::vector<std::string> files_in(const std::string &dir, const std::string &prefix);

// The output with the progress dots removed: how many "." a poll prints depends on timing.
std::string without_progress(const std::string &out);

}  // namespace e2e
