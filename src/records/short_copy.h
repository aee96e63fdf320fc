// Copies of a few bytes without a call to memcpy, for the parser's and the upload filter's
// per-element work (names and most texts are short).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Copies `n` bytes (0..15) in at most two word moves that read and write nothing outside the
// `n` bytes (the second may overlap the first).
inline void copy_short(char *to, const char *from, size_t n) {
    if (n >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + n - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + n - 4, &tail, 4);
    } else {
        for (size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}
