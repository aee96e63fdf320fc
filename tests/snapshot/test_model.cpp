// From records to the model: readings, power-meter scaling, ranges from either document,
// alarm and range decisions, and records that hold nonsense.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "snapshot/snapshot.h"

namespace snapshot {
namespace {

template <size_t N>
void put(char (&field)[N], const char *text) {
    std::memset(field, 0, N);
    std::strncpy(field, text, N - 1);
}

// Zeroed records on the heap (the setup record is about 130 KB).
struct values_doc {
    std::unique_ptr<kyvern_values> v = std::make_unique<kyvern_values>();
    kyvern_values_entry_count n{};
    values_doc() { std::memset(v.get(), 0, sizeof *v); }

    void sensor(const char *id, const char *name, const char *value, const char *unit,
                const char *min, const char *max, const char *state, const char *exp = "") {
        const int i = n.SenSet++;
        put(v->SenSet_Entry_ID[i], id);
        put(v->SenSet_Entry_Name[i], name);
        put(v->SenSet_Entry_Value[i], value);
        put(v->SenSet_Entry_Units[i], unit);
        put(v->SenSet_Entry_Min[i], min);
        put(v->SenSet_Entry_Max[i], max);
        put(v->SenSet_Entry_State[i], state);
        put(v->SenSet_Entry_Exp[i], exp);
    }
    device model() const { return from_values(*v, n); }
};

struct setup_doc {
    std::unique_ptr<kyvern_setup> s = std::make_unique<kyvern_setup>();
    kyvern_setup_entry_count n{};
    explicit setup_doc(const char *title) {
        std::memset(s.get(), 0, sizeof *s);
        put(s->Agent_Title, title);
    }
    void sensor(const char *id, const char *min, const char *max, const char *idx = "") {
        const int i = n.SenSet++;
        put(s->SenSet_Entry_ID[i], id);
        put(s->SenSet_Entry_Name[i], (std::string("setup ") + id).c_str());
        put(s->SenSet_Entry_Min[i], min);
        put(s->SenSet_Entry_Max[i], max);
        put(s->SenSet_Entry_Idx[i], idx);
    }
    void range(const char *idx, const char *min, const char *max) {
        const int i = n.TempRangeSet++;
        put(s->TempRangeSet_Entry_Idx[i], idx);
        put(s->TempRangeSet_Entry_Min[i], min);
        put(s->TempRangeSet_Entry_Max[i], max);
    }
    setup_info info() const { return from_setup(*s, n); }
};

struct sensor_case {
    const char *label;
    const char *value, *unit, *min, *max, *state;
    std::optional<double> value_out, base_out, low_out, high_out;
    alarm_state state_out;
    bool alarm, out_of_range;
};

TEST(Sensors, ReadingsRangesAndDecisions) {
    const std::optional<double> none;
    const sensor_case cases[] = {
        {"inside", "23.7",
         "\xC2\xB0"
         "C",
         "10.0", "30.0", "1", 23.7, 23.7, 10, 30, alarm_state::normal, false, false},
        {"above, alarm", "31.4",
         "\xC2\xB0"
         "C",
         "10.0", "28.0", "2", 31.4, 31.4, 10, 28, alarm_state::alarm, true, true},
        {"below, no alarm yet", "9.9", "C", "10", "30", "1", 9.9, 9.9, 10, 30, alarm_state::normal,
         false, true},
        {"on the low end", "10", "C", "10", "30", "1", 10, 10, 10, 30, alarm_state::normal, false,
         false},
        {"on the high end", "30", "C", "10", "30", "1", 30, 30, 10, 30, alarm_state::normal, false,
         false},
        {"alarm inside the range", "20", "C", "10", "30", "02", 20, 20, 10, 30, alarm_state::alarm,
         true, false},
        {"humidity as a ratio", "41.2", "%RH", "20.0", "70.0", "1", 41.2, 0.412, 20, 70,
         alarm_state::normal, false, false},
        {"fahrenheit", "212",
         "\xC2\xB0"
         "F",
         "32", "", "1", 212, 100, 32, none, alarm_state::normal, false, false},
        {"only a high end", "12", "V", "", "11.5", "1", 12, 12, none, 11.5, alarm_state::normal,
         false, true},
        {"no range", "5", "ppm", "", "", "0", 5, 5, none, none, alarm_state::inactive, false,
         false},
        {"no number", "n/a",
         "\xC2\xB0"
         "C",
         "10", "30", "1", none, none, 10, 30, alarm_state::normal, false, false},
        {"empty value", "", "V", "1", "2", "", none, none, 1, 2, alarm_state::unknown, false,
         false},
        {"nonsense range", "5", "V", "low", "1e999", "x", 5, 5, none, none, alarm_state::unknown,
         false, false},
        {"nan value", "nan", "V", "0", "1", "1", none, none, 0, 1, alarm_state::normal, false,
         false},
    };
    values_doc doc;
    for (const sensor_case &c : cases)
        doc.sensor("7", c.label, c.value, c.unit, c.min, c.max, c.state);
    const device model = doc.model();
    ASSERT_EQ(model.sensors.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const sensor_case &c = cases[i];
        const sensor &s = model.sensors[i];
        SCOPED_TRACE(c.label);
        EXPECT_EQ(s.name, c.label);
        EXPECT_EQ(s.value_text, c.value);
        EXPECT_EQ(s.unit_text, c.unit);
        EXPECT_FALSE(s.meter);
        auto same = [](std::optional<double> got, std::optional<double> want) {
            return got.has_value() == want.has_value() && (!got || std::fabs(*got - *want) < 1e-9);
        };
        EXPECT_TRUE(same(s.value, c.value_out));
        EXPECT_TRUE(same(s.base_value, c.base_out));
        EXPECT_TRUE(same(s.low, c.low_out));
        EXPECT_TRUE(same(s.high, c.high_out));
        EXPECT_EQ(s.state, c.state_out);
        EXPECT_EQ(s.alarm_active, c.alarm);
        EXPECT_EQ(s.out_of_range, c.out_of_range);
        EXPECT_EQ(s.range_from,
                  c.low_out || c.high_out ? range_source::values : range_source::none);
    }
    // The base range follows the conversion: 32 °F is 0 °C.
    EXPECT_DOUBLE_EQ(*model.sensors[7].base_low, 0);
    EXPECT_DOUBLE_EQ(*model.sensors[6].base_high, 0.7);
}

TEST(PowerMeter, ReadingsAreScaledByTheirExponentOnlyOnMeterModels) {
    for (const char *model_text : {"55", "45", "57", "58", " 55", "21", "5", ""}) {
        SCOPED_TRACE(std::string("model \"") + model_text + "\"");
        const std::string m = model_text;
        const bool meter = m == "55" || m == "45" || m == "57" || m == "58" || m == " 55";
        values_doc doc;
        put(doc.v->Agent_Model, model_text);
        doc.sensor("1", "L1.U", "2301", "V", "207.0", "253.0", "1", "-1");
        doc.sensor("2", "L1.I", "1234", "A", "0", "32.00", "2", "-2");
        doc.sensor("4", "L2.I", "987", "", "0", "32.00", "1", "");  // no Exp: the one before
        doc.sensor("5", "L3.P", "-15", "kW", "", "", "1", "3");
        doc.sensor("6", "decimal", "23.7",
                   "\xC2\xB0"
                   "C",
                   "", "", "1", "-1");  // as sent
        doc.sensor("7", "huge", "99999999", "W", "", "", "1", "32767");
        const device d = doc.model();
        ASSERT_EQ(d.sensors.size(), 6u);
        if (meter) {
            EXPECT_TRUE(d.sensors[0].meter);
            EXPECT_DOUBLE_EQ(*d.sensors[0].value, 230.1);
            EXPECT_DOUBLE_EQ(*d.sensors[1].value, 12.34);
            EXPECT_DOUBLE_EQ(*d.sensors[2].value, 9.87);
            EXPECT_DOUBLE_EQ(*d.sensors[3].value, -15000);
            EXPECT_DOUBLE_EQ(*d.sensors[3].base_value, -15e6);
            EXPECT_FALSE(d.sensors[5].value.has_value()) << "10^32767 is no reading";
        } else {
            EXPECT_FALSE(d.sensors[0].meter);
            EXPECT_DOUBLE_EQ(*d.sensors[0].value, 2301);
            EXPECT_DOUBLE_EQ(*d.sensors[2].value, 987);
            EXPECT_DOUBLE_EQ(*d.sensors[5].value, 99999999);
        }
        EXPECT_FALSE(d.sensors[4].meter);
        EXPECT_DOUBLE_EQ(*d.sensors[4].value, 23.7);
        // The limits are already scaled by the library.
        EXPECT_DOUBLE_EQ(*d.sensors[0].low, 207);
        EXPECT_DOUBLE_EQ(*d.sensors[1].high, 32);
        EXPECT_TRUE(d.sensors[1].alarm_active);
    }
}

TEST(Records, CountsAndUnterminatedFieldsStayInBounds) {
    values_doc doc;
    doc.sensor("1", "a", "1", "V", "", "", "1");
    std::memset(doc.v->SenSet_Entry_Name[0], 'N', sizeof doc.v->SenSet_Entry_Name[0]);
    std::memset(doc.v->Agent_DeviceName, 'D', sizeof doc.v->Agent_DeviceName);
    doc.n.SenSet = -3;
    doc.n.BinaryInSet = 1 << 30;
    doc.n.BinaryOutSet = 65;
    device d = doc.model();
    EXPECT_TRUE(d.sensors.empty());
    EXPECT_EQ(d.inputs.size(), 64u);
    EXPECT_EQ(d.outputs.size(), 64u);
    EXPECT_EQ(d.unit.device_name, std::string(sizeof doc.v->Agent_DeviceName, 'D'));

    doc.n.SenSet = 1000;
    d = doc.model();
    ASSERT_EQ(d.sensors.size(), 42u);
    EXPECT_EQ(d.sensors[0].name, std::string(sizeof doc.v->SenSet_Entry_Name[0], 'N'));
    EXPECT_EQ(d.sensors[41].value_text, "");
    EXPECT_FALSE(d.sensors[41].value.has_value());
}

TEST(InputsOutputs, ValuesStatesAndModes) {
    values_doc doc;
    const char *input_rows[][3] = {{"101", "0", "1"}, {"102", "1", "2"}, {"103", "01", "02"},
                                   {"104", "2", "0"}, {"105", "", ""},   {"106", "on", "9"}};
    for (auto &row : input_rows) {
        const int i = doc.n.BinaryInSet++;
        put(doc.v->BinaryInSet_Entry_ID[i], row[0]);
        put(doc.v->BinaryInSet_Entry_Value[i], row[1]);
        put(doc.v->BinaryInSet_Entry_State[i], row[2]);
    }
    const char *output_rows[][3] = {{"151", "1", "0"}, {"152", "0", "1"}, {"153", "x", ""}};
    for (auto &row : output_rows) {
        const int i = doc.n.BinaryOutSet++;
        put(doc.v->BinaryOutSet_Entry_ID[i], row[0]);
        put(doc.v->BinaryOutSet_Entry_Value[i], row[1]);
        put(doc.v->BinaryOutSet_Entry_Mode[i], row[2]);
    }
    const device d = doc.model();
    ASSERT_EQ(d.inputs.size(), 6u);
    const std::optional<int> in_values[] = {0, 1, 1, std::nullopt, std::nullopt, std::nullopt};
    const bool in_alarms[] = {false, true, true, false, false, false};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(d.inputs[i].value, in_values[i]) << d.inputs[i].id;
        EXPECT_EQ(d.inputs[i].alarm_active, in_alarms[i]) << d.inputs[i].id;
    }
    EXPECT_EQ(d.inputs[3].state, alarm_state::inactive);
    EXPECT_EQ(d.inputs[5].state, alarm_state::unknown);
    ASSERT_EQ(d.outputs.size(), 3u);
    EXPECT_EQ(d.outputs[0].value, 1);
    EXPECT_EQ(d.outputs[0].mode, output_mode::manual);
    EXPECT_EQ(d.outputs[1].value, 0);
    EXPECT_EQ(d.outputs[1].mode, output_mode::automatic);
    EXPECT_EQ(d.outputs[2].value, std::nullopt);
    EXPECT_EQ(d.outputs[2].mode, output_mode::unknown);
}

TEST(Setup, FamilyUnitsTakeTheSensorEntriesRange) {
    values_doc doc;
    doc.sensor("1", "", "23.7", "C", "10", "30", "1");
    doc.sensor("2", "Hum", "41", "%RH", "20", "70", "1");
    doc.sensor("3", "Out", "29", "C", "10", "35", "1");  // not in the setup
    setup_doc setup("Kyvern Environment Monitor");
    setup.sensor("1", "-5", "20");
    setup.sensor("2", "", "");        // the setup says: no range
    setup.range("1", "-100", "100");  // not used for a family unit
    device d = doc.model();
    apply_setup(d, setup.info());
    EXPECT_EQ(d.sensors[0].name, "setup 1") << "an empty name is filled from the setup";
    EXPECT_EQ(d.sensors[1].name, "Hum");
    EXPECT_EQ(d.sensors[0].range_from, range_source::setup);
    EXPECT_EQ(*d.sensors[0].low, -5);
    EXPECT_EQ(*d.sensors[0].high, 20);
    EXPECT_TRUE(d.sensors[0].out_of_range);
    EXPECT_EQ(d.sensors[1].range_from, range_source::none);
    EXPECT_FALSE(d.sensors[1].low || d.sensors[1].high || d.sensors[1].base_high);
    EXPECT_EQ(d.sensors[2].range_from, range_source::values);
    EXPECT_EQ(*d.sensors[2].high, 35);
    EXPECT_FALSE(d.sensors[2].out_of_range);
}

TEST(Setup, OtherUnitsTakeTheFirstTempRangeOfTheSensorsIdx) {
    values_doc doc;
    doc.sensor("1", "T1", "23.7", "C", "0", "1", "1");
    doc.sensor("2", "T2", "41", "C", "20", "70", "1");
    doc.sensor("3", "T3", "5", "C", "0", "1", "1");
    setup_doc setup("Power Unit X");
    setup.sensor("1", "0", "1", "2");
    setup.sensor("2", "0", "1", "7");  // no TempRangeSet entry with Idx 7
    setup.sensor("3", "0", "1", "x");
    setup.range("1", "-9", "9");
    setup.range("2", "-5", "45");
    setup.range("2", "-1", "1");
    device d = doc.model();
    apply_setup(d, setup.info());
    EXPECT_EQ(*d.sensors[0].low, -5);
    EXPECT_EQ(*d.sensors[0].high, 45);
    EXPECT_FALSE(d.sensors[0].out_of_range);
    EXPECT_FALSE(d.sensors[1].low || d.sensors[1].high);
    EXPECT_EQ(d.sensors[1].range_from, range_source::none);
    EXPECT_FALSE(d.sensors[2].low || d.sensors[2].high);
}

}  // namespace
}  // namespace snapshot
