// xml_socket_read (HTTP response reader: header filter, status mapping, body storing) over
// fuzzed responses. The bytes go through a socket pair: one end is the module's socket
// (sockfd[id], run flag set), the response is written into the other end, which is then
// closed, so the reader sees the device close the connection after its response.
//
// Input: byte 0 chooses the capacity of the response buffer (kCapacities), the rest is the
// response. The buffer is allocated to the capacity, so writing past it is an ASan report.
//
// The result is compared with a model of the reader written here from the reader's
// contract: the header ends at the first CR LF CR LF that the filter table finds from
// response byte 14 on, whatever the chunking; the status is the number in response bytes
// 9..11 (as atoi reads it); 400..417 map to codes 47..64 and 500..505 to 65..70; the body
// is every byte after the header and must leave room for its NUL; a response that ends
// inside its header is code 46; an empty response is an empty body.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "fuzz_records.h"
#include "transport/xml_socket.h"

namespace {

constexpr int kId = 11;
constexpr size_t kMaxResponse = 150000;  // fits the socket pair's buffer: one write suffices
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
    if (end == std::string::npos) return {-1, 46, ""};
    const int code = model_status_code(response);
    if (code != 0) return {-1, code, ""};
    std::string body = response.substr(end);
    if (body.size() >= static_cast<size_t>(capacity)) return {-1, 12, ""};
    return {0, 0, body};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size - 1 > kMaxResponse) return 0;
    const int capacity = kCapacities[data[0] % (sizeof kCapacities / sizeof kCapacities[0])];
    const std::string response(reinterpret_cast<const char *>(data) + 1, size - 1);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) fuzz_fail("socketpair", strerror(errno));
    const int buffer_size = 2 * static_cast<int>(kMaxResponse);
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
    size_t written = 0;
    while (written < response.size()) {
        const ssize_t n = write(pair[1], response.data() + written, response.size() - written);
        if (n <= 0) fuzz_fail("response did not fit the socket pair", strerror(errno));
        written += static_cast<size_t>(n);
    }
    close(pair[1]);

    sockfd[kId] = pair[0];
    xml_module[kId].state = 1;
    xml_except(kId, 0);
    std::vector<char> buffer(static_cast<size_t>(capacity), 'x');
    int length = capacity;
    const int rc = xml_socket_read(kId, buffer.data(), &length);
    xml_socket_close(kId);
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
