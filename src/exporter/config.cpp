#include "exporter/config.h"

#include <arpa/inet.h>
#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "exporter/options.h"
#include "exporter/query.h"

namespace exporter {

namespace {

// The client library's credential buffers hold 99 bytes and a terminator.
constexpr size_t kMaxCredentialLength = 99;
constexpr size_t kMaxLabelValueLength = 1024;

// Thrown by the checks below and turned into the reason by parse_config.
struct config_error {
    std::string text;
};

[[noreturn]] void fail(const YAML::Node &node, const std::string &what) {
    const YAML::Mark mark = node.Mark();
    if (mark.line >= 0) throw config_error{"line " + std::to_string(mark.line + 1) + ": " + what};
    throw config_error{what};
}

std::string scalar(const YAML::Node &node, const std::string &what) {
    if (!node.IsScalar()) fail(node, what + " must be a single value");
    return node.Scalar();
}

// The keys of a mapping in file order; refuses anything but a mapping with distinct scalar
// keys from `allowed` (empty: any key).
std::vector<std::pair<std::string, YAML::Node>> entries(
    const YAML::Node &node, const std::string &what, std::initializer_list<const char *> allowed) {
    if (!node.IsMap()) fail(node, what + " must be a mapping");
    std::vector<std::pair<std::string, YAML::Node>> out;
    std::set<std::string> seen;
    for (const auto &item : node) {
        if (!item.first.IsScalar()) fail(item.first, "a key of " + what + " is not a plain name");
        const std::string key = item.first.Scalar();
        bool known = allowed.size() == 0;
        for (const char *name : allowed)
            if (key == name) known = true;
        // Keys are names, never values: safe to quote once they are printable.
        std::string shown;
        for (char c : key) shown += (c >= ' ' && c < 0x7f) ? c : '?';
        if (!known) fail(item.first, "unknown key \"" + shown + "\" in " + what);
        if (!seen.insert(key).second) fail(item.first, "key \"" + shown + "\" repeated in " + what);
        out.emplace_back(key, item.second);
    }
    return out;
}

bool to_bool(const YAML::Node &node, const std::string &what) {
    const std::string text = scalar(node, what);
    if (text == "true" || text == "yes" || text == "on") return true;
    if (text == "false" || text == "no" || text == "off") return false;
    fail(node, what + " must be true or false");
}

void check_credential(const YAML::Node &node, const std::string &value, const std::string &what) {
    if (value.size() > kMaxCredentialLength)
        fail(node, what + " is longer than " + std::to_string(kMaxCredentialLength) + " bytes");
    for (unsigned char c : value)
        if (c < ' ' || c == 0x7f) fail(node, what + " holds a control character");
}

void parse_basic_auth(const YAML::Node &node, const std::string &module,
                      const std::string &base_dir, const password_file_reader &read_password,
                      module_config *out) {
    const std::string what = "basic_auth of module \"" + module + "\"";
    bool have_password = false;
    for (const auto &[key, value] :
         entries(node, what, {"username", "password", "password_file"})) {
        if (key == "username") {
            out->username = scalar(value, "username");
            check_credential(value, out->username, "username");
            if (out->username.find(':') != std::string::npos)
                fail(value, "username holds ':' (Basic authorization cannot carry it)");
        } else {
            if (have_password) fail(value, what + ": password and password_file both given");
            have_password = true;
            if (key == "password") {
                out->password = scalar(value, "password");
                check_credential(value, out->password, "password");
            } else {
                std::string path = scalar(value, "password_file");
                if (path.empty()) fail(value, "password_file is empty");
                if (path.front() != '/' && !base_dir.empty()) path = base_dir + "/" + path;
                std::string contents, reason;
                if (!read_password(path, &contents, &reason))
                    fail(value, "password_file: " + reason);
                check_credential(value, contents, "the password in password_file");
                out->password = std::move(contents);
            }
        }
    }
    if (out->username.empty()) fail(node, what + ": username is missing or empty");
}

module_config parse_module(const std::string &name, const YAML::Node &node,
                           const std::string &base_dir, const password_file_reader &read_password) {
    module_config module;
    module.name = name;
    if (node.IsNull()) return module;  // "name:" alone: every default
    const std::string what = "module \"" + name + "\"";
    for (const auto &[key, value] : entries(node, what, {"timeout", "read_setup", "basic_auth"})) {
        if (key == "timeout") {
            double seconds = 0;
            if (!parse_duration(scalar(value, "timeout"), &seconds) || seconds <= 0 ||
                seconds > kMaxModuleTimeoutS)
                fail(value, "timeout of " + what + " is not a duration above 0s and up to 5m");
            module.timeout_s = seconds;
        } else if (key == "read_setup") {
            module.read_setup = to_bool(value, "read_setup");
        } else {
            parse_basic_auth(value, name, base_dir, read_password, &module);
        }
    }
    return module;
}

target_group parse_group(const YAML::Node &node) {
    target_group group;
    bool have_targets = false;
    for (const auto &[key, value] :
         entries(node, "a target group", {"targets", "module", "labels"})) {
        if (key == "targets") {
            have_targets = true;
            if (!value.IsSequence()) fail(value, "targets must be a list");
            for (const auto &item : value) {
                const std::string text = scalar(item, "a target");
                probe_target target;
                std::string reason;
                if (!parse_target(text, &target, &reason)) fail(item, reason);
                group.targets.push_back(text);
            }
        } else if (key == "module") {
            group.module = scalar(value, "module");
            if (!valid_module_name(group.module))
                fail(value, "module is not a module name (letters, digits, '_', '-', '.')");
        } else {
            for (const auto &[label, label_value] : entries(value, "labels", {})) {
                if (!valid_label_name(label))
                    fail(value, "label name is not [a-zA-Z_][a-zA-Z0-9_]* or starts with __");
                const std::string text = scalar(label_value, "a label value");
                if (!valid_utf8(text)) fail(label_value, "label value is not UTF-8");
                if (text.size() > kMaxLabelValueLength)
                    fail(label_value, "label value longer than " +
                                          std::to_string(kMaxLabelValueLength) + " bytes");
                group.labels.emplace_back(label, text);
            }
        }
    }
    if (!have_targets) fail(node, "a target group has no targets");
    return group;
}

}  // namespace

bool valid_label_name(std::string_view name) {
    if (name.empty() || name.substr(0, 2) == "__") return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

bool valid_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = 0;
        uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
            code = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            extra = 2;
            code = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<size_t>(extra) >= text.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10ffff)) ||
            (code >= 0xd800 && code <= 0xdfff))
            return false;
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

bool parse_ipv4_network(std::string_view text, ipv4_network *out) {
    const size_t slash = text.find('/');
    const std::string address_text(text.substr(0, slash));
    int bits = 32;
    if (slash != std::string_view::npos) {
        const std::string_view bits_text = text.substr(slash + 1);
        if (bits_text.empty() || bits_text.size() > 2) return false;
        bits = 0;
        for (char c : bits_text) {
            if (c < '0' || c > '9') return false;
            bits = bits * 10 + (c - '0');
        }
        if (bits > 32) return false;
    }
    in_addr address{};
    if (address_text.size() > 15 || inet_pton(AF_INET, address_text.c_str(), &address) != 1)
        return false;
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    out->mask = mask;
    out->address = ntohl(address.s_addr) & mask;
    out->text = std::string(text);
    return true;
}

bool network_allows(const std::vector<ipv4_network> &networks, uint32_t address) {
    for (const ipv4_network &network : networks)
        if ((address & network.mask) == network.address) return true;
    return false;
}

exporter_config builtin_config() {
    exporter_config config;
    module_config module;
    module.name = "default";
    config.modules.emplace(module.name, module);
    config.source = "built-in";
    return config;
}

bool parse_config(std::string_view yaml, const std::string &base_dir,
                  const password_file_reader &read_password, exporter_config *out,
                  std::string *reason) {
    if (yaml.size() > kMaxConfigBytes) {
        *reason = "larger than " + std::to_string(kMaxConfigBytes) + " bytes";
        return false;
    }
    try {
        const YAML::Node root = YAML::Load(std::string(yaml));
        exporter_config config;
        bool have_modules = false;
        if (!root.IsNull()) {
            for (const auto &[key, value] :
                 entries(root, "the configuration", {"modules", "targets", "allowed_networks"})) {
                if (key == "modules") {
                    have_modules = true;
                    for (const auto &[name, node] : entries(value, "modules", {})) {
                        if (!valid_module_name(name))
                            fail(value,
                                 "module name is not 1..64 of letters, digits, '_', '-', '.'");
                        config.modules.emplace(name,
                                               parse_module(name, node, base_dir, read_password));
                    }
                    if (config.modules.empty()) fail(value, "modules is empty");
                } else if (key == "targets") {
                    if (!value.IsSequence()) fail(value, "targets must be a list of target groups");
                    for (const auto &group : value)
                        config.target_groups.push_back(parse_group(group));
                } else {
                    if (!value.IsSequence()) fail(value, "allowed_networks must be a list");
                    std::vector<ipv4_network> networks;
                    for (const auto &item : value) {
                        ipv4_network network;
                        if (!parse_ipv4_network(scalar(item, "a network"), &network))
                            fail(item,
                                 "a network is not ADDRESS/BITS (IPv4, for example 10.0.0.0/8)");
                        networks.push_back(network);
                    }
                    if (networks.empty())
                        fail(value,
                             "allowed_networks is empty: no target could be probed "
                             "(leave the key out to allow every target)");
                    config.allowed_networks = std::move(networks);
                }
            }
        }
        if (!have_modules) config.modules = builtin_config().modules;
        for (const target_group &group : config.target_groups) {
            if (!group.module.empty() && config.modules.count(group.module) == 0)
                throw config_error{"a target group names module \"" + group.module +
                                   "\", which is not configured"};
        }
        config.source = "text";
        *out = std::move(config);
        return true;
    } catch (const config_error &error) {
        *reason = error.text;
    } catch (const YAML::Exception &error) {
        // Some of the parser's messages end with a piece of the input ("unknown escape
        // character: q"), which may be part of a password: only the fixed text before it is
        // kept, with the position.
        std::string message = error.msg.substr(0, error.msg.find(':'));
        for (char &c : message)
            if (c < ' ' || c >= 0x7f) c = '?';
        if (error.mark.line >= 0)
            *reason = "line " + std::to_string(error.mark.line + 1) + ", column " +
                      std::to_string(error.mark.column + 1) + ": " + message;
        else
            *reason = message;
    }
    return false;
}

bool read_password_file(const std::string &path, std::string *contents, std::string *reason) {
    std::error_code ignored;
    std::ifstream in(path, std::ios::binary);
    if (!std::filesystem::is_regular_file(path, ignored) || !in) {
        *reason = "cannot read " + path;
        return false;
    }
    std::string text;
    char buffer[256];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > 4096) {
            *reason = path + " is larger than a password";
            return false;
        }
    }
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    *contents = std::move(text);
    return true;
}

bool load_config_file(const std::string &path, exporter_config *out, std::string *reason) {
    std::error_code ignored;
    std::ifstream in(path, std::ios::binary);
    if (!std::filesystem::is_regular_file(path, ignored) || !in) {
        *reason = path + ": cannot be read";
        return false;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxConfigBytes) {
            *reason = path + ": larger than " + std::to_string(kMaxConfigBytes) + " bytes";
            return false;
        }
    }
    const size_t slash = path.rfind('/');
    const std::string base_dir =
        slash == std::string::npos ? "." : path.substr(0, slash + (slash == 0));
    std::string why;
    if (!parse_config(text, base_dir, read_password_file, out, &why)) {
        *reason = path + ": " + why;
        return false;
    }
    out->source = path;
    return true;
}

}  // namespace exporter
