// Decisions and output of the check (see report.h).
#include "check/report.h"

#include <cmath>
#include <set>

namespace check {

namespace {

constexpr size_t kStatusWidth = 80;
constexpr char kPrefix[] = "TARVIK ";

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool names(const snapshot::sensor &s, const std::string &key) {
    return (!trimmed(s.id).empty() && trimmed(s.id) == trimmed(key)) || s.name == key;
}

// Digits after the point the unit shows for this sensor: those of its value text, or the
// exponent of a meter reading; at most 6.
int shown_decimals(const snapshot::sensor &s) {
    int decimals = 0;
    if (s.meter) {
        const std::optional<double> e = snapshot::parse_decimal(s.exp_text);
        if (e && *e < 0) decimals = static_cast<int>(-*e);
    } else {
        const std::string_view text = trimmed(s.value_text);
        const size_t point = text.find('.');
        if (point != std::string_view::npos) {
            size_t end = point + 1;
            while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
            decimals = static_cast<int>(end - point - 1);
        }
    }
    return decimals > 6 ? 6 : decimals;
}

// A number for people: `decimals` digits after the point, never in scientific notation.
std::string shown_number(double value, int decimals) {
    if (!std::isfinite(value)) return "?";
    // Large magnitudes fall back to the perfdata text (fixed, shortest).
    if (std::fabs(value) >= 1e15) return number_text(value);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    if (text.find_first_not_of("-0.") == std::string::npos && text[0] == '-')
        text.erase(0, 1);  // "-0.0" shows as "0.0"
    return text;
}

std::string sensor_label(const snapshot::sensor &s) {
    const std::string name = clean_text(trimmed(s.name));
    return name.empty() ? "sensor " + clean_text(trimmed(s.id)) : name;
}

std::string input_label(const snapshot::binary_input &in) {
    const std::string name = clean_text(trimmed(in.name));
    return name.empty() ? "input " + clean_text(trimmed(in.id)) : name;
}

std::string on_off(const std::optional<int> &value, const std::string &text) {
    if (!value) {
        std::string quoted = "'";
        quoted += clean_text(text);
        return quoted + "'";
    }
    return *value == 1 ? "on" : "off";
}

// "Inlet temp 31.4 °C (10.0..28.0)"; `with_range` false leaves the parenthesis out.
std::string sensor_summary(const sensor_verdict &v, bool with_range) {
    const snapshot::sensor &s = *v.sensor;
    std::string text = sensor_label(s);
    if (!s.value) return text + " no reading";
    const int decimals = shown_decimals(s);
    text += " " + shown_number(*s.value, decimals);
    const std::string unit = clean_text(trimmed(s.unit_text));
    if (!unit.empty()) text += " " + unit;
    if (!with_range) return text;
    if (v.warning || v.critical) {
        if (v.why == cause::critical_range) text += " (critical " + range_text(*v.critical) + ")";
        if (v.why == cause::warning_range) text += " (warning " + range_text(*v.warning) + ")";
    } else if (s.low || s.high) {
        text += " (" + (s.low ? shown_number(*s.low, decimals) : "") + ".." +
                (s.high ? shown_number(*s.high, decimals) : "") + ")";
    }
    return text;
}

std::string input_summary(const input_verdict &v) {
    return input_label(*v.input) + " " + on_off(v.input->value, v.input->value_text);
}

const char *cause_text(cause c) {
    switch (c) {
        case cause::alarm:
            return "in alarm";
        case cause::out_of_range:
            return "outside the safe range";
        case cause::warning_range:
            return "warning";
        case cause::critical_range:
            return "critical";
        case cause::no_reading:
            return "without a reading";
        case cause::none:
            break;
    }
    return "normal";
}

// Several causes in one state are named by the state.
const char *common_cause(const std::vector<cause> &causes, state s) {
    std::set<cause> distinct(causes.begin(), causes.end());
    if (distinct.size() == 1) return cause_text(*distinct.begin());
    return s == state::critical ? "critical" : s == state::warning ? "warning" : "unknown";
}

std::string plural(size_t count, const char *word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string status_line(const verdict &v) {
    const std::string head = std::string(kPrefix) + state_name(v.overall) + " - ";
    const size_t items = v.sensors.size() + v.inputs.size();
    if (items == 0) return head + "no sensors to check";

    // The items in the overall state, and the first of them to name.
    std::vector<cause> causes;
    size_t sensors_in = 0, inputs_in = 0;
    const sensor_verdict *first_sensor = nullptr;
    const input_verdict *first_input = nullptr;
    for (const sensor_verdict &s : v.sensors)
        if (s.result == v.overall) {
            ++sensors_in;
            causes.push_back(s.why);
            if (first_sensor == nullptr) first_sensor = &s;
        }
    for (const input_verdict &in : v.inputs)
        if (in.result == v.overall) {
            ++inputs_in;
            causes.push_back(in.why);
            if (first_input == nullptr) first_input = &in;
        }
    const char *how = common_cause(causes, v.overall);

    auto fits = [](const std::string &line) { return display_width(line) <= kStatusWidth; };
    if (items == 1) {
        std::string line = head + (first_sensor != nullptr ? sensor_summary(*first_sensor, true)
                                                           : input_summary(*first_input));
        // A range that decided is named in the parenthesis already.
        const cause why = first_sensor != nullptr ? first_sensor->why : first_input->why;
        if (v.overall != state::ok && why != cause::warning_range && why != cause::critical_range)
            line += std::string(", ") + how;
        return line;
    }

    std::string counts;
    if (v.overall == state::ok) {
        if (!v.sensors.empty()) counts = plural(v.sensors.size(), "sensor");
        if (!v.inputs.empty())
            counts += (counts.empty() ? "" : " and ") + plural(v.inputs.size(), "input");
        return head + counts + " normal";
    }
    if (sensors_in > 0)
        counts = std::to_string(sensors_in) + " of " + plural(v.sensors.size(), "sensor");
    if (inputs_in > 0)
        counts += (counts.empty() ? "" : ", ") + std::to_string(inputs_in) + " of " +
                  plural(v.inputs.size(), "input");
    const std::string line = head + counts + " " + how;
    for (bool with_range : {true, false}) {
        const std::string item = first_sensor != nullptr ? sensor_summary(*first_sensor, with_range)
                                                         : input_summary(*first_input);
        if (fits(line + ": " + item)) return line + ": " + item;
    }
    return line;
}

std::string detail_line(const sensor_verdict &v) {
    std::string line = std::string("[") + state_name(v.result) + "] " + sensor_summary(v, true);
    if (v.why == cause::alarm || v.why == cause::out_of_range)
        line += std::string(", ") + cause_text(v.why);
    return line;
}

std::string detail_line(const input_verdict &v) {
    std::string line = std::string("[") + state_name(v.result) + "] " + input_summary(v);
    if (v.why == cause::alarm) line += ", in alarm";
    return line;
}

// One performance-data entry: 'label'=value[UOM];warn;crit (trailing empty fields dropped).
std::string perf_entry(const sensor_verdict &v, const std::string &label) {
    const snapshot::sensor &s = *v.sensor;
    const char *uom = "";
    if (s.conversion.unit == snapshot::base_unit::ratio) uom = "%";
    if (s.conversion.counter) uom = "c";
    std::string warn, crit;
    if (v.warning || v.critical) {
        if (v.warning) warn = range_text(*v.warning);
        if (v.critical) crit = range_text(*v.critical);
    } else if (s.low || s.high) {
        // The unit's safe range stands for both: outside it the unit warns, then alarms.
        warn = crit = range_text({s.low, s.high, false});
    }
    std::string entry = perf_label(label) + "=" + (s.value ? number_text(*s.value) : "U");
    if (s.value) entry += uom;
    if (!warn.empty() || !crit.empty()) entry += ";" + warn;
    if (!crit.empty()) entry += ";" + crit;
    return entry;
}

// Unique labels: a name that several checked sensors share gets the ID appended.
std::vector<std::string> perf_labels(const std::vector<sensor_verdict> &sensors) {
    std::vector<std::string> labels;
    std::multiset<std::string> seen;
    for (const sensor_verdict &v : sensors) {
        labels.push_back(sensor_label(*v.sensor));
        seen.insert(labels.back());
    }
    for (size_t i = 0; i < sensors.size(); ++i)
        if (seen.count(labels[i]) > 1) {
            labels[i] += ' ';
            labels[i] += clean_text(trimmed(sensors[i].sensor->id));
        }
    return labels;
}

// "reading values.xml from 127.0.0.1:80", or without the target when `line_so_far` would
// pass the status width with it.
std::string stage_phrase(snapshot::stage at, const std::string &line_so_far,
                         const std::string &where) {
    std::string verb = "connecting", link = " to ";
    if (at == snapshot::stage::values) verb = "reading values.xml", link = " from ";
    if (at == snapshot::stage::setup) verb = "reading setup.xml", link = " from ";
    const std::string full = verb + link + where;
    return display_width(line_so_far + full) <= kStatusWidth ? full : verb;
}

std::string target(const options &opts) {
    return clean_text(opts.host) + ":" + std::to_string(opts.port);
}

}  // namespace

const char *state_name(state s) {
    switch (s) {
        case state::ok:
            return "OK";
        case state::warning:
            return "WARNING";
        case state::critical:
            return "CRITICAL";
        case state::unknown:
            break;
    }
    return "UNKNOWN";
}

state worse(state a, state b) {
    auto rank = [](state s) {
        switch (s) {
            case state::critical:
                return 3;
            case state::warning:
                return 2;
            case state::unknown:
                return 1;
            case state::ok:
                break;
        }
        return 0;
    };
    return rank(a) >= rank(b) ? a : b;
}

verdict judge(const snapshot::device &model, const options &opts) {
    verdict v;
    auto named = [&](const std::string &key) {
        for (const snapshot::sensor &s : model.sensors)
            if (names(s, key)) return true;
        return false;
    };
    for (const std::string &key : opts.sensors)
        if (!named(key)) {
            v.error = "no sensor '" + clean_text(key) + "' on the unit";
            v.overall = state::unknown;
            return v;
        }
    for (const auto *list : {&opts.warning_for, &opts.critical_for})
        for (const sensor_range &r : *list)
            if (!named(r.sensor)) {
                v.error = "no sensor '" + clean_text(r.sensor) + "' on the unit (in '" +
                          clean_text(r.text) + "')";
                v.overall = state::unknown;
                return v;
            }

    for (const snapshot::sensor &s : model.sensors) {
        bool selected = opts.sensors.empty();
        for (const std::string &key : opts.sensors) selected = selected || names(s, key);
        if (!selected) continue;
        sensor_verdict sv;
        sv.sensor = &s;
        sv.warning = opts.warning;
        sv.critical = opts.critical;
        for (const sensor_range &r : opts.warning_for)
            if (names(s, r.sensor)) sv.warning = r.range;
        for (const sensor_range &r : opts.critical_for)
            if (names(s, r.sensor)) sv.critical = r.range;
        if (sv.warning || sv.critical) {
            if (!s.value) {
                sv.result = state::unknown;
                sv.why = cause::no_reading;
            } else if (sv.critical && alerts(*sv.critical, *s.value)) {
                sv.result = state::critical;
                sv.why = cause::critical_range;
            } else if (sv.warning && alerts(*sv.warning, *s.value)) {
                sv.result = state::warning;
                sv.why = cause::warning_range;
            }
        } else if (s.alarm_active) {
            sv.result = state::critical;
            sv.why = cause::alarm;
        } else if (s.out_of_range) {
            sv.result = state::warning;
            sv.why = cause::out_of_range;
        } else if (!s.value && s.state != snapshot::alarm_state::inactive) {
            sv.result = state::unknown;
            sv.why = cause::no_reading;
        }
        v.overall = worse(v.overall, sv.result);
        v.sensors.push_back(sv);
    }

    if (opts.check_inputs())
        for (const snapshot::binary_input &in : model.inputs) {
            input_verdict iv;
            iv.input = &in;
            if (in.alarm_active) {
                iv.result = state::critical;
                iv.why = cause::alarm;
            }
            v.overall = worse(v.overall, iv.result);
            v.inputs.push_back(iv);
        }
    return v;
}

std::string clean_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += (c < 0x20 || c == 0x7f || c == '|') ? '_' : static_cast<char>(c);
            ++i;
            continue;
        }
        // A whole UTF-8 sequence (no overlong forms, no surrogates, at most U+10FFFF).
        size_t length = 0;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            valid = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        }
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

size_t display_width(std::string_view text) {
    size_t n = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

std::string perf_label(std::string_view text) {
    const std::string clean = clean_text(text);
    bool plain = !clean.empty();
    for (char c : clean)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-');
    if (plain) return clean;
    std::string quoted = "'";
    for (char c : clean) {
        quoted += c;
        if (c == '\'') quoted += '\'';
    }
    return quoted + "'";
}

std::string render(const verdict &v, const snapshot::probe_result &probe, const options &opts) {
    if (!v.error.empty()) return render_unknown(v.error);
    std::vector<std::string> lines{status_line(v)};
    const bool details = v.sensors.size() + v.inputs.size() > 1 || opts.verbosity >= 1;
    if (details) {
        for (const sensor_verdict &s : v.sensors) lines.push_back(detail_line(s));
        for (const input_verdict &in : v.inputs) lines.push_back(detail_line(in));
    }
    if (opts.outputs)
        for (const snapshot::binary_output &o : probe.model.outputs) {
            const std::string name = clean_text(trimmed(o.name));
            lines.push_back("Output " + (name.empty() ? clean_text(trimmed(o.id)) : name) + ": " +
                            on_off(o.value, o.value_text) + ", " +
                            snapshot::output_mode_name(o.mode));
        }
    if (opts.verbosity >= 2) {
        const snapshot::identity &u = probe.model.unit;
        lines.push_back("Unit: " + clean_text(u.device_name) + ", model " + clean_text(u.model) +
                        ", firmware " + clean_text(u.firmware) + ", MAC " + clean_text(u.mac) +
                        ", " + clean_text(u.title));
        lines.push_back("Probe of " + target(opts) + ": " +
                        number_text(std::round(probe.duration.count() * 1000) / 1000) + " s, " +
                        (probe.setup_read ? "setup read" : "setup not read"));
    }
    if (opts.verbosity >= 3)
        for (const sensor_verdict &sv : v.sensors) {
            const snapshot::sensor &s = *sv.sensor;
            const char *from = s.range_from == snapshot::range_source::setup    ? "setup"
                               : s.range_from == snapshot::range_source::values ? "values"
                                                                                : "none";
            lines.push_back("Sensor " + clean_text(s.id) + ": value '" + clean_text(s.value_text) +
                            "', unit '" + clean_text(s.unit_text) + "', state '" +
                            clean_text(s.state_text) + "' (" + snapshot::alarm_state_name(s.state) +
                            "), range from " + from);
        }

    std::string perf;
    const std::vector<std::string> labels = perf_labels(v.sensors);
    for (size_t i = 0; i < v.sensors.size(); ++i) {
        if (!perf.empty()) perf += ' ';
        perf += perf_entry(v.sensors[i], labels[i]);
    }

    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        // The data follow the last line of text (the first when it is the only one).
        if (i + 1 == lines.size() && !perf.empty()) out += " | " + perf;
        out += '\n';
    }
    return out;
}

std::string render_failure(const snapshot::probe_result &probe, const options &opts) {
    if (probe.timed_out) return render_timeout(probe.failed_stage, opts);
    std::string reason =
        probe.error.code == 0 && probe.error.message.empty()
            ? std::string("probe failed")
            : clean_text(probe.error.message) + " (" + std::to_string(probe.error.code) + ")";
    const std::string line = std::string(kPrefix) + "UNKNOWN - " + reason + " while ";
    std::string out = line + stage_phrase(probe.failed_stage, line, target(opts)) + "\n";
    if (opts.verbosity >= 1 && probe.error.errno_value != 0)
        out += "errno " + std::to_string(probe.error.errno_value) + ": " +
               clean_text(probe.error.errno_text) + "\n";
    return out;
}

std::string render_timeout(snapshot::stage at, const options &opts) {
    const std::string line = std::string(kPrefix) + "UNKNOWN - timeout after " +
                             number_text(opts.timeout_s) + " s while ";
    return line + stage_phrase(at, line, target(opts)) + "\n";
}

std::string render_unknown(const std::string &reason) {
    return std::string(kPrefix) + "UNKNOWN - " + clean_text(reason) + "\n";
}

}  // namespace check
