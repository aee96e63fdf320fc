// xml_setup_prepare (the setup upload filter) over fuzzed documents, in a buffer of the
// document's size + 1024 zero bytes, as the POST builder passes it (the input may hold NUL
// bytes, as a file read from disk may).
//
// Checked: the result is 0 or -1; on failure the buffer is unchanged byte for byte and a
// known code is recorded; on success the buffer holds a terminator, the text starts with
// the XML declaration line, is at most 255999 characters long and is well-formed XML (what
// libxml2 reads without error). Then the POST request built from the same input
// (cp_auth_and_xml2buffer) must be the request header with the right Content-Length and
// Authorization line followed by exactly the filtered document.
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/xml_global.h"
#include "fuzz_records.h"
#include "qvxml.h"
#include "records/xml_setup.h"
#include "transport/xml_socket.h"

namespace {

constexpr int kId = 9;
constexpr size_t kRoom = 1024;
// Basic authorization of "admin:secret".
const char kAuthLine[] = "Authorization: Basic YWRtaW46c2VjcmV0\r\n";
xml_fault_record fault_after_build;
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size >= QVXML_BUFFER_SIZE) return 0;  // larger files are refused before the filter
    const size_t capacity = size + kRoom;
    std::vector<char> buffer(capacity, '\0');
    if (size > 0) std::memcpy(buffer.data(), data, size);
    const std::vector<char> before = buffer;
    xml_except(kId, 0);  // a failure must record its own code

    const int rc = xml_setup_prepare(kId, buffer.data(), static_cast<int>(capacity));
    if (rc == -1) {
        if (buffer != before) fuzz_fail("buffer changed on failure", "");
        xml_fault_record fault;
        qvxml_error(kId, &fault);
        const int code = fault.code;
        if (code != 5 && code != 45 && code != 75 && code != 81 && code != 85)
            fuzz_fail("unexpected failure code", std::to_string(code).c_str());
        return 0;
    }
    if (rc != 0) fuzz_fail("xml_setup_prepare result", std::to_string(rc).c_str());
    const size_t length = strnlen(buffer.data(), capacity);
    if (length == capacity) fuzz_fail("no terminator on success", "");
    if (length > QVXML_BUFFER_SIZE - 1) fuzz_fail("output longer than 255999", "");
    if (length < sizeof kDeclaration - 1 ||
        std::memcmp(buffer.data(), kDeclaration, sizeof kDeclaration - 1) != 0)
        fuzz_fail("output without the declaration line", "");
    // The device parses what is posted: the output must be well-formed.
    xmlDocPtr parsed = xmlReadMemory(buffer.data(), static_cast<int>(length), "setup.xml", nullptr,
                                     XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NONET);
    if (parsed == nullptr) fuzz_fail("output is not well-formed XML", buffer.data());
    xmlFreeDoc(parsed);

    // The upload path around the filter: the POST request built from the same file.
    const std::string expected_head =
        "POST /setup.xml HTTP/1.0\r\n" + std::string(kAuthLine) +
        "Content-Type: text/xml\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
    qvxml_settings settings{};
    std::strcpy(settings.set_user, "admin");
    std::strcpy(settings.set_password, "secret");
    std::vector<char> request(QVXML_BUFFER_SIZE, 'x');
    const int built = cp_auth_and_xml2buffer(kId, reinterpret_cast<const char *>(data),
                                             static_cast<int>(size), &settings, request.data());
    if (expected_head.size() + length >= QVXML_BUFFER_SIZE) {
        qvxml_error(kId, &fault_after_build);
        if (built != -1 || fault_after_build.code != 12) fuzz_fail("oversized request built", "");
        return 0;
    }
    if (built != 0) fuzz_fail("request not built for a filtered document", "");
    const std::string want = expected_head + std::string(buffer.data(), length);
    if (std::memcmp(request.data(), want.data(), want.size()) != 0 || request[want.size()] != '\0')
        fuzz_fail("request differs from header + filtered document", "");
    return 0;
}
