// Text helpers shared by the snapshot's sources (not part of its interface).
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace snapshot {

// `text` without leading and trailing blanks (space, tab, CR, LF).
std::string_view trim(std::string_view text);
// A whole decimal integer (blanks around it and a sign allowed); absent otherwise or when it
// does not fit a long long.
std::optional<long long> parse_whole(std::string_view text);
// atoi's reading (leading blanks, a sign, the digits up to the first other character, 0
// without digits), saturated to lo..hi. REQUIRES: |lo| and |hi| below LLONG_MAX / 16.
long long atoi_like(std::string_view text, long long lo, long long hi);

// The text of a fixed-width record field, up to its terminator or its width.
template <size_t N>
std::string_view field(const char (&f)[N]) {
    return std::string_view(f, strnlen(f, N));
}

}  // namespace snapshot
