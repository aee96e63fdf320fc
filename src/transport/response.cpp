// Reading a device's response: the header found and removed however the response is split,
// its status mapped to a code, the body stored within the caller's capacity and checked
// against the length the header announced.
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/xml_global.h"
#include "transport/transport_private.h"
#include "transport/xml_socket.h"

const unsigned char xml_filter_states[12] = {
    0, 0, 0, 0,  // other
    1, 0, 3, 0,  // CR
    0, 2, 0, 4,  // LF
};

namespace {

constexpr int read_attempts = 10;     // seconds of silence that end a response
constexpr int chunk_size = 1024;      // bytes per receive
constexpr int header_scan_from = 14;  // the empty line is searched from this response byte
constexpr int header_keep = 4096;     // bytes of a header kept for reading its Content-Length

// HTTP error status -> library code (QV_E_HTTP_400..QV_E_HTTP_505); 0 for an accepted status.
int status_code(int status) {
    if (status >= 400 && status <= 417) return status - 400 + QV_E_HTTP_400;
    if (status >= 500 && status <= 505) return status - 500 + QV_E_HTTP_500;
    return 0;
}

int filter_class(unsigned char c) {
    return c == '\r' ? 1 : (c == '\n' ? 2 : 0);
}

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
        xml_except(id, QV_E_RECV);
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
    // The answer cannot be there the moment the request has gone: the first read waits for
    // it (a read tried first would only find nothing). 10 s of silence: nothing to read.
    stop_if_ending(id);
    const bool answering = socket_ready(id, fd, false, read_attempts);
    while (answering) {
        // What has arrived is read at once; the readiness wait (which ends the worker when its
        // module is asked to end) runs only when nothing is waiting. The same check runs
        // before every read, so a module being closed ends the worker here as in the wait.
        stop_if_ending(id);
        const ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!socket_ready(id, fd, false, read_attempts)) break;  // 10 s of silence
                continue;
            }
            if (errno == EINTR) continue;
            return fail(QV_E_RECV, errno);
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
                    return fail(QV_E_HTTP_NO_HEADER);
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
                return fail(QV_E_FILE_TOO_LARGE);
            }
            std::memcpy(buffer + stored, chunk + body_from, static_cast<size_t>(body));
            stored += body;
            buffer[stored] = '\0';
        }
    }
    if (received > 0 && !header_done) {
        return fail(QV_E_HTTP_NO_HEADER);
    }
    // A response cut off before the body its header announced is not a document: without
    // this, half a document would be parsed, stored and reported as success.
    if (announced >= 0 && stored < announced) {
        return fail(QV_E_RECV);
    }
    *length = stored;
    return 0;
}
