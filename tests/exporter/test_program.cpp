// The tarvik_exporter program against stand-in units on 127.0.0.1: command line, the
// answers for every kind of unit and every misbehaviour of the stand-in unit, the in-flight
// cap with real probes, reloads on SIGHUP, credentials kept out of every answer and log line.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <thread>

#include "exposition_util.h"
#include "http_client.h"
#include "process.h"
#include "support.h"

namespace exporter_test {
namespace {

using namespace std::chrono_literals;
using series = std::map<std::string, double>;

std::string probe_path(int port, const std::string &module = "") {
    std::string path = "/probe?target=127.0.0.1:" + std::to_string(port);
    if (!module.empty()) path += "&module=" + module;
    return path;
}

bool near(double a, double b) {
    return std::abs(a - b) <= 1e-9 * std::max(1.0, std::abs(b));
}

TEST(ExporterProgram, CommandLine) {
    qvtest::temp_dir dir;
    qvtest::write_file(dir.file("bad.yml"), "modules:\n  a:\n    timeout: soon\n");
    qvtest::device unit;  // a port already taken
    struct row {
        std::vector<std::string> args;
        int exit_code;
        std::string out_part;
        std::string err_part;
    };
    const row rows[] = {
        {{"--help"}, 0, "usage: tarvik_exporter [<flags>]\n", ""},
        {{"-h"}, 0, "--web.listen-address=\":10942\"", ""},
        {{"--version"}, 0, "tarvik_exporter, version ", ""},
        {{"--bogus"}, 2, "", "tarvik_exporter: error: unknown flag --bogus (try --help)\n"},
        {{"--web.max-requests=99"},
         2,
         "",
         "tarvik_exporter: error: --web.max-requests: not a whole number 1..98"},
        {{"--config.file=" + dir.file("none.yml")},
         1,
         "",
         "level=error msg=\"Cannot load the configuration\" reason=\"" + dir.file("none.yml") +
             ": cannot be read\""},
        {{"--config.file=" + dir.file("bad.yml")},
         1,
         "",
         "line 3: timeout of module \\\"a\\\" is not a duration above 0s and up to 5m"},
        {{"--web.listen-address=127.0.0.1:" + unit.port_text()},
         1,
         "",
         "level=error msg=\"Cannot start the HTTP server\" reason=\"cannot listen on 127.0.0.1:" +
             unit.port_text() + "\""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.args.front());
        std::vector<std::string> argv = {exporter_path()};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        const qvtest::run_result result = qvtest::run(argv, 20s);
        EXPECT_EQ(result.exit_code, r.exit_code) << result.err;
        EXPECT_NE(result.out.find(r.out_part), std::string::npos) << result.out;
        EXPECT_NE(result.err.find(r.err_part), std::string::npos) << result.err;
    }
}

// The configuration of the probe tests: every kind of module.
const char kModules[] =
    "modules:\n"
    "  default:\n"
    "  nosetup: {read_setup: no}\n"
    "  secured: {basic_auth: {username: admin, password_file: password}}\n";
const char kSecret[] = "Zebra-secret-42";

struct answer_case {
    std::string name;
    std::string path;
    std::map<std::string, double> expected;  // series that must be there with this value
    std::vector<std::string> absent;         // series names that must not be there
};

class ExporterAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        qvtest::write_file(dir_.file("exporter.yml"), kModules);
        qvtest::write_file(dir_.file("password"), std::string(kSecret) + "\n");
        exporter_ = std::make_unique<exporter_process>(
            std::vector<std::string>{"--config.file=" + dir_.file("exporter.yml"),
                                     "--log.level=debug"},
            dir_.path());
        ASSERT_GT(exporter_->port(), 0) << exporter_->process().output();
        // A unit listing its first sensor twice (the second time with another value).
        std::string twice = qvtest::bundled_document("values.xml");
        const size_t first = twice.find("<SenSet>");
        const size_t begin = twice.find("<Entry>", first), end = twice.find("</Entry>", first) + 8;
        std::string again = twice.substr(begin, end - begin);
        again.replace(again.find("23.7"), 4, "25.5");
        twice.insert(end, again);
        twice_ = std::make_unique<qvtest::device>(twice, std::nullopt, std::vector<std::string>{});
        ASSERT_TRUE(plain_.running() && meter_.running() && locked_.running() && twice_->running());
    }

    std::vector<answer_case> cases() const {
        const int closed = qvtest::closed_port();
        return {
            {"normal unit",
             probe_path(plain_.port()),
             {{"tarvik_probe_success", 1},
              {"tarvik_probe_setup_success", 1},
              {"tarvik_probe_timeout_seconds", 10},
              {"tarvik_device_info{firmware_version=\"2.4.7\",mac=\"00:1D:4A:2C:7E:19\",model="
               "\"21\","
               "name=\"Server room 2\",title=\"Kyvern Environment Monitor\"}",
               1},
              {"tarvik_sensor_temperature_celsius{id=\"1\",name=\"Rack temp\"}", 23.7},
              {"tarvik_sensor_temperature_celsius{id=\"3\",name=\"Inlet temp\"}", 31.4},
              {"tarvik_sensor_temperature_range_high_celsius{id=\"3\",name=\"Inlet temp\"}", 28},
              {"tarvik_sensor_temperature_range_low_celsius{id=\"4\",name=\"Dew point\"}", -5},
              {"tarvik_sensor_humidity_ratio{id=\"2\",name=\"Room humidity\"}", 0.412},
              {"tarvik_sensor_humidity_range_high_ratio{id=\"2\",name=\"Room humidity\"}", 0.7},
              {"tarvik_sensor_voltage_volts{id=\"5\",name=\"Supply voltage\"}", 12.1},
              {"tarvik_sensor_alarm_state{id=\"3\",name=\"Inlet "
               "temp\",tarvik_sensor_alarm_state=\"alarm\"}",
               1},
              {"tarvik_sensor_alarm_state{id=\"3\",name=\"Inlet "
               "temp\",tarvik_sensor_alarm_state=\"normal\"}",
               0},
              {"tarvik_sensor_alarm_state{id=\"1\",name=\"Rack "
               "temp\",tarvik_sensor_alarm_state=\"normal\"}",
               1},
              {"tarvik_input_state{id=\"103\",name=\"Flood sensor\"}", 1},
              {"tarvik_input_alarm_state{id=\"103\",name=\"Flood "
               "sensor\",tarvik_input_alarm_state=\"alarm\"}",
               1},
              {"tarvik_input_state{id=\"101\",name=\"Door\"}", 0},
              {"tarvik_output_state{id=\"152\",name=\"Air conditioning\"}", 1},
              {"tarvik_output_mode{id=\"152\",name=\"Air "
               "conditioning\",tarvik_output_mode=\"manual\"}",
               1},
              {"tarvik_output_mode{id=\"152\",name=\"Air "
               "conditioning\",tarvik_output_mode=\"automatic\"}",
               0}},
             {"tarvik_probe_error_info", "tarvik_meter_"}},
            {"power-meter unit",
             probe_path(meter_.port()),
             {{"tarvik_probe_success", 1},
              {"tarvik_meter_voltage_volts{id=\"1\",name=\"L1.U\"}", 230.1},
              {"tarvik_meter_voltage_volts{id=\"3\",name=\"L2.U\"}", 229.7},
              {"tarvik_meter_current_amperes{id=\"2\",name=\"L1.I\"}", 12.34},
              {"tarvik_meter_current_range_high_amperes{id=\"2\",name=\"L1.I\"}", 32},
              {"tarvik_meter_voltage_range_low_volts{id=\"1\",name=\"L1.U\"}", 207},
              {"tarvik_meter_alarm_state{id=\"1\",name=\"L1.U\",tarvik_meter_alarm_state="
               "\"normal\"}",
               1},
              {"tarvik_input_state{id=\"101\",name=\"Breaker main\"}", 1}},
             {"tarvik_probe_error_info", "tarvik_sensor_temperature"}},
            {"failed probe",
             probe_path(closed),
             {{"tarvik_probe_success", 0},
              {"tarvik_probe_setup_success", 0},
              {"tarvik_probe_error_info{code=\"28\",message=\"Socket connect "
               "failure\",stage=\"connect\"}",
               1}},
             {"tarvik_device_info", "tarvik_sensor_"}},
            {"no setup document read",
             probe_path(plain_.port(), "nosetup"),
             {{"tarvik_probe_success", 1},
              {"tarvik_sensor_temperature_celsius{id=\"1\",name=\"Rack temp\"}", 23.7}},
             {"tarvik_probe_setup_success", "tarvik_probe_error_info"}},
            {"setup document refused",
             probe_path(locked_.port()),
             {{"tarvik_probe_success", 1},
              {"tarvik_probe_setup_success", 0},
              {"tarvik_probe_error_info{code=\"48\",message=\"HTTP: "
               "Unauthorized\",stage=\"setup\"}",
               1},
              {"tarvik_sensor_temperature_celsius{id=\"3\",name=\"Inlet temp\"}", 31.4}},
             {}},
            {"a sensor listed twice is one series, with the value listed last",
             probe_path(twice_->port()),
             {{"tarvik_probe_success", 1},
              {"tarvik_sensor_temperature_celsius{id=\"1\",name=\"Rack temp\"}", 25.5},
              {"tarvik_sensor_temperature_celsius{id=\"3\",name=\"Inlet temp\"}", 31.4}},
             {}},
            {"setup document with credentials",
             probe_path(locked_.port(), "secured"),
             {{"tarvik_probe_success", 1},
              {"tarvik_probe_setup_success", 1},
              {"tarvik_sensor_temperature_range_high_celsius{id=\"3\",name=\"Inlet temp\"}", 28}},
             {"tarvik_probe_error_info"}},
        };
    }

    qvtest::temp_dir dir_;
    qvtest::device plain_;
    qvtest::device meter_{{"--power-meter"}};
    qvtest::device locked_{{"--auth", std::string("admin:") + kSecret}};
    std::unique_ptr<qvtest::device> twice_;
    std::unique_ptr<exporter_process> exporter_;
};

TEST_F(ExporterAnswers, EveryKindOfUnit) {
    std::string everything;
    for (const answer_case &c : cases()) {
        SCOPED_TRACE(c.name);
        const http_response response = http_get(exporter_->port(), c.path);
        ASSERT_EQ(response.status, 200);
        EXPECT_EQ(response.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
        const series got = parse_exposition(response.body);
        for (const auto &[name, value] : c.expected) {
            const auto found = got.find(name);
            if (found == got.end()) {
                ADD_FAILURE() << "missing " << name << "\n" << response.body;
                continue;
            }
            EXPECT_TRUE(near(found->second, value)) << name << " = " << found->second;
        }
        for (const std::string &prefix : c.absent)
            for (const auto &[name, value] : got)
                EXPECT_NE(name.rfind(prefix, 0), 0u) << name << " should not be there";
        for (const auto &[name, value] : got) EXPECT_NE(name.rfind("!bad:", 0), 0u) << name;
        // Every series once: Prometheus refuses a scrape that repeats one.
        std::istringstream lines(response.body);
        size_t samples = 0;
        for (std::string line; std::getline(lines, line);)
            samples += !line.empty() && line[0] != '#';
        EXPECT_EQ(samples, got.size()) << response.body;
        everything += response.headers + response.body;
    }
    // The password (from its file) reached the unit: the secured probe read setup.xml. It
    // appears in no answer and in no log line, at debug level too.
    everything += http_get(exporter_->port(), "/").body +
                  http_get(exporter_->port(), "/metrics").body +
                  http_get(exporter_->port(), "/sd").body;
    EXPECT_EQ(everything.find(kSecret), std::string::npos);
    const std::string log = exporter_->process().output();
    EXPECT_NE(log.find("msg=\"Probe done\""), std::string::npos);
    EXPECT_EQ(log.find(kSecret), std::string::npos);
}

TEST_F(ExporterAnswers, PromtoolAcceptsEveryKindOfAnswer) {
    if (promtool_path().empty())
        GTEST_SKIP() << "promtool not installed (Debian package prometheus): not checked";
    for (const answer_case &c : cases()) {
        SCOPED_TRACE(c.name);
        const http_response response = http_get(exporter_->port(), c.path);
        ASSERT_EQ(response.status, 200);
        std::string output;
        EXPECT_EQ(promtool_check_metrics(response.body, &output), 0) << output << response.body;
    }
    const http_response own = http_get(exporter_->port(), "/metrics");
    std::string output;
    EXPECT_EQ(promtool_check_metrics(own.body, &output), 0) << output << own.body;
    EXPECT_NE(own.body.find("tarvik_exporter_probe_duration_seconds_bucket{le=\"0.1\"}"),
              std::string::npos);
}

// Every misbehaviour of the stand-in unit: the answer comes before Prometheus' own scrape
// time-out (4 s here; the probe's deadline is 4 s less the 1 s offset), never a crash, and
// no module is left held.
TEST(ExporterProgram, EveryFaultModeAnswersWithinTheDeadline) {
    qvtest::temp_dir dir;
    exporter_process exporter({"--timeout-offset=1s"}, dir.path());
    ASSERT_GT(exporter.port(), 0);
    struct row {
        std::vector<std::string> fault;
        double success;
    };
    const std::vector<row> rows = {
        {{"--status", "500"}, 0},
        {{"--status", "404"}, 0},
        {{"--status", "401"}, 0},
        {{"--status", "503"}, 0},
        {{"--silent"}, 0},
        {{"--hold"}, 0},
        {{"--delay", "6000"}, 0},
        {{"--close-in-header"}, 0},
        {{"--close-in-body"}, 0},
        {{"--drip", "16:100"}, 0},
        {{"--garbage"}, 0},
        {{"--oversize"}, 0},
        {{"--slow-read", "1:200"}, 0},
        {{"--endless-header"}, 0},
        // Misbehaviour the client rides out: the probe succeeds.
        {{"--split-header", "100"}, 1},
        {{"--delay", "200"}, 1},
    };
    std::vector<std::unique_ptr<qvtest::device>> units;
    for (const row &r : rows) units.push_back(std::make_unique<qvtest::device>(r.fault));
    std::vector<http_response> answers(rows.size());
    std::vector<std::thread> clients;
    for (size_t i = 0; i < rows.size(); ++i)
        clients.emplace_back([&, i] {
            answers[i] = http_get(exporter.port(), probe_path(units[i]->port()),
                                  {"X-Prometheus-Scrape-Timeout-Seconds: 4"}, 15);
        });
    for (std::thread &t : clients) t.join();
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].fault.front());
        ASSERT_TRUE(answers[i].complete);
        EXPECT_EQ(answers[i].status, 200);
        EXPECT_LT(answers[i].seconds, 4.0) << answers[i].body;
        const series got = parse_exposition(answers[i].body);
        ASSERT_EQ(got.count("tarvik_probe_success"), 1u) << answers[i].body;
        EXPECT_EQ(got.at("tarvik_probe_success"), rows[i].success) << answers[i].body;
        EXPECT_LE(got.at("tarvik_probe_duration_seconds"), 3.0 + 0.5);
        EXPECT_EQ(got.at("tarvik_probe_timeout_seconds"), 3.0);
    }
    // Every module is given back (closes finish after the answers), the exporter still probes.
    series own;
    for (int i = 0; i < 100; ++i) {
        own = parse_exposition(http_get(exporter.port(), "/metrics").body);
        if (own["tarvik_exporter_library_modules"] == 0 &&
            own["tarvik_exporter_probes_in_flight"] == 0)
            break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(own["tarvik_exporter_library_modules"], 0);
    EXPECT_EQ(own["tarvik_exporter_probes_in_flight"], 0);
    EXPECT_EQ(own["tarvik_exporter_probes_total{result=\"failure\"}"], 14);
    EXPECT_EQ(own["tarvik_exporter_probes_total{result=\"success\"}"], 2);
    qvtest::device healthy;
    EXPECT_EQ(
        parse_exposition(
            http_get(exporter.port(), probe_path(healthy.port())).body)["tarvik_probe_success"],
        1);
    EXPECT_TRUE(exporter.process().running());
    EXPECT_EQ(exporter.process().stop(), 0) << exporter.process().output();
}

TEST(ExporterProgram, ProbesPastTheCapGet503WhileRealProbesRun) {
    qvtest::temp_dir dir;
    exporter_process exporter({"--web.max-requests=2"}, dir.path());
    ASSERT_GT(exporter.port(), 0);
    qvtest::device silent({"--silent"});
    std::vector<http_response> held(2);
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i)
        clients.emplace_back([&, i] {
            held[i] = http_get(exporter.port(), probe_path(silent.port()),
                               {"X-Prometheus-Scrape-Timeout-Seconds: 3.5"});
        });
    bool both_running = false;
    for (int i = 0; i < 100 && !both_running; ++i) {
        both_running =
            parse_exposition(
                http_get(exporter.port(), "/metrics").body)["tarvik_exporter_probes_in_flight"] ==
            2;
        if (!both_running) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(both_running);
    const http_response refused = http_get(exporter.port(), probe_path(silent.port()));
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body, "too many probes in flight (2)\n");
    for (std::thread &t : clients) t.join();
    for (const http_response &r : held) {
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(parse_exposition(r.body)["tarvik_probe_success"], 0);
    }
}

TEST(ExporterProgram, SighupReloadsAndABadFileKeepsTheOldConfiguration) {
    qvtest::temp_dir dir;
    const std::string file = dir.file("exporter.yml");
    qvtest::write_file(file, "modules:\n  first: {read_setup: no}\n");
    exporter_process exporter({"--config.file=" + file}, dir.path());
    ASSERT_GT(exporter.port(), 0);
    qvtest::device unit;
    EXPECT_EQ(http_get(exporter.port(), probe_path(unit.port(), "first")).status, 200);

    qvtest::write_file(file, "modules:\n  second: {}\ntargets:\n  - targets: [\"127.0.0.1:" +
                                 unit.port_text() + "\"]\n    labels: {room: lab}\n");
    exporter.process().send(SIGHUP);
    ASSERT_TRUE(exporter.process().wait_for_output("msg=\"Configuration reloaded\"", 10s));
    EXPECT_EQ(http_get(exporter.port(), probe_path(unit.port(), "second")).status, 200);
    EXPECT_EQ(http_get(exporter.port(), probe_path(unit.port(), "first")).status, 400);
    EXPECT_EQ(http_get(exporter.port(), "/sd").body,
              "[\n  {\"targets\": [\"127.0.0.1:" + unit.port_text() +
                  "\"], \"labels\": {\"room\": \"lab\"}}\n]\n");

    qvtest::write_file(file, "modules: [\n");
    exporter.process().send(SIGHUP);
    ASSERT_TRUE(
        exporter.process().wait_for_output("msg=\"Configuration reload failed; the previous "
                                           "configuration stays\"",
                                           10s));
    EXPECT_NE(exporter.process().output().find(
                  file + ": line 2, column 1: end of sequence flow not found"),
              std::string::npos)
        << exporter.process().output();
    EXPECT_EQ(http_get(exporter.port(), probe_path(unit.port(), "second")).status, 200);
    EXPECT_EQ(parse_exposition(http_get(exporter.port(), "/metrics")
                                   .body)["tarvik_exporter_config_last_reload_successful"],
              0);
    EXPECT_EQ(exporter.process().stop(), 0) << exporter.process().output();
    EXPECT_NE(exporter.process().output().find("msg=Stopping signal=SIGTERM"), std::string::npos);
}

}  // namespace
}  // namespace exporter_test
