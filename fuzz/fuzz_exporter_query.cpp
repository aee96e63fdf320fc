// The exporter's /probe input: the raw query (parse_probe_query, parse_query), the target
// (parse_target) and the scrape time-out header (probe_deadline), over fuzzed bytes.
//
// Input: the query string; the same bytes are also tried as a target and as the header
// value (up to the first NUL). Checked: a refusal has a one-line, printable ASCII reason (the
// input is never echoed, so nothing a client sends can reach a log line or an error page);
// an accepted query has a target whose host is 1..99 characters of [A-Za-z0-9.-], a port
// 1..65535 and a valid module name; the target re-encoded and parsed again gives the same
// host and port; a deadline is positive, finite and no larger than the module's time-out.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exporter/query.h"
#include "exporter/server.h"
#include "fuzz_records.h"

namespace {

void check_reason(const std::string &reason) {
    if (reason.empty()) fuzz_fail("refusal without a reason", "");
    for (unsigned char c : reason)
        if (c < ' ' || c >= 0x7f) fuzz_fail("reason not printable ASCII", reason.c_str());
}

void check_target(const exporter::probe_target &target) {
    if (target.host.empty() || target.host.size() > exporter::kMaxHostLength)
        fuzz_fail("host length", target.host.c_str());
    for (char c : target.host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!ok) fuzz_fail("host character", target.host.c_str());
    }
    if (target.port < 1 || target.port > 65535) fuzz_fail("port range", target.host.c_str());
}

std::string encode(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) return 0;
    const std::string raw(reinterpret_cast<const char *>(data), size);

    exporter::probe_query query;
    std::string reason;
    if (exporter::parse_probe_query(raw, &query, &reason)) {
        check_target(query.target);
        if (!exporter::valid_module_name(query.module))
            fuzz_fail("module name", query.module.c_str());
        exporter::probe_query again;
        if (!exporter::parse_probe_query("target=" + encode(query.target_text), &again, &reason))
            fuzz_fail("re-encoded target refused", reason.c_str());
        if (again.target.host != query.target.host || again.target.port != query.target.port)
            fuzz_fail("re-encoded target differs", query.target_text.c_str());
    } else {
        check_reason(reason);
    }

    std::vector<exporter::query_param> params;
    if (exporter::parse_query(raw, &params, &reason)) {
        if (params.size() > exporter::kMaxQueryParams) fuzz_fail("too many parameters kept", "");
    } else {
        check_reason(reason);
    }

    exporter::probe_target target;
    if (exporter::parse_target(raw, &target, &reason))
        check_target(target);
    else
        check_reason(reason);

    const std::string header = raw.substr(0, raw.find('\0'));
    double deadline = -1;
    if (exporter::probe_deadline(header.c_str(), 0.5, 10, &deadline)) {
        if (!(deadline > 0) || !std::isfinite(deadline) || deadline > 10)
            fuzz_fail("deadline out of range", header.c_str());
    }
    return 0;
}
