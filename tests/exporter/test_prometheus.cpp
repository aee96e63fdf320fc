// A real Prometheus server (Debian package prometheus) scraping stand-in units through two
// exporter replicas, with the sharded example configuration of docs/examples (addresses and
// intervals replaced): the inventory from /sd, the multi-target relabelling, hashmod
// sharding. Checked through Prometheus' own query API, with the queries of the example
// Grafana dashboard too. Also promtool on the example configurations and alerting rules.
// Skipped only where the package is missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "exposition_util.h"
#include "http_client.h"
#include "process.h"
#include "support.h"

namespace exporter_test {
namespace {

using namespace std::chrono_literals;

const char kPrometheus[] = "/usr/bin/prometheus";

std::string example(const std::string &name) {
    return qvtest::read_file(qvtest::source_dir() + "/docs/examples/" + name);
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The values of an instant query: (labels text, value) per result.
std::vector<std::pair<std::string, double>> query(int port, const std::string &promql) {
    const http_response response = http_get(port, "/api/v1/query?query=" + url_encode(promql));
    std::vector<std::pair<std::string, double>> out;
    static const std::regex result(
        "\\{\"metric\":\\{([^}]*)\\},\"value\":\\[[0-9.]+,\"([^\"]+)\"\\]\\}");
    for (auto it = std::sregex_iterator(response.body.begin(), response.body.end(), result);
         it != std::sregex_iterator(); ++it)
        out.emplace_back((*it)[1].str(), std::strtod((*it)[2].str().c_str(), nullptr));
    return out;
}

double single(int port, const std::string &promql) {
    const auto results = query(port, promql);
    EXPECT_EQ(results.size(), 1u) << promql;
    return results.empty() ? -1 : results.front().second;
}

bool near(double a, double b) {
    return std::abs(a - b) <= 1e-9 * std::max(1.0, std::abs(b));
}

TEST(ExporterPrometheus, ScrapesUnitsThroughShardedReplicas) {
    if (::access(kPrometheus, X_OK) != 0)
        GTEST_SKIP()
            << "prometheus not installed (Debian package prometheus): end-to-end test skipped";
    qvtest::temp_dir dir;
    qvtest::device plain;
    qvtest::device meter({"--power-meter"});
    qvtest::device second;
    const int refusing = qvtest::closed_port();
    ASSERT_TRUE(plain.running() && meter.running() && second.running());
    const std::string address_of[] = {
        "127.0.0.1:" + plain.port_text(), "127.0.0.1:" + meter.port_text(),
        "127.0.0.1:" + second.port_text(), "127.0.0.1:" + std::to_string(refusing)};

    qvtest::write_file(dir.file("exporter.yml"),
                       "modules:\n  default:\n  fast: {timeout: 2s}\n"
                       "targets:\n"
                       "  - targets: [\"" +
                           address_of[0] + "\", \"" + address_of[1] + "\", \"" + address_of[2] +
                           "\"]\n"
                           "    labels: {site: lab}\n"
                           "  - targets: [\"" +
                           address_of[3] +
                           "\"]\n"
                           "    module: fast\n"
                           "    labels: {site: attic}\n"
                           "allowed_networks: [127.0.0.0/8]\n");
    exporter_process a({"--config.file=" + dir.file("exporter.yml")}, dir.path(), "exporter-a");
    exporter_process b({"--config.file=" + dir.file("exporter.yml")}, dir.path(), "exporter-b");
    ASSERT_GT(a.port(), 0) << a.process().output();
    ASSERT_GT(b.port(), 0) << b.process().output();

    std::string config = example("prometheus-tarvik-sharded.yml");
    replace_all(config, "exporter-a.example:10942", "127.0.0.1:" + std::to_string(a.port()));
    replace_all(config, "exporter-b.example:10942", "127.0.0.1:" + std::to_string(b.port()));
    replace_all(config, "scrape_interval: 30s", "scrape_interval: 1s\n  evaluation_interval: 1s");
    replace_all(config, "scrape_timeout: 10s", "scrape_timeout: 1s");
    replace_all(config, "refresh_interval: 5m", "refresh_interval: 1s");
    replace_all(config, "prometheus-tarvik-alerts.yml",
                qvtest::source_dir() + "/docs/examples/prometheus-tarvik-alerts.yml");
    ASSERT_NE(config.find("hashmod"), std::string::npos);
    qvtest::write_file(dir.file("prometheus.yml"), config);

    const int port = qvtest::closed_port();
    background_process prometheus(
        {kPrometheus, "--config.file=" + dir.file("prometheus.yml"),
         "--storage.tsdb.path=" + dir.file("data"),
         "--web.listen-address=127.0.0.1:" + std::to_string(port), "--log.level=warn"},
        dir.path(), "prometheus");
    ASSERT_TRUE(prometheus.started());

    // Bounded wait: every unit scraped, the exporters' own metrics too.
    bool scraped = false;
    for (auto end = std::chrono::steady_clock::now() + 60s;
         std::chrono::steady_clock::now() < end;) {
        if (query(port, "tarvik_probe_success").size() == 4 &&
            query(port, "up{job=\"tarvik_exporter\"} == 1").size() == 2 &&
            query(port, "tarvik_meter_voltage_volts").size() == 2) {
            scraped = true;
            break;
        }
        ASSERT_TRUE(prometheus.running()) << prometheus.output();
        std::this_thread::sleep_for(250ms);
    }
    ASSERT_TRUE(scraped) << prometheus.output() << a.process().output();

    const std::string plain_instance = "instance=\"" + address_of[0] + "\"";
    EXPECT_EQ(single(port, "tarvik_probe_success{" + plain_instance + ",site=\"lab\"}"), 1);
    EXPECT_EQ(
        single(port, "tarvik_probe_success{instance=\"" + address_of[3] + "\",site=\"attic\"}"), 0);
    EXPECT_EQ(single(port, "tarvik_probe_error_info{instance=\"" + address_of[3] +
                               "\",stage=\"connect\",code=\"28\"}"),
              1);
    EXPECT_EQ(single(port, "tarvik_probe_timeout_seconds{instance=\"" + address_of[3] + "\"}"),
              0.5);
    for (const std::string &instance : {address_of[0], address_of[2]}) {
        const std::string sel = "instance=\"" + instance + "\"";
        EXPECT_TRUE(
            near(single(port, "tarvik_sensor_temperature_celsius{" + sel + ",name=\"Rack temp\"}"),
                 23.7));
        EXPECT_TRUE(
            near(single(port, "tarvik_sensor_temperature_celsius{" + sel + ",name=\"Inlet temp\"}"),
                 31.4));
        EXPECT_TRUE(
            near(single(port, "tarvik_sensor_temperature_celsius{" + sel + ",name=\"Dew point\"}"),
                 9.8));
        EXPECT_TRUE(
            near(single(port, "tarvik_sensor_humidity_ratio{" + sel + ",id=\"2\"}"), 0.412));
        EXPECT_TRUE(near(single(port, "tarvik_sensor_voltage_volts{" + sel + "}"), 12.1));
        EXPECT_TRUE(
            near(single(port, "tarvik_sensor_temperature_range_high_celsius{" + sel + ",id=\"3\"}"),
                 28));
        EXPECT_EQ(single(port, "tarvik_sensor_alarm_state{" + sel +
                                   ",tarvik_sensor_alarm_state=\"alarm\"} == 1"),
                  1);
        EXPECT_EQ(single(port, "tarvik_input_state{" + sel + ",name=\"Flood sensor\"}"), 1);
        EXPECT_EQ(single(port, "tarvik_output_mode{" + sel +
                                   ",name=\"Fan\",tarvik_output_mode=\"manual\"}"),
                  1);
    }
    const std::string meter_sel = "instance=\"" + address_of[1] + "\"";
    EXPECT_TRUE(
        near(single(port, "tarvik_meter_voltage_volts{" + meter_sel + ",name=\"L1.U\"}"), 230.1));
    EXPECT_TRUE(near(single(port, "tarvik_meter_current_amperes{" + meter_sel + "}"), 12.34));
    // The sensors in alarm, across the units: Inlet temp of the two family units.
    const auto alarms =
        query(port, "tarvik_sensor_alarm_state{tarvik_sensor_alarm_state=\"alarm\"} == 1");
    EXPECT_EQ(alarms.size(), 2u);
    for (const auto &[labels, value] : alarms)
        EXPECT_NE(labels.find("\"name\":\"Inlet temp\""), std::string::npos);

    // Every unit was probed by exactly one replica, and the replicas together saw all of them.
    double probes = 0;
    for (const exporter_process *replica : {&a, &b}) {
        const auto own = parse_exposition(http_get(replica->port(), "/metrics").body);
        const double ok = own.count("tarvik_exporter_probes_total{result=\"success\"}")
                              ? own.at("tarvik_exporter_probes_total{result=\"success\"}")
                              : 0;
        const double failed = own.count("tarvik_exporter_probes_total{result=\"failure\"}")
                                  ? own.at("tarvik_exporter_probes_total{result=\"failure\"}")
                                  : 0;
        probes += ok + failed;
    }
    EXPECT_GE(probes, 4);
    // Every query of the example Grafana dashboard is valid PromQL for this server, and the
    // panels of readings show series ($instance: every unit).
    const std::string dashboard = example("tarvik_exporter-grafana-dashboard.json");
    static const std::regex expr_field("\"expr\": \"((?:[^\"\\\\]|\\\\.)*)\"");
    int exprs = 0;
    for (auto it = std::sregex_iterator(dashboard.begin(), dashboard.end(), expr_field);
         it != std::sregex_iterator(); ++it) {
        std::string promql = (*it)[1].str();
        replace_all(promql, "\\\"", "\"");
        replace_all(promql, "$instance", ".*");
        const http_response answer = http_get(port, "/api/v1/query?query=" + url_encode(promql));
        EXPECT_NE(answer.body.find("\"status\":\"success\""), std::string::npos)
            << promql << answer.body;
        if (promql.find("tarvik_sensor_temperature_celsius") != std::string::npos ||
            promql.find("tarvik_probe_success") != std::string::npos) {
            EXPECT_FALSE(query(port, promql).empty()) << promql;
        }
        ++exprs;
    }
    EXPECT_GE(exprs, 10);
    // The alerting rules of the example were loaded and evaluate without error.
    const http_response rules = http_get(port, "/api/v1/rules");
    EXPECT_NE(rules.body.find("\"name\":\"TarvikSensorAlarm\""), std::string::npos);
    EXPECT_EQ(rules.body.find("\"health\":\"err\""), std::string::npos) << rules.body;
    EXPECT_EQ(prometheus.stop(), 0);
}

TEST(ExporterPrometheus, ExampleConfigurationsAndRulesPassPromtool) {
    const std::string promtool = promtool_path();
    if (promtool.empty())
        GTEST_SKIP() << "promtool not installed (Debian package prometheus): examples not checked";
    const std::string examples = qvtest::source_dir() + "/docs/examples/";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"check", "rules", examples + "prometheus-tarvik-alerts.yml"},
          std::vector<std::string>{"check", "config", examples + "prometheus-tarvik.yml"},
          std::vector<std::string>{"check", "config",
                                   examples + "prometheus-tarvik-sharded.yml"}}) {
        std::vector<std::string> argv = {promtool};
        argv.insert(argv.end(), args.begin(), args.end());
        const qvtest::run_result r = qvtest::run(argv, 60s, {true});
        EXPECT_EQ(r.exit_code, 0) << args.back() << "\n" << r.out;
        EXPECT_NE(r.out.find("SUCCESS"), std::string::npos) << r.out;
    }
}

// The alerting rules on series as the exporter writes them: a sensor in alarm fires after
// its minute, a normal one does not; a unit that cannot be read fires after five minutes.
TEST(ExporterPrometheus, AlertingRulesFireOnTheAlarmStateSet) {
    const std::string promtool = promtool_path();
    if (promtool.empty())
        GTEST_SKIP() << "promtool not installed (Debian package prometheus): rules not tested";
    qvtest::temp_dir dir;
    const std::string rules = qvtest::source_dir() + "/docs/examples/prometheus-tarvik-alerts.yml";
    qvtest::write_file(dir.file("test.yml"), R"(rule_files:
  - )" + rules + R"(
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'tarvik_sensor_alarm_state{instance="u1",id="3",name="Inlet temp",tarvik_sensor_alarm_state="alarm"}'
        values: '0 1 1 1'
      - series: 'tarvik_sensor_alarm_state{instance="u1",id="1",name="Rack temp",tarvik_sensor_alarm_state="alarm"}'
        values: '0 0 0 0'
      - series: 'tarvik_probe_success{instance="u2"}'
        values: '0x10'
      - series: 'tarvik_sensor_temperature_celsius{instance="u1",id="3",name="Inlet temp"}'
        values: '31.4x15'
      - series: 'tarvik_sensor_temperature_range_high_celsius{instance="u1",id="3",name="Inlet temp"}'
        values: '28x15'
    alert_rule_test:
      - eval_time: 3m
        alertname: TarvikSensorAlarm
        exp_alerts:
          - exp_labels: {severity: critical, instance: u1, id: "3", name: Inlet temp, tarvik_sensor_alarm_state: alarm}
            exp_annotations:
              summary: "Sensor Inlet temp of u1 is in alarm"
              description: "The unit reports its sensor Inlet temp (id 3) outside its safe range."
      - eval_time: 4m
        alertname: TarvikUnitUnreachable
        exp_alerts: []
      - eval_time: 6m
        alertname: TarvikUnitUnreachable
        exp_alerts:
          - exp_labels: {severity: warning, instance: u2}
            exp_annotations:
              summary: "Unit u2 cannot be read"
              description: "The values document of u2 was not read for 5 minutes; tarvik_probe_error_info says at which stage and why."
      - eval_time: 11m
        alertname: TarvikTemperatureAboveRange
        exp_alerts:
          - exp_labels: {severity: warning, instance: u1, id: "3", name: Inlet temp}
            exp_annotations:
              summary: "Inlet temp of u1 is at 31.4 °C, above its safe range"
)");
    const qvtest::run_result r =
        qvtest::run({promtool, "test", "rules", dir.file("test.yml")}, 60s, {true});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("SUCCESS"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace exporter_test
