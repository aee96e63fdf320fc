// The text report, byte for byte, for a family and an other-family device.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fixtures.h"
#include "tool/report.h"

namespace {

template <size_t N>
void set(char (&field)[N], const char *text) {
    ASSERT_LT(std::strlen(text), N);
    std::strcpy(field, text);
}

struct device {
    std::unique_ptr<kyvern_setup> setup = std::make_unique<kyvern_setup>();
    kyvern_setup_entry_count count{};

    void output(const char *id, const char *name, const char *value, const char *type) {
        const int i = count.BinaryOutSet++;
        set(setup->BinaryOutSet_Entry_ID[i], id);
        set(setup->BinaryOutSet_Entry_Name[i], name);
        set(setup->BinaryOutSet_Entry_Value[i], value);
        set(setup->BinaryOutSet_Entry_Type[i], type);
    }
    void input(const char *id, const char *name, const char *value, const char *alarm,
               const char *state) {
        const int i = count.BinaryInSet++;
        set(setup->BinaryInSet_Entry_ID[i], id);
        set(setup->BinaryInSet_Entry_Name[i], name);
        set(setup->BinaryInSet_Entry_Value[i], value);
        set(setup->BinaryInSet_Entry_Alarm[i], alarm);
        set(setup->BinaryInSet_Entry_State[i], state);
    }
    void sensor(const char *id, const char *name, const char *value, const char *units,
                const char *min, const char *max, const char *state, const char *idx) {
        const int i = count.SenSet++;
        set(setup->SenSet_Entry_ID[i], id);
        set(setup->SenSet_Entry_Name[i], name);
        set(setup->SenSet_Entry_Value[i], value);
        set(setup->SenSet_Entry_Units[i], units);
        set(setup->SenSet_Entry_Min[i], min);
        set(setup->SenSet_Entry_Max[i], max);
        set(setup->SenSet_Entry_State[i], state);
        set(setup->SenSet_Entry_Idx[i], idx);
    }
    void range(const char *idx, const char *min, const char *max) {
        const int i = count.TempRangeSet++;
        set(setup->TempRangeSet_Entry_Idx[i], idx);
        set(setup->TempRangeSet_Entry_Min[i], min);
        set(setup->TempRangeSet_Entry_Max[i], max);
    }
};

// The common identity and rows of the fixtures: six outputs covering every value text,
// four inputs covering every alarm text, three sensors of which the first is in alarm.
device make_device(const char *title) {
    device d;
    set(d.setup->Agent_DeviceName, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");  // 30 characters
    set(d.setup->Agent_Title, title);
    set(d.setup->Network_IPAddr, "192.168.0.41");
    set(d.setup->Time_Date, "2026-12-08");
    set(d.setup->Time_Time, "16:21:24");
    d.output("151", "Relay A", "1", "2");
    d.output("152", "Relay B", "0", "2");
    d.output("153", "Relay C", "0", "1");
    d.output("154", "Relay D", "1", "0");
    d.output("155", "Relay E", "0", "3");
    d.output("156", "Relay F", "01", "0");   // numeric test: reads as 1
    d.input("101", "Door", "01", "0", "2");  // whole-text test: "01" is not "1"
    d.input("102", "Smoke", "1", "1", "1");
    d.input("103", "Window", "0", "2", "0");
    d.input("104", "Tamper", "0", "3", "1");
    d.sensor("1", "Temp", "23.5", "C", "10", "30", "2", "2");
    d.sensor("2", "Humidity", "40", "%", "20", "80", "1", "7");
    d.sensor("3", "Dew point", "12", "C", "0", "20", "02", "3");  // state number 2
    return d;
}

std::string report(device &d) {
    char *data = nullptr;
    size_t size = 0;
    std::FILE *stream = open_memstream(&data, &size);
    EXPECT_NE(stream, nullptr);
    if (stream == nullptr) return {};
    print_setup_xml(stream, d.setup.get(), &d.count);
    std::fclose(stream);
    std::string text(data, size);
    std::free(data);
    return text;
}

// The same device as the end-to-end tests serve: the same report, byte for byte.
TEST(Report, FamilyDeviceByteForByte) {
    device d = make_device("Kyvern Environment Monitor");
    EXPECT_EQ(report(d), e2e::family_report());
}

TEST(Report, OtherFamilyDeviceTakesRangesFromTempRangeSetAndInvertsAlarmTexts) {
    device d = make_device("Power Unit X");
    d.range("1", "-9", "9");
    d.range("2", "-5", "45");  // matches sensor 1 (Idx 2)
    d.range("2", "-1", "1");   // a later match is ignored
    d.range("3", "0", "20");   // matches sensor 3
    // sensor 2 has Idx 7: no entry, empty range
    EXPECT_EQ(report(d), e2e::other_family_report());
}

TEST(Report, OtherFamilyDeviceWithoutRangesShowsEmptyRanges) {
    device d = make_device("kyvern lower case is another family");
    const std::string text = report(d);
    EXPECT_NE(text.find("    1 Temp            23.5   C     Active          ..       \n"),
              std::string::npos);
    EXPECT_NE(text.find("  101 Door            OFF          Inactive\n"), std::string::npos);
    EXPECT_EQ(text.find(" 10 .. 30"), std::string::npos);
}

TEST(Report, AllCountsZeroKeepsHeaderSectionsAndFooter) {
    device d = make_device("Kyvern");
    d.count = kyvern_setup_entry_count{};
    EXPECT_EQ(report(d),
              std::string(e2e::kReportHeader) + e2e::kReportSensorsTitle + e2e::kReportFooter);
}

TEST(Report, NameCutStaysInTheRecord) {
    device d = make_device("Kyvern");
    const std::string first = report(d);
    EXPECT_STREQ(d.setup->Agent_DeviceName, "ABCDEFGHIJKLMNOPQRSTU");
    EXPECT_EQ(report(d), first);

    set(d.setup->Agent_DeviceName, "Short name");
    const std::string text = report(d);
    EXPECT_NE(text.find("  Short name             192.168.0.41"), std::string::npos);
    EXPECT_NE(text.find("\nShort name: http://192.168.0.41\n"), std::string::npos);
}

TEST(Report, EmptyFieldsPrintAsPaddedColumns) {
    device d;
    d.count.SenSet = 1;
    d.count.BinaryInSet = 1;
    d.count.BinaryOutSet = 1;
    const std::string text = report(d);
    EXPECT_NE(text.find("\n" + std::string(60, ' ') + "\n"), std::string::npos);  // date..IP
    EXPECT_NE(text.find("\n                      OFF   \n"), std::string::npos);
    EXPECT_NE(text.find("\n                      OFF          unknown \n"), std::string::npos);
    EXPECT_NE(text.find("\n" + std::string(35, ' ') + "Inactive        ..       \n"),
              std::string::npos);
    EXPECT_NE(text.find("\n: http://\n"), std::string::npos);
}

// The parser keeps counts within the capacities; a record from elsewhere may not.
TEST(Report, CountsBeyondCapacityAreClamped) {
    device d = make_device("Power Unit X");
    for (int i = 0; i < 64; ++i) {
        std::snprintf(d.setup->BinaryOutSet_Entry_ID[i], 12, "%d", 151 + i);
        std::snprintf(d.setup->BinaryInSet_Entry_ID[i], 12, "%d", 101 + i);
    }
    d.count.BinaryOutSet = 100000;
    d.count.BinaryInSet = 65;
    d.count.SenSet = 43;
    d.count.TempRangeSet = 1 << 30;
    const std::string text = report(d);
    EXPECT_NE(text.find("\n  214 "), std::string::npos);  // the last output slot
    EXPECT_NE(text.find("\n  164 "), std::string::npos);  // the last input slot
    EXPECT_EQ(text.find("\n  215 "), std::string::npos);

    d.count.BinaryOutSet = -5;
    d.count.BinaryInSet = -1;
    d.count.SenSet = -1;
    d.count.TempRangeSet = -1;
    EXPECT_EQ(report(d),
              std::string(e2e::kReportHeader) + e2e::kReportSensorsTitle + e2e::kReportFooter);
}

TEST(AlarmStateText, FamilyAndOtherFamily) {
    EXPECT_STREQ(alarmstate2string("0", 0), "if ON");
    EXPECT_STREQ(alarmstate2string("1", 0), "if OFF");
    EXPECT_STREQ(alarmstate2string("2", 0), "Inactive");
    EXPECT_STREQ(alarmstate2string("0", 1), "Inactive");
    EXPECT_STREQ(alarmstate2string("1", 1), "if OFF");
    EXPECT_STREQ(alarmstate2string("2", 1), "if ON");
    for (const char *other : {"3", "", "00", " 1", "1 ", "2x"}) {
        EXPECT_STREQ(alarmstate2string(other, 0), "unknown") << other;
        EXPECT_STREQ(alarmstate2string(other, 1), "unknown") << other;
    }
}

}  // namespace
