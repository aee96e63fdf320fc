// Debug log and string helpers of the library's exported utility set.
//
// The log goes to standard output until an application installs a callback with
// qvgapi_debug; then every log line is formatted whole and handed to the callback.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qvxml.h"

namespace {

// Installed once, before the library's threads run; atomics keep a late install from being
// a data race with threads that log at the same time.
std::atomic<qv_debug_callback> debug_callback{nullptr};
std::atomic<void *> debug_ptr{nullptr};

// First buffer for a callback log line; grown to the exact length when it is too small.
constexpr size_t kDebugFirstSize = 100;
// A formatter that keeps reporting an error (e.g. an unconvertible wide string) is not
// helped by more space: doubling stops here and the line is dropped.
constexpr size_t kDebugDoublingLimit = 1 << 20;

}  // namespace

void qvgapi_debug(qv_debug_callback callback, void *user) {
    debug_ptr.store(user, std::memory_order_relaxed);
    debug_callback.store(callback, std::memory_order_release);
}

void qv_debug(const char *format, ...) {
    qv_debug_callback callback = debug_callback.load(std::memory_order_acquire);
    va_list args;
    va_start(args, format);
    if (callback == nullptr) {
        // One locked stream section, so that the text and its newline stay together when
        // several threads log at once.
        flockfile(stdout);
        std::vprintf(format, args);
        std::putchar('\n');
        funlockfile(stdout);
        va_end(args);
        return;
    }

    size_t size = kDebugFirstSize;
    char *text = static_cast<char *>(std::malloc(size));
    while (text != nullptr) {
        // Each attempt formats from its own copy: a list consumed by a failed attempt
        // cannot be used again.
        va_list attempt;
        va_copy(attempt, args);
        int n = std::vsnprintf(text, size, format, attempt);
        va_end(attempt);
        if (n >= 0 && static_cast<size_t>(n) < size) break;
        size_t grown;
        if (n >= 0) {
            grown = static_cast<size_t>(n) + 1;
        } else if (size < kDebugDoublingLimit) {
            grown = size * 2;
        } else {
            std::free(text);
            text = nullptr;
            break;
        }
        char *bigger = static_cast<char *>(std::realloc(text, grown));
        if (bigger == nullptr) {
            std::free(text);
            text = nullptr;
            break;
        }
        text = bigger;
        size = grown;
    }
    va_end(args);
    if (text == nullptr) return;  // allocation failed: no log line, nothing reported
    callback(text, debug_ptr.load(std::memory_order_relaxed));
    std::free(text);
}

char *qv_strsep(char **cursor, const char *delimiters) {
    char *start = *cursor;
    if (start == nullptr) return nullptr;
    char *end = start + std::strcspn(start, delimiters);
    if (*end != '\0') {
        *end = '\0';
        *cursor = end + 1;
    } else {
        *cursor = nullptr;
    }
    return start;
}

char *qv_strtok_r(char *text, const char *delimiters, char **cursor) {
    if (text == nullptr) {
        text = *cursor;
        if (text == nullptr) return nullptr;
    }
    text += std::strspn(text, delimiters);
    if (*text == '\0') {
        *cursor = nullptr;
        return nullptr;
    }
    char *end = text + std::strcspn(text, delimiters);
    if (*end != '\0') {
        *end = '\0';
        *cursor = end + 1;
    } else {
        *cursor = nullptr;
    }
    return text;
}

char *qv_basename(char *path) {
    size_t length = std::strlen(path);
    if (length <= 1) return path;
    if (path[length - 1] == '\\' || path[length - 1] == '/') path[length - 1] = '\0';
    // Backslashes win over slashes: a Windows path may carry slashes inside a component.
    if (char *last = std::strrchr(path, '\\')) return last + 1;
    if (char *last = std::strrchr(path, '/')) return last + 1;
    return path;
}

unsigned int qv_htoi(const char *text) {
    // Unsigned arithmetic: the value wraps in 32 bits instead of overflowing.
    uint32_t value = 0;
    for (; *text != '\0'; ++text) {
        char c = *text;
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            continue;  // not a hexadecimal digit: skipped, not an end
        }
        value = (value << 4) + digit;
    }
    return value;
}
