// xml_parse over fuzzed device documents, built twice: QV_FUZZ_PARSE_TYPE 0 (values
// documents, with the power-meter post-parser) and 1 (setup documents).
//
// Values input: byte 0 chooses the Agent.Model the document carries (see kModels), the rest
// is the document. The model is spliced in as the text of the first <Model> element, or
// inserted as <Agent><Model>M</Model></Agent> right after the root start tag when there is
// none, so the fuzzer reaches every post-parser model from any seed. Setup input: the
// document itself.
//
// Checked: the result is 0 or -1 with the records in bounds (fuzz_records.h); the document
// keeps its length and only bytes of the root rewrite change ("<Root>", "</Root>", blanks);
// nothing is read or written outside the `len` bytes (the buffer is allocated to size).
#include <libxml/parser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "fuzz_records.h"
#include "records/records.h"
#include "records/xml_parse.h"

#ifndef QV_FUZZ_PARSE_TYPE
#error "QV_FUZZ_PARSE_TYPE must be 0 (values) or 1 (setup)"
#endif

namespace {

constexpr int kId = 7;

#if QV_FUZZ_PARSE_TYPE == 0
// nullptr: leave the document as it is.
const char *const kModels[] = {"45", "55", "57", "58", nullptr, "21", "", "0055"};

std::string splice_model(std::string doc, const char *model) {
    if (model == nullptr) return doc;
    const size_t open = doc.find("<Model>");
    if (open != std::string::npos) {
        const size_t from = open + 7;
        const size_t close = doc.find("</Model>", from);
        if (close != std::string::npos) {
            doc.replace(from, close - from, model);
            return doc;
        }
    }
    const size_t root = doc.find("Root");
    const size_t end = root == std::string::npos ? std::string::npos : doc.find('>', root);
    const std::string agent = std::string("<Agent><Model>") + model + "</Model></Agent>";
    if (end == std::string::npos) return doc;
    doc.insert(end + 1, agent);
    return doc;
}
#endif

bool rewrite_byte(char c) {
    return c == ' ' || std::strchr("<>/Rot", c) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string doc;
#if QV_FUZZ_PARSE_TYPE == 0
    if (size < 1) return 0;
    doc = splice_model(std::string(reinterpret_cast<const char *>(data) + 1, size - 1),
                       kModels[data[0] % (sizeof kModels / sizeof kModels[0])]);
#else
    doc.assign(reinterpret_cast<const char *>(data), size);
#endif
    if (doc.size() >= QVXML_BUFFER_SIZE) return 0;  // the transport never delivers more

    // Exactly len bytes, so any access past them is an ASan report.
    const size_t len = doc.size();
    std::vector<char> buffer(doc.begin(), doc.end());
    char *text = len > 0 ? buffer.data() : nullptr;
    char empty_text[1] = {0};
    if (text == nullptr) text = empty_text;

    xml_mutex_lock(0);
    const int rc = xml_parse(kId, text, static_cast<int>(len), QV_FUZZ_PARSE_TYPE);
    if (rc != 0 && rc != -1) fuzz_fail("xml_parse result", std::to_string(rc).c_str());
#if QV_FUZZ_PARSE_TYPE == 0
    fuzz_check_values(p_kyvern_values[kId], p_kyvern_values_entry_count[kId]);
    if (rc == 0 && (p_kyvern_values[kId] == nullptr || p_kyvern_values_entry_count[kId] == nullptr))
        fuzz_fail("success without records", "values");
#else
    fuzz_check_setup(p_kyvern_setup[kId], p_kyvern_setup_entry_count[kId]);
    if (rc == 0 && (p_kyvern_setup[kId] == nullptr || p_kyvern_setup_entry_count[kId] == nullptr))
        fuzz_fail("success without records", "setup");
#endif
    xml_mutex_unlock(0);

    for (size_t i = 0; i < len; ++i)
        if (buffer[i] != doc[i] && !rewrite_byte(buffer[i]))
            fuzz_fail("document changed outside the root rewrite", std::to_string(i).c_str());
    return 0;
}
