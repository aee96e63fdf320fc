// Record layout and the tables generated from the field table.
#include <cstddef>
#include <cstring>
#include <set>
#include <string>

#include "records_test_util.h"

static_assert(sizeof(kyvern_values) == 37524);
static_assert(sizeof(kyvern_setup) == 129540);
static_assert(offsetof(kyvern_values, Agent_Version) == 4);
static_assert(offsetof(kyvern_setup, Agent_Version) == 4);
// Last fields: values ends with Time.Time (20), setup with Info (4).
static_assert(offsetof(kyvern_values, Time_Time) == 37524 - 20);
static_assert(offsetof(kyvern_setup, Info) == 129540 - 4);
// Parallel arrays: slot i of a set field, then the next field of the entry.
static_assert(sizeof(kyvern_setup::SenSet_Entry_Name) == 42 * 52);
static_assert(offsetof(kyvern_setup, SenSet_Entry_ID) ==
              offsetof(kyvern_setup, SenSet_Entry_Name) + 42 * 52);
static_assert(offsetof(kyvern_setup_entry_count, User) == 8 * 4);
static_assert(offsetof(kyvern_values_entry_count, SenSet) == 2 * 4);

TEST(RecordTables, WidthsAndCapacitiesOfKnownFields) {
    struct expect {
        const char *path;
        int width, capacity;
        bool setup;
    };
    const expect rows[] = {
        {"Root_Agent_DeviceName", 52, 1, true},
        {"Root_Agent_Title", 152, 1, false},
        {"Root_BinaryInSet_Entry_Dest_Snmp1", 52, 64, true},
        {"Root_SenSet_Entry_Value", 16, 42, false},
        {"Root_SnmpTraps_Entry_IPaddr", 20, 4, true},
        {"Root_SnmpAccess_Entry_R", 4, 2, true},
        {"Root_User_Entry_Pswd", 52, 2, true},
        {"Root_Info", 4, 1, true},
        {"Root_Time_Time", 20, 1, false},
    };
    for (const auto &e : rows) {
        const xml_record_layout &layout = e.setup ? xml_setup_layout : xml_values_layout;
        const int event = xml_path_event(layout, e.path, std::strlen(e.path));
        ASSERT_GE(event, 0) << e.path;
        EXPECT_EQ(layout.fields[event].width, e.width) << e.path;
        EXPECT_EQ(layout.fields[event].capacity, e.capacity) << e.path;
    }
    EXPECT_EQ(xml_setup_sets[XML_SETUP_SET_User].capacity, 2);
    EXPECT_STREQ(xml_setup_sets[XML_SETUP_SET_GroupSet].entry_path, "Root_GroupSet_Entry");
    EXPECT_EQ(XML_SETUP_EV_Info, 160);
    EXPECT_EQ(XML_VALUES_EV_Time_Time, 45);
    EXPECT_EQ(XML_SETUP_EV_SenSet_Entry_Name, 45);
    EXPECT_EQ(XML_VALUES_EV_SenSet_Entry_Name, 30);
}

TEST(RecordTables, EveryPathFindsItsOwnEventAndNothingElseMatches) {
    for (const xml_record_layout *layout : {&xml_values_layout, &xml_setup_layout}) {
        std::set<std::string> paths;
        for (int row = 0; row < layout->rows; ++row) {
            const std::string path = layout->name2event[row].name;
            EXPECT_EQ(layout->name2event[row].event, row);
            EXPECT_EQ(xml_path_event(*layout, path.data(), path.size()), row) << path;
            paths.insert(path);
            // Near misses: a prefix, a longer path, another case, a container.
            EXPECT_EQ(xml_path_event(*layout, path.data(), path.size() - 1), -1) << path;
            const std::string longer = path + "_";
            EXPECT_EQ(xml_path_event(*layout, longer.data(), longer.size()), -1);
            std::string lower = path;
            lower[0] = 'r';
            EXPECT_EQ(xml_path_event(*layout, lower.data(), lower.size()), -1);
        }
        EXPECT_EQ(paths.size(), static_cast<size_t>(layout->rows));
        for (const char *container : {"Root", "Root_Agent", "Root_SenSet_Entry", ""})
            EXPECT_EQ(xml_path_event(*layout, container, std::strlen(container)), -1);
    }
    const char *setup_only = "Root_Status_NtpState";
    EXPECT_EQ(xml_path_event(xml_values_layout, setup_only, std::strlen(setup_only)), -1);
    EXPECT_EQ(xml_path_event(xml_setup_layout, setup_only, std::strlen(setup_only)), 8);
}
