// A library thread ending itself from deep inside a wait or a callback: the join sees the
// end, nothing of the caller after the end point runs, RAII locks are released.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "core_test_util.h"

using namespace core_test;

extern "C" {
// The C callback of c_callback.c and what it saw.
void c_values_callback(int id, void *user, int sub, kyvern_values *values,
                       kyvern_values_entry_count *count);
extern int c_callback_entered;
extern int c_callback_after_end;
extern int c_callback_sub;

// C-callable hook: ends the calling library thread, as qvxml_close_for_callback does.
void core_test_end_thread(void) {
    qv_thread_exit();
}
}

namespace {

std::atomic<int> g_destructors{0};
std::atomic<int> g_after_end{0};
std::atomic<bool> g_run{true};
std::atomic<bool> g_waiting{false};

void reset_state() {
    g_destructors = 0;
    g_after_end = 0;
    g_run = true;
    g_waiting = false;
}

struct counts_destruction {
    ~counts_destruction() { g_destructors.fetch_add(1); }
};

// A wait that ends its thread once the run flag is cleared, as the socket layer's
// one-second attempts do (here 10 ms attempts).
int wait_for_data() {
    counts_destruction local;
    g_waiting = true;
    for (;;) {
        if (!g_run.load()) qv_thread_exit();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int read_reply() {
    xml_lock module_lock(21);  // held across the wait, as a module's lock may be
    counts_destruction local;
    const int n = wait_for_data();
    g_after_end.fetch_add(1);
    return n;
}

void worker_entry() {
    counts_destruction local;
    read_reply();
    g_after_end.fetch_add(1);
}

TEST(ThreadExit, EndsFromInsideANestedWaitAndTheJoinSeesIt) {
    reset_state();
    ASSERT_EQ(xml_thread_create(21, worker_entry), 0);
    ASSERT_TRUE(wait_until([] { return g_waiting.load(); }, 2000));
    EXPECT_FALSE(lockable_within(21, 100)) << "the worker holds its lock while waiting";
    g_run = false;
    const auto start = clock::now();
    EXPECT_EQ(xml_thread_join(21), 0);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(g_after_end.load(), 0) << "no caller code after the wait may run";
    EXPECT_EQ(g_destructors.load(), 3) << "every frame's destructors ran";
    EXPECT_TRUE(lockable_within(21, 2000)) << "the RAII lock was released";
    xml_fault_record r;
    qvxml_error(21, &r);
    EXPECT_EQ(r.code, 0) << "ending a thread is not a fault";
}

std::atomic<bool> g_c_worker_returned{false};
void c_callback_worker_entry() {
    counts_destruction local;
    run_callback(22, 3, XML_KIND_VALUES, 0);
    g_c_worker_returned = true;
}

TEST(ThreadExit, EndsThroughACallbackWrittenInC) {
    reset_state();
    c_callback_entered = c_callback_after_end = c_callback_sub = 0;
    g_c_worker_returned = false;
    auto *values = new kyvern_values();
    auto *count = new kyvern_values_entry_count();
    p_kyvern_values[22] = values;
    p_kyvern_values_entry_count[22] = count;
    std::memset(&xml_module[22].settings.callbacks, 0, sizeof(qvxml_callbacks));
    xml_module[22].settings.callbacks.on_values = c_values_callback;

    ASSERT_EQ(xml_thread_create(22, c_callback_worker_entry), 0);
    EXPECT_EQ(xml_thread_join(22), 0);
    EXPECT_EQ(c_callback_entered, 1);
    EXPECT_EQ(c_callback_sub, 3);
    EXPECT_EQ(c_callback_after_end, 0) << "the C frames did not continue";
    EXPECT_FALSE(g_c_worker_returned.load()) << "run_callback's caller did not continue";
    EXPECT_EQ(g_destructors.load(), 1);
    EXPECT_TRUE(lockable_within(22, 2000));

    p_kyvern_values[22] = nullptr;
    p_kyvern_values_entry_count[22] = nullptr;
    delete values;
    delete count;
}

// The pattern of a worker closing its own module: release its handle, then end itself.
std::atomic<bool> g_self_freed{false};
void self_closing_entry() {
    struct signal_end {
        ~signal_end() { g_self_freed = true; }
    } on_end;
    xml_thread_free(23);
    qv_thread_exit();
}

TEST(ThreadExit, WorkerThatFreesItsOwnHandleEndsCleanly) {
    reset_state();
    g_self_freed = false;
    ASSERT_EQ(xml_thread_create(23, self_closing_entry), 0);
    EXPECT_TRUE(wait_until([] { return g_self_freed.load(); }, 2000));
    EXPECT_EQ(xml_thread_join(23), -1) << "the handle was released by the worker";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the thread finish
}

std::atomic<bool> g_sem_wait_returned{false};
qv_sem g_exit_sem = nullptr;
void cancelled_before_wait_entry() {
    // Posted: the wait takes the post even though an end was asked for meanwhile.
    xml_sem_wait(24, &g_exit_sem);
    g_sem_wait_returned = true;
    // Not posted: the end request is honoured at once, before any blocking.
    xml_sem_wait(24, &g_exit_sem);
    g_after_end.fetch_add(1);
}

TEST(ThreadExit, CancelBeforeTheWaitEndsTheThreadWhenItWouldBlock) {
    reset_state();
    g_sem_wait_returned = false;
    ASSERT_EQ(xml_sem_init(&g_exit_sem), 0);
    ASSERT_EQ(xml_sem_post(24, &g_exit_sem), 0);
    // The thread may start before or after the cancel; with the post already stored its first
    // wait returns either way, and its second wait ends it.
    ASSERT_EQ(xml_thread_create(24, cancelled_before_wait_entry), 0);
    EXPECT_EQ(xml_thread_cancel(24), 0);
    EXPECT_EQ(xml_thread_join(24), 0);
    EXPECT_TRUE(g_sem_wait_returned.load());
    EXPECT_EQ(g_after_end.load(), 0);
    xml_sem_destroy(&g_exit_sem);
}

}  // namespace

namespace {

// A thread the library did not start (a caller's thread that misuses the end call) ends as
// well, through the platform's own thread exit, instead of taking the process down.
TEST(ThreadExit, ThreadNotStartedByTheLibraryEndsToo) {
    std::atomic<int> destroyed{0};
    std::atomic<bool> after{false};
    std::thread foreign([&] {
        struct count {
            std::atomic<int> *n;
            ~count() { n->fetch_add(1); }
        } local{&destroyed};
        EXPECT_FALSE(qv_thread_in_library_thread());
        qv_thread_exit();
        after = true;
    });
    foreign.join();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_FALSE(after.load());
}

}  // namespace
