// check_tarvik's command line and threshold ranges over fuzzed argument vectors, and its
// output for units whose sensor names and value texts are those arguments.
//
// Input: the arguments separated by NUL bytes (the program name excluded); at most kMaxArgs
// are used. Checked:
//  - a refused command line has a reason of one line;
//  - every accepted range (-w/-c, and each argument read as a range) reads back as the same
//    range from its own text, has start <= end, and alerts exactly outside (or with '@'
//    inside) its ends;
//  - clean_text never leaves a control character or '|', and cleaning twice changes nothing;
//  - the rendered output of an accepted command line ends with a newline, holds no control
//    character but the line ends, and its first line has the plugin's prefix.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check/options.h"
#include "check/range.h"
#include "check/report.h"
#include "fuzz_records.h"

namespace {

constexpr size_t kMaxArgs = 24;

void check_range(const check::threshold_range &r, const std::string &context) {
    if (r.start && r.end && *r.start > *r.end) fuzz_fail("range start above end", context.c_str());
    const std::string text = check::range_text(r);
    const std::optional<check::threshold_range> again = check::parse_range(text);
    if (!again || again->start != r.start || again->end != r.end || again->inside != r.inside)
        fuzz_fail("range text does not read back", (context + " -> " + text).c_str());
    if (text.find_first_of("eE") != std::string::npos)
        fuzz_fail("range text in scientific notation", text.c_str());
    // The ends belong to the range; just outside them the answer flips.
    for (const std::optional<double> &end : {r.start, r.end}) {
        if (!end) continue;
        if (check::alerts(r, *end) != r.inside) fuzz_fail("range end misjudged", context.c_str());
    }
    if (r.start && std::isfinite(std::nextafter(*r.start, -INFINITY)) &&
        check::alerts(r, std::nextafter(*r.start, -INFINITY)) == r.inside)
        fuzz_fail("below start misjudged", context.c_str());
    if (r.end && std::isfinite(std::nextafter(*r.end, INFINITY)) &&
        check::alerts(r, std::nextafter(*r.end, INFINITY)) == r.inside)
        fuzz_fail("above end misjudged", context.c_str());
}

void check_clean(const std::string &text) {
    const std::string clean = check::clean_text(text);
    for (char c : clean)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '|')
            fuzz_fail("control character or bar left by clean_text", clean.c_str());
    if (check::clean_text(clean) != clean) fuzz_fail("clean_text not idempotent", clean.c_str());
    const std::string label = check::perf_label(text);
    if (label.find('=') != std::string::npos && label.front() != '\'')
        fuzz_fail("label with '=' not quoted", label.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size && args.size() < kMaxArgs; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() < kMaxArgs) args.push_back(current);

    for (const std::string &arg : args) {
        std::string why;
        if (const std::optional<check::threshold_range> r = check::parse_range(arg, &why))
            check_range(*r, arg);
        else if (why.empty())
            fuzz_fail("range refused without a reason", arg.c_str());
        check_clean(arg);
    }

    std::string why;
    const std::optional<check::options> opts = check::parse_command_line(args, &why);
    if (!opts) {
        if (why.empty() || why.find('\n') != std::string::npos)
            fuzz_fail("refusal without a one-line reason", why.c_str());
        return 0;
    }
    for (const auto &r : {opts->warning, opts->critical})
        if (r) check_range(*r, "general");
    for (const auto *list : {&opts->warning_for, &opts->critical_for})
        for (const check::sensor_range &r : *list) check_range(r.range, r.text);

    // A unit whose sensors are named after the arguments, valued by them where they are
    // numbers.
    snapshot::probe_result probe;
    probe.success = true;
    for (size_t i = 0; i < args.size(); ++i) {
        snapshot::sensor s;
        s.id = std::to_string(i);
        s.name = args[i];
        s.value_text = args[i];
        s.unit_text = i % 2 == 0 ? "%RH" : args[i];
        s.conversion = snapshot::conversion_of(s.unit_text);
        s.value = snapshot::parse_decimal(args[i]);
        if (i % 3 == 0) s.low = s.value ? std::optional<double>(*s.value - 1) : std::nullopt;
        if (i % 3 == 1) s.high = 10;
        s.state = snapshot::parse_alarm_state(args[i]);
        s.alarm_active = s.state == snapshot::alarm_state::alarm;
        s.out_of_range = s.value && ((s.low && *s.value < *s.low) || (s.high && *s.value > *s.high));
        probe.model.sensors.push_back(s);
    }
    const check::verdict v = check::judge(probe.model, *opts);
    const std::string out = check::render(v, probe, *opts);
    if (out.empty() || out.back() != '\n') fuzz_fail("output without its final newline", out.c_str());
    if (out.rfind("TARVIK ", 0) != 0) fuzz_fail("output without the prefix", out.c_str());
    for (char c : out)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f)
            fuzz_fail("control character in the output", out.c_str());
    return 0;
}
