// Base64 codec: round trips through b64_encode2/b64_decode2 for every line-length flag and
// every decoding strictness, and decoding of arbitrary text into destinations of exactly
// the size asked for (allocated to size: writing past them is an ASan report).
//
// Input: byte 0 chooses the decoding flags and the line length given with flag 0, the rest
// is the data (encoded in the round trip, decoded as it is in the second part).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_records.h"
#include "qvxml.h"

namespace {

const unsigned kDecodeFlags[] = {0, B64_F_STOP_ON_UNKNOWN_CHAR, B64_F_STOP_ON_BAD_CHAR,
                                 B64_F_STOP_ON_UNKNOWN_CHAR | B64_F_STOP_ON_BAD_CHAR};
// Line lengths given with B64_F_LINE_LEN_USE_PARAM: multiples of 4, 0 none, -1 the default.
const int kLineLengths[] = {0, 4, 8, 64, 76, -1, 1024, 12};

bool is_b64_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

void round_trip(const unsigned char *source, size_t size, unsigned flags, int line_length,
                unsigned decode_flags) {
    int rc = -1;
    const size_t need = b64_encode2(source, size, nullptr, 0, flags, line_length, &rc);
    if (rc != B64_RC_OK) fuzz_fail("encode length query", std::to_string(rc).c_str());
    if (need > 0) {
        // One byte too small: refused, nothing written.
        std::vector<char> small(need - 1, '#');
        rc = -1;
        if (b64_encode2(source, size, small.data(), small.size(), flags, line_length, &rc) != 0 ||
            rc != B64_RC_INSUFFICIENT_BUFFER)
            fuzz_fail("encode into a too small destination", "");
        for (char c : small)
            if (c != '#') fuzz_fail("encode wrote into a too small destination", "");
    }
    std::vector<char> encoded(need + (need == 0 ? 1 : 0));
    rc = -1;
    const size_t produced =
        b64_encode2(source, size, encoded.data(), need, flags, line_length, &rc);
    if (rc != B64_RC_OK || produced != need) fuzz_fail("encode length", "");
    for (size_t i = 0; i < produced; ++i) {
        const char c = encoded[i];
        if (c == '\r') {
            if (i + 1 >= produced || encoded[i + 1] != '\n') fuzz_fail("CR without LF", "");
            if (i + 2 >= produced) fuzz_fail("line break at the end", "");
        } else if (c != '\n' && !is_b64_char(c)) {
            fuzz_fail("character outside the alphabet", "");
        }
    }

    const char *bad = nullptr;
    rc = -1;
    const size_t capacity =
        b64_decode2(encoded.data(), produced, nullptr, 0, decode_flags, &bad, &rc);
    if (rc != B64_RC_OK || capacity < size) fuzz_fail("decode capacity of an encoding", "");
    std::vector<unsigned char> decoded(capacity + (capacity == 0 ? 1 : 0));
    rc = -1;
    const size_t got =
        b64_decode2(encoded.data(), produced, decoded.data(), capacity, decode_flags, &bad, &rc);
    if (rc != B64_RC_OK) fuzz_fail("decode of an encoding refused", std::to_string(rc).c_str());
    if (got != size || (size > 0 && std::memcmp(decoded.data(), source, size) != 0))
        fuzz_fail("decode(encode(x)) != x",
                  ("flags " + std::to_string(flags) + " line " + std::to_string(line_length) +
                   " decode flags " + std::to_string(decode_flags))
                      .c_str());
}

void decode_any(const char *text, size_t size, unsigned flags) {
    const char *bad = nullptr;
    int rc = -1;
    const size_t capacity = b64_decode2(text, size, nullptr, 0, flags, &bad, &rc);
    if (rc != B64_RC_OK) fuzz_fail("decode capacity query", "");
    if (capacity > 0) {
        std::vector<unsigned char> small(capacity - 1, 0xA5);
        rc = -1;
        if (b64_decode2(text, size, small.data(), small.size(), flags, &bad, &rc) != 0 ||
            rc != B64_RC_INSUFFICIENT_BUFFER)
            fuzz_fail("decode into a too small destination", "");
        for (unsigned char c : small)
            if (c != 0xA5) fuzz_fail("decode wrote into a too small destination", "");
    }
    std::vector<unsigned char> out(capacity + (capacity == 0 ? 1 : 0));
    bad = nullptr;
    rc = -1;
    const size_t got = b64_decode2(text, size, out.data(), capacity, flags, &bad, &rc);
    if (rc == B64_RC_DATA_ERROR) {
        if (got != 0 || bad == nullptr || bad < text || bad >= text + size)
            fuzz_fail("rejection without its character", "");
    } else if (rc != B64_RC_OK || got > capacity) {
        fuzz_fail("decode result", std::to_string(rc).c_str());
    }
    // The flag-free entry point skips what the strict one may reject.
    if (flags == 0 && b64_decode(text, size, out.data(), capacity) != got)
        fuzz_fail("b64_decode differs from b64_decode2 with flags 0", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const unsigned decode_flags = kDecodeFlags[data[0] & 3];
    const int line_length = kLineLengths[(data[0] >> 2) & 7];
    const unsigned char *source = data + 1;
    const size_t length = size - 1;

    round_trip(source, length, B64_F_LINE_LEN_USE_PARAM, line_length, decode_flags);
    round_trip(source, length, B64_F_LINE_LEN_INFINITE, 0, decode_flags);
    round_trip(source, length, B64_F_LINE_LEN_64, 0, decode_flags);
    round_trip(source, length, B64_F_LINE_LEN_76, 0, decode_flags);

    // Arbitrary text, exactly its own size (no terminator to lean on).
    std::vector<char> text(source, source + length);
    decode_any(length > 0 ? text.data() : "", length, decode_flags);
    return 0;
}
