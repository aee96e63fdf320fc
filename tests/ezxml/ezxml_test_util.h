// Shared helpers of the tree reader tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "records/ezxml.h"

// A document read from a heap buffer of exactly the bytes given (so that an access past the
// buffer is caught by the address sanitizer). `with_nul` appends a NUL that takes the place
// of the last byte the reader drops.
class parsed {
public:
    explicit parsed(const std::string &text, bool with_nul = true)
        : buf_(text.begin(), text.end()) {
        if (with_nul) buf_.push_back('\0');
        root_ = ezxml_parse_str(buf_.empty() ? empty_ : buf_.data(), buf_.size());
    }
    ~parsed() { ezxml_free(root_); }
    parsed(const parsed &) = delete;
    parsed &operator=(const parsed &) = delete;

    ezxml_t root() const { return root_; }
    ezxml_t operator->() const { return root_; }
    std::string error() const { return ezxml_error(root_); }
    const std::vector<char> &buffer() const { return buf_; }
    bool points_into_buffer(const char *p) const {
        return p >= buf_.data() && p < buf_.data() + buf_.size();
    }

private:
    std::vector<char> buf_;
    char empty_[1] = {'x'};
    ezxml_t root_;
};

inline std::vector<std::string> names_in_order(ezxml_t first) {
    std::vector<std::string> out;
    for (ezxml_t n = first; n; n = n->ordered) out.emplace_back(n->name);
    return out;
}
