// The command line of tarvik_exporter, in the style of Prometheus' exporters: long flags
// with dotted names, "--flag=value" or "--flag value".
#pragma once

#include <string>
#include <string_view>

#include "exporter/log.h"

namespace exporter {

// The port the exporter listens on unless told otherwise.
constexpr int kDefaultPort = 10942;
// The client library runs at most 98 device modules at once; every probe holds one, so the
// in-flight cap may not pass this (a probe would otherwise wait on the library's limit).
constexpr int kMaxProbesInFlight = 98;

struct exporter_options {
    std::string listen_address = ":10942";  // [IPv4]:PORT; port 0 lets the system pick
    std::string config_file;                // empty: the built-in "default" module only
    int max_requests = 40;                  // probes in flight; past it 503 at once
    log_level level = log_level::info;
    double timeout_offset_s = 0.5;    // subtracted from Prometheus' scrape time-out
    double request_timeout_s = 10.0;  // whole request header read, and each response write
    bool help = false;
    bool version = false;
};

// Parses argv[1..]. On failure returns false with a one-line reason in *error (no flag
// values are echoed that could be credentials: the exporter takes none on its command line).
bool parse_options(int argc, const char *const *argv, exporter_options *out, std::string *error);

// The --help text.
std::string usage_text();
// The --version text.
std::string version_text();

// A duration in Go's notation as Prometheus uses it: one or more decimal numbers, each with
// a unit of "ms", "s", "m" or "h" ("10s", "1.5s", "1m30s", "250ms"). Returns false for
// anything else, for negative values and for values past one day.
bool parse_duration(std::string_view text, double *seconds);

// A listen address "[IPv4]:PORT" (":10942", "127.0.0.1:0"). On success *host is the address
// ("" for every interface) and *port 0..65535.
bool parse_listen_address(std::string_view text, std::string *host, int *port, std::string *error);

}  // namespace exporter
