// Socket layer on POSIX: poll() for the readiness wait, getaddrinfo() behind a replaceable
// resolver, ioctl()/setsockopt() for the options.
#include "transport/qv_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/qv_thread.h"

// Set once, before any thread starts: every POSIX system counts as "XP or later", and
// workers calling qv_socket_init concurrently must not write shared state.
int qv_winxp_or_later = 1;

void qv_fd_zero(qv_fd_set *set) {
    set->count = 0;
}

int qv_fd_add(qv_fd_set *set, int fd) {
    if (qv_fd_isset(set, fd)) return 0;
    if (set->count < 0 || set->count >= QV_FD_SET_SIZE) return -1;
    set->fd[set->count++] = fd;
    return 0;
}

bool qv_fd_isset(const qv_fd_set *set, int fd) {
    for (int i = 0; i < set->count && i < QV_FD_SET_SIZE; ++i)
        if (set->fd[i] == fd) return true;
    return false;
}

int qv_socket_init() {
    return 0;
}

int qv_socket_uninit() {
    return 0;
}

int qv_socket_error() {
    return errno;
}

int qv_socket_set(int socket, int kind) {
    const int one = 1;
    switch (kind & 0xFF) {
        case 0: {
            // The non-blocking I/O control, one call (a flags read and write would be two).
            int on = 1;
            return ioctl(socket, FIONBIO, &on) == -1 ? -1 : 0;
        }
        case 1:
            return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : -1;
        case 2:
            return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 ? 0 : -1;
        case 3: {
            const int size = 10485760;
            return setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0 ? 0 : -1;
        }
        case 5: {
            const linger off_now{1, 0};
            return setsockopt(socket, SOL_SOCKET, SO_LINGER, &off_now, sizeof off_now) == 0 ? 0
                                                                                            : -1;
        }
        default:
            return 0;
    }
}

qv_fd_set *qv_socket_fd_set_init(const qv_fd_set *source, qv_fd_set *local) {
    if (source == nullptr) return nullptr;
    std::memcpy(local, source, sizeof *local);
    return local;
}

namespace {

// Adds the sockets of `set` to the poll list with `events`; a socket already listed gets
// the events added to its entry. Returns the new number of entries.
int add_poll_entries(pollfd *fds, int used, const qv_fd_set *set, short events) {
    if (set == nullptr) return used;
    for (int i = 0; i < set->count && i < QV_FD_SET_SIZE; ++i) {
        int at = 0;
        while (at < used && fds[at].fd != set->fd[i]) ++at;
        if (at == used) {
            fds[used] = pollfd{set->fd[i], 0, 0};
            ++used;
        }
        fds[at].events = static_cast<short>(fds[at].events | events);
    }
    return used;
}

// Keeps in `set` only the sockets whose poll entry reports one of `ready`.
void keep_ready(qv_fd_set *set, const pollfd *fds, int used, short ready) {
    if (set == nullptr) return;
    int kept = 0;
    for (int i = 0; i < set->count && i < QV_FD_SET_SIZE; ++i) {
        for (int at = 0; at < used; ++at) {
            if (fds[at].fd == set->fd[i] && (fds[at].revents & ready) != 0) {
                set->fd[kept++] = set->fd[i];
                break;
            }
        }
    }
    set->count = kept;
}

// One attempt: waits up to one second; an interrupted poll() goes on for the rest of the
// second. Returns poll()'s result (-1 on an error other than EINTR).
int poll_one_second(pollfd *fds, int used) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(1);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        const int timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        const int rc = poll(fds, static_cast<nfds_t>(used), timeout);
        if (rc >= 0 || errno != EINTR) return rc;
        if (timeout == 0) return 0;
    }
}

}  // namespace

int qv_socket_select(int, int, qv_fd_set *read_set, qv_fd_set *write_set, qv_fd_set *except_set,
                     int attempts, const std::atomic<int> *run_flag) {
    if (attempts <= 0) return -1;
    constexpr short read_ready = POLLIN | POLLHUP | POLLERR;
    constexpr short write_ready = POLLOUT | POLLHUP | POLLERR;
    constexpr short except_ready = POLLPRI;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        qv_fd_set read_local, write_local, except_local;
        qv_fd_set *r = qv_socket_fd_set_init(read_set, &read_local);
        qv_fd_set *w = qv_socket_fd_set_init(write_set, &write_local);
        qv_fd_set *e = qv_socket_fd_set_init(except_set, &except_local);

        pollfd fds[3 * QV_FD_SET_SIZE];
        int used = 0;
        used = add_poll_entries(fds, used, r, POLLIN);
        used = add_poll_entries(fds, used, w, POLLOUT);
        used = add_poll_entries(fds, used, e, POLLPRI);
        const int rc = poll_one_second(fds, used);

        if ((run_flag != nullptr && run_flag->load() == 0) || qv_thread_cancel_requested())
            qv_thread_exit();

        if (rc > 0) {
            keep_ready(r, fds, used, read_ready);
            keep_ready(w, fds, used, write_ready);
            keep_ready(e, fds, used, except_ready);
            const int ready = (r ? r->count : 0) + (w ? w->count : 0) + (e ? e->count : 0);
            // Only POLLNVAL (a closed descriptor) can make poll() count an entry that no
            // set takes; select() would have failed there, so it is an empty attempt.
            if (ready > 0) {
                if (read_set) *read_set = *r;
                if (write_set) *write_set = *w;
                if (except_set) *except_set = *e;
                return 0;
            }
        }
        // A poll() error returns at once; stretch it to the attempt's second so that the
        // whole wait still lasts about `attempts` seconds and nothing spins.
        if (rc < 0) qv_sleep_ms(1000);
    }
    return -1;
}

int qv_socket_close(int socket) {
    return close(socket);
}

int qv_socket_shutdown(int socket) {
    return shutdown(socket, SHUT_RDWR);
}

int qv_resolve_getaddrinfo(const char *host_name, struct in_addr *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int status = getaddrinfo(host_name, nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        // Only EAI_SYSTEM leaves a meaningful errno; the others are the resolver's answer.
        if (status != EAI_SYSTEM) errno = 0;
        return -1;
    }
    errno = 0;  // an answer without an IPv4 address is an answer as well
    int rc = -1;
    for (const addrinfo *a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            *address = reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr;
            rc = 0;
            break;
        }
    }
    freeaddrinfo(found);
    return rc;
}

namespace {
std::atomic<qv_resolver> installed_resolver{&qv_resolve_getaddrinfo};
}

qv_resolver qv_socket_set_resolver(qv_resolver resolver) {
    return installed_resolver.exchange(resolver != nullptr ? resolver : &qv_resolve_getaddrinfo);
}

int resolve_address(char *address_text, const char *host_name) {
    // A resolver that fails without setting errno leaves 0, not an older call's error.
    errno = 0;
    if (address_text == nullptr || host_name == nullptr) return -1;
    in_addr address{};
    if (installed_resolver.load()(host_name, &address) != 0) return -1;
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return -1;
    std::memcpy(address_text, text, std::strlen(text) + 1);  // at most 16 bytes
    return 0;
}
