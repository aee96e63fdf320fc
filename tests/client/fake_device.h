// A tiny in-process HTTP/1.0 responder on 127.0.0.1 for client tests: accepts connections,
// reads one request (headers and, for a POST, its Content-Length body), answers with what the
// test's function returns (after an optional delay) and closes. Stops in its destructor.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class fake_device {
public:
    using responder = std::function<std::string(const std::string &request)>;

    explicit fake_device(responder respond, int delay_ms = 0)
        : respond_(std::move(respond)), delay_ms_(delay_ms) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::listen(listener_, 128) != 0)
            std::abort();
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~fake_device() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    int port() const { return port_; }

    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(m_);
        return requests_;
    }

    // A standard response with `body`.
    static std::string ok(const std::string &body) {
        return "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + body;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int c = ::accept(listener_, nullptr, nullptr);
            if (c < 0) continue;
            const std::string request = read_request(c);
            {
                std::lock_guard<std::mutex> lock(m_);
                requests_.push_back(request);
            }
            const std::string reply = respond_(request);
            for (int waited = 0; waited < delay_ms_ && !stop_; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            size_t sent = 0;
            while (sent < reply.size()) {
                const ssize_t n = ::send(c, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            ::close(c);
        }
    }

    std::string read_request(int c) {
        std::string data;
        char chunk[4096];
        size_t body_needed = std::string::npos;
        for (int idle = 0; idle < 100;) {  // at most about 5 s of silence
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                ++idle;
                continue;
            }
            const ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            data.append(chunk, static_cast<size_t>(n));
            const size_t end = data.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            if (body_needed == std::string::npos) {
                const size_t cl = data.find("Content-Length: ");
                body_needed = cl == std::string::npos || cl > end
                                  ? 0
                                  : std::strtoul(data.c_str() + cl + 16, nullptr, 10);
            }
            if (data.size() >= end + 4 + body_needed) break;
        }
        return data;
    }

    responder respond_;
    int delay_ms_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<std::string> requests_;
};

// A port on 127.0.0.1 with nothing listening (bound, then released).
inline int free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}
