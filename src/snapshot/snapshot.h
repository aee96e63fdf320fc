// Device snapshot: one probe of a unit through the public client interface (qvxml.h), turned
// into a plain model of the unit: its identity, sensors with readings in base units, safe
// ranges and alarm states, binary inputs and outputs. The exporter and the check render it.
//
// Everything here is plain data and free functions: no global mutable state (the client
// library's own excepted), so any number of probes may run at once from any threads.
// The model holds copies: nothing in it points into library storage.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qvxml.h"

namespace snapshot {

// ---- Alarm states ----------------------------------------------------------------------
// The State element of a sensor or binary input, as the unit sets it.
enum class alarm_state {
    unknown,   // absent, or a text that is no number the unit uses
    inactive,  // 0: the entry is not watched (no reading, or its alarm is switched off)
    normal,    // 1: watched, no alarm
    alarm,     // 2: alarm active
};
// Every state, in the order above (for state sets: one series per state).
inline constexpr alarm_state kAlarmStates[] = {alarm_state::unknown, alarm_state::inactive,
                                               alarm_state::normal, alarm_state::alarm};
// "unknown", "inactive", "normal", "alarm".
const char *alarm_state_name(alarm_state state);
// The state of a State text: a whole decimal number (blanks around it allowed, leading zeros
// too: "02" is 2) of 0, 1 or 2; unknown for anything else.
alarm_state parse_alarm_state(std::string_view text);

// ---- Output modes ----------------------------------------------------------------------
enum class output_mode {
    unknown,    // no Mode, or no number
    manual,     // Mode 0: switched by requests (the only mode in which the unit applies them)
    automatic,  // any other Mode: driven by the unit itself
};
inline constexpr output_mode kOutputModes[] = {output_mode::unknown, output_mode::manual,
                                               output_mode::automatic};
const char *output_mode_name(output_mode mode);  // "unknown", "manual", "automatic"
output_mode parse_output_mode(std::string_view text);

// ---- Units -----------------------------------------------------------------------------
enum class base_unit { none, celsius, ratio, volts, amperes, watts, joules };
// "celsius", "ratio", "volts", "amperes", "watts", "joules"; "" for none.
const char *base_unit_name(base_unit unit);

// How a reading in the unit's own unit becomes one in its base unit: base = value * scale +
// offset. `unit` none: kept as it is (scale 1, offset 0), the unit text says what it is.
struct unit_conversion {
    base_unit unit = base_unit::none;
    double scale = 1;
    double offset = 0;
    bool counter = false;  // a growing total (energy), not a level
};
// The conversion of a unit text as units write it (blanks around it ignored):
//   °C C degC ℃          -> celsius
//   °F F degF ℉          -> celsius, (F - 32) * 5/9
//   %RH % RH "% RH"      -> ratio 0..1 (percent / 100)
//   V mV kV              -> volts;   A mA -> amperes;   W kW -> watts
//   Wh kWh               -> joules, a counter (1 Wh = 3600 J)
// Anything else (and an empty text): none.
unit_conversion conversion_of(std::string_view unit_text);
// value in its base unit; absent stays absent, a result that is not finite is absent.
std::optional<double> to_base(const unit_conversion &conversion, std::optional<double> value);

// A decimal number as units write them: optional blanks, an optional sign, digits with an
// optional '.' fraction and optional exponent; the whole text must be that. Absent for
// anything else, including "nan", "inf", hexadecimal, an empty text and a finite text whose
// value overflows a double. Locale-independent.
std::optional<double> parse_decimal(std::string_view text);

// ---- The model -------------------------------------------------------------------------

struct identity {
    std::string device_name;  // Agent.DeviceName
    std::string model;        // Agent.Model (a model number, as text)
    std::string firmware;     // Agent.Version
    std::string mac;          // Agent.MAC
    std::string title;        // Agent.Title
    std::string contact;      // Agent.Contact
};

enum class range_source { none, setup, values };

struct sensor {
    std::string id;
    std::string name;
    // The texts as the unit sent them.
    std::string value_text;
    std::string unit_text;
    std::string state_text;
    std::string exp_text;  // Exp: a power-meter reading's decimal exponent
    // The reading in the unit's own unit (unit_text); absent when the text is no number.
    // A power-meter reading (meter true) is its integer Value scaled by 10^Exp.
    std::optional<double> value;
    bool meter = false;
    // The same reading in its base unit (conversion.unit none: equal to value).
    unit_conversion conversion;
    std::optional<double> base_value;
    // Safe range in the unit's own unit and in the base unit; each end may be absent.
    std::optional<double> low, high;
    std::optional<double> base_low, base_high;
    range_source range_from = range_source::none;
    alarm_state state = alarm_state::unknown;
    bool alarm_active = false;  // state == alarm
    // The value lies below low or above high (the ends belong to the range); false when the
    // value is absent.
    bool out_of_range = false;
};

// What binary inputs and outputs have alike.
struct binary_point {
    std::string id;
    std::string name;
    std::string value_text;
    std::optional<int> value;  // 0 or 1; absent for any other text
};

struct binary_input : binary_point {
    std::string state_text;
    alarm_state state = alarm_state::unknown;
    bool alarm_active = false;  // state == alarm
};

struct binary_output : binary_point {
    std::string mode_text;
    output_mode mode = output_mode::unknown;
};

struct device {
    identity unit;
    std::vector<sensor> sensors;  // in document order; power-meter readings after the others
    std::vector<binary_input> inputs;
    std::vector<binary_output> outputs;
};

// What the setup document adds to the values document: safe ranges (and names and modes
// where the values document lacks them). Built from the setup record by from_setup.
struct setup_info {
    identity unit;
    bool family = false;  // Title contains "Kyvern": the sensor entries hold the ranges
    struct sensor_entry {
        std::string id;
        std::string name;
        std::optional<double> low, high;  // the range that applies (see from_setup)
    };
    std::vector<sensor_entry> sensors;
    struct named {
        std::string id;
        std::string name;
        std::string mode_text;  // outputs only
    };
    std::vector<named> inputs;
    std::vector<named> outputs;
};

// The model of a values record. Entry counts are clamped to 0..capacity of their set; every
// text is read within its field's width whether or not it is terminated. Sensor ranges come
// from the values document's Min/Max (range_from values) where they are numbers.
// Power-meter models (Agent.Model 45, 55, 57, 58, read as atoi reads it) carry readings the
// library appends as sensor entries: an entry of such a unit whose Value is a whole number
// is a meter reading, scaled by 10^Exp; an entry without Exp takes the exponent of the
// reading before it (as the library does for the ranges it scales), 0 for the first.
// Readings whose scaled value is not finite are absent. REQUIRES: non-null arguments.
device from_values(const kyvern_values &values, const kyvern_values_entry_count &count);
// The ranges, names and modes of a setup record. For a family unit a sensor's range is its
// entry's Min/Max; for other units the TempRangeSet entry whose Idx is the sensor's Idx (the
// first such entry; none: no range). REQUIRES: non-null arguments.
setup_info from_setup(const kyvern_setup &setup, const kyvern_setup_entry_count &count);
// Merges the setup document into a model built by from_values: a sensor found in the setup
// by its ID takes the setup's range (both ends, absent ones included; range_from setup, or
// none when the setup gives neither end); sensors the setup does not list, and meter
// readings, keep their values range. Empty names, modes and identity
// fields are filled from the setup. Recomputes the base ranges and out_of_range.
void apply_setup(device &model, const setup_info &setup);

// ---- The probe -------------------------------------------------------------------------

enum class stage {
    none,     // nothing failed
    connect,  // opening the module, starting its worker, reaching the unit
    values,   // GET values.xml (connected, answer or document failed)
    setup,    // GET setup.xml
};
const char *stage_name(stage s);  // "none", "connect", "values", "setup"

// A fault record of the client library, copied.
struct fault {
    int code = 0;         // 1..89 (qvxml.h), 0 when none was recorded
    std::string message;  // the code's message
    int errno_value = 0;
    std::string errno_text;
};

struct probe_result;

struct probe_options {
    std::string host;  // IPv4 address or name
    int port = 80;
    // Basic authorization of GET setup.xml; empty user: none. Each at most 99 bytes (longer:
    // the probe fails at the connect stage with the library's code 43 or 42).
    std::string user;
    std::string password;
    bool read_setup = true;
    // The probe gives up at this moment: it closes its module and reports the stage.
    std::chrono::steady_clock::time_point deadline;
    // When set, called once on the probing thread as soon as the outcome is known, before
    // the module is closed (closing may take the library a while): the result as probe will
    // return it, but for `duration`, which then ends at this call. Lets a caller answer at
    // the deadline without waiting for the close. Must not throw (anything thrown is
    // dropped). Not called when the probe fails before a module is opened.
    std::function<void(const probe_result &)> on_outcome;
    // When set, the probe stores the stage it is in as it moves on (connect, values, setup;
    // none once it has ended), so another thread (a watchdog) can tell where it was. The
    // pointee must outlive the probe.
    std::atomic<stage> *progress = nullptr;
};

struct probe_result {
    bool success = false;
    stage failed_stage = stage::none;
    bool timed_out = false;  // the deadline ended it (then `error` may hold no code)
    fault error;             // the library's fault when it failed (code 0: none recorded)
    std::chrono::duration<double> duration{0};  // start to the module closed
    bool values_read = false;
    bool setup_read = false;
    // Filled as far as read: a probe whose setup stage failed still holds the values.
    device model;
};

// One probe of host:port. REQUIRES: qvxml_init has been called (once, by the program) and
// qvxml_uninit has not. Opens one module (connection test off), reads values.xml, then
// setup.xml when asked, and closes the module on every path, the deadline's included; the
// closing may take the library up to about a second after the deadline. Uses one module
// id from open to close; the library's limit of running modules bounds how many probes run
// at once (a probe past it fails at the connect stage with the library's code).
// Blocks the calling thread; any thread; thread-safe. Never throws for network input
// (std::bad_alloc may pass through).
probe_result probe(const probe_options &options);

// A short text of a failed result for one-line reports: "connect: Socket connect failure
// (28)", "values: timeout", "setup: HTTP: Unauthorized (48)"; "" on success.
std::string describe_failure(const probe_result &result);

}  // namespace snapshot
