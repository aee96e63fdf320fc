// Load driver for bench/exporter_load.sh: sends GET requests for the paths listed in a file
// (one per line) to 127.0.0.1:PORT, CONCURRENCY at a time, each on a connection of its own,
// and prints one line per request: "<seconds> <HTTP status>" (status 0: no answer). The
// whole answer is read (up to its Content-Length, or the close). Every socket wait is
// bounded by 60 s.
//
//   exporter_load_driver PORT CONCURRENCY PATHS_FILE [HEADER_LINE]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct outcome {
    double seconds = 0;
    int status = 0;
};

outcome fetch(int port, const std::string &path, const std::string &header) {
    const auto start = std::chrono::steady_clock::now();
    outcome out;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return out;
    timeval limit{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
        if (!header.empty()) request += header + "\r\n";
        request += "\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            std::string raw;
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                raw.append(buffer, static_cast<size_t>(n));
                const size_t end = raw.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                const char *length = strcasestr(raw.c_str(), "\r\nContent-Length:");
                if (length != nullptr && length < raw.c_str() + end &&
                    raw.size() - end - 4 >= std::strtoul(length + 17, nullptr, 10))
                    break;
            }
            std::sscanf(raw.c_str(), "HTTP/%*d.%*d %d", &out.status);
        }
    }
    ::close(fd);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: exporter_load_driver PORT CONCURRENCY PATHS_FILE [HEADER_LINE]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int concurrency = std::atoi(argv[2]);
    const std::string header = argc > 4 ? argv[4] : "";
    std::vector<std::string> paths;
    std::ifstream in(argv[3]);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) paths.push_back(line);
    if (port <= 0 || concurrency <= 0 || paths.empty()) {
        std::fprintf(stderr, "exporter_load_driver: bad arguments\n");
        return 2;
    }
    std::vector<outcome> outcomes(paths.size());
    std::atomic<size_t> next{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int i = 0; i < concurrency; ++i)
        workers.emplace_back([&] {
            for (size_t k = next++; k < paths.size(); k = next++)
                outcomes[k] = fetch(port, paths[k], header);
        });
    for (std::thread &t : workers) t.join();
    const double total =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const outcome &o : outcomes) std::printf("%.6f %d\n", o.seconds, o.status);
    std::fprintf(stderr, "total %.6f\n", total);
    return 0;
}
