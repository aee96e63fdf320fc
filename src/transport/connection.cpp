// The connection of a module's exchange: connect within a bounded time, send everything,
// close, and wake a worker that waits on its socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "transport/qv_socket.h"
#include "transport/transport_private.h"
#include "transport/xml_socket.h"

#define QV_MINUS_ONE_10 -1, -1, -1, -1, -1, -1, -1, -1, -1, -1
int sockfd[QVXML_ID_COUNT_MAX] = {
    QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10,
    QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10};
#undef QV_MINUS_ONE_10

namespace {

constexpr int connect_attempts = 5;  // seconds
constexpr int write_attempts = 5;    // seconds, after each send that could not take everything

void call_connect(int id, int index) {
    qvxml_connect_callback slot;
    void *user;
    {
        xml_lock lock(id);
        slot = xml_module[id].settings.callbacks.on_connect;
        user = xml_module[id].user_ptr;
    }
    if (slot != nullptr) slot(id, user, index);
}

// Records `code` with `error` (the errno of the failed call, 0 for a fault found here) and
// runs the connect-failure slot.
void connect_failed(int id, int index, int code, int error) {
    xml_except_errno(id, code, error);
    qvxml_connect_failure_callback slot;
    void *user;
    {
        xml_lock lock(id);
        slot = xml_module[id].settings.callbacks.on_connect_failure;
        user = xml_module[id].user_ptr;
    }
    if (slot == nullptr) return;
    // The callback reads the record while other threads may record on the same id (a refused
    // signal, for one): it gets a copy taken under the id's lock, holding the code just
    // recorded.
    thread_local xml_fault_record fault;
    qvxml_error(id, &fault);
    slot(id, user, index, &fault);
}

}  // namespace

bool socket_ready(int id, int fd, bool for_write, int seconds) {
    qv_fd_set set;
    qv_fd_zero(&set);
    qv_fd_add(&set, fd);
    return qv_socket_select(id, QV_FD_SET_SIZE, for_write ? nullptr : &set,
                            for_write ? &set : nullptr, nullptr, seconds,
                            &xml_module[id].state) == 0;
}

void stop_if_ending(int id) {
    if (xml_module[id].state.load() == 0 || qv_thread_cancel_requested()) qv_thread_exit();
}

int xml_socket_create(int id, int index, char *address_text, const char *host_name, int port) {
    if (qv_socket_init() != 0) {
        connect_failed(id, index, QV_E_SOCKET_INIT, 0);
        return -1;
    }
    if (port < 0 || port > 65535) {
        connect_failed(id, index, QV_E_SOCKET_CONNECT, 0);
        return -1;
    }
    if (host_name != nullptr && host_name[0] != '\0') {
        char resolved[16];
        if (resolve_address(resolved, host_name) != 0) {
            connect_failed(id, index, QV_E_RESOLVE, errno);
            xml_lock lock(id);
            address_text[0] = '\0';
            return -1;
        }
        xml_lock lock(id);
        std::memcpy(address_text, resolved, std::strlen(resolved) + 1);
    }

    char address[16];
    {
        xml_lock lock(id);
        copy_bounded(address, address_text, sizeof address - 1);
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (address[0] == '\0' || inet_aton(address, &peer.sin_addr) == 0) {
        connect_failed(id, index, QV_E_SOCKET_CONNECT, 0);
        return -1;
    }

    // A socket left behind by a worker that ended inside a wait is not leaked.
    xml_socket_close(id);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        connect_failed(id, index, QV_E_SOCKET_CREATE, errno);
        return -1;
    }
    {
        xml_lock lock(id);
        sockfd[id] = fd;
    }
    // A close that came before the socket was stored had nothing to wake: end here instead
    // of in the first readiness wait.
    if (qv_thread_cancel_requested()) qv_thread_exit();
    if (qv_socket_set(fd, 0) != 0) {
        const int error = errno;
        xml_socket_close(id);
        connect_failed(id, index, QV_E_SOCKET_NONBLOCK, error);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        const int error = errno;
        xml_socket_close(id);
        connect_failed(id, index, QV_E_SOCKET_CONNECT, error);
        return -1;
    }
    // A peer address proves the connection. A near peer (the loopback range, a local network)
    // has often accepted within the connect call itself: then the readiness wait and the
    // error query have nothing to add and are left out.
    sockaddr_in seen{};
    socklen_t seen_len = sizeof seen;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&seen), &seen_len) != 0) {
        if (!socket_ready(id, fd, true, connect_attempts)) {
            xml_socket_close(id);
            connect_failed(id, index, QV_E_SOCKET_CONNECT, ETIMEDOUT);
            return -1;
        }
        int error = 0;
        socklen_t error_len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) != 0) error = errno;
        seen_len = sizeof seen;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&seen), &seen_len) != 0) {
            if (error == 0) error = errno;
            xml_socket_close(id);
            connect_failed(id, index, QV_E_SOCKET_CONNECT, error);
            return -1;
        }
    }
    call_connect(id, index);
    return 0;
}

int xml_socket_write(int id, const char *data, int length) {
    const int fd = sockfd[id];
    if (fd < 0 || length < 0 || (length > 0 && data == nullptr)) {
        xml_except(id, QV_E_SEND);
        return -1;
    }
    // The first send is tried at once (the connect wait has just found the socket writable);
    // the readiness wait runs when the socket takes nothing more. The check that ends a worker
    // whose module is asked to end runs first, as it did after that wait.
    stop_if_ending(id);
    int sent = 0;
    while (sent < length) {
        const ssize_t n = send(fd, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!socket_ready(id, fd, true, write_attempts)) {
                xml_except_errno(id, QV_E_SELECT_WRITE, ETIMEDOUT);
                return -1;
            }
        } else {
            xml_except_errno(id, QV_E_SEND, n < 0 ? errno : 0);
            return -1;
        }
    }
    return 0;
}

void xml_socket_close(int id) {
    xml_lock lock(id);
    if (sockfd[id] != -1) {
        qv_socket_close(sockfd[id]);
        sockfd[id] = -1;
    }
}

void xml_socket_wake(int id) {
    xml_lock lock(id);
    if (sockfd[id] != -1) qv_socket_shutdown(sockfd[id]);
}
