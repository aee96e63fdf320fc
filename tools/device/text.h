// Reading numbers and files for tarvik-device's command line and scenarios.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace device {

// A whole decimal number in [low, high]; false (and *out untouched) otherwise.
inline bool parse_int(const char *text, int low, int high, int *out) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    *out = static_cast<int>(v);
    return true;
}

// "BYTES:MS": a piece size of 1 byte to 1 MiB and a pause of 0 to 60000 ms.
inline bool parse_pair(const char *text, int *bytes, int *ms) {
    const char *colon = std::strchr(text, ':');
    if (colon == nullptr) return false;
    const std::string first(text, colon);
    return parse_int(first.c_str(), 1, 1 << 20, bytes) && parse_int(colon + 1, 0, 60000, ms);
}

// The bytes of the file at `path`; false with *error when it cannot be read whole.
inline bool read_file(const std::string &path, std::string *text, std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    text->clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) *error = "cannot read '" + path + "'";
    return !failed;
}

}  // namespace device
