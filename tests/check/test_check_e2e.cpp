// check_tarvik against the stand-in unit: each state and each way the unit can misbehave,
// with the exit code read the way a monitoring system reads it (through negate, from the
// monitoring plugins), within the time limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support.h"

namespace {

using namespace std::chrono_literals;

const char kNegate[] = "/usr/lib/nagios/plugins/negate";

std::string plugin() {
    return qvtest::program_path("check_tarvik");
}

// negate maps each state to another: OK->WARNING, WARNING->CRITICAL, CRITICAL->UNKNOWN,
// UNKNOWN->OK, so every state the plugin ends with is told apart by negate's exit code.
int through_negate(int plugin_state) {
    return (plugin_state + 1) % 4;
}

struct run_outcome {
    int plugin_state = -1;  // read back from negate's exit code
    std::string out;
    std::chrono::milliseconds elapsed{0};
};

run_outcome check(const std::vector<std::string> &args, std::chrono::seconds limit = 20s) {
    std::vector<std::string> argv{kNegate,    "-t", "30",      "-o", "WARNING", "-w",
                                  "CRITICAL", "-c", "UNKNOWN", "-u", "OK",      plugin()};
    argv.insert(argv.end(), args.begin(), args.end());
    const qvtest::run_result r = qvtest::run(argv, limit);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "");
    run_outcome o;
    for (int s = 0; s < 4; ++s)
        if (through_negate(s) == r.exit_code) o.plugin_state = s;
    o.out = r.out;
    o.elapsed = r.elapsed;
    return o;
}

// The status line: the first line without the performance data a single line carries.
std::string first_line(const std::string &out) {
    const std::string line = out.substr(0, out.find('\n'));
    return line.substr(0, line.find(" | "));
}

struct scenario {
    const char *name;
    std::vector<std::string> unit;  // tarvik-device arguments; {"refused"}: no unit at all
    std::vector<std::string> args;  // check_tarvik arguments after -H and -p
    int state;                      // 0 OK .. 3 UNKNOWN
    const char *status;             // the first line, or its beginning when it ends in '*'
};

void PrintTo(const scenario &s, std::ostream *os) {
    *os << s.name;
}

class Scenario : public testing::TestWithParam<scenario> {
protected:
    void SetUp() override {
        if (access(kNegate, X_OK) != 0)
            GTEST_SKIP() << kNegate << " is missing: install monitoring-plugins-basic";
    }
};

TEST_P(Scenario, StateAndStatusLine) {
    const scenario &s = GetParam();
    std::unique_ptr<qvtest::device> unit;
    std::string port;
    if (s.unit.size() == 1 && s.unit[0] == "refused") {
        port = std::to_string(qvtest::closed_port());
    } else {
        unit = std::make_unique<qvtest::device>(s.unit);
        ASSERT_TRUE(unit->running());
        port = unit->port_text();
    }
    std::vector<std::string> args{"-H", "127.0.0.1", "-p", port};
    args.insert(args.end(), s.args.begin(), s.args.end());
    const run_outcome r = check(args);
    EXPECT_EQ(r.plugin_state, s.state) << r.out;
    std::string expected = s.status;
    for (size_t at = expected.find("PORT"); at != std::string::npos; at = expected.find("PORT"))
        expected.replace(at, 4, port);
    const std::string line = first_line(r.out);
    if (!expected.empty() && expected.back() == '*')
        EXPECT_EQ(line.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1))
            << r.out;
    else
        EXPECT_EQ(line, expected) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    // Where the unit stalls, -t ends the whole check: by the limit, plus the start of two
    // processes (negate, the plugin) on a loaded machine, a margin the sanitizer builds widen.
    for (size_t i = 0; i + 1 < s.args.size(); ++i)
        if (s.args[i] == "-t") {
            const auto limit = std::chrono::duration<double>(std::stod(s.args[i + 1]));
            EXPECT_LT(r.elapsed, limit + qvtest::scaled(2500ms)) << r.out;
        }
}

const char kDeg[] = "\xC2\xB0";

INSTANTIATE_TEST_SUITE_P(
    Units, Scenario,
    testing::Values(
        scenario{"ok_one_sensor",
                 {},
                 {"-s", "1"},
                 0,
                 "TARVIK OK - Rack temp 23.7 \xC2\xB0"
                 "C (10.0..30.0)"},
        scenario{"ok_power_meter",
                 {"--power-meter"},
                 {},
                 0,
                 "TARVIK OK - 4 sensors and 2 inputs normal"},
        scenario{"warning_by_range",
                 {},
                 {"-s", "Rack temp", "-w", "~:20", "-c", "~:30"},
                 1,
                 "TARVIK WARNING - Rack temp 23.7 \xC2\xB0"
                 "C (warning ~:20)"},
        scenario{"critical_unit_alarms",
                 {},
                 {"--no-inputs"},
                 2,
                 "TARVIK CRITICAL - 1 of 5 sensors in alarm: Inlet temp 31.4 \xC2\xB0"
                 "C (10.0..28.0)"},
        scenario{"critical_with_inputs",
                 {},
                 {},
                 2,
                 "TARVIK CRITICAL - 1 of 5 sensors, 1 of 4 inputs in alarm: Inlet temp 31.4 "
                 "\xC2\xB0"
                 "C"},
        scenario{"override_silences_alarm",
                 {},
                 {"-s", "3", "-c", "~:35"},
                 0,
                 "TARVIK OK - Inlet temp 31.4 \xC2\xB0"
                 "C"},
        scenario{"unknown_sensor",
                 {},
                 {"-s", "Nope"},
                 3,
                 "TARVIK UNKNOWN - no sensor 'Nope' on the unit"},
        scenario{"refused",
                 {"refused"},
                 {},
                 3,
                 "TARVIK UNKNOWN - Socket connect failure (28) while connecting to "
                 "127.0.0.1:PORT"},
        scenario{"status_500",
                 {"--status", "500"},
                 {},
                 3,
                 "TARVIK UNKNOWN - HTTP: Internal Server Error (65) while reading values.xml"},
        scenario{"status_404",
                 {"--status", "404"},
                 {},
                 3,
                 "TARVIK UNKNOWN - HTTP: Not Found (51) while reading values.xml"},
        scenario{"auth_refused",
                 {"--auth", "admin:secret"},
                 {"-u", "admin", "-P", "wrong"},
                 3,
                 "TARVIK UNKNOWN - HTTP: Unauthorized (48) while reading setup.xml"},
        scenario{"auth_missing",
                 {"--auth", "admin:secret"},
                 {},
                 3,
                 "TARVIK UNKNOWN - HTTP: Unauthorized (48) while reading setup.xml"},
        scenario{"auth_given",
                 {"--auth", "admin:secret"},
                 {"-u", "admin", "-P", "secret", "-s", "1"},
                 0,
                 "TARVIK OK - Rack temp 23.7 \xC2\xB0"
                 "C (10.0..30.0)"},
        scenario{"silent",
                 {"--silent"},
                 {"-t", "1"},
                 3,
                 "TARVIK UNKNOWN - timeout after 1 s while reading values.xml from "
                 "127.0.0.1:PORT"},
        scenario{"hold",
                 {"--hold"},
                 {"-t", "1"},
                 3,
                 "TARVIK UNKNOWN - timeout after 1 s while reading values.xml from "
                 "127.0.0.1:PORT"},
        // The limit leaves the connection time to be made by a sanitizer build on a loaded
        // machine; the unit answers well after it.
        scenario{"slow_answer",
                 {"--delay", "5000"},
                 {"-t", "1.5"},
                 3,
                 "TARVIK UNKNOWN - timeout after 1.5 s while reading values.xml"},
        scenario{"close_in_header", {"--close-in-header"}, {}, 3, "TARVIK UNKNOWN - *"},
        scenario{"close_in_body",
                 {"--close-in-body"},
                 {},
                 3,
                 "TARVIK UNKNOWN - Recv failed (34) while reading values.xml from 127.0.0.1:PORT"},
        scenario{"garbage",
                 {"--garbage"},
                 {},
                 3,
                 "TARVIK UNKNOWN - HTTP not found (46) while reading values.xml"},
        scenario{"oversize",
                 {"--oversize"},
                 {},
                 3,
                 "TARVIK UNKNOWN - File size >= buffer_size_max (12) while reading values.xml"},
        // Misbehaviour the client copes with: the unit's data decide.
        scenario{"drip", {"--drip", "1500:10"}, {"-s", "1"}, 0, "TARVIK OK - Rack temp*"},
        scenario{
            "split_header", {"--split-header", "20"}, {"-s", "1"}, 0, "TARVIK OK - Rack temp*"},
        scenario{"crlf", {"--crlf"}, {"-s", "3"}, 2, "TARVIK CRITICAL - Inlet temp*"},
        scenario{"slow_read", {"--slow-read", "16:1"}, {"-s", "1"}, 0, "TARVIK OK - Rack temp*"}),
    [](const testing::TestParamInfo<scenario> &info) { return std::string(info.param.name); });

TEST(CheckTarvik, UnitJudgedWarningOutsideTheSafeRange) {
    if (access(kNegate, X_OK) != 0) GTEST_SKIP() << kNegate << " is missing";
    qvtest::temp_dir dir;
    std::string values = qvtest::read_file(qvtest::source_dir() + "/tools/device/data/values.xml");
    const std::string from = "<Value>23.7</Value>";
    ASSERT_NE(values.find(from), std::string::npos);
    values.replace(values.find(from), from.size(), "<Value>35.5</Value>");
    ASSERT_TRUE(qvtest::write_file(dir.file("values.xml"), values));
    qvtest::device unit({"--values", dir.file("values.xml")});
    ASSERT_TRUE(unit.running());
    const run_outcome r = check({"-H", "127.0.0.1", "-p", unit.port_text(), "-s", "1", "-s", "2"});
    EXPECT_EQ(r.plugin_state, 1) << r.out;
    EXPECT_EQ(r.out,
              std::string("TARVIK WARNING - 1 of 2 sensors outside the safe range: Rack temp "
                          "35.5 ") +
                  kDeg +
                  "C\n"
                  "[WARNING] Rack temp 35.5 " +
                  kDeg +
                  "C (10.0..30.0), outside the safe range\n"
                  "[OK] Room humidity 41.2 %RH (20.0..70.0) | 'Rack temp'=35.5;10:30;10:30 "
                  "'Room humidity'=41.2%;20:70;20:70\n");
}

// -v adds the errno of a failed system call under the status line; a fault the library
// finds in what the unit sent (no header, too large, cut short, an HTTP status) has none.
TEST(CheckTarvik, VerboseNamesTheErrnoOfAFailedCallOnly) {
    if (access(kNegate, X_OK) != 0) GTEST_SKIP() << kNegate << " is missing";
    const struct {
        std::vector<std::string> unit;  // {"refused"}: no unit at all
        std::string out;                // PORT: the unit's port
    } rows[] = {
        {{"refused"},
         "TARVIK UNKNOWN - Socket connect failure (28) while connecting to 127.0.0.1:PORT\n"
         "errno 111: Connection refused\n"},
        {{"--garbage"}, "TARVIK UNKNOWN - HTTP not found (46) while reading values.xml\n"},
        {{"--oversize"},
         "TARVIK UNKNOWN - File size >= buffer_size_max (12) while reading values.xml\n"},
        {{"--close-in-body"},
         "TARVIK UNKNOWN - Recv failed (34) while reading values.xml from 127.0.0.1:PORT\n"},
        {{"--status", "500"},
         "TARVIK UNKNOWN - HTTP: Internal Server Error (65) while reading values.xml\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.unit[0]);
        std::unique_ptr<qvtest::device> unit;
        std::string port;
        if (row.unit[0] == "refused") {
            port = std::to_string(qvtest::closed_port());
        } else {
            unit = std::make_unique<qvtest::device>(row.unit);
            ASSERT_TRUE(unit->running());
            port = unit->port_text();
        }
        std::string expected = row.out;
        if (const size_t at = expected.find("PORT"); at != std::string::npos)
            expected.replace(at, 4, port);
        const run_outcome r = check({"-H", "127.0.0.1", "-p", port, "-v"});
        EXPECT_EQ(r.plugin_state, 3);
        EXPECT_EQ(r.out, expected);
    }
}

TEST(CheckTarvik, PasswordFileAndCommandLineFaults) {
    if (access(kNegate, X_OK) != 0) GTEST_SKIP() << kNegate << " is missing";
    qvtest::temp_dir dir;
    ASSERT_TRUE(qvtest::write_file(dir.file("pw"), "secret\r\nsecond line\n"));
    qvtest::device unit({"--auth", "admin:secret"});
    ASSERT_TRUE(unit.running());
    const std::vector<std::string> base{"-H", "127.0.0.1", "-p", unit.port_text(), "-u", "admin"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    EXPECT_EQ(check(with({"--password-file", dir.file("pw"), "-s", "1"})).plugin_state, 0);
    const run_outcome missing = check(with({"--password-file", dir.file("none")}));
    EXPECT_EQ(missing.plugin_state, 3);
    EXPECT_EQ(missing.out, "TARVIK UNKNOWN - cannot read password file '" + dir.file("none") +
                               "': No such file or directory\n");

    const run_outcome bad = check({"-H", "127.0.0.1", "-w", "5:1"});
    EXPECT_EQ(bad.plugin_state, 3);
    EXPECT_EQ(bad.out, "TARVIK UNKNOWN - invalid warning range '5:1': start is greater than end\n");
    const run_outcome help = check({"--help"});
    EXPECT_EQ(help.plugin_state, 3);
    EXPECT_EQ(help.out.rfind("check_tarvik - ", 0), 0u);
    const run_outcome version = check({"-V"});
    EXPECT_EQ(version.plugin_state, 3);
    EXPECT_EQ(version.out.rfind("check_tarvik ", 0), 0u);
    EXPECT_EQ(version.out.find('\n'), version.out.size() - 1);
}

}  // namespace
