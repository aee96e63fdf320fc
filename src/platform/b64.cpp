// Base64 codec (RFC 4648 standard alphabet, "=" padding) of the exported utility set.
//
// Outputs are never NUL-terminated; every function returns the number of characters or
// bytes written (or, for a null destination, the number needed). Result codes:
// B64_RC_OK, B64_RC_INSUFFICIENT_BUFFER (nothing written), B64_RC_DATA_ERROR (rejected
// character, decoding only).
#include <cstdio>
#include <cstdlib>

#include "qvxml.h"

// Caller errors stop the program in every build type: unlike assert(), this check does
// not vanish under NDEBUG. The message names the failed expression as written.
#define QV_B64_ASSERT(expr)        \
    ((expr) ? static_cast<void>(0) \
            : qv_b64_assert_fail(#expr, __FILE__, __LINE__, static_cast<const char *>(__func__)))

namespace {

[[noreturn]] void qv_b64_assert_fail(const char *expression, const char *file, int line,
                                     const char *function) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, expression);
    std::fflush(stderr);
    std::abort();
}

constexpr char b64_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Character -> 6-bit value; 0xFF for everything outside the alphabet ("=" included).
struct b64_index_table {
    unsigned char value[256];
    constexpr b64_index_table() : value() {
        for (unsigned char &v : value) v = 0xFF;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(b64_chars[i])] = static_cast<unsigned char>(i);
    }
};
constexpr b64_index_table b64_indexes;

constexpr unsigned char kNotInAlphabet = 0xFF;
constexpr int kDefaultLineLength = 64;

size_t encoded_length(size_t source_size, size_t line_length) {
    size_t length = (source_size / 3 + (source_size % 3 != 0 ? 1 : 0)) * 4;
    // CR LF between lines only: none after the last line, none for an empty output.
    if (line_length > 0 && length > 0) length += 2 * ((length - 1) / line_length);
    return length;
}

// line_length 0: no line breaks.
size_t b64_encode_(const unsigned char *source, size_t source_size, char *destination,
                   size_t destination_size, size_t line_length, int *rc) {
    QV_B64_ASSERT(NULL != rc);
    size_t total = encoded_length(source_size, line_length);
    *rc = B64_RC_OK;
    if (destination == nullptr) return total;
    if (destination_size < total) {
        *rc = B64_RC_INSUFFICIENT_BUFFER;
        return 0;
    }

    char *out = destination;
    size_t in_line = 0;
    // Emits one character, breaking the line after every line_length characters unless the
    // output ends there.
    auto put = [&](char c) {
        if (line_length > 0 && in_line == line_length) {
            *out++ = '\r';
            *out++ = '\n';
            in_line = 0;
        }
        *out++ = c;
        ++in_line;
    };

    size_t i = 0;
    for (; i + 3 <= source_size; i += 3) {
        unsigned group = (source[i] << 16) | (source[i + 1] << 8) | source[i + 2];
        put(b64_chars[(group >> 18) & 0x3F]);
        put(b64_chars[(group >> 12) & 0x3F]);
        put(b64_chars[(group >> 6) & 0x3F]);
        put(b64_chars[group & 0x3F]);
    }
    size_t rest = source_size - i;
    if (rest > 0) {
        unsigned group = source[i] << 16;
        if (rest == 2) group |= source[i + 1] << 8;
        put(b64_chars[(group >> 18) & 0x3F]);
        put(b64_chars[(group >> 12) & 0x3F]);
        put(rest == 2 ? b64_chars[(group >> 6) & 0x3F] : '=');
        put('=');
    }
    return static_cast<size_t>(out - destination);
}

size_t b64_decode_(const char *source, size_t source_size, unsigned char *destination,
                   size_t destination_size, unsigned flags, const char **badChar, int *rc) {
    QV_B64_ASSERT(NULL != badChar);
    QV_B64_ASSERT(NULL != rc);
    *badChar = nullptr;
    *rc = B64_RC_OK;
    size_t capacity = (source_size / 4 + (source_size % 4 != 0 ? 1 : 0)) * 3;
    if (destination == nullptr) return capacity;
    if (destination_size < capacity) {
        *rc = B64_RC_INSUFFICIENT_BUFFER;
        return 0;
    }

    // Every group written consumed at least four source characters, so the capacity test
    // above bounds every write below.
    unsigned char *out = destination;
    unsigned group = 0;
    int in_group = 0;
    int padding = 0;
    for (size_t i = 0; i < source_size; ++i) {
        unsigned char c = static_cast<unsigned char>(source[i]);
        unsigned char value = b64_indexes.value[c];
        if (value == kNotInAlphabet && c != '=') {
            if (c == '\r' || c == '\n') continue;
            bool blank = c == 8 || c == 9 || c == 11 || c == ' ';
            unsigned reject_bit = blank ? B64_F_STOP_ON_BAD_CHAR : B64_F_STOP_ON_UNKNOWN_CHAR;
            if ((flags & reject_bit) != 0) {
                *badChar = source + i;
                *rc = B64_RC_DATA_ERROR;
                return 0;
            }
            continue;
        }
        if (c == '=') {
            value = 0;
            ++padding;
        } else {
            padding = 0;
        }
        group = (group << 6) | value;
        if (++in_group < 4) continue;

        if (c != '=') {
            *out++ = static_cast<unsigned char>(group >> 16);
            *out++ = static_cast<unsigned char>(group >> 8);
            *out++ = static_cast<unsigned char>(group);
            group = 0;
            in_group = 0;
            continue;
        }
        // A group completed by "=" is the last one; the rest of the source is ignored.
        *out++ = static_cast<unsigned char>(group >> 16);
        if (padding != 2) *out++ = static_cast<unsigned char>(group >> 8);
        if (padding != 2 && padding != 1) *out++ = static_cast<unsigned char>(group);
        break;
    }
    return static_cast<size_t>(out - destination);
}

}  // namespace

size_t b64_encode(const void *source, size_t source_size, char *destination,
                  size_t destination_size) {
    int rc;
    return b64_encode_(static_cast<const unsigned char *>(source), source_size, destination,
                       destination_size, 0, &rc);
}

size_t b64_encode2(const void *source, size_t source_size, char *destination,
                   size_t destination_size, unsigned flags, int line_length, int *result_code) {
    int own_rc;
    if (result_code == nullptr) result_code = &own_rc;
    int lineLen = 0;
    switch (flags & 0x0F) {
        case B64_F_LINE_LEN_USE_PARAM:
            lineLen = line_length < 0 ? kDefaultLineLength : line_length;
            QV_B64_ASSERT(0 == (lineLen % 4));
            break;
        case B64_F_LINE_LEN_INFINITE:
            lineLen = 0;
            break;
        case B64_F_LINE_LEN_64:
            lineLen = 64;
            break;
        case B64_F_LINE_LEN_76:
            lineLen = 76;
            break;
        default:
            QV_B64_ASSERT(!"Bad line length flag specified to b64_encode2()");
    }
    return b64_encode_(static_cast<const unsigned char *>(source), source_size, destination,
                       destination_size, static_cast<size_t>(lineLen), result_code);
}

size_t b64_decode(const char *source, size_t source_size, void *destination,
                  size_t destination_size) {
    const char *bad;
    int rc;
    return b64_decode_(source, source_size, static_cast<unsigned char *>(destination),
                       destination_size, 0, &bad, &rc);
}

size_t b64_decode2(const char *source, size_t source_size, void *destination,
                   size_t destination_size, unsigned flags, const char **bad_character,
                   int *result_code) {
    const char *own_bad;
    int own_rc;
    if (bad_character == nullptr) bad_character = &own_bad;
    if (result_code == nullptr) result_code = &own_rc;
    return b64_decode_(source, source_size, static_cast<unsigned char *>(destination),
                       destination_size, flags, bad_character, result_code);
}
