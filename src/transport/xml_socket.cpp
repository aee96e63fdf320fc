// HTTP/1.0 exchange with a device over the socket layer: request texts, Basic authorization,
// the response reader with header removal and status mapping, and the POST builders.
#include "transport/xml_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "records/xml_parse.h"
#include "records/xml_setup.h"
#include "transport/qv_socket.h"

#define QV_MINUS_ONE_10 -1, -1, -1, -1, -1, -1, -1, -1, -1, -1
int sockfd[QVXML_ID_COUNT_MAX] = {
    QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10,
    QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10, QV_MINUS_ONE_10};
#undef QV_MINUS_ONE_10

const unsigned char xml_filter_states[12] = {
    0, 0, 0, 0,  // other
    1, 0, 3, 0,  // CR
    0, 2, 0, 4,  // LF
};

namespace {

constexpr int connect_attempts = 5;  // seconds
constexpr int write_attempts = 5;    // seconds, after each send that could not take everything
constexpr int read_attempts = 10;    // seconds of silence that end a response
constexpr int chunk_size = 1024;
constexpr int header_scan_from = 14;    // the empty line is searched from this response byte
constexpr int credentials_max = 99;     // characters of a user name or a password
constexpr size_t auth_line_size = 340;  // "Authorization: Basic " + 268 + CR LF + NUL, rounded up

const std::atomic<int> *run_flag(int id) {
    return &xml_module[id].state;
}

// A module being closed (or already free) starts no exchange.
bool module_stopping(int id) {
    const int state = xml_module[id].state.load();
    return state == XML_STATE_FREE || state == XML_STATE_CLOSING;
}

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

bool wait_ready(int id, int fd, bool for_write, int attempts) {
    qv_fd_set set;
    qv_fd_zero(&set);
    qv_fd_add(&set, fd);
    return qv_socket_select(id, QV_FD_SET_SIZE, for_write ? nullptr : &set,
                            for_write ? &set : nullptr, nullptr, attempts, run_flag(id)) == 0;
}

// HTTP error status -> library code; 0 for an accepted status.
int status_code(int status) {
    if (status >= 400 && status <= 417) return status - 353;
    if (status >= 500 && status <= 505) return status - 435;
    return 0;
}

int filter_class(unsigned char c) {
    return c == '\r' ? 1 : (c == '\n' ? 2 : 0);
}

// Copies at most `max` characters of `text` (bounded by its field) into `out`.
void copy_bounded(char *out, const char *text, size_t max) {
    const size_t n = strnlen(text, max);
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// Writes "Authorization: Basic <base64 of user:password>\r\n" into `line` (auth_line_size
// bytes) when `user` is not empty; else an empty text.
void authorization_line(const char *user, const char *password, char *line) {
    line[0] = '\0';
    if (user[0] == '\0') return;
    char credentials[2 * credentials_max + 2];
    char u[credentials_max + 1], p[credentials_max + 1];
    copy_bounded(u, user, credentials_max);
    copy_bounded(p, password, credentials_max);
    const int n = std::snprintf(credentials, sizeof credentials, "%s:%s", u, p);
    char encoded[300];
    std::memset(encoded, 0, sizeof encoded);
    b64_encode(credentials, static_cast<size_t>(n), encoded, sizeof encoded - 1);
    std::snprintf(line, auth_line_size, "Authorization: Basic %s\r\n", encoded);
}

// Copies the credentials of the module (index -1) or of device `index` under the lock.
void credentials_of(int id, int index, bool for_post, char *user, char *password) {
    xml_lock lock(id);
    const qvxml_settings *s = &xml_module[id].settings;
    if (index >= 0) {
        s = nullptr;
        if (index < QVXML_MODULES_MAX && modules_list[id].sub[index] != nullptr)
            s = &modules_list[id].sub[index]->settings;
    }
    if (s == nullptr) {
        user[0] = password[0] = '\0';
        return;
    }
    copy_bounded(user, for_post ? s->set_user : s->get_user, credentials_max);
    copy_bounded(password, for_post ? s->set_password : s->get_password, credentials_max);
}

// Builds the POST request for the NUL-terminated `document` (at most `size` bytes looked at)
// into the zero-filled 256000-byte `request_buffer`. 0, or -1 with code 12 when it would not
// fit with its NUL.
int build_post(int id, const char *document, size_t size, const qvxml_settings *settings,
               char *request_buffer) {
    std::memset(request_buffer, 0, QVXML_BUFFER_SIZE);
    char user[credentials_max + 1], password[credentials_max + 1];
    copy_bounded(user, settings->set_user, credentials_max);
    copy_bounded(password, settings->set_password, credentials_max);
    char auth[auth_line_size];
    authorization_line(user, password, auth);
    const size_t body = strnlen(document, size);
    char head[512];
    const int head_len = std::snprintf(
        head, sizeof head,
        "POST /setup.xml HTTP/1.0\r\n%sContent-Type: text/xml\r\nContent-Length: %zu\r\n\r\n", auth,
        body);
    if (head_len < 0 || static_cast<size_t>(head_len) + body >= QVXML_BUFFER_SIZE) {
        xml_except(id, 12);
        return -1;
    }
    std::memcpy(request_buffer, head, static_cast<size_t>(head_len));
    std::memcpy(request_buffer + head_len, document, body);
    return 0;
}

void mark_post_failed(int id, int index) {
    {
        xml_lock lock(id);
        xml_module[id].last_failed = 1;
    }
    run_callback(id, index, XML_KIND_SEND, 1);
}

}  // namespace

int xml_socket_create(int id, int index, char *address_text, const char *host_name, int port) {
    if (qv_socket_init() != 0) {
        connect_failed(id, index, 26, 0);
        return -1;
    }
    if (port < 0 || port > 65535) {
        connect_failed(id, index, 28, 0);
        return -1;
    }
    if (host_name != nullptr && host_name[0] != '\0') {
        char resolved[16];
        if (resolve_address(resolved, host_name) != 0) {
            connect_failed(id, index, 89, errno);
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
        connect_failed(id, index, 28, 0);
        return -1;
    }

    // A socket left behind by a worker that ended inside a wait is not leaked.
    xml_socket_close(id);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        connect_failed(id, index, 27, errno);
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
        connect_failed(id, index, 29, error);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        const int error = errno;
        xml_socket_close(id);
        connect_failed(id, index, 28, error);
        return -1;
    }
    if (!wait_ready(id, fd, true, connect_attempts)) {
        xml_socket_close(id);
        connect_failed(id, index, 28, ETIMEDOUT);
        return -1;
    }
    int error = 0;
    socklen_t error_len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len) != 0) error = errno;
    sockaddr_in seen{};
    socklen_t seen_len = sizeof seen;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&seen), &seen_len) != 0) {
        if (error == 0) error = errno;
        xml_socket_close(id);
        connect_failed(id, index, 28, error);
        return -1;
    }
    call_connect(id, index);
    return 0;
}

int xml_socket_write(int id, const char *data, int length) {
    const int fd = sockfd[id];
    if (fd < 0 || length < 0 || (length > 0 && data == nullptr)) {
        xml_except(id, 35);
        return -1;
    }
    if (!wait_ready(id, fd, true, write_attempts)) {
        xml_except_errno(id, 30, ETIMEDOUT);
        return -1;
    }
    int sent = 0;
    while (sent < length) {
        const ssize_t n = send(fd, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(id, fd, true, write_attempts)) {
                xml_except_errno(id, 30, ETIMEDOUT);
                return -1;
            }
        } else {
            xml_except_errno(id, 35, n < 0 ? errno : 0);
            return -1;
        }
    }
    return 0;
}

namespace {

// Bytes of a response header kept for reading its Content-Length.
constexpr int header_keep = 4096;

// The value of a Content-Length field of `header` (field names compare without regard to
// case), or -1 when there is none or it is not a number.
long long content_length(const char *header, int len) {
    static const char name[] = "content-length:";
    constexpr int name_len = sizeof name - 1;
    for (int line = 0; line < len;) {
        int end = line;
        while (end < len && header[end] != '\n') ++end;
        if (end - line > name_len && strncasecmp(header + line, name, name_len) == 0) {
            int at = line + name_len;
            while (at < end && (header[at] == ' ' || header[at] == '\t')) ++at;
            long long value = -1;
            for (; at < end && header[at] >= '0' && header[at] <= '9'; ++at) {
                value = (value < 0 ? 0 : value) * 10 + (header[at] - '0');
                if (value > QVXML_BUFFER_SIZE * 16LL) return -1;  // nonsense: ignore it
            }
            return value;
        }
        line = end + 1;
    }
    return -1;
}

}  // namespace

int xml_socket_read(int id, char *buffer, int *length) {
    const int capacity = *length;
    *length = 0;
    if (capacity > 0) buffer[0] = '\0';
    const int fd = sockfd[id];
    if (fd < 0) {
        xml_except(id, 34);
        return -1;
    }
    // `error`: the errno of a failed recv, 0 for what the response itself is refused for.
    auto fail = [&](int code, int error = 0) {
        *length = 0;
        if (capacity > 0) buffer[0] = '\0';
        xml_except_errno(id, code, error);
        return -1;
    };

    char chunk[chunk_size];
    // The header as received (the first header_keep bytes), for its Content-Length.
    char header[header_keep];
    int header_len = 0;
    long long announced = -1;   // Content-Length of the body, -1 when the header has none
    long long received = 0;     // response bytes so far, header included
    char status_text[4] = {0};  // response bytes 9..11
    int state = 0;              // header filter state, carried from chunk to chunk
    bool header_done = false;
    int stored = 0;
    for (;;) {
        if (!wait_ready(id, fd, false, read_attempts)) break;  // 10 s of silence: complete
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return fail(34, errno);
        }
        if (n == 0) break;  // the device closed the connection: complete

        int body_from = 0;
        if (!header_done) {
            body_from = static_cast<int>(n);
            for (int i = 0; i < n; ++i) {
                const long long at = received + i;
                // A header that never ends would keep the worker reading past every time-out:
                // it must end within `capacity` bytes, the room a body would have had.
                if (at >= capacity) {
                    return fail(46);
                }
                if (at >= 9 && at <= 11) status_text[at - 9] = chunk[i];
                if (at < header_scan_from) continue;
                const auto c = static_cast<unsigned char>(chunk[i]);
                state = xml_filter_states[filter_class(c) * 4 + state];
                if (state == 4) {
                    header_done = true;
                    body_from = i + 1;
                    break;
                }
            }
            const int header_part = std::min(body_from, header_keep - header_len);
            std::memcpy(header + header_len, chunk, static_cast<size_t>(header_part));
            header_len += header_part;
            if (header_done) {
                const int code = status_code(std::atoi(status_text));
                if (code != 0) {
                    return fail(code);  // a refusal of the device, not a system error
                }
                announced = content_length(header, header_len);
            }
        }
        received += n;

        const int body = static_cast<int>(n) - body_from;
        if (body > 0) {
            if (static_cast<long long>(stored) + body >= capacity) {
                return fail(12);
            }
            std::memcpy(buffer + stored, chunk + body_from, static_cast<size_t>(body));
            stored += body;
            buffer[stored] = '\0';
        }
    }
    if (received > 0 && !header_done) {
        return fail(46);
    }
    // A response cut off before the body its header announced is not a document: without
    // this, half a document would be parsed, stored and reported as success.
    if (announced >= 0 && stored < announced) {
        return fail(34);
    }
    *length = stored;
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

int get_xml(int id, char *address_text, const char *host_name, int port, char *buffer, int *length,
            int kind, int index) {
    const int capacity = *length;
    *length = 0;
    if (module_stopping(id)) return -1;
    if (kind != 0 && kind != 1) {
        xml_except(id, 2);
        return -1;
    }
    if (xml_socket_create(id, index, address_text, host_name, port) != 0) return -1;

    char request[512];
    if (kind == 0) {
        std::snprintf(request, sizeof request, "GET /values.xml HTTP/1.0\r\n\r\n");
    } else {
        char user[credentials_max + 1], password[credentials_max + 1], auth[auth_line_size];
        credentials_of(id, index, false, user, password);
        authorization_line(user, password, auth);
        std::snprintf(request, sizeof request, "GET /setup.xml HTTP/1.0\r\n%s\r\n", auth);
    }

    int stored = capacity;
    if (xml_socket_write(id, request, static_cast<int>(std::strlen(request))) != 0 ||
        xml_socket_read(id, buffer, &stored) != 0) {
        xml_socket_close(id);
        return -1;
    }
    xml_socket_close(id);

    int rc;
    {
        xml_lock parse_lock(0);
        rc = xml_parse(id, buffer, stored, kind);
    }
    if (rc != 0) return -1;
    *length = stored;
    return 0;
}

int send_xml_file(int id, int index, char *address_text, const char *host_name, int port,
                  const char *request, char *response_buffer, int *length) {
    if (module_stopping(id)) return -1;
    if (xml_socket_create(id, index, address_text, host_name, port) != 0) {
        mark_post_failed(id, index);
        return -1;
    }
    *length = QVXML_BUFFER_SIZE;
    const int request_len = static_cast<int>(strnlen(request, QVXML_BUFFER_SIZE));
    if (xml_socket_write(id, request, request_len) != 0 ||
        xml_socket_read(id, response_buffer, length) != 0) {
        *length = 0;
        xml_socket_close(id);
        mark_post_failed(id, index);
        return -1;
    }
    xml_socket_close(id);

    int rc;
    {
        xml_lock parse_lock(0);
        rc = xml_parse(id, response_buffer, *length, 1);
    }
    if (rc != 0) {
        *length = 0;
        mark_post_failed(id, index);
        return -1;
    }
    return 0;
}

int cp_auth_and_xml2buffer(int id, const char *document, int document_length,
                           const qvxml_settings *settings, char *request_buffer) {
    if (document_length < 0 || document_length > INT_MAX - 1024) {
        xml_except(id, 12);
        std::memset(request_buffer, 0, QVXML_BUFFER_SIZE);
        return -1;
    }
    const int size = document_length + 1024;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[static_cast<size_t>(size)]());
    if (!copy) {
        xml_except_errno(id, 5, ENOMEM);
        return -1;
    }
    if (document_length > 0)
        std::memcpy(copy.get(), document, static_cast<size_t>(document_length));
    if (xml_setup_prepare(id, copy.get(), size) != 0) return -1;
    return build_post(id, copy.get(), static_cast<size_t>(size), settings, request_buffer);
}

int xml_struct2xml_file(int id, const kyvern_setup *setup, const kyvern_setup_entry_count *count,
                        const qvxml_settings *settings, char *request_buffer) {
    std::unique_ptr<char[]> work(new (std::nothrow) char[QVXML_BUFFER_SIZE]());
    if (!work) {
        xml_except_errno(id, 5, ENOMEM);
        return -1;
    }
    if (struct2xml(setup, count, work.get(), QVXML_BUFFER_SIZE) != 0) {
        xml_except(id, 12);
        std::memset(request_buffer, 0, QVXML_BUFFER_SIZE);
        return -1;
    }
    // The filter needs the terminating NUL inside its size and room to rewrite in place.
    const size_t produced = strnlen(work.get(), QVXML_BUFFER_SIZE);
    const size_t size = produced + 1024 < QVXML_BUFFER_SIZE ? produced + 1024 : QVXML_BUFFER_SIZE;
    if (xml_setup_prepare(id, work.get(), static_cast<int>(size)) != 0) return -1;
    return build_post(id, work.get(), size, settings, request_buffer);
}
