// Binary semaphores, re-entrant per-id mutexes and thread handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "core/xml_global.h"
#include "core/xml_thread.h"
#include "core_test_util.h"
#include "error_codes.h"

using namespace core_test;

namespace {

// ---- semaphores ------------------------------------------------------------------------

qv_sem g_sem = nullptr;
std::atomic<int> g_waits_done{0};

void wait_twice_entry() {
    xml_sem_wait(11, &g_sem);
    g_waits_done.fetch_add(1);
    xml_sem_wait(11, &g_sem);
    g_waits_done.fetch_add(1);
}

TEST(Semaphore, RefusedSecondPostRecords21AndWakesOnlyOnce) {
    g_waits_done = 0;
    xml_except(11, 0);  // a clean record: the first post must not record anything
    ASSERT_EQ(xml_sem_init(&g_sem), 0);
    ASSERT_NE(g_sem, nullptr);
    EXPECT_EQ(xml_sem_post(11, &g_sem), 0);
    EXPECT_EQ(record_of(11).code, 0);
    EXPECT_EQ(xml_sem_post(11, &g_sem), -1);
    EXPECT_EQ(record_of(11).code, 21);
    EXPECT_STREQ(record_of(11).message, qvtest::kErrorRows[QV_E_SEM_POST].message);

    // The one stored post lets exactly one wait through, at once; the next wait blocks.
    const auto start = clock::now();
    ASSERT_EQ(xml_thread_create(11, wait_twice_entry), 0);
    ASSERT_TRUE(wait_until([] { return g_waits_done.load() == 1; }, 2000));
    EXPECT_LT(elapsed_ms(start), 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(g_waits_done.load(), 1) << "the refused post must not count";

    EXPECT_EQ(xml_sem_post(11, &g_sem), 0);
    ASSERT_TRUE(wait_until([] { return g_waits_done.load() == 2; }, 2000));
    EXPECT_EQ(xml_thread_join(11), 0);
    xml_sem_destroy(&g_sem);
    EXPECT_EQ(g_sem, nullptr);
}

TEST(Semaphore, NullHandleFailsWithCodes21And22) {
    qv_sem none = nullptr;
    EXPECT_EQ(xml_sem_post(12, &none), -1);
    EXPECT_EQ(record_of(12).code, 21);
    EXPECT_EQ(xml_sem_wait(12, &none), -1);
    EXPECT_EQ(record_of(12).code, 22);
    EXPECT_STREQ(record_of(12).message, qvtest::kErrorRows[QV_E_SEM_WAIT].message);
    EXPECT_EQ(qv_sem_post(nullptr), -1);
    EXPECT_EQ(qv_sem_wait(nullptr), -1);
    EXPECT_EQ(qv_sem_destroy(&none), 0);
}

TEST(Semaphore, PostBeforeWaitIsKeptAndOnlyOneIsKept) {
    qv_sem s = nullptr;
    ASSERT_EQ(qv_sem_init(&s), 0);
    EXPECT_EQ(qv_sem_post(&s), 0);
    EXPECT_EQ(qv_sem_wait(&s), 0);  // returns at once: the count was 1
    EXPECT_EQ(qv_sem_post(&s), 0);  // back at 0, so a post is taken again
    EXPECT_EQ(qv_sem_post(&s), -1);
    EXPECT_EQ(qv_sem_wait(&s), 0);
    qv_sem_destroy(&s);
}

// ---- mutexes ---------------------------------------------------------------------------

std::atomic<int> g_lock_stage{0};
std::atomic<bool> g_release{false};

// Locks id 13 twice, unlocks once (still held), waits, unlocks again.
void lock_twice_entry() {
    xml_mutex_lock(13);
    xml_mutex_lock(13);
    xml_mutex_unlock(13);
    g_lock_stage = 1;
    wait_until([] { return g_release.load(); }, 10000);
    xml_mutex_unlock(13);
    g_lock_stage = 2;
}

TEST(Mutex, LockedTwiceIsFreeOnlyAfterTheSecondUnlock) {
    g_lock_stage = 0;
    g_release = false;
    ASSERT_EQ(xml_mutex_init(13), 0);
    ASSERT_EQ(xml_thread_create(13, lock_twice_entry), 0);
    ASSERT_TRUE(wait_until([] { return g_lock_stage.load() == 1; }, 2000));
    EXPECT_FALSE(lockable_within(13, 200)) << "one unlock of two must keep the lock held";
    g_release = true;
    ASSERT_TRUE(wait_until([] { return g_lock_stage.load() == 2; }, 2000));
    EXPECT_TRUE(lockable_within(13, 2000));
    EXPECT_EQ(xml_thread_join(13), 0);
    EXPECT_EQ(record_of(13).code, 0) << "lock and unlock report no failure";
}

TEST(Mutex, DestroyedMutexStaysUsableForFaultsAndLocks) {
    ASSERT_EQ(xml_mutex_init(14), 0);
    xml_mutex_destroy(14);
    xml_except(14, 3);
    EXPECT_EQ(record_of(14).code, 3);
    EXPECT_EQ(xml_mutex_lock(14), 0);
    EXPECT_EQ(xml_mutex_lock(14), 0);
    EXPECT_EQ(xml_mutex_unlock(14), 0);
    EXPECT_EQ(xml_mutex_unlock(14), 0);
    EXPECT_TRUE(lockable_within(14, 2000));
    // Initialising again (a module id reused) is harmless as well.
    EXPECT_EQ(xml_mutex_init(14), 0);
    EXPECT_TRUE(lockable_within(14, 2000));
}

// The module table holds one mutex per id next to its document buffers (about 77 MB): it
// stays zero-filled storage, not bytes of the program file, only while an unlocked mutex is
// all zero bits, fresh or after use.
TEST(Mutex, UnlockedMutexIsAllZeroBytes) {
    auto all_zero = [](const qv_mutex &m) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(&m);
        return std::all_of(bytes, bytes + sizeof m, [](unsigned char b) { return b == 0; });
    };
    static qv_mutex fresh;
    EXPECT_TRUE(all_zero(fresh));
    qv_mutex used;
    used.lock();
    used.lock();
    EXPECT_FALSE(all_zero(used));
    used.unlock();
    used.unlock();
    EXPECT_TRUE(all_zero(used));
}

// ---- threads ---------------------------------------------------------------------------

std::atomic<bool> g_entry_ran{false};
std::atomic<bool> g_in_library_thread{false};
void flag_entry() {
    g_in_library_thread = qv_thread_in_library_thread();
    g_entry_ran = true;
}

TEST(Thread, StartsAtOnceAndJoinFreesTheEntry) {
    g_entry_ran = false;
    g_in_library_thread = false;
    EXPECT_FALSE(qv_thread_in_library_thread());
    ASSERT_EQ(xml_thread_create(15, flag_entry), 0);
    EXPECT_TRUE(wait_until([] { return g_entry_ran.load(); }, 2000));
    EXPECT_EQ(xml_thread_join(15), 0);
    EXPECT_TRUE(g_in_library_thread.load());
    // The handle was freed and the entry emptied: a second join has nothing to wait for.
    EXPECT_EQ(xml_thread_join(15), -1);
    EXPECT_EQ(xml_thread_free(15), 0);
}

TEST(Thread, FailedStartStoresNullAndReturnsMinusOne) {
    errno = 0;
    EXPECT_EQ(xml_thread_create(16, nullptr), -1);
    EXPECT_EQ(errno, EINVAL) << "the creation's error, for the caller's record";
    EXPECT_EQ(xml_thread_join(16), -1);
    EXPECT_EQ(xml_thread_cancel(16), -1);
    EXPECT_EQ(qv_thread_status(nullptr), -1);
    qv_thread_handle h = qv_thread_create(flag_entry);
    EXPECT_EQ(qv_thread_status(h), 0);
    EXPECT_EQ(qv_thread_join(h), 0);
    EXPECT_EQ(record_of(16).code, 0) << "thread operations record nothing themselves";
}

std::atomic<int> g_self_join_result{1};
std::atomic<long long> g_self_join_ms{-1};
void self_join_entry() {
    const auto start = clock::now();
    g_self_join_result = xml_thread_join(17);
    g_self_join_ms = elapsed_ms(start);
}

TEST(Thread, JoinFromTheThreadItselfFailsAtOnceAndKeepsTheHandle) {
    g_self_join_result = 1;
    g_self_join_ms = -1;
    ASSERT_EQ(xml_thread_create(17, self_join_entry), 0);
    ASSERT_TRUE(wait_until([] { return g_self_join_ms.load() >= 0; }, 2500));
    EXPECT_EQ(g_self_join_result.load(), -1);
    EXPECT_LT(g_self_join_ms.load(), 1000);
    EXPECT_EQ(xml_thread_join(17), 0) << "the handle went back to its entry";
}

std::atomic<bool> g_freed_runs_on{false};
std::atomic<bool> g_freed_may_end{false};
void freed_entry() {
    wait_until([] { return g_freed_may_end.load(); }, 10000);
    g_freed_runs_on = true;
}

TEST(Thread, FreedThreadRunsOn) {
    g_freed_runs_on = false;
    g_freed_may_end = false;
    ASSERT_EQ(xml_thread_create(18, freed_entry), 0);
    EXPECT_EQ(xml_thread_free(18), 0);
    EXPECT_EQ(xml_thread_join(18), -1) << "the entry is empty after a free";
    g_freed_may_end = true;
    EXPECT_TRUE(wait_until([] { return g_freed_runs_on.load(); }, 2000));
}

}  // namespace
