// Process and file helpers of the end-to-end tests (see e2e_util.h).
#include "e2e_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

using clock_type = std::chrono::steady_clock;

std::string env_or(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// Waits up to `limit_ms` for `pid` to end; true when it has been reaped.
bool reap_within(int pid, int *status, int limit_ms) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        const int r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        if (r < 0) return true;  // not our child any more: nothing to reap
        if (clock_type::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

std::string binary_dir() {
    return env_or("QV_BINARY_DIR", ".");
}
std::string source_dir() {
    return env_or("QV_SOURCE_DIR", ".");
}
std::string tarvik_path() {
    return binary_dir() + "/tarvik";
}
std::string device_path() {
    return binary_dir() + "/tools/device/tarvik-device";
}

run_result run_tarvik(const std::vector<std::string> &args, int limit_s) {
    run_result result;
    int out_pipe[2];
    if (pipe(out_pipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return result;
    }
    std::vector<std::string> argv{tarvik_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> raw;
    for (std::string &a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(out_pipe[1], 2);
        close(out_pipe[0]);
        close(out_pipe[1]);
        const int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) dup2(null_in, 0);
        execv(raw[0], raw.data());
        _exit(127);
    }
    close(out_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        ADD_FAILURE() << "fork failed";
        return result;
    }

    const auto deadline = clock_type::now() + std::chrono::seconds(limit_s);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now())
                .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            result.killed = true;
            break;
        }
        pollfd p{out_pipe[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[65536];
        const ssize_t n = read(out_pipe[0], chunk, sizeof chunk);
        if (n <= 0) break;
        result.out.append(chunk, static_cast<size_t>(n));
    }
    close(out_pipe[0]);
    int status = 0;
    if (!reap_within(pid, &status, 10000)) {
        kill(pid, SIGKILL);
        result.killed = true;
        waitpid(pid, &status, 0);
    }
    EXPECT_FALSE(result.killed) << "tarvik did not end within " << limit_s << " s";
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

int shell(const std::string &command, const std::string &log, int limit_s) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null_in = open("/dev/null", O_RDONLY);
        if (out < 0 || null_in < 0) _exit(126);
        dup2(null_in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    setpgid(pid, pid);  // also here: the group exists before a kill, whoever runs first
    int status = 0;
    if (!reap_within(pid, &status, limit_s * 1000)) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "killed after " << limit_s << " s: " << command;
        return -1;
    }
    kill(-pid, SIGKILL);  // what the command left running in its group
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int closed_port() {
    // Bound once to learn a free number, then released; nothing listens there afterwards.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
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

device::device(const std::vector<std::string> &extra_args, const std::string &program) {
    static int serial = 0;
    port_file_ = (std::filesystem::temp_directory_path() /
                  ("tarvik-e2e-port-" + std::to_string(getpid()) + "-" + std::to_string(++serial)))
                     .string();
    std::filesystem::remove(port_file_);
    std::vector<std::string> argv{program, "--bind",      "127.0.0.1", "--port",
                                  "0",     "--port-file", port_file_};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    std::vector<char *> raw;
    for (std::string &a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 1);
            dup2(null_fd, 2);
        }
        execv(raw[0], raw.data());
        _exit(127);
    }
    if (pid_ < 0) {
        ADD_FAILURE() << "fork failed";
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
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(port_, 0) << "the stand-in device did not start";
}

device::~device() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        if (!reap_within(pid_, &status, 5000)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    std::filesystem::remove(port_file_);
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return static_cast<bool>(out);
}

std::string read_file(const std::string &path, bool *ok) {
    std::ifstream in(path, std::ios::binary);
    if (ok != nullptr) *ok = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool file_exists(const std::string &path) {
    return std::filesystem::exists(path);
}

std::vector<std::string> files_in(const std::string &dir, const std::string &prefix) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(entry.path().string());
    }
    // request-2 before request-10
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

std::string without_progress(const std::string &out) {
    std::string text = out;
    // Each progress line: its fixed words, then (for SET and SEND) one argument; the dots
    // follow directly.
    struct marker {
        const char *words;
        bool argument;
    };
    const marker markers[] = {{" connecting", false},
                              {"GET values.xml", false},
                              {"GET setup.xml", false},
                              {"SET output ", true},
                              {"SEND ", true}};
    for (const marker &m : markers) {
        for (size_t at = text.find(m.words); at != std::string::npos;
             at = text.find(m.words, at + 1)) {
            const size_t start = at + std::strlen(m.words);
            if (m.argument) {
                // The dots end the argument's token: "SET output 151=1." "SEND up.xml.."
                const size_t end = std::min(text.find_first_of(" \n", start), text.size());
                size_t dots = end;
                while (dots > start && text[dots - 1] == '.') --dots;
                text.erase(dots, end - dots);
            } else {
                size_t end = start;
                while (end < text.size() && text[end] == '.') ++end;
                text.erase(start, end - start);
            }
        }
    }
    return text;
}

}  // namespace e2e
