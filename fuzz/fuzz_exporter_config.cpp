// The exporter's configuration parser (parse_config) over fuzzed YAML text.
//
// Password files are read through a stand-in reader that returns a marker text, so no file
// is touched. Checked after an accepted configuration: at least one module; every module name
// valid, its time-out within (0, 300] s, its user and password at most 99 bytes without
// control characters, a password only with a user; every inventory target parses as
// HOST[:PORT]; every label name valid and every label value UTF-8; every module a group
// names exists; an allow-list, when present, is not empty; the /sd document has no raw
// control character. Checked after a refusal: the reason is one non-empty line and never
// holds the marker (a password read from a file is never quoted).
#include <cstddef>
#include <cstdint>
#include <string>

#include "exporter/config.h"
#include "exporter/pages.h"
#include "exporter/query.h"
#include "fuzz_records.h"

namespace {

const char kMarker[] = "MARKERpw";

bool reader(const std::string &, std::string *contents, std::string *) {
    *contents = kMarker;
    return true;
}

void check_credential(const std::string &text, const char *what) {
    if (text.size() > 99) fuzz_fail("credential longer than 99 bytes", what);
    for (unsigned char c : text)
        if (c < ' ' || c == 0x7f) fuzz_fail("credential with a control character", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    const std::string text(reinterpret_cast<const char *>(data), size);
    exporter::exporter_config config;
    std::string reason;
    if (!exporter::parse_config(text, "/etc/tarvik", reader, &config, &reason)) {
        if (reason.empty()) fuzz_fail("refusal without a reason", "");
        if (reason.find('\n') != std::string::npos)
            fuzz_fail("reason of several lines", reason.c_str());
        if (text.find(kMarker) == std::string::npos && reason.find(kMarker) != std::string::npos)
            fuzz_fail("reason quotes a password", reason.c_str());
        return 0;
    }
    if (config.modules.empty()) fuzz_fail("configuration without modules", "");
    for (const auto &[name, module] : config.modules) {
        if (name != module.name || !exporter::valid_module_name(name))
            fuzz_fail("bad module name", name.c_str());
        if (!(module.timeout_s > 0) || module.timeout_s > 300)
            fuzz_fail("time-out out of range", name.c_str());
        check_credential(module.username, "username");
        check_credential(module.password, "password");
        if (!module.password.empty() && module.username.empty())
            fuzz_fail("password without a user", name.c_str());
    }
    for (const exporter::target_group &group : config.target_groups) {
        if (!group.module.empty() && config.modules.count(group.module) == 0)
            fuzz_fail("group names a missing module", group.module.c_str());
        for (const std::string &target : group.targets) {
            exporter::probe_target parsed;
            std::string why;
            if (!exporter::parse_target(target, &parsed, &why))
                fuzz_fail("bad target kept", target.c_str());
        }
        for (const auto &[label, value] : group.labels) {
            if (!exporter::valid_label_name(label)) fuzz_fail("bad label name kept", label.c_str());
            if (!exporter::valid_utf8(value)) fuzz_fail("label value not UTF-8", label.c_str());
        }
    }
    if (config.allowed_networks && config.allowed_networks->empty())
        fuzz_fail("empty allow-list kept", "");
    const std::string sd = exporter::render_sd_json(config);
    for (size_t i = 0; i < sd.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(sd[i]);
        if (c < ' ' && c != '\n') fuzz_fail("raw control character in /sd", "");
    }
    return 0;
}
