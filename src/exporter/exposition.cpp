#include "exporter/exposition.h"

#include <prometheus/labels.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <optional>

#include "exporter/config.h"

namespace exporter {

namespace {

using prometheus::Labels;

// The families of one answer, in the order in which they were first used (probe metrics
// first, then the unit, its sensors, inputs and outputs), handed to prometheus-cpp's text
// serializer. Built as the serializer's own data model rather than through a Registry: a
// registry's families and series (hashed label sets, a mutex and atomics per series) cost
// more than the rest of a probe's rendering, and nothing here outlives the answer anyway.
// Series with the same labels in one family are one series, as a registry keeps them: a
// gauge has the last value set, a counter the sum of its increments.
class answer_families {
public:
    // `help` is read only when `name` is new to the answer.
    void gauge(std::string_view name, std::string_view help, const Labels &labels, double value) {
        add(name, help, prometheus::MetricType::Gauge, labels).gauge.value = value;
    }
    void counter(std::string_view name, std::string_view help, const Labels &labels, double value) {
        if (!(value >= 0)) return;  // a counter never goes below zero
        add(name, help, prometheus::MetricType::Counter, labels).counter.value = value;
    }
    std::string text() {
        for (prometheus::MetricFamily &family : families_) merge_same_labels(family);
        return prometheus::TextSerializer().Serialize(families_);
    }

private:
    prometheus::ClientMetric &add(std::string_view name, std::string_view help,
                                  prometheus::MetricType type, const Labels &labels) {
        // An answer has a few dozen families at most: a linear search beats a map here.
        auto found = std::find_if(families_.begin(), families_.end(),
                                  [&](const auto &f) { return f.name == name; });
        if (found == families_.end()) {
            families_.push_back({std::string(name), std::string(help), type, {}});
            found = families_.end() - 1;
        }
        prometheus::ClientMetric &metric = found->metric.emplace_back();
        metric.label.reserve(labels.size());
        for (const auto &[label, value] : labels) metric.label.push_back({label, value});
        return metric;
    }

    // Series in a stable order (their labels, not the order of the unit's entries), those
    // with equal labels folded into one.
    static void merge_same_labels(prometheus::MetricFamily &family) {
        auto &series = family.metric;
        std::stable_sort(series.begin(), series.end(),
                         [](const auto &a, const auto &b) { return a.label < b.label; });
        size_t kept = 0;
        for (size_t i = 0; i < series.size(); ++i) {
            if (kept > 0 && series[kept - 1].label == series[i].label) {
                if (family.type == prometheus::MetricType::Counter)
                    series[kept - 1].counter.value += series[i].counter.value;
                else
                    series[kept - 1].gauge.value = series[i].gauge.value;
                continue;
            }
            if (kept != i) series[kept] = std::move(series[i]);
            ++kept;
        }
        series.resize(kept);
    }

    std::vector<prometheus::MetricFamily> families_;
};

// The quantity word of a metric name and the help text's noun, by base unit; "" when the
// reading has no known unit.
struct quantity {
    std::string word;  // "temperature", ...; "" for a bare ratio or an unknown unit
    std::string unit;  // "celsius", ...; "" for an unknown unit
    std::string noun;  // for the help text
};

bool mentions_rh(std::string_view unit_text) {
    for (size_t i = 0; i + 1 < unit_text.size(); ++i) {
        const char a = unit_text[i], b = unit_text[i + 1];
        if ((a == 'R' || a == 'r') && (b == 'H' || b == 'h')) return true;
    }
    return false;
}

quantity quantity_of(const snapshot::sensor &s) {
    switch (s.conversion.unit) {
        case snapshot::base_unit::celsius:
            return {"temperature", "celsius", "Temperature"};
        case snapshot::base_unit::ratio:
            if (mentions_rh(s.unit_text)) return {"humidity", "ratio", "Relative humidity"};
            return {"", "ratio", "Percentage as a ratio"};
        case snapshot::base_unit::volts:
            return {"voltage", "volts", "Voltage"};
        case snapshot::base_unit::amperes:
            return {"current", "amperes", "Current"};
        case snapshot::base_unit::watts:
            return {"power", "watts", "Power"};
        case snapshot::base_unit::joules:
            return {"energy", "joules", "Energy"};
        case snapshot::base_unit::none:
            break;
    }
    return {"", "", "Reading"};
}

// prefix[_word][_middle][_unit]
std::string metric_name(const std::string &prefix, const quantity &q, const std::string &middle) {
    std::string name = prefix;
    if (!q.word.empty()) name += "_" + q.word;
    if (!middle.empty()) name += "_" + middle;
    if (!q.unit.empty()) name += "_" + q.unit;
    return name;
}

void render_sensor(answer_families &out, const snapshot::sensor &s) {
    const std::string prefix = s.meter ? "tarvik_meter" : "tarvik_sensor";
    const std::string what = s.meter ? "power-meter reading" : "sensor";
    const quantity q = quantity_of(s);
    Labels labels = {{"id", utf8_or_replacement(s.id)}, {"name", utf8_or_replacement(s.name)}};
    if (q.unit.empty()) labels["unit"] = utf8_or_replacement(s.unit_text);

    if (s.base_value) {
        const std::string help =
            q.unit.empty()
                ? "Value of a " + what + " whose unit has no base unit here (label unit)."
                : q.noun + " of a " + what + " in " + q.unit + ".";
        if (s.conversion.counter)
            out.counter(metric_name(prefix, q, "") + "_total", help, labels, *s.base_value);
        else
            out.gauge(metric_name(prefix, q, q.unit.empty() ? "value" : ""), help, labels,
                      *s.base_value);
    }
    const std::string unit_words = q.unit.empty() ? "in the unit of label unit" : "in " + q.unit;
    if (s.base_low)
        out.gauge(metric_name(prefix, q, "range_low"),
                  "Low end of the " + what + "'s safe range set in the unit, " + unit_words + ".",
                  labels, *s.base_low);
    if (s.base_high)
        out.gauge(metric_name(prefix, q, "range_high"),
                  "High end of the " + what + "'s safe range set in the unit, " + unit_words + ".",
                  labels, *s.base_high);

    const std::string state_metric = prefix + "_alarm_state";
    const std::string state_help = "Alarm state of a " + what +
                                   ": 1 for the current state (unknown, inactive, normal, alarm).";
    Labels with_state = {{"id", labels["id"]}, {"name", labels["name"]}};
    for (snapshot::alarm_state state : snapshot::kAlarmStates) {
        with_state[state_metric] = snapshot::alarm_state_name(state);
        out.gauge(state_metric, state_help, with_state, s.state == state ? 1 : 0);
    }
}

void render_model(answer_families &out, const snapshot::device &model) {
    out.gauge("tarvik_device_info", "The unit's identity; the value is always 1.",
              {{"name", utf8_or_replacement(model.unit.device_name)},
               {"model", utf8_or_replacement(model.unit.model)},
               {"firmware_version", utf8_or_replacement(model.unit.firmware)},
               {"mac", utf8_or_replacement(model.unit.mac)},
               {"title", utf8_or_replacement(model.unit.title)}},
              1);
    for (const snapshot::sensor &s : model.sensors) render_sensor(out, s);
    for (const snapshot::binary_input &in : model.inputs) {
        const Labels labels = {{"id", utf8_or_replacement(in.id)},
                               {"name", utf8_or_replacement(in.name)}};
        if (in.value)
            out.gauge("tarvik_input_state", "State of a binary input (0 or 1).", labels, *in.value);
        Labels with_state = labels;
        for (snapshot::alarm_state state : snapshot::kAlarmStates) {
            with_state["tarvik_input_alarm_state"] = snapshot::alarm_state_name(state);
            out.gauge("tarvik_input_alarm_state",
                      "Alarm state of a binary input: 1 for the current state (unknown, inactive, "
                      "normal, alarm).",
                      with_state, in.state == state ? 1 : 0);
        }
    }
    for (const snapshot::binary_output &o : model.outputs) {
        const Labels labels = {{"id", utf8_or_replacement(o.id)},
                               {"name", utf8_or_replacement(o.name)}};
        if (o.value)
            out.gauge("tarvik_output_state", "State of a binary output (0 or 1).", labels,
                      *o.value);
        Labels with_mode = labels;
        for (snapshot::output_mode mode : snapshot::kOutputModes) {
            with_mode["tarvik_output_mode"] = snapshot::output_mode_name(mode);
            out.gauge(
                "tarvik_output_mode",
                "Mode of a binary output: 1 for the current mode (unknown, manual, automatic).",
                with_mode, o.mode == mode ? 1 : 0);
        }
    }
}

}  // namespace

std::string utf8_or_replacement(std::string_view text) {
    if (valid_utf8(text)) return std::string(text);
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        // The longest well-formed sequence starting here (1..4 bytes), else one bad byte.
        size_t taken = 0;
        for (size_t n = 1; n <= 4 && i + n <= text.size(); ++n) {
            if (valid_utf8(text.substr(i, n))) {
                taken = n;
                break;
            }
        }
        if (taken == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, taken));
            i += taken;
        }
    }
    return out;
}

std::string render_probe(const snapshot::probe_result &result,
                         const probe_render_options &options) {
    answer_families out;
    const bool success = result.values_read;
    out.gauge("tarvik_probe_success", "Whether the unit's values document was read (1) or not (0).",
              {}, success ? 1 : 0);
    out.gauge("tarvik_probe_duration_seconds", "Time the probe took, closing the module included.",
              {}, result.duration.count());
    out.gauge("tarvik_probe_timeout_seconds", "The deadline the probe was given.", {},
              options.timeout_s);
    if (options.read_setup)
        out.gauge("tarvik_probe_setup_success",
                  "Whether the unit's setup document (names, safe ranges, modes) was read.", {},
                  result.setup_read ? 1 : 0);
    if (!result.success) {
        std::string message = result.error.message;
        if (message.empty()) message = result.timed_out ? "deadline reached" : "failed";
        out.gauge("tarvik_probe_error_info",
                  "Why the probe failed: the failing stage and the library's code and message; the "
                  "value is always 1.",
                  {{"stage", snapshot::stage_name(result.failed_stage)},
                   {"code", std::to_string(result.error.code)},
                   {"message", utf8_or_replacement(message)}},
                  1);
    }
    if (result.values_read) render_model(out, result.model);
    return out.text();
}

}  // namespace exporter
