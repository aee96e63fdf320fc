// Completion dispatch: time stamps, slot choice, null records on failure, copies otherwise.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "core/xml_module.h"

namespace {

struct seen_call {
    int calls = 0;
    int slot = -1;  // 0 on_values, 1 on_setup, 2 on_send_setup
    int id = -1;
    void *user = nullptr;
    int sub = -2;
    const void *record = nullptr;
    const void *count = nullptr;
    kyvern_values values{};
    kyvern_values_entry_count values_count{};
    std::unique_ptr<kyvern_setup> setup = std::make_unique<kyvern_setup>();
    kyvern_setup_entry_count setup_count{};
};
seen_call *g_seen = nullptr;

void on_values(int id, void *user, int sub, kyvern_values *v, kyvern_values_entry_count *c) {
    g_seen->calls++;
    g_seen->slot = 0;
    g_seen->id = id;
    g_seen->user = user;
    g_seen->sub = sub;
    g_seen->record = v;
    g_seen->count = c;
    if (v != nullptr) g_seen->values = *v;
    if (c != nullptr) g_seen->values_count = *c;
}

template <int slot>
void on_setup(int id, void *user, int sub, kyvern_setup *s, kyvern_setup_entry_count *c) {
    g_seen->calls++;
    g_seen->slot = slot;
    g_seen->id = id;
    g_seen->user = user;
    g_seen->sub = sub;
    g_seen->record = s;
    g_seen->count = c;
    if (s != nullptr) *g_seen->setup = *s;
    if (c != nullptr) g_seen->setup_count = *c;
}

int on_parse(int, void *, char *, int, int) {
    return 0;
}

class Dispatch : public testing::Test {
protected:
    static constexpr int id = 51;
    int user_data = 0;
    seen_call seen;
    std::unique_ptr<kyvern_values> values = std::make_unique<kyvern_values>();
    std::unique_ptr<kyvern_values_entry_count> values_count =
        std::make_unique<kyvern_values_entry_count>();
    std::unique_ptr<kyvern_setup> setup = std::make_unique<kyvern_setup>();
    std::unique_ptr<kyvern_setup_entry_count> setup_count =
        std::make_unique<kyvern_setup_entry_count>();
    std::unique_ptr<xml_submodule_state> device = std::make_unique<xml_submodule_state>();

    void SetUp() override {
        g_seen = &seen;
        std::strcpy(values->Agent_DeviceName, "values device");
        values_count->SenSet = 3;
        std::strcpy(setup->Agent_DeviceName, "setup device");
        setup_count->User = 2;
        std::memset(device.get(), 0, sizeof *device);
        p_kyvern_values[id] = values.get();
        p_kyvern_values_entry_count[id] = values_count.get();
        p_kyvern_setup[id] = setup.get();
        p_kyvern_setup_entry_count[id] = setup_count.get();
        modules_list[id].count = 1;
        modules_list[id].sub[0] = device.get();
        std::memset(&xml_module[id].settings.callbacks, 0, sizeof(qvxml_callbacks));
        xml_module[id].settings.callbacks.on_values = on_values;
        xml_module[id].settings.callbacks.on_setup = on_setup<1>;
        xml_module[id].settings.callbacks.on_send_setup = on_setup<2>;
        xml_module[id].user_ptr = &user_data;
    }
    void TearDown() override {
        p_kyvern_values[id] = nullptr;
        p_kyvern_values_entry_count[id] = nullptr;
        p_kyvern_setup[id] = nullptr;
        p_kyvern_setup_entry_count[id] = nullptr;
        modules_list[id].count = 0;
        modules_list[id].sub[0] = nullptr;
        g_seen = nullptr;
    }
    static bool is_now(int32_t stamp, std::time_t before) {
        return stamp >= before && stamp <= std::time(nullptr);
    }
};

TEST_F(Dispatch, ValuesSuccessHandsCopiesAndStampsTheRecord) {
    const std::time_t before = std::time(nullptr);
    run_callback(id, -1, XML_KIND_VALUES, 0);
    ASSERT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.slot, 0);
    EXPECT_EQ(seen.id, id);
    EXPECT_EQ(seen.user, &user_data);
    EXPECT_EQ(seen.sub, -1);
    ASSERT_NE(seen.record, nullptr);
    ASSERT_NE(seen.count, nullptr);
    EXPECT_NE(seen.record, values.get()) << "a copy, not the library's record";
    EXPECT_NE(seen.count, values_count.get());
    EXPECT_TRUE(is_now(values->time_stamp, before));
    EXPECT_EQ(seen.values.time_stamp, values->time_stamp) << "copied after stamping";
    EXPECT_STREQ(seen.values.Agent_DeviceName, "values device");
    EXPECT_EQ(seen.values_count.SenSet, 3);
    EXPECT_EQ(setup->time_stamp, 0) << "a values completion leaves the setup record";
}

TEST_F(Dispatch, SetupAndSendChooseTheirSlotsAndStampTheSetupRecord) {
    const std::time_t before = std::time(nullptr);
    run_callback(id, -1, XML_KIND_SETUP, 0);
    EXPECT_EQ(seen.slot, 1);
    EXPECT_STREQ(seen.setup->Agent_DeviceName, "setup device");
    EXPECT_EQ(seen.setup_count.User, 2);
    EXPECT_TRUE(is_now(setup->time_stamp, before));
    EXPECT_NE(seen.record, setup.get());
    setup->time_stamp = 0;
    run_callback(id, -1, XML_KIND_SEND, 0);
    EXPECT_EQ(seen.calls, 2);
    EXPECT_EQ(seen.slot, 2);
    EXPECT_TRUE(is_now(setup->time_stamp, before));
    EXPECT_EQ(values->time_stamp, 0);
}

TEST_F(Dispatch, FailureHandsNullRecordsButStillStamps) {
    const std::time_t before = std::time(nullptr);
    for (int kind : {XML_KIND_VALUES, XML_KIND_SETUP, XML_KIND_SEND}) {
        seen.record = seen.count = &seen;
        run_callback(id, -1, kind, 1);
        EXPECT_EQ(seen.slot, kind);
        EXPECT_EQ(seen.record, nullptr);
        EXPECT_EQ(seen.count, nullptr);
    }
    EXPECT_EQ(seen.calls, 3);
    EXPECT_TRUE(is_now(values->time_stamp, before));
    EXPECT_TRUE(is_now(setup->time_stamp, before));
}

TEST_F(Dispatch, DeviceOfAManyDeviceModuleIsStampedAndNamed) {
    const std::time_t before = std::time(nullptr);
    run_callback(id, 0, XML_KIND_VALUES, 0);
    EXPECT_EQ(seen.sub, 0);
    EXPECT_TRUE(is_now(device->values.time_stamp, before));
    EXPECT_EQ(device->setup.time_stamp, 0);
    run_callback(id, 0, XML_KIND_SEND, 1);
    EXPECT_TRUE(is_now(device->setup.time_stamp, before));
    // An index with no device stamps nothing and still dispatches.
    run_callback(id, 7, XML_KIND_VALUES, 0);
    EXPECT_EQ(seen.calls, 3);
    EXPECT_EQ(seen.sub, 7);
}

TEST_F(Dispatch, EmptySlotEndsTheDispatchAfterStamping) {
    xml_module[id].settings.callbacks.on_values = nullptr;
    const std::time_t before = std::time(nullptr);
    run_callback(id, -1, XML_KIND_VALUES, 0);
    EXPECT_EQ(seen.calls, 0);
    EXPECT_TRUE(is_now(values->time_stamp, before));
}

TEST_F(Dispatch, MissingRecordsGiveClearedCopiesNotACrash) {
    p_kyvern_values[id] = nullptr;
    p_kyvern_values_entry_count[id] = nullptr;
    run_callback(id, -1, XML_KIND_VALUES, 0);
    ASSERT_NE(seen.record, nullptr);
    ASSERT_NE(seen.count, nullptr);
    EXPECT_STREQ(seen.values.Agent_DeviceName, "");
    EXPECT_EQ(seen.values_count.SenSet, 0);
    EXPECT_EQ(setup->time_stamp, 0) << "kind 0 never stamps the setup record";
}

TEST_F(Dispatch, ParseCallbackGivesScratchRecordsNotTheBuiltInOnes) {
    run_callback(id, -1, XML_KIND_VALUES, 0);  // leaves a copy in the scratch records
    xml_module[id].settings.callbacks.on_parse = on_parse;
    run_callback(id, -1, XML_KIND_VALUES, 0);
    ASSERT_NE(seen.record, nullptr);
    ASSERT_NE(seen.count, nullptr);
    EXPECT_STREQ(seen.values.Agent_DeviceName, "");
    run_callback(id, -1, XML_KIND_SETUP, 0);
    ASSERT_NE(seen.record, nullptr);
    EXPECT_STREQ(seen.setup->Agent_DeviceName, "");
    EXPECT_EQ(seen.setup_count.User, 0);
}

}  // namespace
