// xml_setup_prepare (the setup upload filter) over fuzzed documents, in a buffer of the
// document's size + 1024 zero bytes, as the POST builder passes it (the input may hold NUL
// bytes, as a file read from disk may).
//
// Checked: the result is 0 or -1; on failure the buffer is unchanged byte for byte and a
// known code is recorded; on success the buffer holds a terminator, the text starts with
// the XML declaration line, is at most 255999 characters long and is well-formed XML (what
// libxml2 reads without error).
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

namespace {

constexpr int kId = 9;
constexpr size_t kRoom = 1024;
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
    return 0;
}
