// Waits that take seconds: the 3000 ms join bound and cancellation at wait points.
#include <gtest/gtest.h>

#include <atomic>

#include "core/xml_global.h"
#include "core/xml_thread.h"
#include "core_test_util.h"

using namespace core_test;

namespace {

qv_sem g_sem = nullptr;
std::atomic<int> g_heartbeat{0};
std::atomic<bool> g_stop{false};
std::atomic<int> g_after_wait{0};

void busy_entry() {
    while (!g_stop.load()) {
        g_heartbeat.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(Join, ThreadThatDoesNotEndIn3000msIsLeftRunningAndJoinableLater) {
    g_stop = false;
    errno = 0;
    xml_except(61, 17);
    ASSERT_EQ(xml_thread_create(61, busy_entry), 0);
    const auto start = clock::now();
    EXPECT_EQ(xml_thread_join(61), -1);
    const long long waited = elapsed_ms(start);
    EXPECT_GE(waited, 2900);
    EXPECT_LT(waited, 6000);
    EXPECT_EQ(record_of(61).code, 17) << "the join records nothing itself";

    const int beat = g_heartbeat.load();
    EXPECT_TRUE(wait_until([&] { return g_heartbeat.load() > beat + 3; }, 2000))
        << "the thread runs on";
    g_stop = true;
    EXPECT_EQ(xml_thread_join(61), 0) << "the handle was kept for a later join";
}

std::atomic<bool> g_waiting{false};
void waiting_with_lock_entry() {
    xml_lock module_lock(62);
    g_waiting = true;
    xml_sem_wait(62, &g_sem);
    g_after_wait.fetch_add(1);
}

TEST(Cancel, ThreadBlockedInASemaphoreWaitEndsWithinTwoSeconds) {
    g_waiting = false;
    g_after_wait = 0;
    ASSERT_EQ(xml_sem_init(&g_sem), 0);
    ASSERT_EQ(xml_thread_create(62, waiting_with_lock_entry), 0);
    ASSERT_TRUE(wait_until([] { return g_waiting.load(); }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // inside the wait by now
    const auto start = clock::now();
    EXPECT_EQ(xml_thread_cancel(62), 0);
    EXPECT_EQ(xml_thread_join(62), 0);
    EXPECT_LT(elapsed_ms(start), 2000);
    EXPECT_EQ(g_after_wait.load(), 0) << "the wait did not return to its caller";
    EXPECT_TRUE(lockable_within(62, 2000)) << "the lock held across the wait was released";
    // The semaphore is intact: it still takes a post and gives it to a wait.
    EXPECT_EQ(xml_sem_post(62, &g_sem), 0);
    EXPECT_EQ(xml_sem_wait(62, &g_sem), 0);
    xml_sem_destroy(&g_sem);
}

std::atomic<bool> g_locked{false};
std::atomic<bool> g_release{false};
void holding_lock_entry() {
    {
        xml_lock module_lock(63);
        g_locked = true;
        while (!g_release.load()) {  // no wait point in here
            g_heartbeat.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    g_after_wait.fetch_add(1);
    xml_sem_wait(63, &g_sem);  // the first wait point: the end request is honoured here
    g_after_wait.fetch_add(1);
}

TEST(Cancel, ThreadHoldingALockIsNotKilled) {
    g_locked = false;
    g_release = false;
    g_after_wait = 0;
    ASSERT_EQ(xml_sem_init(&g_sem), 0);
    ASSERT_EQ(xml_thread_create(63, holding_lock_entry), 0);
    ASSERT_TRUE(wait_until([] { return g_locked.load(); }, 2000));
    EXPECT_EQ(xml_thread_cancel(63), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const int beat = g_heartbeat.load();
    EXPECT_TRUE(wait_until([&] { return g_heartbeat.load() > beat + 3; }, 2000))
        << "the cancelled thread still runs";
    EXPECT_FALSE(lockable_within(63, 200)) << "and still holds its lock";

    g_release = true;
    EXPECT_TRUE(lockable_within(63, 2000));
    EXPECT_EQ(xml_thread_join(63), 0);
    EXPECT_EQ(g_after_wait.load(), 1) << "ended at its next wait point";
    xml_sem_destroy(&g_sem);
}

}  // namespace
