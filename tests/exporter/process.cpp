#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "support.h"

namespace exporter_test {

background_process::background_process(const std::vector<std::string> &argv,
                                       const std::string &log_dir, const std::string &name)
    : out_file_(log_dir + "/" + name + ".out"), err_file_(log_dir + "/" + name + ".err") {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(out_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        // A test that blocked signals must not hand that on to the program.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    pid_ = pid;
}

background_process::~background_process() {
    stop();
}

std::string background_process::output() const {
    return qvtest::read_file(err_file_) + qvtest::read_file(out_file_);
}

bool background_process::running() const {
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

bool background_process::wait_for_output(const std::string &text,
                                         std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (output().find(text) != std::string::npos) return true;
        if (!running()) return output().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void background_process::send(int signal) const {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

int background_process::stop(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    if (!reaped_) {
        ::kill(pid_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + limit;
        while (running() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (running()) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
            status_ = -1;
        }
    }
    return status_;
}

std::string exporter_path() {
    return qvtest::built_program("src/exporter/tarvik_exporter");
}

exporter_process::exporter_process(const std::vector<std::string> &args, const std::string &log_dir,
                                   const std::string &name)
    : process_(
          [&] {
              std::vector<std::string> argv = {exporter_path(), "--web.listen-address=127.0.0.1:0"};
              argv.insert(argv.end(), args.begin(), args.end());
              return argv;
          }(),
          log_dir, name) {
    if (!process_.wait_for_output("msg=Listening", std::chrono::seconds(30))) return;
    std::smatch match;
    const std::string log = process_.output();
    static const std::regex port_field("msg=Listening .*port=([0-9]+)");
    if (std::regex_search(log, match, port_field)) port_ = std::atoi(match[1].str().c_str());
}

}  // namespace exporter_test
