// Shared test helpers (see support.h).
#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace qvtest {

namespace {

using clock_type = std::chrono::steady_clock;

std::string env_or(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// Waits up to `limit` for `pid` to end; true when it has been reaped (or is no child of ours).
bool reap_within(pid_t pid, int *status, std::chrono::milliseconds limit) {
    const auto deadline = clock_type::now() + limit;
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid || r < 0) return true;
        if (clock_type::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Stops `pid`: SIGTERM, SIGKILL after `grace`; always reaps it.
void stop_process(pid_t pid, std::chrono::milliseconds grace) {
    int status = 0;
    kill(pid, SIGTERM);
    if (!reap_within(pid, &status, grace)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

std::vector<char *> raw_argv(std::vector<std::string> &argv) {
    std::vector<char *> raw;
    for (std::string &a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    return raw;
}

// Closes both ends of the pipes that are open.
struct pipes {
    int fd[2][2] = {{-1, -1}, {-1, -1}};
    ~pipes() {
        for (auto &p : fd)
            for (int &f : p)
                if (f >= 0) close(f);
    }
    void close_end(int stream, int end) {
        if (fd[stream][end] >= 0) close(fd[stream][end]);
        fd[stream][end] = -1;
    }
};

// Unique among the processes of this machine: pid plus a counter.
std::string unique_name(const char *prefix) {
    static std::atomic<int> serial{0};
    return (std::filesystem::temp_directory_path() /
            (std::string(prefix) + std::to_string(getpid()) + "-" + std::to_string(++serial)))
        .string();
}

}  // namespace

std::string binary_dir() {
    return env_or("QV_BINARY_DIR", ".");
}
std::string source_dir() {
    return env_or("QV_SOURCE_DIR", ".");
}
std::string built_program(const std::string &relative) {
    return binary_dir() + "/" + relative;
}
std::string device_path() {
    return built_program("tools/device/tarvik-device");
}

run_result run(const std::vector<std::string> &argv_in, std::chrono::milliseconds limit,
               const run_options &options) {
    run_result result;
    const auto start = clock_type::now();
    enum { out, err };
    pipes p;
    if (pipe2(p.fd[out], O_CLOEXEC) != 0 ||
        (!options.merge_stderr && pipe2(p.fd[err], O_CLOEXEC) != 0)) {
        result.exit_code = 127;
        result.err = "pipe failed";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, p.fd[out][1], 1);
    posix_spawn_file_actions_adddup2(&actions, options.merge_stderr ? p.fd[out][1] : p.fd[err][1],
                                     2);
    std::vector<std::string> argv = argv_in;
    std::vector<char *> raw = raw_argv(argv);
    pid_t pid = -1;
    const int spawned = raw[0] == nullptr
                            ? EINVAL
                            : posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    p.close_end(out, 1);
    p.close_end(err, 1);
    if (spawned != 0) {
        result.exit_code = 127;
        result.err = "cannot start " + (argv.empty() ? std::string() : argv[0]);
        return result;
    }

    // The output is read until the program has ended and its streams are drained, or until
    // the limit. A program that ended while something it started keeps its streams open is
    // done: what was written by then is drained, the rest is not waited for.
    const auto deadline = start + limit;
    int status = 0;
    bool reaped = false;
    for (;;) {
        if (!reaped) reaped = waitpid(pid, &status, WNOHANG) == pid;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (p.fd[out][0] < 0 && p.fd[err][0] < 0) {
            if (reaped) break;
            if (left.count() <= 0) break;
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
            continue;
        }
        if (left.count() <= 0 && !reaped) break;
        pollfd fds[2];
        int streams[2];
        nfds_t used = 0;
        for (int s : {out, err}) {
            if (p.fd[s][0] < 0) continue;
            fds[used] = pollfd{p.fd[s][0], POLLIN, 0};
            streams[used++] = s;
        }
        const int wait_ms = reaped ? 0 : static_cast<int>(std::min<long long>(left.count(), 20));
        const int ready = poll(fds, used, wait_ms);
        if (ready == 0 && reaped) break;  // drained
        if (ready <= 0) continue;
        for (nfds_t i = 0; i < used; ++i) {
            if (fds[i].revents == 0) continue;
            const int s = streams[i];
            char chunk[65536];
            const ssize_t n = read(p.fd[s][0], chunk, sizeof chunk);
            if (n <= 0) {
                p.close_end(s, 0);
                continue;
            }
            (s == out ? result.out : result.err).append(chunk, static_cast<size_t>(n));
        }
    }
    if (!reaped) {
        kill(pid, SIGKILL);
        result.timed_out = true;
        waitpid(pid, &status, 0);
    }
    result.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

int closed_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 9;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

device::device(const std::vector<std::string> &args, const std::string &program) {
    port_file_ = unique_name("tarvik-test-port-");
    std::filesystem::remove(port_file_);
    std::vector<std::string> argv{program, "--bind",      "127.0.0.1", "--port",
                                  "0",     "--port-file", port_file_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> raw = raw_argv(argv);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << program;
        return;
    }
    // The port file is complete once it holds a whole line.
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (clock_type::now() < deadline) {
        bool ok = false;
        const std::string text = read_file(port_file_, &ok);
        if (ok && text.find('\n') != std::string::npos) {
            port_ = std::atoi(text.c_str());
            break;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(port_, 0) << "the stand-in unit did not start: " << program;
}

device::~device() {
    if (pid_ > 0) stop_process(pid_, std::chrono::seconds(5));
    std::error_code ignored;
    std::filesystem::remove(port_file_, ignored);
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool write_file(const std::string &path, const std::string &content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    file.close();
    return static_cast<bool>(file);
}

std::string read_file(const std::string &path, bool *ok) {
    std::ifstream file(path, std::ios::binary);
    if (ok != nullptr) *ok = static_cast<bool>(file);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace qvtest
