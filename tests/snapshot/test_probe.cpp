// Probes of the stand-in unit through the client library: what the model holds for the
// bundled documents, and how each kind of failure is reported, within the deadline.
#include <gtest/gtest.h>

#include <thread>

#include "error_codes.h"
#include "snapshot/snapshot.h"
#include "support.h"

namespace snapshot {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

class library : public testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(qvxml_init(), 0); }
    void TearDown() override { qvxml_uninit(); }
};
const testing::Environment *const kLibrary = testing::AddGlobalTestEnvironment(new library);

probe_result probe_unit(int port, clock_type::duration budget = 10s, bool setup = true,
                        const std::string &user = "", const std::string &password = "") {
    probe_options o;
    o.host = "127.0.0.1";
    o.port = port;
    o.read_setup = setup;
    o.user = user;
    o.password = password;
    o.deadline = clock_type::now() + budget;
    return probe(o);
}

const sensor *find_sensor(const device &d, const std::string &name) {
    for (const sensor &s : d.sensors)
        if (s.name == name) return &s;
    return nullptr;
}

TEST(Probe, BundledDocumentsGiveTheWholeModel) {
    qvtest::device unit;
    ASSERT_TRUE(unit.running());
    const probe_result r = probe_unit(unit.port());
    ASSERT_TRUE(r.success) << describe_failure(r);
    EXPECT_EQ(r.failed_stage, stage::none);
    EXPECT_TRUE(r.values_read);
    EXPECT_TRUE(r.setup_read);
    EXPECT_EQ(describe_failure(r), "");
    EXPECT_GT(r.duration.count(), 0);

    const identity &id = r.model.unit;
    EXPECT_EQ(id.device_name, "Server room 2");
    EXPECT_EQ(id.model, "21");
    EXPECT_EQ(id.firmware, "2.4.7");
    EXPECT_EQ(id.mac, "00:1D:4A:2C:7E:19");
    EXPECT_EQ(id.title, "Kyvern Environment Monitor");
    EXPECT_EQ(id.contact, "facilities@example.org");

    ASSERT_EQ(r.model.sensors.size(), 5u);
    const sensor *inlet = find_sensor(r.model, "Inlet temp");
    ASSERT_NE(inlet, nullptr);
    EXPECT_EQ(inlet->id, "3");
    EXPECT_DOUBLE_EQ(*inlet->value, 31.4);
    EXPECT_EQ(inlet->unit_text,
              "\xC2\xB0"
              "C");
    EXPECT_EQ(inlet->conversion.unit, base_unit::celsius);
    EXPECT_EQ(inlet->range_from, range_source::setup);
    EXPECT_DOUBLE_EQ(*inlet->low, 10);
    EXPECT_DOUBLE_EQ(*inlet->high, 28);
    EXPECT_TRUE(inlet->alarm_active);
    EXPECT_TRUE(inlet->out_of_range);
    const sensor *humidity = find_sensor(r.model, "Room humidity");
    ASSERT_NE(humidity, nullptr);
    EXPECT_NEAR(*humidity->base_value, 0.412, 1e-12);
    EXPECT_NEAR(*humidity->base_high, 0.70, 1e-12);
    EXPECT_FALSE(humidity->alarm_active);
    EXPECT_FALSE(humidity->out_of_range);

    ASSERT_EQ(r.model.inputs.size(), 4u);
    EXPECT_EQ(r.model.inputs[2].name, "Flood sensor");
    EXPECT_EQ(r.model.inputs[2].value, 1);
    EXPECT_TRUE(r.model.inputs[2].alarm_active);
    EXPECT_FALSE(r.model.inputs[0].alarm_active);
    ASSERT_EQ(r.model.outputs.size(), 4u);
    EXPECT_EQ(r.model.outputs[1].name, "Air conditioning");
    EXPECT_EQ(r.model.outputs[1].value, 1);
    for (const binary_output &o : r.model.outputs) EXPECT_EQ(o.mode, output_mode::manual);
}

TEST(Probe, WithoutSetupTheRangesComeFromTheValuesDocument) {
    qvtest::device unit;
    ASSERT_TRUE(unit.running());
    const probe_result r = probe_unit(unit.port(), 10s, false);
    ASSERT_TRUE(r.success) << describe_failure(r);
    EXPECT_FALSE(r.setup_read);
    const sensor *inlet = find_sensor(r.model, "Inlet temp");
    ASSERT_NE(inlet, nullptr);
    EXPECT_EQ(inlet->range_from, range_source::values);
    EXPECT_DOUBLE_EQ(*inlet->high, 28);
}

TEST(Probe, PowerMeterReadingsInBaseUnits) {
    qvtest::device unit({"--power-meter"});
    ASSERT_TRUE(unit.running());
    const probe_result r = probe_unit(unit.port());
    ASSERT_TRUE(r.success) << describe_failure(r);
    EXPECT_EQ(r.model.unit.model, "55");
    ASSERT_EQ(r.model.sensors.size(), 4u);
    const struct {
        const char *name;
        double value;
        base_unit unit;
        double low, high;
    } expected[] = {{"L1.U", 230.1, base_unit::volts, 207, 253},
                    {"L1.I", 12.34, base_unit::amperes, 0, 32},
                    {"L2.U", 229.7, base_unit::volts, 207, 253},
                    {"L2.I", 98.7, base_unit::none, 0, 320}};
    for (size_t i = 0; i < 4; ++i) {
        const sensor &s = r.model.sensors[i];
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(s.name, expected[i].name);
        EXPECT_TRUE(s.meter);
        EXPECT_DOUBLE_EQ(*s.base_value, expected[i].value);
        EXPECT_EQ(s.conversion.unit, expected[i].unit);
        EXPECT_EQ(s.range_from, range_source::values);
        EXPECT_DOUBLE_EQ(*s.low, expected[i].low);
        EXPECT_DOUBLE_EQ(*s.high, expected[i].high);
        EXPECT_FALSE(s.alarm_active);
    }
    ASSERT_EQ(r.model.inputs.size(), 2u);
    EXPECT_EQ(r.model.inputs[0].name, "Breaker main");
    EXPECT_EQ(r.model.inputs[0].value, 1);
}

TEST(Probe, RefusedConnectionFailsAtConnect) {
    const probe_result r = probe_unit(qvtest::closed_port());
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.failed_stage, stage::connect);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.error.code, QV_E_SOCKET_CONNECT);
    const std::string message = qvtest::kErrorRows[QV_E_SOCKET_CONNECT].message;
    EXPECT_EQ(r.error.message, message);
    EXPECT_FALSE(r.values_read);
    EXPECT_EQ(describe_failure(r), "connect: " + message + " (28)");
}

// A document that is no XML at all (the reader does not refuse it: libxml2 reports it as not
// well-formed and the records stay empty) fails the probe at its stage instead of giving a
// unit with nothing to report.
TEST(Probe, ADocumentThatIsNoXmlFailsItsStage) {
    const struct {
        const char *option;  // the document replaced
        stage failed;
        const char *text;
    } rows[] = {
        {"--values", stage::values, "this is not a document"},
        {"--values", stage::values, "<Root><Agent><DeviceName>x</DeviceName></Agent></Root>"},
        {"--setup", stage::setup, "{\"json\": true}"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.option) + " " + row.text);
        qvtest::temp_dir dir;
        ASSERT_TRUE(qvtest::write_file(dir.file("doc"), row.text));
        qvtest::device unit({row.option, dir.file("doc")});
        ASSERT_TRUE(unit.running());
        const probe_result r = probe_unit(unit.port());
        EXPECT_FALSE(r.success);
        EXPECT_EQ(r.failed_stage, row.failed);
        EXPECT_EQ(r.error.code, QV_E_FILE_NOT_VALID);
        EXPECT_EQ(r.values_read, row.failed != stage::values);
    }
}

TEST(Probe, SilentUnitEndsAtTheDeadline) {
    qvtest::device unit({"--silent"});
    ASSERT_TRUE(unit.running());
    const auto budget = 300ms;
    const auto start = clock_type::now();
    const probe_result r = probe_unit(unit.port(), budget);
    const auto took = clock_type::now() - start;
    EXPECT_FALSE(r.success);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.failed_stage, stage::values);
    EXPECT_EQ(describe_failure(r), "values: timeout");
    EXPECT_GE(took, budget);
    // The library may take up to about a second to close a module whose worker waits on a
    // socket (more under the sanitizers); far less than the 10 s of silence it cuts short.
    EXPECT_LT(took, budget + qvtest::scaled(1500ms));
}

TEST(Probe, ProtectedSetupNeedsTheCredentials) {
    qvtest::device unit({"--auth", "admin:secret"});
    ASSERT_TRUE(unit.running());
    const probe_result without = probe_unit(unit.port());
    EXPECT_FALSE(without.success);
    EXPECT_EQ(without.failed_stage, stage::setup);
    EXPECT_EQ(without.error.code, 48);
    EXPECT_EQ(describe_failure(without), "setup: HTTP: Unauthorized (48)");
    EXPECT_TRUE(without.values_read) << "the values stay usable";
    EXPECT_FALSE(without.setup_read);
    EXPECT_EQ(without.model.sensors.size(), 5u);

    const probe_result wrong = probe_unit(unit.port(), 10s, true, "admin", "wrong");
    EXPECT_EQ(wrong.error.code, 48);

    const probe_result with = probe_unit(unit.port(), 10s, true, "admin", "secret");
    EXPECT_TRUE(with.success) << describe_failure(with);
    EXPECT_TRUE(with.setup_read);

    const probe_result too_long = probe_unit(unit.port(), 10s, true, std::string(100, 'u'), "x");
    EXPECT_EQ(too_long.failed_stage, stage::connect);
    EXPECT_EQ(too_long.error.code, 43);
}

TEST(Probe, ConcurrentProbesEachGetTheirOwnUnit) {
    qvtest::device plain;
    qvtest::device meter({"--power-meter"});
    ASSERT_TRUE(plain.running() && meter.running());
    constexpr int kThreads = 8;
    std::vector<probe_result> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(
            [&, i] { results[i] = probe_unit(i % 2 == 0 ? plain.port() : meter.port(), 20s); });
    for (std::thread &t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(results[i].success) << describe_failure(results[i]);
        EXPECT_EQ(results[i].model.unit.model, i % 2 == 0 ? "21" : "55");
        EXPECT_EQ(results[i].model.sensors.size(), i % 2 == 0 ? 5u : 4u);
    }
}

}  // namespace
}  // namespace snapshot

namespace snapshot {
namespace {

// The outcome is handed out once, before the close, and says what probe then returns.
TEST(ProbeOutcome, HandedOutBeforeTheCloseWithTheReturnedOutcome) {
    qvtest::device healthy;
    qvtest::device silent({"--silent"});
    ASSERT_TRUE(healthy.running());
    ASSERT_TRUE(silent.running());
    struct row {
        int port;
        bool success;
    };
    for (const row r : {row{healthy.port(), true}, row{silent.port(), false}}) {
        probe_options o;
        o.host = "127.0.0.1";
        o.port = r.port;
        o.deadline = clock_type::now() + 1500ms;
        int calls = 0;
        probe_result early;
        clock_type::time_point called_at;
        o.on_outcome = [&](const probe_result &outcome) {
            ++calls;
            early = outcome;
            called_at = clock_type::now();
        };
        const probe_result last = probe(o);
        const clock_type::time_point returned_at = clock_type::now();
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(early.success, r.success);
        EXPECT_EQ(early.success, last.success);
        EXPECT_EQ(early.values_read, last.values_read);
        EXPECT_EQ(early.setup_read, last.setup_read);
        EXPECT_EQ(early.timed_out, last.timed_out);
        EXPECT_EQ(early.failed_stage, last.failed_stage);
        EXPECT_EQ(early.error.code, last.error.code);
        EXPECT_EQ(early.model.sensors.size(), last.model.sensors.size());
        EXPECT_LE(called_at, returned_at);
        EXPECT_LE(early.duration, last.duration);
        if (!r.success) {
            EXPECT_TRUE(early.timed_out);
            // Handed out at the deadline, whatever the close takes afterwards.
            EXPECT_LT(called_at, o.deadline + 250ms);
        }
    }
    // A throwing callback changes nothing: the module is still closed, the result returned.
    probe_options o;
    o.host = "127.0.0.1";
    o.port = healthy.port();
    o.deadline = clock_type::now() + 5s;
    o.on_outcome = [](const probe_result &) { throw std::runtime_error("ignored"); };
    EXPECT_TRUE(probe(o).success);
}

}  // namespace
}  // namespace snapshot
