// 98 modules at once: requests run on most of them while the others are closed and opened
// again. Run under TSan this is the race check of the module table.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "client_test_util.h"
#include "support.h"

namespace {
std::atomic<int> delivered{0};
void count_values(int, void *, int, kyvern_values *v, kyvern_values_entry_count *) {
    if (v != nullptr) ++delivered;
}
}  // namespace

TEST_F(LibraryTest, NinetyEightModulesServeRequestsWhileOthersOpenAndClose) {
    std::vector<std::unique_ptr<qvtest::device>> devices;
    for (int i = 0; i < 4; ++i)
        devices.push_back(
            std::make_unique<qvtest::device>(kValuesDoc, kSetupDoc, std::vector<std::string>{}));
    qvxml_settings s = plain_settings();
    s.callbacks.on_values = count_values;
    std::vector<int> ids;
    for (int i = 0; i < 98; ++i) ids.push_back(open_running(devices[i % 4]->port(), s));
    ASSERT_EQ(ids.back(), 98);

    constexpr int kBusy = 80, kRounds = 3;
    std::atomic<int> failures{0};
    std::vector<std::thread> requesters;
    for (int t = 0; t < 4; ++t) {
        requesters.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round)
                for (int i = t; i < kBusy; i += 4) {
                    if (qvxml_get_values(ids[i]) != 0 || qvxml_wait_finish(ids[i], 2, 20) != 0)
                        ++failures;
                }
        });
    }
    std::thread churn([&] {
        for (int round = 0; round < 3; ++round)
            for (int i = kBusy; i < 98; ++i) {
                if (qvxml_close(ids[i]) != 0) ++failures;
                const int id = qvxml_open("127.0.0.1", devices[0]->port(), &s, nullptr);
                if (id <= 0 || qvxml_wait_finish(id, 0, 10) != 0) ++failures;
                ids[i] = id;
            }
    });
    for (auto &t : requesters) t.join();
    churn.join();
    EXPECT_EQ(failures.load(), 0);
    // The last callbacks may still be running: a request is marked finished before its
    // completion is delivered.
    EXPECT_TRUE(eventually([] { return delivered.load() == kBusy * kRounds; }));
    EXPECT_EQ(delivered.load(), kBusy * kRounds);
}

// A many-device module serves rounds while another thread switches its device on and off.
// Run under TSan this checks that the worker reads the device list and the flags under the
// module's lock, as qvxml_active_modules writes them.
TEST_F(LibraryTest, ManyDeviceRoundsWhileTheDeviceIsSwitchedOnAndOff) {
    qvtest::device unit(kValuesDoc, kSetupDoc, {});
    const int id = qvxml_open_many(nullptr);
    ASSERT_GT(id, 0);
    ASSERT_EQ(qvxml_wait_finish(id, 0, 10), 0);
    qvxml_settings s = plain_settings();
    ASSERT_EQ(qvxml_add_module(id, "127.0.0.1", unit.port(), &s), 0);

    std::atomic<bool> done{false};
    std::thread switcher([&] {
        for (int n = 0; !done.load(); ++n) {
            const int flags[1] = {n % 2};
            qvxml_active_modules(id, flags);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    constexpr int kRounds = 40;
    int failures = 0;
    for (int round = 0; round < kRounds; ++round)
        if (qvxml_get_values(id) != 0 || qvxml_wait_finish(id, 2, 15) != 0) ++failures;
    done = true;
    switcher.join();
    EXPECT_EQ(failures, 0);
    EXPECT_LE(unit.requests(), kRounds);
}
