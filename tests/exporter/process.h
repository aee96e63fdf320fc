// Long-running programs for the exporter tests (the exporter itself, Prometheus): started
// with their output in files, asked for what they logged, stopped by the object that
// started them on every path. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace exporter_test {

class background_process {
public:
    // Starts argv[0] (a path) with the rest as its arguments; standard input /dev/null,
    // standard output and error into files of `log_dir`.
    background_process(const std::vector<std::string> &argv, const std::string &log_dir,
                       const std::string &name);
    ~background_process();
    background_process(const background_process &) = delete;
    background_process &operator=(const background_process &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Standard error (and output) so far.
    std::string output() const;
    // Waits until the output holds `text`; false when `limit` passes first or the program ended.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds limit) const;
    void send(int signal) const;
    // SIGTERM, then SIGKILL after `limit`; the exit code, or -1 (signal, killed, not started).
    int stop(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
    // True while the program runs.
    bool running() const;

private:
    pid_t pid_ = -1;
    std::string out_file_;
    std::string err_file_;
    mutable int status_ = -1;
    mutable bool reaped_ = false;
};

// The exporter of this build with `args` and "--web.listen-address=127.0.0.1:0"; waits up to
// 30 s (sanitizer builds on a busy machine start slowly) for its "Listening" line and reads the
// port from it (0 when it did not start).
class exporter_process {
public:
    exporter_process(const std::vector<std::string> &args, const std::string &log_dir,
                     const std::string &name = "exporter");
    int port() const { return port_; }
    background_process &process() { return process_; }

private:
    background_process process_;
    int port_ = 0;
};

std::string exporter_path();

}  // namespace exporter_test
