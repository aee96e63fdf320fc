// The check's decisions and its output: states of the sensors and binary inputs of one
// unit, the status line, detail lines and performance data in the monitoring plugins'
// format.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check/options.h"
#include "check/range.h"
#include "snapshot/snapshot.h"

namespace check {

// Plugin states; the numbers are the exit codes.
enum class state { ok = 0, warning = 1, critical = 2, unknown = 3 };
const char *state_name(state s);  // "OK", "WARNING", "CRITICAL", "UNKNOWN"
// The state that wins when items are combined: CRITICAL, then WARNING, then UNKNOWN, then OK.
state worse(state a, state b);

// Why an item has its state.
enum class cause {
    none,            // nothing wrong
    alarm,           // the unit reports its alarm active
    out_of_range,    // outside the unit's safe range, no alarm yet
    warning_range,   // alerts the -w range
    critical_range,  // alerts the -c range
    no_reading,      // no number to judge
};

struct sensor_verdict {
    const snapshot::sensor *sensor = nullptr;  // into the model judged
    state result = state::ok;
    cause why = cause::none;
    // The -w/-c ranges that apply to it; with either present they decide, not the unit.
    std::optional<threshold_range> warning, critical;
};

struct input_verdict {
    const snapshot::binary_input *input = nullptr;
    state result = state::ok;
    cause why = cause::none;
};

struct verdict {
    std::vector<sensor_verdict> sensors;  // the checked ones, in the unit's order
    std::vector<input_verdict> inputs;    // empty when inputs are not checked
    state overall = state::ok;
    // A selection the unit cannot satisfy (-s or ID= naming no sensor of it): the check is
    // UNKNOWN with this reason.
    std::string error;
};

// The decisions for `model` (which must outlive the result) under `opts`:
//  - a sensor with a -w or -c range (its own "ID=", else the general one) is CRITICAL when
//    its value alerts -c, else WARNING when it alerts -w, else OK; UNKNOWN without a value;
//  - other sensors follow the unit: CRITICAL when its alarm is active, WARNING when the
//    value lies outside the safe range, UNKNOWN without a value unless the unit does not
//    watch the entry (state inactive), else OK;
//  - binary inputs (when checked): CRITICAL when their alarm is active, else OK.
// -s and ID= match a sensor's ID, else its name, exactly.
verdict judge(const snapshot::device &model, const options &opts);

// `text` fit for one line of plugin output: control characters and '|' (which would end the
// text part) become '_', bytes that are not valid UTF-8 become '?'.
std::string clean_text(std::string_view text);
// The number of characters (UTF-8 code points) of a clean text.
size_t display_width(std::string_view text);

// A performance-data label: the cleaned text, in single quotes unless it consists only of
// letters, digits, '_', '.', '-' (quotes inside doubled).
std::string perf_label(std::string_view text);

// The whole output (ending with a newline) for a probe that read the unit: the status line
// (at most 80 characters where it can be), detail lines when more than one item is checked
// or -v is given, output states with --outputs, the unit and probe with -vv, then '|' and
// the performance data of every checked sensor.
std::string render(const verdict &v, const snapshot::probe_result &probe, const options &opts);

// The output of a failed probe (always UNKNOWN): the library's message and code, or the
// time limit, with the stage it was in.
std::string render_failure(const snapshot::probe_result &probe, const options &opts);
// The output when the time limit ends the check while the probe is still in stage `at`.
std::string render_timeout(snapshot::stage at, const options &opts);
// The output of a check that could not start (bad command line and the like).
std::string render_unknown(const std::string &reason);

}  // namespace check
