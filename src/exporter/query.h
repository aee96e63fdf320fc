// The untrusted inputs of /probe: the raw query string and the target it names. Nothing
// here echoes the input back: the reasons are fixed texts, so a reason can be sent in a
// reply or logged without carrying what a client sent (a stray credential, a line break).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace exporter {

// Bounds on what a client may send; a query past them is refused, not truncated.
constexpr size_t kMaxQueryLength = 4096;
constexpr size_t kMaxQueryParams = 32;
constexpr size_t kMaxTargetLength = 255;
constexpr size_t kMaxModuleNameLength = 64;
// The client library's host buffer holds 99 characters.
constexpr size_t kMaxHostLength = 99;

struct query_param {
    std::string name;
    std::string value;
};

// Splits an application/x-www-form-urlencoded query ("a=1&b=x%20y"): '&' separates
// parameters, '+' is a blank, "%XX" must be followed by two hex digits. A parameter without
// '=' has an empty value; empty pieces ("a=1&&b=2") are skipped. Raw control characters and
// decoded NUL bytes are refused. A null or empty query gives no parameters. Returns false with a
// reason.
bool parse_query(std::string_view raw, std::vector<query_param> *out, std::string *reason);

struct probe_target {
    std::string host;      // dotted IPv4 address or host name, at most kMaxHostLength
    int port = 80;         // 1..65535
    bool numeric = false;  // host is a dotted IPv4 address
};

// Parses "HOST[:PORT]": HOST a dotted IPv4 address or a host name (letters, digits and '-'
// in dot-separated labels of 1..63 characters, no label starting or ending with '-', the
// last label not all digits), PORT 1..65535 (default 80). Refuses schemes, paths, user
// parts, blanks and IPv6 addresses with a reason.
bool parse_target(std::string_view text, probe_target *out, std::string *reason);

// A module name: 1..64 of letters, digits, '_', '-', '.'.
bool valid_module_name(std::string_view name);

struct probe_query {
    probe_target target;
    std::string target_text;  // as sent, once validated
    std::string module;       // "default" when the query names none
};

// The parameters of /probe: "target" exactly once (else refused), "module" at most once;
// other parameters are ignored. The reason names the parameter concerned.
bool parse_probe_query(std::string_view raw, probe_query *out, std::string *reason);

}  // namespace exporter
