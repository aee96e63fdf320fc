// xml_socket_read (HTTP response reader: header filter, status mapping, body storing) over
// fuzzed responses. The bytes go through a socket pair: one end is the module's socket
// (sockfd[id], run flag set), the response is written into the other end, which is then
// closed, so the reader sees the device close the connection after its response.
//
// Input: byte 0 chooses the capacity of the response buffer (kCapacities), byte 1 how the
// response is cut into the pieces the reader receives, the rest is the response. Pieces:
// 0 a byte stream (the reader takes what has arrived, up to its 1024-byte chunk); 1..127
// packets of 8 x that many bytes; 128..255 packets of 1..1024 bytes drawn from a generator
// seeded with the byte. Packets (a SOCK_SEQPACKET pair) reach the reader one per receive
// call, so every chunking is reproducible. A writer thread feeds the pair while the reader
// runs. The buffer is allocated to the capacity, so writing past it is an ASan report.
//
// The result is compared with a model of the reader written here from the reader's
// contract: the header ends at the first CR LF CR LF that the filter table finds from
// response byte 14 on, whatever the chunking; the status is the number in response bytes
// 9..11 (as atoi reads it); 400..417 map to codes 47..64 and 500..505 to 65..70; the body
// is every byte after the header and must leave room for its NUL; a response that ends
// inside its header, or whose header does not end within the first `capacity` bytes, is
// code 46; an empty response is an empty body; a body shorter than
// the header's Content-Length is code 34 (a response cut off is no document).
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "fuzz_records.h"
#include "transport/xml_socket.h"

namespace {

constexpr int kId = 11;
constexpr size_t kMaxResponse = 300000;  // above the largest buffer: the 12 refusal is reached
const int kCapacities[] = {QVXML_BUFFER_SIZE, 1, 2, 40, 1024, 1100, 2048, 5000};

struct expectation {
    int rc;
    int code;  // when rc is -1
    std::string body;
};

int model_status_code(const std::string &response) {
    char status[4] = {response[9], response[10], response[11], '\0'};
    const int status_value = std::atoi(status);
    if (status_value >= 400 && status_value <= 417) return status_value - 353;
    if (status_value >= 500 && status_value <= 505) return status_value - 435;
    return 0;
}

// Content-Length of a header: the first line (lines end at LF) whose name is
// "content-length:" in any case, followed by at least one character; its value is the
// digits after blanks and tabs, -1 when there are none. Values above 16 buffers are
// nonsense and ignored (-1). Only the first kHeaderKept header bytes are searched.
constexpr size_t kHeaderKept = 4096;
long long model_content_length(const std::string &header) {
    const std::string name = "content-length:";
    size_t line = 0;
    while (line < header.size()) {
        size_t end = header.find('\n', line);
        if (end == std::string::npos) end = header.size();
        if (end - line > name.size() &&
            strncasecmp(header.c_str() + line, name.c_str(), name.size()) == 0) {
            size_t at = line + name.size();
            while (at < end && (header[at] == ' ' || header[at] == '\t')) ++at;
            long long value = -1;
            for (; at < end && header[at] >= '0' && header[at] <= '9'; ++at) {
                value = (value < 0 ? 0 : value) * 10 + (header[at] - '0');
                if (value > QVXML_BUFFER_SIZE * 16LL) return -1;
            }
            return value;
        }
        line = end + 1;
    }
    return -1;
}

expectation model(const std::string &response, int capacity) {
    if (response.empty()) return {0, 0, ""};
    // Filter states: 0 none, 1 CR, 2 CR LF, 3 CR LF CR, 4 CR LF CR LF (the documented table).
    int state = 0;
    size_t end = std::string::npos;
    for (size_t i = 14; i < response.size(); ++i) {
        const char c = response[i];
        if (c == '\r')
            state = state == 0 ? 1 : (state == 2 ? 3 : 0);
        else if (c == '\n')
            state = state == 1 ? 2 : (state == 3 ? 4 : 0);
        else
            state = 0;
        if (state == 4) {
            end = i + 1;
            break;
        }
    }
    if (end == std::string::npos || end > static_cast<size_t>(capacity)) return {-1, 46, ""};
    const int code = model_status_code(response);
    if (code != 0) return {-1, code, ""};
    std::string body = response.substr(end);
    if (body.size() >= static_cast<size_t>(capacity)) return {-1, 12, ""};
    const long long announced =
        model_content_length(response.substr(0, std::min(end, kHeaderKept)));
    if (announced >= 0 && static_cast<long long>(body.size()) < announced) return {-1, 34, ""};
    return {0, 0, body};
}

// Sizes of the pieces the response is sent in (see the input layout); empty: one stream.
std::vector<size_t> piece_sizes(uint8_t mode, size_t total) {
    std::vector<size_t> sizes;
    if (mode == 0) return sizes;
    uint32_t state = 0x9E3779B9u ^ mode;
    for (size_t sent = 0; sent < total;) {
        size_t piece;
        if (mode < 128) {
            piece = 8u * mode;
        } else {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            piece = 1 + state % 1024;
        }
        piece = std::min(piece, total - sent);
        sizes.push_back(piece);
        sent += piece;
    }
    return sizes;
}

// Writes the pieces (or the whole response) into `fd`, then closes it.
void feed(int fd, const std::string &response, const std::vector<size_t> &sizes) {
    size_t at = 0;
    if (sizes.empty()) {
        while (at < response.size()) {
            const ssize_t n = send(fd, response.data() + at, response.size() - at, MSG_NOSIGNAL);
            if (n <= 0) break;  // the reader gave up: it reports that itself
            at += static_cast<size_t>(n);
        }
    } else {
        for (size_t piece : sizes) {
            if (send(fd, response.data() + at, piece, MSG_NOSIGNAL) != static_cast<ssize_t>(piece))
                break;
            at += piece;
        }
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size - 2 > kMaxResponse) return 0;
    const int capacity = kCapacities[data[0] % (sizeof kCapacities / sizeof kCapacities[0])];
    const std::vector<size_t> sizes = piece_sizes(data[1], size - 2);
    const std::string response(reinterpret_cast<const char *>(data) + 2, size - 2);

    int pair[2];
    if (socketpair(AF_UNIX, sizes.empty() ? SOCK_STREAM : SOCK_SEQPACKET, 0, pair) != 0)
        fuzz_fail("socketpair", strerror(errno));
    std::thread writer(feed, pair[1], std::cref(response), std::cref(sizes));

    sockfd[kId] = pair[0];
    xml_module[kId].state = 1;
    xml_except(kId, 0);
    std::vector<char> buffer(static_cast<size_t>(capacity), 'x');
    int length = capacity;
    const int rc = xml_socket_read(kId, buffer.data(), &length);
    xml_socket_close(kId);  // a writer still sending after a refusal gets an error and stops
    writer.join();
    if (sockfd[kId] != -1) fuzz_fail("socket left open by xml_socket_close", "");

    const expectation want = model(response, capacity);
    xml_fault_record fault;
    qvxml_error(kId, &fault);
    if (rc != want.rc)
        fuzz_fail("result differs from the model",
                  (std::to_string(rc) + " instead of " + std::to_string(want.rc) + ", code " +
                   std::to_string(fault.code) + " (model " + std::to_string(want.code) + ")")
                      .c_str());
    if (rc == -1) {
        if (length != 0) fuzz_fail("failure with a length", std::to_string(length).c_str());
        if (fault.code != want.code)
            fuzz_fail(
                "failure code differs from the model",
                (std::to_string(fault.code) + " instead of " + std::to_string(want.code)).c_str());
        return 0;
    }
    if (length < 0 || length >= capacity) fuzz_fail("length outside 0..capacity-1", "");
    if (buffer[static_cast<size_t>(length)] != '\0') fuzz_fail("body not NUL-terminated", "");
    if (static_cast<size_t>(length) != want.body.size() ||
        std::memcmp(buffer.data(), want.body.data(), want.body.size()) != 0)
        fuzz_fail("body differs from the model",
                  (std::to_string(length) + " bytes instead of " + std::to_string(want.body.size()))
                      .c_str());
    return 0;
}
