// check_tarvik: a monitoring plugin for one environment-monitoring unit. Exit codes are the
// plugin states (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN); the output is one status line,
// detail lines and performance data (report.h).
//
// The time limit covers the whole check: the probe's own deadline ends it a little before
// the limit; should closing the connection then take longer, a watchdog prints the timeout
// (with the stage the probe was in) at the limit and ends the process.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "check/options.h"
#include "check/report.h"
#include "snapshot/snapshot.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Whoever takes it first (the program or the watchdog) writes the output.
std::atomic<bool> output_taken{false};

int emit(const std::string &text, check::state s) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return static_cast<int>(s);
}

// Reads the first line of `path` (without its line end) into `password`.
bool read_password_file(const std::string &path, std::string *password, std::string *why) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *why = "cannot read password file '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::getline(file, *password);
    if (!password->empty() && password->back() == '\r') password->pop_back();
    if (password->size() > QVXML_AUTHENTICATE_MAX - 1) {
        *why = "password in '" + path + "' longer than 99 bytes";
        return false;
    }
    return true;
}

class watchdog {
public:
    watchdog(clock_type::time_point at, const check::options &opts,
             const std::atomic<snapshot::stage> &progress)
        : thread_([this, at, &opts, &progress] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (wake_.wait_until(lock, at, [this] { return cancelled_; })) return;
              if (output_taken.exchange(true)) return;
              emit(check::render_timeout(progress.load(), opts), check::state::unknown);
              // The library's threads still run: no static destructors.
              _exit(static_cast<int>(check::state::unknown));
          }) {}
    ~watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    watchdog(const watchdog &) = delete;
    watchdog &operator=(const watchdog &) = delete;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;
    std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace

int main(int argc, char **argv) {
    const auto start = clock_type::now();
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string why;
    std::optional<check::options> parsed = check::parse_command_line(args, &why);
    if (!parsed) return emit(check::render_unknown(why), check::state::unknown);
    check::options &opts = *parsed;
    if (opts.what == check::options::action::help)
        return emit(check::help_text(), check::state::unknown);
    if (opts.what == check::options::action::version)
        return emit(std::string("check_tarvik ") + QV_VERSION + "\n", check::state::unknown);
    if (!opts.password_file.empty() &&
        !read_password_file(opts.password_file, &opts.password, &why))
        return emit(check::render_unknown(why), check::state::unknown);

    if (qvxml_init() != 0) {
        xml_fault_record r{};
        qvxml_error(0, &r);
        return emit(
            check::render_unknown("the client library did not start: " + std::string(r.message) +
                                  " (" + std::to_string(r.code) + ")"),
            check::state::unknown);
    }

    const auto limit = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(opts.timeout_s));
    // Room for closing the module before the limit: a quarter of it, at most 250 ms.
    const auto reserve = std::min<clock_type::duration>(limit / 4, std::chrono::milliseconds(250));
    std::atomic<snapshot::stage> progress{snapshot::stage::connect};
    snapshot::probe_result result;
    {
        watchdog guard(start + limit, opts, progress);
        snapshot::probe_options probe;
        probe.host = opts.host;
        probe.port = opts.port;
        probe.user = opts.user;
        probe.password = opts.password;
        probe.read_setup = true;
        probe.deadline = start + limit - reserve;
        probe.progress = &progress;
        result = snapshot::probe(probe);
        if (output_taken.exchange(true)) {
            // The watchdog is writing the timeout and ends the process.
            for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }

    std::string text;
    check::state s = check::state::unknown;
    if (!result.success) {
        text = check::render_failure(result, opts);
    } else {
        const check::verdict v = check::judge(result.model, opts);
        text = check::render(v, result, opts);
        s = v.error.empty() ? v.overall : check::state::unknown;
    }
    const int code = emit(text, s);
    // After a time-out the library may still be closing the module (and would make the
    // uninit wait for it past the limit): the process ends at once instead.
    if (result.timed_out) _exit(code);
    qvxml_uninit();
    return code;
}
