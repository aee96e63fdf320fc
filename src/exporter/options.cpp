#include "exporter/options.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdlib>

#include "qvxml.h"

#ifndef QV_EXPORTER_VERSION
#define QV_EXPORTER_VERSION "unknown"
#endif

namespace exporter {

namespace {

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// A decimal integer within [low, high]; digits only.
bool parse_int(std::string_view text, int low, int high, int *out) {
    if (!all_digits(text) || text.size() > 9) return false;
    const int value = std::atoi(std::string(text).c_str());
    if (value < low || value > high) return false;
    *out = value;
    return true;
}

enum class flag_id {
    listen,
    config,
    max_requests,
    log_level,
    offset,
    request_timeout,
    help,
    version
};

struct flag_entry {
    std::string_view name;
    flag_id id;
    bool takes_value;
};

const flag_entry flags[] = {
    {"--web.listen-address", flag_id::listen, true},
    {"--config.file", flag_id::config, true},
    {"--web.max-requests", flag_id::max_requests, true},
    {"--log.level", flag_id::log_level, true},
    {"--timeout-offset", flag_id::offset, true},
    {"--web.request-timeout", flag_id::request_timeout, true},
    {"--help", flag_id::help, false},
    {"-h", flag_id::help, false},
    {"--version", flag_id::version, false},
};

bool apply(const flag_entry &flag, std::string_view value, exporter_options *out,
           std::string *error) {
    const std::string name(flag.name);
    switch (flag.id) {
        case flag_id::listen: {
            std::string host;
            int port = 0;
            if (!parse_listen_address(value, &host, &port, error)) {
                *error = name + ": " + *error;
                return false;
            }
            out->listen_address = std::string(value);
            return true;
        }
        case flag_id::config:
            if (value.empty()) {
                *error = name + ": empty path";
                return false;
            }
            out->config_file = std::string(value);
            return true;
        case flag_id::max_requests:
            if (!parse_int(value, 1, kMaxProbesInFlight, &out->max_requests)) {
                *error = name + ": not a whole number 1.." + std::to_string(kMaxProbesInFlight) +
                         " (the client library runs at most " + std::to_string(kMaxProbesInFlight) +
                         " modules at once)";
                return false;
            }
            return true;
        case flag_id::log_level:
            if (!parse_log_level(value, &out->level)) {
                *error = name + ": not one of debug, info, warn, error";
                return false;
            }
            return true;
        case flag_id::offset: {
            double seconds = 0;
            if (!parse_duration(value, &seconds) || seconds > 60) {
                *error = name + ": not a duration from 0s to 60s (for example 0.5s or 500ms)";
                return false;
            }
            out->timeout_offset_s = seconds;
            return true;
        }
        case flag_id::request_timeout: {
            double seconds = 0;
            if (!parse_duration(value, &seconds) || seconds < 0.1 || seconds > 600) {
                *error = name + ": not a duration from 100ms to 10m (for example 10s)";
                return false;
            }
            out->request_timeout_s = seconds;
            return true;
        }
        case flag_id::help:
            out->help = true;
            return true;
        case flag_id::version:
            out->version = true;
            return true;
    }
    return false;
}

}  // namespace

bool parse_duration(std::string_view text, double *seconds) {
    if (text.empty()) return false;
    double total = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        // number: digits with at most one '.', at least one digit
        const size_t start = pos;
        bool digits = false;
        bool dot = false;
        while (pos < text.size()) {
            const char c = text[pos];
            if (c >= '0' && c <= '9') {
                digits = true;
            } else if (c == '.' && !dot) {
                dot = true;
            } else {
                break;
            }
            ++pos;
        }
        if (!digits || pos - start > 20) return false;
        const double number =
            std::strtod(std::string(text.substr(start, pos - start)).c_str(), nullptr);
        double unit = 0;
        if (text.substr(pos, 2) == "ms") {
            unit = 0.001;
            pos += 2;
        } else if (pos < text.size() && text[pos] == 's') {
            unit = 1;
            ++pos;
        } else if (pos < text.size() && text[pos] == 'm') {
            unit = 60;
            ++pos;
        } else if (pos < text.size() && text[pos] == 'h') {
            unit = 3600;
            ++pos;
        } else {
            return false;
        }
        total += number * unit;
        if (!std::isfinite(total) || total > 86400) return false;
    }
    *seconds = total;
    return true;
}

bool parse_listen_address(std::string_view text, std::string *host, int *port, std::string *error) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        *error = "not [ADDRESS]:PORT (for example :10942 or 127.0.0.1:10942)";
        return false;
    }
    const std::string_view host_text = text.substr(0, colon);
    if (!host_text.empty()) {
        in_addr address{};
        if (host_text.size() > 15 ||
            inet_pton(AF_INET, std::string(host_text).c_str(), &address) != 1) {
            *error = "the address is not a dotted IPv4 address (leave it out for every interface)";
            return false;
        }
    }
    if (!parse_int(text.substr(colon + 1), 0, 65535, port)) {
        *error = "the port is not a number 0..65535";
        return false;
    }
    *host = std::string(host_text);
    return true;
}

bool parse_options(int argc, const char *const *argv, exporter_options *out, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const size_t eq = arg.find('=');
        const std::string_view name = arg.substr(0, eq);
        const flag_entry *flag = nullptr;
        for (const flag_entry &entry : flags)
            if (entry.name == name) flag = &entry;
        if (flag == nullptr) {
            if (arg.rfind("-", 0) == 0)
                *error = "unknown flag " + std::string(name) + " (try --help)";
            else
                *error = "unexpected argument (the exporter takes flags only; try --help)";
            return false;
        }
        std::string_view value;
        if (flag->takes_value) {
            if (eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                *error = std::string(name) + " needs a value";
                return false;
            }
        } else if (eq != std::string_view::npos) {
            *error = std::string(name) + " takes no value";
            return false;
        }
        if (!apply(*flag, value, out, error)) return false;
    }
    return true;
}

std::string usage_text() {
    return "usage: tarvik_exporter [<flags>]\n"
           "\n"
           "Prometheus exporter for network environment-monitoring units: each scrape of\n"
           "/probe?target=HOST[:PORT]&module=NAME reads one unit and answers with its metrics.\n"
           "\n"
           "Flags:\n"
           "  -h, --help                 Show this help and exit.\n"
           "      --version              Show the version and exit.\n"
           "      --web.listen-address=\":10942\"\n"
           "                             [ADDRESS]:PORT to listen on (IPv4; port 0 picks a\n"
           "                             free port and logs it).\n"
           "      --config.file=FILE     YAML configuration: modules, target inventory,\n"
           "                             allowed networks. Without it one module \"default\"\n"
           "                             (no credentials, setup read, 10s time-out).\n"
           "      --web.max-requests=40  Probes in flight at most (1..98); past it /probe\n"
           "                             answers 503 at once.\n"
           "      --web.request-timeout=10s\n"
           "                             Time a client has to send its request header.\n"
           "      --timeout-offset=0.5s  Subtracted from Prometheus' scrape time-out\n"
           "                             (X-Prometheus-Scrape-Timeout-Seconds).\n"
           "      --log.level=info       Only log lines of this level and above: debug, info,\n"
           "                             warn, error.\n"
           "\n"
           "Endpoints: /probe, /metrics, /sd, /-/healthy, POST /-/reload (also on SIGHUP), /.\n";
}

std::string version_text() {
    return std::string("tarvik_exporter, version ") + QV_EXPORTER_VERSION + "\n";
}

}  // namespace exporter
