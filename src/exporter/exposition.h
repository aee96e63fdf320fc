// One probe's answer in the Prometheus text format, written by prometheus-cpp's serializer
// from metric families made for this answer alone (nothing is kept between probes).
//
// Names follow the Prometheus naming guide: the base unit as the last word (a counter's
// "_total" after it), one metric per quantity with the unit's own id and name as labels:
//   tarvik_probe_success, tarvik_probe_duration_seconds, tarvik_probe_timeout_seconds,
//   tarvik_probe_setup_success (when the module reads setup.xml),
//   tarvik_probe_error_info{stage,code,message} (when a stage failed),
//   tarvik_device_info{name,model,firmware_version,mac,title},
//   tarvik_sensor_temperature_celsius, tarvik_sensor_humidity_ratio, tarvik_sensor_ratio,
//   tarvik_sensor_voltage_volts, tarvik_sensor_current_amperes, tarvik_sensor_power_watts,
//   tarvik_sensor_energy_joules_total (counter), tarvik_sensor_value{unit} (other units),
//   each with _range_low/_range_high gauges in the same unit (tarvik_sensor_temperature_
//   range_low_celsius, tarvik_sensor_range_low{unit}, ...),
//   tarvik_sensor_alarm_state (state set: label tarvik_sensor_alarm_state),
//   tarvik_meter_* the same for the readings of a power meter,
//   tarvik_input_state, tarvik_input_alarm_state (state set),
//   tarvik_output_state, tarvik_output_mode (state set: manual, automatic, unknown).
// State sets follow OpenMetrics: one series per state, the label named after the metric,
// 1 for the current state and 0 for the others.
#pragma once

#include <string>
#include <string_view>

#include "snapshot/snapshot.h"

namespace exporter {

struct probe_render_options {
    double timeout_s = 0;    // the deadline the probe was given
    bool read_setup = true;  // the module asked for setup.xml
};

// The exposition text of one probe. tarvik_probe_success is 1 when the values document was
// read (a unit whose setup document failed still gives its values, without ranges; the
// failure shows in tarvik_probe_setup_success and tarvik_probe_error_info).
std::string render_probe(const snapshot::probe_result &result, const probe_render_options &options);

// `text` with every byte that is not part of well-formed UTF-8 replaced by U+FFFD, so a
// label value is always valid for Prometheus whatever the unit sent.
std::string utf8_or_replacement(std::string_view text);

}  // namespace exporter
