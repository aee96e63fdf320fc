// Numbers, unit conversions and state texts of the device snapshot: what a unit may send and
// what the model must make of it.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "snapshot/snapshot.h"

namespace snapshot {
namespace {

struct number_case {
    const char *text;
    std::optional<double> expected;
};

TEST(ParseDecimal, AcceptsUnitNumbersAndRejectsEverythingElse) {
    const number_case cases[] = {
        {"23.7", 23.7},   {"-5.0", -5.0}, {"+4", 4},     {" 12.1 ", 12.1}, {"0", 0},
        {"\t9.8\n", 9.8}, {".5", 0.5},    {"5.", 5},     {"1e3", 1000},    {"-2.5E-1", -0.25},
        {"007", 7},       {"", {}},       {"   ", {}},   {"-", {}},        {"+", {}},
        {".", {}},        {"abc", {}},    {"23.7x", {}}, {"2 3", {}},      {"nan", {}},
        {"inf", {}},      {"-inf", {}},   {"0x10", {}},  {"1e", {}},       {"1e+", {}},
        {"1e999", {}},    {"--1", {}},    {"+-1", {}},   {"23,7", {}},     {"1.2.3", {}},
        {"\xC2\xB0", {}},
    };
    for (const number_case &c : cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        const std::optional<double> got = parse_decimal(c.text);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (got) {
            EXPECT_DOUBLE_EQ(*got, *c.expected);
        }
    }
}

struct unit_case {
    const char *unit;
    double value;
    base_unit expected_unit;
    double expected_base;
    bool counter;
};

TEST(Conversion, TurnsUnitTextsIntoBaseUnits) {
    const unit_case cases[] = {
        {"\xC2\xB0"
         "C",
         23.7, base_unit::celsius, 23.7, false},
        {"C", -5, base_unit::celsius, -5, false},
        {" \xC2\xB0"
         "C ",
         10, base_unit::celsius, 10, false},
        {"\xE2\x84\x83", 1, base_unit::celsius, 1, false},
        {"\xC2\xB0"
         "F",
         212, base_unit::celsius, 100, false},
        {"F", 32, base_unit::celsius, 0, false},
        {"degF", -40, base_unit::celsius, -40, false},
        {"%RH", 41.2, base_unit::ratio, 0.412, false},
        {"%", 100, base_unit::ratio, 1, false},
        {"% RH", 0, base_unit::ratio, 0, false},
        {"V", 12.1, base_unit::volts, 12.1, false},
        {"mV", 1500, base_unit::volts, 1.5, false},
        {"A", 12.34, base_unit::amperes, 12.34, false},
        {"mA", 250, base_unit::amperes, 0.25, false},
        {"W", 900, base_unit::watts, 900, false},
        {"kW", 1.5, base_unit::watts, 1500, false},
        {"Wh", 2, base_unit::joules, 7200, true},
        {"kWh", 1.5, base_unit::joules, 5.4e6, true},
        // Kept as they are: their unit text says what they are.
        {"Hz", 50, base_unit::none, 50, false},
        {"ppm", 400, base_unit::none, 400, false},
        {"", 7, base_unit::none, 7, false},
        {"c", 7, base_unit::none, 7, false},
        {"MW", 7, base_unit::none, 7, false},
    };
    for (const unit_case &c : cases) {
        SCOPED_TRACE(std::string("unit \"") + c.unit + "\"");
        const unit_conversion conv = conversion_of(c.unit);
        EXPECT_EQ(conv.unit, c.expected_unit);
        EXPECT_EQ(conv.counter, c.counter);
        const std::optional<double> base = to_base(conv, c.value);
        ASSERT_TRUE(base.has_value());
        EXPECT_NEAR(*base, c.expected_base, 1e-9 * std::max(1.0, std::fabs(c.expected_base)));
    }
    EXPECT_FALSE(to_base(conversion_of("kWh"), std::nullopt).has_value());
    EXPECT_FALSE(to_base(conversion_of("kWh"), 1e305).has_value()) << "overflow is no reading";
}

TEST(States, StateTextsAndModeTexts) {
    const std::pair<const char *, alarm_state> states[] = {
        {"0", alarm_state::inactive},
        {"1", alarm_state::normal},
        {"2", alarm_state::alarm},
        {"02", alarm_state::alarm},
        {" 2 ", alarm_state::alarm},
        {"3", alarm_state::unknown},
        {"-1", alarm_state::unknown},
        {"", alarm_state::unknown},
        {"2x", alarm_state::unknown},
        {"alarm", alarm_state::unknown},
        {"99999999999999999999", alarm_state::unknown},
        {"+-2", alarm_state::unknown},
    };
    for (const auto &[text, state] : states) EXPECT_EQ(parse_alarm_state(text), state) << text;

    const std::pair<const char *, output_mode> modes[] = {
        {"0", output_mode::manual},    {"00", output_mode::manual}, {"1", output_mode::automatic},
        {"3", output_mode::automatic}, {"", output_mode::unknown},  {"auto", output_mode::unknown},
    };
    for (const auto &[text, mode] : modes) EXPECT_EQ(parse_output_mode(text), mode) << text;

    // Names are what the exporter's state sets publish: distinct, one per state.
    std::set<std::string> names;
    for (alarm_state s : kAlarmStates) names.insert(alarm_state_name(s));
    EXPECT_EQ(names, (std::set<std::string>{"unknown", "inactive", "normal", "alarm"}));
    names.clear();
    for (output_mode m : kOutputModes) names.insert(output_mode_name(m));
    EXPECT_EQ(names, (std::set<std::string>{"unknown", "manual", "automatic"}));
}

}  // namespace
}  // namespace snapshot
