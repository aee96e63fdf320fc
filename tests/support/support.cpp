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

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

// Stops `pid`: SIGTERM, SIGKILL after `grace`; always reaps it. Its exit code, -1 when it
// did not exit by itself.
int stop_process(pid_t pid, std::chrono::milliseconds grace) {
    int status = 0;
    kill(pid, SIGTERM);
    if (!reap_within(pid, &status, grace)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

std::string bundled_document(const std::string &name) {
    bool ok = false;
    const std::string text = read_file(source_dir() + "/tools/device/data/" + name, &ok);
    EXPECT_TRUE(ok) << "no bundled document " << name;
    return text;
}

double time_scale() {
    const char *text = std::getenv("QV_TEST_TIME_SCALE");
    const double scale = text != nullptr ? std::atof(text) : QV_TEST_TIME_SCALE;
    return scale >= 1 ? scale : 1;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds margin) {
    return std::chrono::milliseconds(static_cast<long long>(margin.count() * time_scale()));
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
    const char *program = options.program.empty() ? raw[0] : options.program.c_str();
    pid_t pid = -1;
    const int spawned = program == nullptr
                            ? EINVAL
                            : posix_spawn(&pid, program, &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    p.close_end(out, 1);
    p.close_end(err, 1);
    if (spawned != 0) {
        result.exit_code = 127;
        result.err = "cannot start " + std::string(program != nullptr ? program : "");
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

run_result run_tarvik(const std::vector<std::string> &args, std::chrono::milliseconds limit) {
    std::vector<std::string> argv{built_program("tarvik")};
    argv.insert(argv.end(), args.begin(), args.end());
    run_options options;
    options.merge_stderr = true;
    const run_result r = run(argv, limit, options);
    EXPECT_FALSE(r.timed_out) << "tarvik did not end within " << limit.count() << " ms";
    return r;
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
    start(args, program);
}

device::device(const std::optional<std::string> &values, const std::optional<std::string> &setup,
               const std::vector<std::string> &args) {
    std::vector<std::string> all;
    for (const auto &[option, text] :
         {std::pair{"--values", &values}, std::pair{"--setup", &setup}}) {
        if (!text->has_value()) continue;
        const std::string file = dir_.file(option + 2);
        EXPECT_TRUE(write_file(file, **text)) << file;
        all.insert(all.end(), {option, file});
    }
    all.insert(all.end(), args.begin(), args.end());
    start(all, device_path());
}

void device::start(const std::vector<std::string> &args, const std::string &program) {
    const std::string port_file = dir_.file("port");
    std::vector<std::string> argv{
        program,   "--bind", "127.0.0.1",      "--port",    "0",        "--port-file",
        port_file, "--log",  dir_.file("log"), "--capture", dir_.path()};
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
    const auto deadline = clock_type::now() + scaled(std::chrono::seconds(10));
    while (clock_type::now() < deadline) {
        bool ok = false;
        const std::string text = read_file(port_file, &ok);
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
    stop();
}

int device::stop() {
    const int code = pid_ > 0 ? stop_process(pid_, std::chrono::seconds(5)) : -1;
    pid_ = -1;
    return code;
}

std::vector<int> device::ports() const {
    std::vector<int> ports;
    std::istringstream lines(read_file(dir_.file("port")));
    for (int port; lines >> port;) ports.push_back(port);
    return ports;
}

std::string device::log() const {
    return read_file(dir_.file("log"));
}

int device::requests() const {
    const std::string text = log();
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

std::string device::captured(int n) const {
    return read_file(dir_.file("request-" + std::to_string(n) + ".http"));
}

loopback_listener::loopback_listener(int backlog) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        listen(fd_, backlog) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port_ = ntohs(addr.sin_port);
}

loopback_listener::~loopback_listener() {
    for (const int fd : fillers_) close(fd);
    if (fd_ >= 0) close(fd_);
}

int loopback_listener::accept_one() {
    pollfd p{fd_, POLLIN, 0};
    if (port_ == 0 || poll(&p, 1, 5000) != 1) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

void loopback_listener::fill_queue() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    // Connections that complete in the kernel but are never accepted.
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) break;
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        fillers_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
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
