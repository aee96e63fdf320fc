// The exporter's configuration: named modules (how to probe), a target inventory (what
// /sd lists) and an optional allow-list of target networks. Read from YAML; a configuration
// is immutable once loaded, and a reload swaps the whole of it.
//
// Passwords (inline or from password_file) live only in module_config::password. No error
// text built here contains a value of the file; errors name the line and the key.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace exporter {

constexpr double kDefaultModuleTimeoutS = 10.0;
constexpr double kMaxModuleTimeoutS = 300.0;
// Larger files are refused before they are parsed.
constexpr size_t kMaxConfigBytes = 1 << 20;

struct module_config {
    std::string name;
    double timeout_s = kDefaultModuleTimeoutS;
    bool read_setup = true;  // read setup.xml (names, ranges, modes) after values.xml
    // Basic authorization of GET setup.xml; empty user: none. At most 99 bytes each (the
    // client library's buffers).
    std::string username;
    std::string password;
};

struct target_group {
    std::vector<std::string> targets;                         // each a valid HOST[:PORT]
    std::string module;                                       // "" when the group names none
    std::vector<std::pair<std::string, std::string>> labels;  // in file order, names unique
};

struct ipv4_network {
    uint32_t address = 0;  // host byte order, host bits cleared
    uint32_t mask = 0;     // host byte order
    std::string text;      // as written
};

struct exporter_config {
    std::map<std::string, module_config> modules;
    std::vector<target_group> target_groups;
    // Absent: every target may be probed. Present: only targets all of whose addresses lie
    // in one of these networks (never empty).
    std::optional<std::vector<ipv4_network>> allowed_networks;
    std::string source;  // the file it came from, or "built-in"
};

// Reads one password file: its contents in *contents, or false with a reason that does not
// quote the contents.
using password_file_reader =
    std::function<bool(const std::string &path, std::string *contents, std::string *reason)>;

// The configuration without a file: one module "default" (no credentials, setup read,
// 10 s time-out), no inventory, no allow-list.
exporter_config builtin_config();

// Parses YAML text. Relative password_file paths are taken from `base_dir`. On failure
// returns false with a one-line reason ("line 4: ...").
bool parse_config(std::string_view yaml, const std::string &base_dir,
                  const password_file_reader &read_password, exporter_config *out,
                  std::string *reason);

// Reads and parses `path` (password files read from disk). The reason starts with the path.
bool load_config_file(const std::string &path, exporter_config *out, std::string *reason);

// The default password file reader: the file's bytes with one trailing line end removed.
bool read_password_file(const std::string &path, std::string *contents, std::string *reason);

// "10.0.0.0/8" or "192.0.2.7" (a /32). Host bits are cleared.
bool parse_ipv4_network(std::string_view text, ipv4_network *out);

// True when `address` (host byte order) lies in one of `networks`.
bool network_allows(const std::vector<ipv4_network> &networks, uint32_t address);

// A Prometheus label name that a configuration may set: [a-zA-Z_][a-zA-Z0-9_]*, not
// starting with "__" (reserved for Prometheus itself).
bool valid_label_name(std::string_view name);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool valid_utf8(std::string_view text);

}  // namespace exporter
