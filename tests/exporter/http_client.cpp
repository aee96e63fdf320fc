#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace exporter_test {

std::string http_response::header(const std::string &name) const {
    size_t pos = headers.find("\r\n");
    while (pos != std::string::npos && pos + 2 < headers.size()) {
        const size_t end = headers.find("\r\n", pos + 2);
        const std::string line =
            headers.substr(pos + 2, end == std::string::npos ? std::string::npos : end - pos - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && colon == name.size() &&
            strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            size_t start = colon + 1;
            while (start < line.size() && line[start] == ' ') ++start;
            return line.substr(start);
        }
        pos = end;
    }
    return "";
}

int connect_loopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

http_response http_exchange(int port, const std::string &request, double limit_s) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(limit_s));
    http_response response;
    const int fd = connect_loopback(port);
    if (fd < 0) return response;
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may refuse early and close; read what it said
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char buffer[16384];
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) break;
        if (n == 0) {
            response.complete = true;
            break;
        }
        raw.append(buffer, static_cast<size_t>(n));
        // Done once the body announced by Content-Length is in, as HTTP clients (Prometheus
        // among them) are: the server may close the connection later.
        const size_t end = raw.find("\r\n\r\n");
        if (end != std::string::npos) {
            http_response head;
            head.headers = raw.substr(0, end);
            const std::string length = head.header("Content-Length");
            if (!length.empty() && raw.size() - end - 4 >= std::stoul(length)) {
                response.complete = true;
                break;
            }
        }
    }
    ::close(fd);
    response.seconds = std::chrono::duration<double>(clock::now() - start).count();
    const size_t end = raw.find("\r\n\r\n");
    response.headers = raw.substr(0, end);
    if (end != std::string::npos) response.body = raw.substr(end + 4);
    int status = 0;
    if (std::sscanf(raw.c_str(), "HTTP/%*d.%*d %d", &status) == 1) response.status = status;
    return response;
}

http_response http_get(int port, const std::string &target,
                       const std::vector<std::string> &extra_headers, double limit_s) {
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const std::string &line : extra_headers) request += line + "\r\n";
    request += "\r\n";
    return http_exchange(port, request, limit_s);
}

http_response http_request(int port, const std::string &method, const std::string &target,
                           double limit_s) {
    return http_exchange(port,
                         method + " " + target +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                             "Content-Length: 0\r\n\r\n",
                         limit_s);
}

std::string url_encode(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace exporter_test
