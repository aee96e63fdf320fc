// fault-router: a loopback HTTP relay that sends each request to one of several stand-in
// devices by its request line, so that one exchange of a tarvik run meets a misbehaving
// device while the others meet a sound one (tarvik talks to a single address).
//
//   fault-router --port 0 --port-file FILE --to PORT [--values-to PORT] [--setup-to PORT]
//                [--post-to PORT] [--bind 127.0.0.1]
//
// GET /values.xml goes to --values-to, GET /setup.xml to --setup-to, POST /setup.xml to
// --post-to; anything else (and a route not given) to --to. The request is forwarded as
// read; the reply is relayed piece by piece as it arrives, and the client's connection is
// closed when the device closes its own, so pauses, silences and early closes reach the
// client as the device made them. A connection that ends before a whole request head has
// arrived (tarvik's connection test) is closed without contacting any device.
//
// SIGTERM or SIGINT ends it at once (exit code 0). Every wait is bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr int kHeadWaitMs = 15000;   // longest wait for the request head
constexpr int kRelayIdleMs = 60000;  // longest silence of both sides while relaying
constexpr size_t kHeadLimit = 65536;

struct routes {
    int fallback = 0, values = 0, setup = 0, post = 0;
} route;

int stop_pipe[2] = {-1, -1};

void on_signal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(stop_pipe[1], &byte, 1);
}

[[noreturn]] void die(const char *what) {
    std::fprintf(stderr, "fault-router: %s\n", what);
    std::exit(2);
}

int port_of(const char *text) {
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 65535) die("bad port");
    return static_cast<int>(v);
}

// Sends all bytes; false when the peer is gone.
bool send_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int connect_device(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int pick_device(const std::string &head) {
    int port = 0;
    if (head.rfind("GET /values.xml ", 0) == 0)
        port = route.values;
    else if (head.rfind("GET /setup.xml ", 0) == 0)
        port = route.setup;
    else if (head.rfind("POST /setup.xml ", 0) == 0)
        port = route.post;
    return port != 0 ? port : route.fallback;
}

void relay(int client) {
    std::string head;
    char buf[16384];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd p{client, POLLIN, 0};
        if (poll(&p, 1, kHeadWaitMs) <= 0 || head.size() > kHeadLimit) {
            close(client);
            return;
        }
        const ssize_t n = recv(client, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(client);
            return;
        }
        head.append(buf, static_cast<size_t>(n));
    }
    const int device = connect_device(pick_device(head));
    if (device < 0 || !send_all(device, head.data(), head.size())) {
        if (device >= 0) close(device);
        close(client);
        return;
    }
    // Both directions until the device closes (or either side fails or stays idle).
    bool client_open = true;
    for (;;) {
        pollfd p[2] = {{device, POLLIN, 0},
                       {client, static_cast<short>(client_open ? POLLIN : 0), 0}};
        if (poll(p, 2, kRelayIdleMs) <= 0) break;
        if (p[0].revents != 0) {
            const ssize_t n = recv(device, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || !send_all(client, buf, static_cast<size_t>(n))) break;
        }
        if (client_open && p[1].revents != 0) {
            const ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the client gave up: so does the relay
            if (!send_all(device, buf, static_cast<size_t>(n))) client_open = false;
        }
    }
    close(device);
    close(client);
}

}  // namespace

int main(int argc, char **argv) {
    std::string bind_address = "127.0.0.1", port_file;
    int listen_port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) die("every option takes a value");
        const char *value = argv[++i];
        if (arg == "--bind")
            bind_address = value;
        else if (arg == "--port")
            listen_port = port_of(value);
        else if (arg == "--port-file")
            port_file = value;
        else if (arg == "--to")
            route.fallback = port_of(value);
        else if (arg == "--values-to")
            route.values = port_of(value);
        else if (arg == "--setup-to")
            route.setup = port_of(value);
        else if (arg == "--post-to")
            route.post = port_of(value);
        else
            die("unknown option");
    }
    if (route.fallback == 0) die("--to is required");

    if (pipe(stop_pipe) != 0) die("pipe");
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(listen_port));
    socklen_t len = sizeof addr;
    if (listener < 0 || inet_pton(AF_INET, bind_address.c_str(), &addr.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        die("cannot listen");
    if (!port_file.empty()) {
        // Written whole under another name first: a reader never sees a partial line.
        const std::string tmp = port_file + ".tmp";
        std::FILE *f = std::fopen(tmp.c_str(), "w");
        if (f == nullptr || std::fprintf(f, "%d\n", ntohs(addr.sin_port)) < 0 ||
            std::fclose(f) != 0 || std::rename(tmp.c_str(), port_file.c_str()) != 0)
            die("cannot write the port file");
    }

    for (;;) {
        pollfd p[2] = {{listener, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        if (poll(p, 2, 1000) < 0 && errno != EINTR) break;
        if (p[1].revents != 0) break;
        if (p[0].revents == 0) continue;
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::thread(relay, client).detach();
    }
    // Relays still running hold only sockets: leave without waiting for them.
    std::_Exit(0);
}
