// tarvik-device's scenario rules (--scenario TEXT, --scenario-file FILE): any text is either
// read into rules or refused with a reason, never a crash, and the behaviour picked for a
// request stays within what the unit can do (no negative sizes or pauses).
//
// Input: the rule text. "send" actions name files; the fuzzer's texts rarely name one that
// exists, and a file over 64 MiB is refused, so a run stays bounded.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_records.h"
#include "scenario.h"

namespace {

void check(const device::behaviour &b, const char *what) {
    if (b.delay_ms < 0 || b.drip_bytes < 0 || b.drip_ms < 0 || b.slow_bytes < 0 || b.slow_ms < 0 ||
        b.split_header_ms < -1)
        fuzz_fail("negative size or pause in a behaviour", what);
    if (b.status < 100 || b.status > 999) fuzz_fail("status outside 100..999", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    device::scenario s;
    std::string error;
    if (!s.add_rules(text, &error) && error.empty())
        fuzz_fail("a refused rule without a reason", text.c_str());
    check(s.before_request_line(), "before the request line");
    static const char *const methods[] = {"GET", "POST", "PUT"};
    static const char *const paths[] = {"/values.xml", "/setup.xml", "/"};
    for (unsigned number = 1; number <= 4; ++number)
        for (int i = 0; i < 3; ++i)
            check(s.for_request(number, methods[i], paths[i]), text.c_str());
    (void)s.reads_slowly();
    return 0;
}
