// Numbers, unit conversions and state names of the device snapshot (see snapshot.h).
#include <charconv>
#include <cmath>
#include <cstring>

#include "snapshot/snapshot.h"
#include "snapshot/snapshot_internal.h"

namespace snapshot {

std::string_view trim(std::string_view text) {
    const char *blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::optional<long long> parse_whole(std::string_view text) {
    text = trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    if (text.empty() || text.front() == '+') return std::nullopt;
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

long long atoi_like(std::string_view text, long long lo, long long hi) {
    text = trim(text);
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    // The magnitude stops growing at the larger bound, so it never overflows.
    const long long cap = hi > -lo ? hi : -lo;
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > cap) value = cap;
    }
    if (negative) value = -value;
    if (value < lo) return lo;
    if (value > hi) return hi;
    return value;
}

std::optional<double> parse_decimal(std::string_view text) {
    text = trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    // The grammar is checked here: from_chars would also take "inf", "nan" and hex forms.
    size_t at = 0;
    if (at < text.size() && text[at] == '-') ++at;
    size_t digits = 0;
    auto skip_digits = [&] {
        size_t n = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at, ++n;
        return n;
    };
    digits += skip_digits();
    if (at < text.size() && text[at] == '.') {
        ++at;
        digits += skip_digits();
    }
    if (digits == 0) return std::nullopt;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        if (skip_digits() == 0) return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

const char *alarm_state_name(alarm_state state) {
    switch (state) {
        case alarm_state::inactive:
            return "inactive";
        case alarm_state::normal:
            return "normal";
        case alarm_state::alarm:
            return "alarm";
        case alarm_state::unknown:
            break;
    }
    return "unknown";
}

alarm_state parse_alarm_state(std::string_view text) {
    const std::optional<long long> n = parse_whole(text);
    if (!n) return alarm_state::unknown;
    switch (*n) {
        case 0:
            return alarm_state::inactive;
        case 1:
            return alarm_state::normal;
        case 2:
            return alarm_state::alarm;
        default:
            return alarm_state::unknown;
    }
}

const char *output_mode_name(output_mode mode) {
    switch (mode) {
        case output_mode::manual:
            return "manual";
        case output_mode::automatic:
            return "automatic";
        case output_mode::unknown:
            break;
    }
    return "unknown";
}

output_mode parse_output_mode(std::string_view text) {
    const std::optional<long long> n = parse_whole(text);
    if (!n) return output_mode::unknown;
    return *n == 0 ? output_mode::manual : output_mode::automatic;
}

const char *base_unit_name(base_unit unit) {
    switch (unit) {
        case base_unit::celsius:
            return "celsius";
        case base_unit::ratio:
            return "ratio";
        case base_unit::volts:
            return "volts";
        case base_unit::amperes:
            return "amperes";
        case base_unit::watts:
            return "watts";
        case base_unit::joules:
            return "joules";
        case base_unit::none:
            break;
    }
    return "";
}

unit_conversion conversion_of(std::string_view unit_text) {
    struct row {
        const char *text;
        unit_conversion conversion;
    };
    static constexpr double kFahrenheitScale = 5.0 / 9.0;
    static const row kRows[] = {
        {"\xC2\xB0"
         "C",
         {base_unit::celsius, 1, 0, false}},
        {"C", {base_unit::celsius, 1, 0, false}},
        {"degC", {base_unit::celsius, 1, 0, false}},
        {"\xE2\x84\x83", {base_unit::celsius, 1, 0, false}},  // U+2103
        {"\xC2\xB0"
         "F",
         {base_unit::celsius, kFahrenheitScale, -32 * kFahrenheitScale, false}},
        {"F", {base_unit::celsius, kFahrenheitScale, -32 * kFahrenheitScale, false}},
        {"degF", {base_unit::celsius, kFahrenheitScale, -32 * kFahrenheitScale, false}},
        {"\xE2\x84\x89", {base_unit::celsius, kFahrenheitScale, -32 * kFahrenheitScale, false}},
        {"%RH", {base_unit::ratio, 0.01, 0, false}},
        {"% RH", {base_unit::ratio, 0.01, 0, false}},
        {"%", {base_unit::ratio, 0.01, 0, false}},
        {"RH", {base_unit::ratio, 0.01, 0, false}},
        {"V", {base_unit::volts, 1, 0, false}},
        {"mV", {base_unit::volts, 1e-3, 0, false}},
        {"kV", {base_unit::volts, 1e3, 0, false}},
        {"A", {base_unit::amperes, 1, 0, false}},
        {"mA", {base_unit::amperes, 1e-3, 0, false}},
        {"W", {base_unit::watts, 1, 0, false}},
        {"kW", {base_unit::watts, 1e3, 0, false}},
        {"Wh", {base_unit::joules, 3600, 0, true}},
        {"kWh", {base_unit::joules, 3.6e6, 0, true}},
    };
    const std::string_view text = trim(unit_text);
    for (const row &r : kRows)
        if (text == r.text) return r.conversion;
    return {};
}

std::optional<double> to_base(const unit_conversion &conversion, std::optional<double> value) {
    if (!value) return std::nullopt;
    const double base = *value * conversion.scale + conversion.offset;
    if (!std::isfinite(base)) return std::nullopt;
    return base;
}

}  // namespace snapshot
