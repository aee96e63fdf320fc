// The check's decisions (the unit's judgement, ranges, overrides) and its output: status
// line, detail lines and performance data for awkward names.
#include <gtest/gtest.h>

#include "check/report.h"

namespace check {
namespace {

snapshot::sensor make_sensor(const std::string &id, const std::string &name,
                             std::optional<double> value, std::optional<double> low,
                             std::optional<double> high, snapshot::alarm_state st,
                             const std::string &unit =
                                 "\xC2\xB0"
                                 "C") {
    snapshot::sensor s;
    s.id = id;
    s.name = name;
    s.value = value;
    s.value_text = value ? number_text(*value) : "n/a";
    s.unit_text = unit;
    s.conversion = snapshot::conversion_of(unit);
    s.low = low;
    s.high = high;
    s.state = st;
    s.alarm_active = st == snapshot::alarm_state::alarm;
    s.out_of_range = value && ((low && *value < *low) || (high && *value > *high));
    return s;
}

options make_options(const std::vector<std::string> &args) {
    std::vector<std::string> all{"-H", "127.0.0.1"};
    all.insert(all.end(), args.begin(), args.end());
    std::string why;
    const std::optional<options> o = parse_command_line(all, &why);
    EXPECT_TRUE(o.has_value()) << why;
    return o.value_or(options{});
}

using snapshot::alarm_state;

struct decision_case {
    const char *label;
    std::optional<double> value;
    alarm_state unit_state;
    std::vector<std::string> args;  // -w/-c for sensor "1"
    state expected;
    cause why;
};

TEST(Decision, UnitJudgementRangesAndOverrides) {
    const std::optional<double> none;
    const decision_case cases[] = {
        // The unit decides (safe range 10..30).
        {"inside, normal", 20, alarm_state::normal, {}, state::ok, cause::none},
        {"on the end", 30, alarm_state::normal, {}, state::ok, cause::none},
        {"outside, no alarm yet", 31, alarm_state::normal, {}, state::warning, cause::out_of_range},
        {"outside, alarm", 31, alarm_state::alarm, {}, state::critical, cause::alarm},
        {"inside, alarm", 20, alarm_state::alarm, {}, state::critical, cause::alarm},
        {"no reading", none, alarm_state::normal, {}, state::unknown, cause::no_reading},
        {"no reading, alarm", none, alarm_state::alarm, {}, state::critical, cause::alarm},
        {"no reading, not watched", none, alarm_state::inactive, {}, state::ok, cause::none},
        {"unknown state, inside", 20, alarm_state::unknown, {}, state::ok, cause::none},
        // Ranges decide instead, the unit's alarm included.
        {"-w alerts",
         31,
         alarm_state::normal,
         {"-w", "~:30"},
         state::warning,
         cause::warning_range},
        {"-w quiet over a unit alarm",
         20,
         alarm_state::alarm,
         {"-w", "~:30"},
         state::ok,
         cause::none},
        {"-c wins over -w",
         45,
         alarm_state::normal,
         {"-w", "~:30", "-c", "~:40"},
         state::critical,
         cause::critical_range},
        {"-w only between",
         35,
         alarm_state::alarm,
         {"-w", "~:30", "-c", "~:40"},
         state::warning,
         cause::warning_range},
        {"@ inside",
         15,
         alarm_state::normal,
         {"-c", "@10:20"},
         state::critical,
         cause::critical_range},
        {"per-sensor over general",
         25,
         alarm_state::normal,
         {"-w", "~:10", "-w", "1=~:30"},
         state::ok,
         cause::none},
        {"per-sensor by name",
         25,
         alarm_state::normal,
         {"-c", "Rack temp=~:20"},
         state::critical,
         cause::critical_range},
        {"range, no reading",
         none,
         alarm_state::normal,
         {"-w", "10"},
         state::unknown,
         cause::no_reading},
        {"other sensor's range only",
         31,
         alarm_state::normal,
         {"-c", "2=1"},
         state::warning,
         cause::out_of_range},
    };
    for (const decision_case &c : cases) {
        SCOPED_TRACE(c.label);
        snapshot::device unit;
        unit.sensors.push_back(make_sensor("1", "Rack temp", c.value, 10, 30, c.unit_state));
        unit.sensors.push_back(make_sensor("2", "Other", 20, 10, 30, alarm_state::normal));
        const verdict v = judge(unit, make_options(c.args));
        ASSERT_TRUE(v.error.empty()) << v.error;
        ASSERT_EQ(v.sensors.size(), 2u);
        EXPECT_EQ(v.sensors[0].result, c.expected);
        EXPECT_EQ(v.sensors[0].why, c.why);
    }
}

TEST(Decision, CombinedStatesAndSelections) {
    snapshot::device unit;
    unit.sensors.push_back(make_sensor("1", "A", 20, 10, 30, alarm_state::normal));
    unit.sensors.push_back(make_sensor("2", "B", 35, 10, 30, alarm_state::normal));
    unit.sensors.push_back(make_sensor("3", "C", std::nullopt, 10, 30, alarm_state::normal));
    snapshot::binary_input door;
    door.id = "101";
    door.name = "Door";
    door.value = 1;
    door.state = alarm_state::alarm;
    door.alarm_active = true;
    unit.inputs.push_back(door);

    // CRITICAL wins over WARNING wins over UNKNOWN wins over OK.
    EXPECT_EQ(judge(unit, make_options({})).overall, state::critical);
    EXPECT_EQ(judge(unit, make_options({"--no-inputs"})).overall, state::warning);
    EXPECT_EQ(judge(unit, make_options({"-s", "C", "-s", "A"})).overall, state::unknown);
    EXPECT_EQ(judge(unit, make_options({"-s", "1"})).overall, state::ok);
    EXPECT_EQ(worse(state::unknown, state::warning), state::warning);
    EXPECT_EQ(worse(state::ok, state::unknown), state::unknown);

    const verdict selected = judge(unit, make_options({"-s", "C", "-s", "1"}));
    ASSERT_EQ(selected.sensors.size(), 2u);
    EXPECT_EQ(selected.sensors[0].sensor->id, "1") << "the unit's order";
    EXPECT_TRUE(selected.inputs.empty()) << "-s leaves inputs out";
    EXPECT_EQ(judge(unit, make_options({"-s", "1", "--inputs"})).inputs.size(), 1u);

    const verdict missing = judge(unit, make_options({"-s", "9"}));
    EXPECT_EQ(missing.overall, state::unknown);
    EXPECT_EQ(missing.error, "no sensor '9' on the unit");
    const verdict missing_range = judge(unit, make_options({"-w", "Z=10"}));
    EXPECT_EQ(missing_range.error, "no sensor 'Z' on the unit (in 'Z=10')");
}

std::string render_one(const snapshot::sensor &s, const std::vector<std::string> &args = {}) {
    snapshot::device unit;
    unit.sensors.push_back(s);
    snapshot::probe_result probe;
    probe.success = true;
    probe.model = unit;
    const options opts = make_options(args);
    return render(judge(probe.model, opts), probe, opts);
}

TEST(Perfdata, LabelsQuotedAndEscaped) {
    const std::pair<const char *, const char *> labels[] = {
        {"Temp1", "Temp1"},
        {"Rack_temp-2.a", "Rack_temp-2.a"},
        {"Rack temp", "'Rack temp'"},
        {"O'Brien's", "'O''Brien''s'"},
        {"'", "''''"},
        {"a=b", "'a=b'"},
        {"Temp\xC3\xA9rature", "'Temp\xC3\xA9rature'"},
        {"\xE6\xB8\xA9\xE5\xBA\xA6", "'\xE6\xB8\xA9\xE5\xBA\xA6'"},
        {"pipe|name", "pipe_name"},
        {"line\nbreak x", "'line_break x'"},
        {"cut \xC3", "'cut ?'"},
        {"\xFF\xFE",
         "'?"
         "?'"},
        {"", "''"},
    };
    for (const auto &[name, label] : labels) EXPECT_EQ(perf_label(name), label) << name;
}

TEST(Perfdata, ValuesRangesAndUnits) {
    using snapshot::alarm_state;
    const struct {
        snapshot::sensor s;
        std::vector<std::string> args;
        const char *perf;
    } cases[] = {
        {make_sensor("1", "Rack temp", 23.7, 10, 30, alarm_state::normal),
         {},
         "'Rack temp'=23.7;10:30;10:30"},
        {make_sensor("1", "Hum", 41.2, 20, 70, alarm_state::normal, "%RH"),
         {},
         "Hum=41.2%;20:70;20:70"},
        {make_sensor("1", "V", 12.1, std::nullopt, 13.5, alarm_state::normal, "V"),
         {},
         "V=12.1;~:13.5;~:13.5"},
        {make_sensor("1", "V", 12.1, 11, std::nullopt, alarm_state::normal, "V"),
         {},
         "V=12.1;11:;11:"},
        {make_sensor("1", "V", 12.1, std::nullopt, std::nullopt, alarm_state::normal, "V"),
         {},
         "V=12.1"},
        {make_sensor("1", "E", 1234.5, std::nullopt, std::nullopt, alarm_state::normal, "kWh"),
         {},
         "E=1234.5c"},
        {make_sensor("1", "Tiny", 0.0000001, std::nullopt, std::nullopt, alarm_state::normal),
         {},
         "Tiny=0.0000001"},
        {make_sensor("1", "Big", 1e20, std::nullopt, std::nullopt, alarm_state::normal),
         {},
         "Big=100000000000000000000"},
        {make_sensor("1", "T", 23.7, 10, 30, alarm_state::normal), {"-w", "~:25"}, "T=23.7;~:25"},
        {make_sensor("1", "T", 23.7, 10, 30, alarm_state::normal), {"-c", "@0:5"}, "T=23.7;;@5"},
        {make_sensor("1", "T", 23.7, 10, 30, alarm_state::normal),
         {"-w", "1e1:2e1", "-c", "40"},
         "T=23.7;10:20;40"},
        {make_sensor("1", "T", std::nullopt, 10, 30, alarm_state::inactive), {}, "T=U;10:30;10:30"},
    };
    for (const auto &c : cases) {
        const std::string out = render_one(c.s, c.args);
        const size_t bar = out.find(" | ");
        ASSERT_NE(bar, std::string::npos) << out;
        EXPECT_EQ(out.substr(bar + 3), std::string(c.perf) + "\n") << out;
        EXPECT_EQ(out.find('e', bar + 3 + out.substr(bar + 3).find('=')), std::string::npos)
            << "no exponent: " << out;
    }
}

TEST(Output, StatusLineDetailsAndPerfdataLayout) {
    snapshot::device unit;
    unit.sensors.push_back(make_sensor("1", "Rack temp", 23.7, 10, 30, alarm_state::normal));
    unit.sensors.push_back(make_sensor("3", "Inlet temp", 31.4, 10, 28, alarm_state::alarm));
    unit.sensors.push_back(
        make_sensor("2", "Room humidity", 41.2, 20, 70, alarm_state::normal, "%RH"));
    snapshot::binary_input door;
    door.id = "101";
    door.name = "Door";
    door.value = 0;
    door.state = alarm_state::normal;
    unit.inputs.push_back(door);
    snapshot::probe_result probe;
    probe.success = true;
    probe.model = unit;
    const options opts = make_options({});
    EXPECT_EQ(render(judge(probe.model, opts), probe, opts),
              "TARVIK CRITICAL - 1 of 3 sensors in alarm: Inlet temp 31.4 \xC2\xB0"
              "C (10.0..28.0)\n"
              "[OK] Rack temp 23.7 \xC2\xB0"
              "C (10.0..30.0)\n"
              "[CRITICAL] Inlet temp 31.4 \xC2\xB0"
              "C (10.0..28.0), in alarm\n"
              "[OK] Room humidity 41.2 %RH (20.0..70.0)\n"
              "[OK] Door off | 'Rack temp'=23.7;10:30;10:30 'Inlet temp'=31.4;10:28;10:28 "
              "'Room humidity'=41.2%;20:70;20:70\n");

    // Long names: the status line drops what does not fit in 80 characters.
    probe.model.sensors[1].name = std::string(70, 'N');
    const std::string out = render(judge(probe.model, opts), probe, opts);
    const std::string first = out.substr(0, out.find('\n'));
    EXPECT_EQ(first, "TARVIK CRITICAL - 1 of 3 sensors in alarm");
    EXPECT_LE(display_width(first), 80u);

    // Names shared by two sensors get their ID in the label.
    probe.model.sensors[1].name = "Rack temp";
    const std::string twins = render(judge(probe.model, opts), probe, opts);
    EXPECT_NE(twins.find("'Rack temp 1'=23.7"), std::string::npos) << twins;
    EXPECT_NE(twins.find("'Rack temp 3'=31.4"), std::string::npos) << twins;
}

TEST(Output, FailuresNameTheLibraryCodeAndTheStage) {
    const options opts = make_options({"-p", "8080", "-t", "2.5"});
    snapshot::probe_result probe;
    probe.failed_stage = snapshot::stage::connect;
    probe.error.code = 28;
    probe.error.message = "Socket connect failure";
    EXPECT_EQ(render_failure(probe, opts),
              "TARVIK UNKNOWN - Socket connect failure (28) while connecting to 127.0.0.1:8080\n");
    probe.failed_stage = snapshot::stage::setup;
    probe.error = {48, "HTTP: Unauthorized", 0, ""};
    EXPECT_EQ(render_failure(probe, opts),
              "TARVIK UNKNOWN - HTTP: Unauthorized (48) while reading setup.xml\n");
    probe.timed_out = true;
    probe.failed_stage = snapshot::stage::values;
    EXPECT_EQ(render_failure(probe, opts),
              "TARVIK UNKNOWN - timeout after 2.5 s while reading values.xml\n")
        << "the target is left out past 80 characters";
    probe.failed_stage = snapshot::stage::connect;
    EXPECT_EQ(render_failure(probe, make_options({"-t", "2"})),
              "TARVIK UNKNOWN - timeout after 2 s while connecting to 127.0.0.1:80\n");
    EXPECT_EQ(render_unknown("bad\nthing|x"), "TARVIK UNKNOWN - bad_thing_x\n");
}

}  // namespace
}  // namespace check
