// The text report of a device (see report.h). Every constant text is static; nothing is
// allocated.
#include "tool/report.h"

#include <cstdlib>
#include <cstring>

namespace {

// Length of the device name kept in the report (and in the record it is printed from).
constexpr int kDeviceNameCut = 21;

// Texts written with fwrite of their exact length.
constexpr char kRule[] = "------------------------------------------------------------\n";
constexpr char kRuleBlank[] = "------------------------------------------------------------\n\n";
constexpr char kAlarmTitle[] = "ALARM state:\n";
constexpr char kSensorsTitle[] = "\nSensors:\n";
constexpr char kBlankRule[] = "\n------------------------------------------------------------\n";

int write_text(std::FILE *stream, const char *text, size_t length) {
    return static_cast<int>(std::fwrite(text, 1, length, stream));
}

template <size_t N>
int write_text(std::FILE *stream, const char (&text)[N]) {
    return write_text(stream, text, N - 1);
}

// Number of entries to visit: the count, never below 0 nor above the set's capacity.
int clamp_count(int32_t count, int capacity) {
    if (count < 0) return 0;
    return count > capacity ? capacity : count;
}

template <typename Field, size_t N>
constexpr int capacity_of(const Field (&)[N]) {
    return static_cast<int>(N);
}

}  // namespace

const char *alarmstate2string(const char *alarm, int other_family) {
    if (std::strcmp(alarm, "0") == 0) return other_family ? "Inactive" : "if ON";
    if (std::strcmp(alarm, "1") == 0) return "if OFF";
    if (std::strcmp(alarm, "2") == 0) return other_family ? "if ON" : "Inactive";
    return "unknown";
}

void print_sensors(std::FILE *stream, const kyvern_setup *setup,
                   const kyvern_setup_entry_count *count, int alarm_only) {
    const bool family = std::strstr(setup->Agent_Title, "Kyvern") != nullptr;

    if (alarm_only == 0) {
        const int outputs =
            clamp_count(count->BinaryOutSet, capacity_of(setup->BinaryOutSet_Entry_ID));
        for (int i = 0; i < outputs; ++i) {
            char value[16];
            const int type = std::atoi(setup->BinaryOutSet_Entry_Type[i]);
            if (std::atoi(setup->BinaryOutSet_Entry_Value[i]) == 1) {
                std::strcpy(value, "ON");
                if (type > 0) std::strcat(value, " (+10V)");
            } else {
                std::strcpy(value, "OFF");
                if (type == 1) std::strcat(value, " (-10V)");
                if (type == 2) std::strcat(value, " (0V)");
            }
            std::fprintf(stream, "%5s %-15s %-6s\n", setup->BinaryOutSet_Entry_ID[i],
                         setup->BinaryOutSet_Entry_Name[i], value);
        }
    }

    const int inputs = clamp_count(count->BinaryInSet, capacity_of(setup->BinaryInSet_Entry_ID));
    for (int i = 0; i < inputs; ++i) {
        const char *state = std::strcmp(setup->BinaryInSet_Entry_Value[i], "1") == 0 ? "ON" : "OFF";
        if (alarm_only != 0) {
            if (std::atoi(setup->BinaryInSet_Entry_State[i]) != 2) continue;
            std::fprintf(stream, "%5s %-15s %-6s       %-8s\n", setup->BinaryInSet_Entry_ID[i],
                         setup->BinaryInSet_Entry_Name[i], state, "Active");
        } else {
            std::fprintf(stream, "%5s %-15s %-6s       %-8s\n", setup->BinaryInSet_Entry_ID[i],
                         setup->BinaryInSet_Entry_Name[i], state,
                         alarmstate2string(setup->BinaryInSet_Entry_Alarm[i], family ? 0 : 1));
        }
    }

    const int sensors = clamp_count(count->SenSet, capacity_of(setup->SenSet_Entry_ID));
    const int ranges = clamp_count(count->TempRangeSet, capacity_of(setup->TempRangeSet_Entry_Idx));
    for (int i = 0; i < sensors; ++i) {
        const bool active = std::atoi(setup->SenSet_Entry_State[i]) == 2;
        if (alarm_only != 0 && !active) continue;
        const char *low = "";
        const char *high = "";
        if (family) {
            low = setup->SenSet_Entry_Min[i];
            high = setup->SenSet_Entry_Max[i];
        } else {
            const int idx = std::atoi(setup->SenSet_Entry_Idx[i]);
            for (int j = 0; j < ranges; ++j) {
                if (std::atoi(setup->TempRangeSet_Entry_Idx[j]) == idx) {
                    low = setup->TempRangeSet_Entry_Min[j];
                    high = setup->TempRangeSet_Entry_Max[j];
                    break;
                }
            }
        }
        std::fprintf(stream, "%5s %-15s %-6s %-4s  %-8s %6s .. %-6s\n", setup->SenSet_Entry_ID[i],
                     setup->SenSet_Entry_Name[i], setup->SenSet_Entry_Value[i],
                     setup->SenSet_Entry_Units[i], active ? "Active" : "Inactive", low, high);
    }
}

int print_setup_xml(std::FILE *stream, kyvern_setup *setup, kyvern_setup_entry_count *count) {
    static_assert(sizeof setup->Agent_DeviceName > kDeviceNameCut);
    setup->Agent_DeviceName[kDeviceNameCut] = '\0';

    std::fprintf(stream, "\n%-10s  %-8s  %-21s  %-15s\n", "DATE", "TIME", "Device_NAME",
                 "Device_IP");
    std::fprintf(stream, "%-10s  %-8s  %-21s  %-15s\n", setup->Time_Date, setup->Time_Time,
                 setup->Agent_DeviceName, setup->Network_IPAddr);
    write_text(stream, kRule);
    std::fprintf(stream, "%-5s %-15s %-6s %-4s  %-8s %-16s\n", "ID", "Name", "Value", "Unit",
                 "ALARM", "Safe Range");
    write_text(stream, kRuleBlank);
    write_text(stream, kAlarmTitle);
    write_text(stream, kRule);
    print_sensors(stream, setup, count, 1);
    write_text(stream, kSensorsTitle);
    write_text(stream, kRule);
    print_sensors(stream, setup, count, 0);
    write_text(stream, kBlankRule);
    std::fprintf(stream, "%s: http://%s\n", setup->Agent_DeviceName, setup->Network_IPAddr);
    return write_text(stream, kRule);
}
