#include "exporter/query.h"

#include <arpa/inet.h>

namespace exporter {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decode_component(std::string_view in, std::string *out, std::string *reason) {
    out->clear();
    out->reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '+') {
            *out += ' ';
        } else if (c == '%') {
            if (i + 2 >= in.size()) {
                *reason = "malformed percent-encoding in the query";
                return false;
            }
            const int high = hex_value(in[i + 1]);
            const int low = hex_value(in[i + 2]);
            if (high < 0 || low < 0) {
                *reason = "malformed percent-encoding in the query";
                return false;
            }
            const char decoded = static_cast<char>(high * 16 + low);
            if (decoded == '\0') {
                *reason = "a NUL byte in the query";
                return false;
            }
            *out += decoded;
            i += 2;
        } else if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) {
            *reason = "a control character in the query";
            return false;
        } else {
            *out += c;
        }
    }
    return true;
}

bool is_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool valid_host_name(std::string_view host) {
    size_t start = 0;
    std::string_view last;
    while (true) {
        const size_t dot = host.find('.', start);
        const std::string_view label = host.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (label.empty() || label.size() > 63) return false;
        if (label.front() == '-' || label.back() == '-') return false;
        for (char c : label)
            if (!is_alnum(c) && c != '-') return false;
        last = label;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    // "10.1.2" or "1234" would be read as an address by the resolver: neither an address
    // nor a name.
    bool all_digits = true;
    for (char c : last)
        if (c < '0' || c > '9') all_digits = false;
    return !all_digits;
}

}  // namespace

bool parse_query(std::string_view raw, std::vector<query_param> *out, std::string *reason) {
    out->clear();
    if (raw.size() > kMaxQueryLength) {
        *reason = "query longer than " + std::to_string(kMaxQueryLength) + " bytes";
        return false;
    }
    size_t start = 0;
    while (start <= raw.size()) {
        size_t end = raw.find('&', start);
        if (end == std::string_view::npos) end = raw.size();
        const std::string_view piece = raw.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) {
            if (end == raw.size()) break;
            continue;
        }
        if (out->size() == kMaxQueryParams) {
            *reason = "more than " + std::to_string(kMaxQueryParams) + " query parameters";
            return false;
        }
        const size_t eq = piece.find('=');
        query_param param;
        if (!decode_component(piece.substr(0, eq), &param.name, reason)) return false;
        if (eq != std::string_view::npos &&
            !decode_component(piece.substr(eq + 1), &param.value, reason))
            return false;
        out->push_back(std::move(param));
        if (end == raw.size()) break;
    }
    return true;
}

bool parse_target(std::string_view text, probe_target *out, std::string *reason) {
    if (text.empty()) {
        *reason = "target is empty";
        return false;
    }
    if (text.size() > kMaxTargetLength) {
        *reason = "target longer than " + std::to_string(kMaxTargetLength) + " bytes";
        return false;
    }
    if (text.find("://") != std::string_view::npos) {
        *reason = "target must be HOST[:PORT], without a scheme";
        return false;
    }
    if (text.front() == '[' || text.find(':') != text.rfind(':')) {
        *reason = "target is an IPv6 address; the units are reached over IPv4";
        return false;
    }
    const size_t colon = text.find(':');
    const std::string_view host = text.substr(0, colon);
    probe_target target;
    if (colon != std::string_view::npos) {
        const std::string_view port = text.substr(colon + 1);
        long value = 0;
        bool ok = !port.empty() && port.size() <= 5;
        for (char c : port) {
            if (c < '0' || c > '9') ok = false;
            if (ok) value = value * 10 + (c - '0');
        }
        if (!ok || value < 1 || value > 65535) {
            *reason = "target port is not a number 1..65535";
            return false;
        }
        target.port = static_cast<int>(value);
    }
    if (host.empty()) {
        *reason = "target has no host";
        return false;
    }
    if (host.size() > kMaxHostLength) {
        *reason = "target host longer than " + std::to_string(kMaxHostLength) + " characters";
        return false;
    }
    // Only [0-9.] may be taken for an address: inet_pton reads up to a NUL.
    bool address_characters = true;
    for (char c : host)
        if ((c < '0' || c > '9') && c != '.') address_characters = false;
    in_addr address{};
    if (address_characters && inet_pton(AF_INET, std::string(host).c_str(), &address) == 1) {
        target.numeric = true;
    } else if (!valid_host_name(host)) {
        *reason = "target host is neither a dotted IPv4 address nor a host name";
        return false;
    }
    target.host = std::string(host);
    *out = std::move(target);
    return true;
}

bool valid_module_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxModuleNameLength) return false;
    for (char c : name)
        if (!is_alnum(c) && c != '_' && c != '-' && c != '.') return false;
    return true;
}

bool parse_probe_query(std::string_view raw, probe_query *out, std::string *reason) {
    std::vector<query_param> params;
    if (!parse_query(raw, &params, reason)) return false;
    const std::string *target = nullptr;
    const std::string *module = nullptr;
    for (const query_param &param : params) {
        if (param.name == "target") {
            if (target != nullptr) {
                *reason = "parameter target given more than once";
                return false;
            }
            target = &param.value;
        } else if (param.name == "module") {
            if (module != nullptr) {
                *reason = "parameter module given more than once";
                return false;
            }
            module = &param.value;
        }
    }
    if (target == nullptr) {
        *reason = "parameter target is missing";
        return false;
    }
    probe_query query;
    if (!parse_target(*target, &query.target, reason)) return false;
    query.target_text = *target;
    if (module != nullptr) {
        if (!valid_module_name(*module)) {
            *reason = "parameter module is not a module name";
            return false;
        }
        query.module = *module;
    } else {
        query.module = "default";
    }
    *out = std::move(query);
    return true;
}

}  // namespace exporter
