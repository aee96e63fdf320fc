#include "device_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "transport/xml_socket.h"

extern char **environ;

std::string device_binary() {
    const char *dir = std::getenv("QV_BINARY_DIR");
    return std::string(dir ? dir : ".") + "/tools/device/tarvik-device";
}

std::string source_path(const std::string &relative) {
    const char *dir = std::getenv("QV_SOURCE_DIR");
    return std::string(dir ? dir : ".") + "/" + relative;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

device_process::device_process(const std::vector<std::string> &args) {
    char tmpl[] = "/tmp/qv_device_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;

    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> argv_text = {device_binary(), "--port",    "0", "--log",
                                          dir_ + "/log",   "--capture", dir_};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        close(out[0]);
        return;
    }

    // The first line is "listening on 127.0.0.1:PORT".
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    const size_t colon = text.rfind(':', text.find('\n'));
    if (text.rfind("listening on ", 0) == 0 && colon != std::string::npos)
        port_ = std::atoi(text.c_str() + colon + 1);
}

int device_process::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int waited = 0; waited < 3000; waited += 10) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

device_process::~device_process() {
    stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string device_process::log() const {
    return read_file(dir_ + "/log");
}

std::string device_process::captured(int n) const {
    return read_file(dir_ + "/request-" + std::to_string(n) + ".http");
}

int unused_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

int loopback_listener(int backlog, sockaddr_in *address) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof *address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(address), sizeof *address) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(address), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

void reset_module(int id) {
    xml_module_state &m = xml_module[id];
    std::memset(&m.settings, 0, sizeof m.settings);
    std::memset(m.addr, 0, sizeof m.addr);
    m.user_ptr = nullptr;
    m.last_failed = 0;
    m.state.store(1);
    std::memset(&xml_fault[id], 0, sizeof xml_fault[id]);
    xml_socket_close(id);
}
