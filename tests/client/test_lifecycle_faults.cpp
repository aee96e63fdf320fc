// The module lifecycle under concurrency, through the public header only: closes that race
// with waits, opens and requests in flight, hooks that close their own module, a response
// header that never ends, requests queued over a buffer still in use, and a randomised
// stress of all of them. Every scenario runs in a child process with a library of its own
// and a time limit, so a hang or a crash fails its test instead of stopping the suite.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qvxml.h"
#include "support.h"

namespace {

using steady = std::chrono::steady_clock;

double seconds_since(steady::time_point start) {
    return std::chrono::duration<double>(steady::now() - start).count();
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls `pred` every 5 ms for at most `ms` milliseconds.
template <typename Pred>
bool eventually(Pred pred, int ms) {
    const auto end = steady::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (steady::now() >= end) return false;
        sleep_ms(5);
    }
    return true;
}

// The failed expectations of a scenario, one line each.
class verdict {
public:
    void expect(bool ok, const std::string &what) {
        if (!ok) failures_ += "  " + what + "\n";
    }
    const std::string &failures() const { return failures_; }

private:
    std::string failures_;
};

int code_of(int id) {
    xml_fault_record r;
    qvxml_error(id, &r);
    return r.code;
}

qvxml_settings no_settings() {
    qvxml_settings s;
    qvxml_clr_settings_struct(&s);
    return s;
}

int entries_of(const char *dir) {
    DIR *d = opendir(dir);
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// Runs `scenario` in a child process between qvxml_init and a final qvxml_uninit that must
// succeed. The test fails when the child reports a failed expectation, crashes (a sanitizer
// report ends it with a non-zero status too) or still runs after `limit_s` seconds.
void run_isolated(const std::function<void(verdict &)> &scenario, int limit_s = 40) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        verdict v;
        if (qvxml_init() != 0) {
            v.expect(false, "qvxml_init failed");
        } else {
            scenario(v);
            qvxml_count_ref2zero();
            const int rc = qvxml_uninit();
            v.expect(rc == 0,
                     "the final qvxml_uninit failed with code " + std::to_string(code_of(0)));
        }
        std::fputs(v.failures().c_str(), stderr);
        std::fflush(nullptr);
        _exit(v.failures().empty() ? 0 : 1);
    }
    int status = 0;
    pid_t done = 0;
    const auto end = steady::now() + std::chrono::seconds(limit_s);
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && steady::now() < end) sleep_ms(20);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the scenario still ran after " << limit_s << " s: a hang";
    }
    if (WIFSIGNALED(status)) FAIL() << "the scenario crashed with signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed expectations are printed above";
}

// Stand-in units shared by the scenarios of one test program.
struct units {
    qvtest::device plain;
    qvtest::device silent{{"--silent"}};
    qvtest::device slow{{"--delay", "1500"}};
    qvtest::device endless{{"--endless-header"}};
    int refused = qvtest::closed_port();
};
units *unit = nullptr;

class LifecycleFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() { unit = new units; }
    static void TearDownTestSuite() {
        delete unit;
        unit = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(unit->plain.running() && unit->silent.running() && unit->slow.running() &&
                    unit->endless.running());
    }
};

// Flags shared between a scenario's threads and its callbacks (each child has its own).
std::atomic<bool> waiter_started{false};
std::atomic<int> calls{0};
std::atomic<int> foreign_calls{0};
std::atomic<int> close_result{1};
std::atomic<int> close_code{0};

// Lets a callback run on only after the waiting thread has gone into its wait.
void until_waiter_waits() {
    eventually([] { return waiter_started.load(); }, 5000);
    sleep_ms(200);
}

void close_on_failed_values(int id, void *, int, kyvern_values *values,
                            kyvern_values_entry_count *) {
    if (values == nullptr) {
        until_waiter_waits();
        qvxml_close_for_callback(id);
    }
}

void close_on_connect_failure(int id, void *, int, xml_fault_record *) {
    until_waiter_waits();
    qvxml_close_for_callback(id);
}

// A wait whose module is closed meanwhile ends at once with code 40 on the module.
void expect_wait_ended_by_close(verdict &v, int id, int kind) {
    waiter_started = true;
    const auto start = steady::now();
    const int rc = qvxml_wait_finish(id, kind, 5);
    const double took = seconds_since(start);
    v.expect(rc == -1, "the wait reported success");
    v.expect(code_of(id) == 40, "code on the module " + std::to_string(code_of(id)) + ", not 40");
    v.expect(took < 2.0, "the wait took " + std::to_string(took) + " s, not ended by the close");
}

}  // namespace

TEST_F(LifecycleFaults, WaitEndsWhenTheFailureCallbackClosesTheModule) {
    run_isolated([](verdict &v) {
        qvxml_settings s = no_settings();
        s.callbacks.on_values = close_on_failed_values;
        const int id = qvxml_open("127.0.0.1", unit->refused, &s, nullptr);
        v.expect(qvxml_wait_finish(id, 0, 10) == 0, "the module did not start");
        v.expect(qvxml_get_values(id) == 0, "the values GET was not queued");
        expect_wait_ended_by_close(v, id, 2);
    });
}

TEST_F(LifecycleFaults, StartWaitEndsWhenTheConnectFailureCallbackClosesTheModule) {
    run_isolated([](verdict &v) {
        qvxml_settings s = no_settings();
        s.test_connection = 1;
        s.callbacks.on_connect_failure = close_on_connect_failure;
        const int id = qvxml_open("127.0.0.1", unit->refused, &s, nullptr);
        v.expect(id > 0, "open failed");
        expect_wait_ended_by_close(v, id, 0);
    });
}

TEST_F(LifecycleFaults, WaitEndsWhenAnotherThreadClosesTheModuleDuringASilentRead) {
    run_isolated([](verdict &v) {
        const qvxml_settings s = no_settings();
        const int id = qvxml_open("127.0.0.1", unit->silent.port(), &s, nullptr);
        v.expect(qvxml_wait_finish(id, 0, 10) == 0, "the module did not start");
        v.expect(qvxml_get_values(id) == 0, "the values GET was not queued");
        std::thread closer([id] {
            until_waiter_waits();
            const auto start = steady::now();
            close_result = qvxml_close(id);
            close_code = seconds_since(start) < 1.5 ? 0 : 1;
        });
        expect_wait_ended_by_close(v, id, 2);
        closer.join();
        v.expect(close_result == 0, "the close failed");
        v.expect(close_code == 0, "the close waited for the silent read to time out");
    });
}

TEST_F(LifecycleFaults, WaitOnAnIdNeverOpenedEndsAtItsDeadline) {
    run_isolated([](verdict &v) {
        const auto start = steady::now();
        v.expect(qvxml_wait_finish(5, 0, 1) == -1, "the wait reported success");
        const double took = seconds_since(start);
        v.expect(code_of(0) == 19, "code on id 0 " + std::to_string(code_of(0)) + ", not 19");
        v.expect(took >= 0.9 && took < 3.0, "the wait took " + std::to_string(took) + " s");
    });
}

namespace {
void close_in_parse_hook(int id, void *user, char *, int, int, void *, void *, int *) {
    if (user != nullptr) qvxml_close_for_callback(id);
}
}  // namespace

// A hook that ends its module's worker inside a parse must not leave the parse lock (the
// lock of id 0) owned by the ended thread: later parses and faults on id 0 go on.
TEST_F(LifecycleFaults, ParseHookThatClosesItsModuleLeavesTheLibraryWorking) {
    run_isolated([](verdict &v) {
        static const char doc[] =
            "<?xml version=\"1.0\"?><Root><Agent><DeviceName>A</DeviceName>"
            "</Agent></Root>";
        qvxml_settings s = no_settings();
        s.callbacks.on_parsed = close_in_parse_hook;
        static int marker;
        const int closing = qvxml_open("127.0.0.1", unit->plain.port(), &s, &marker);
        v.expect(qvxml_wait_finish(closing, 0, 10) == 0, "the first module did not start");
        v.expect(qvxml_load_values(closing, doc, sizeof doc - 1) == 0, "load refused");
        v.expect(eventually([&] { return qvxml_type_of(closing) == -1; }, 5000),
                 "the module that closed itself still runs");

        const int other = qvxml_open("127.0.0.1", unit->plain.port(), &s, nullptr);
        v.expect(qvxml_wait_finish(other, 0, 10) == 0, "the second module did not start");
        v.expect(qvxml_load_values(other, doc, sizeof doc - 1) == 0, "second load refused");
        v.expect(qvxml_wait_finish(other, 9, 5) == 0, "the second parse did not finish");
        v.expect(qvxml_finish(other, 11) == -1 && code_of(0) == 2, "no fault recorded on id 0");
    });
}

namespace {
void dwell_in_callback(int, void *user, int, kyvern_values *, kyvern_values_entry_count *) {
    if (user != nullptr) ++foreign_calls;
    ++calls;
    sleep_ms(1500);
}
void count_calls(int, void *, int, kyvern_values *, kyvern_values_entry_count *) {
    ++calls;
}
}  // namespace

// An id whose close has not ended (its worker still in a callback) is not free: a concurrent
// open takes another id, and the close succeeds.
TEST_F(LifecycleFaults, IdBeingClosedIsNotGivenToAConcurrentOpen) {
    run_isolated([](verdict &v) {
        qvxml_settings dwell = no_settings();
        dwell.callbacks.on_values = dwell_in_callback;
        const int closing = qvxml_open("127.0.0.1", unit->plain.port(), &dwell, nullptr);
        v.expect(closing == 1 && qvxml_wait_finish(closing, 0, 10) == 0, "first module not 1");
        // Walk the id the next open takes up to 99: its worker then reserves the first free id
        // counted from 1, the id that is being closed when that happens.
        const qvxml_settings plain = no_settings();
        for (int expected = 2; expected <= 98; ++expected) {
            const int id = qvxml_open("127.0.0.1", unit->plain.port(), &plain, nullptr);
            v.expect(id == expected && qvxml_wait_finish(id, 0, 10) == 0 && qvxml_close(id) == 0,
                     "open/close cycle " + std::to_string(expected));
        }
        v.expect(qvxml_get_values(closing) == 0, "values GET not queued");
        v.expect(eventually([] { return calls.load() == 1; }, 5000), "no callback");
        std::thread closer([closing] { close_result = qvxml_close(closing); });
        sleep_ms(200);
        qvxml_settings counted = no_settings();
        counted.callbacks.on_values = dwell_in_callback;
        static int marker;
        const int last = qvxml_open("127.0.0.1", unit->plain.port(), &plain, nullptr);
        const int reused = qvxml_open("127.0.0.1", unit->plain.port(), &counted, &marker);
        v.expect(last == 99, "the 99th open got id " + std::to_string(last));
        v.expect(reused != closing, "an open took the id of a module still being closed");
        closer.join();
        v.expect(close_result == 0,
                 "the close failed with code " + std::to_string(code_of(closing)));
        v.expect(qvxml_wait_finish(reused, 0, 10) == 0, "the new module did not start");
        v.expect(qvxml_get_values(reused) == 0 && qvxml_wait_finish(reused, 2, 10) == 0,
                 "the new module's request did not finish");
        v.expect(eventually([] { return foreign_calls.load() == 1; }, 5000) && calls == 2,
                 "callbacks: " + std::to_string(calls) + " in all, " +
                     std::to_string(foreign_calls) + " with the new module's pointer");
    });
}

namespace {
std::atomic<bool> building{false};
std::atomic<bool> closed{false};
void slow_modify(kyvern_setup *setup) {
    if (!building.exchange(true)) eventually([] { return closed.load(); }, 5000);
    setup->Agent_DeviceName[0] = 'X';
}
}  // namespace

TEST_F(LifecycleFaults, CloseDuringAManyDevicePostBuildRefusesTheBuild) {
    run_isolated([](verdict &v) {
        const int id = qvxml_open_many(nullptr);
        v.expect(qvxml_wait_finish(id, 0, 10) == 0, "the module did not start");
        const qvxml_settings s = no_settings();
        for (int i = 0; i < 8; ++i)
            v.expect(qvxml_add_module(id, "127.0.0.1", 20000 + i, &s) == i, "add_module");
        std::thread closer([id] {
            eventually([] { return building.load(); }, 5000);
            close_result = qvxml_close(id);
            closed = true;
        });
        const int rc = qvxml_send_setup_many(id, slow_modify);
        closer.join();
        v.expect(close_result == 0, "the close failed");
        v.expect(rc == -1 && code_of(id) == 40, "the build went on after the close: result " +
                                                    std::to_string(rc) + ", code " +
                                                    std::to_string(code_of(id)));
    });
}

TEST_F(LifecycleFaults, ResponseHeaderThatNeverEndsFailsWith46) {
    run_isolated([](verdict &v) {
        qvxml_settings s = no_settings();
        s.callbacks.on_values = count_calls;
        const int id = qvxml_open("127.0.0.1", unit->endless.port(), &s, nullptr);
        v.expect(qvxml_wait_finish(id, 0, 10) == 0, "the module did not start");
        v.expect(qvxml_get_values(id) == 0, "values GET not queued");
        v.expect(qvxml_wait_finish(id, 2, 8) == 0, "the request did not end");
        v.expect(code_of(id) == 46, "code " + std::to_string(code_of(id)) + ", not 46");
    });
}

namespace {
std::string switch_document(int value) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<BinaryOutSet>\n<Entry>\n"
           "<ID>151</ID>\n<Value>" +
           std::to_string(value) + "</Value>\n</Entry>\n</BinaryOutSet>\n</Root>\n";
}
}  // namespace

// While a POST is sent and its reply read (the unit answers after 1.5 s), a request that
// would overwrite the POST buffer or the reply's buffer is refused with 21; the POST on the
// wire is the first one.
TEST_F(LifecycleFaults, RequestOverABufferInUseIsRefusedWith21) {
    run_isolated([](verdict &v) {
        const qvxml_settings s = no_settings();
        const int id = qvxml_open("127.0.0.1", unit->slow.port(), &s, nullptr);
        v.expect(qvxml_wait_finish(id, 0, 10) == 0, "the module did not start");
        const std::string first = switch_document(1), second = switch_document(0);
        v.expect(qvxml_send_setup_xml(id, first.c_str(), static_cast<int>(first.size())) == 0,
                 "first POST not queued");
        sleep_ms(300);
        v.expect(qvxml_send_setup_xml(id, second.c_str(), static_cast<int>(second.size())) == -1 &&
                     code_of(id) == 21,
                 "a second POST was accepted while the first was in flight");
        v.expect(qvxml_get_setup(id) == -1 && code_of(id) == 21,
                 "a setup GET was accepted while the POST reply was read");
        v.expect(qvxml_wait_finish(id, 7, 10) == 0, "the first POST did not finish");
        v.expect(unit->slow.captured(1).find("<Value>1</Value>") != std::string::npos,
                 "the POST on the wire is not the first document");
        v.expect(unit->slow.captured(2).empty(), "a second request reached the unit");
    });
}

namespace {
void close_self_wrongly(int id, void *, int, kyvern_values *, kyvern_values_entry_count *) {
    if (calls++ == 0) {
        close_result = qvxml_close(id);
        close_code = code_of(id);
    }
}
// Replaces the parser: the first call runs out of memory, later ones accept the document.
int throw_from_parser(int, void *, char *, int, int) {
    if (calls++ == 0) throw std::bad_alloc();
    return 0;
}
void dwell_four_seconds(int, void *, int, kyvern_values *, kyvern_values_entry_count *) {
    ++calls;
    sleep_ms(4000);
}
}  // namespace

// qvxml_close from the module's own callback cannot wait for its own thread: it is refused
// with 39 and the module keeps running.
TEST_F(LifecycleFaults, CloseFromTheModulesOwnCallbackIsRefused) {
    run_isolated([](verdict &v) {
        qvxml_settings s = no_settings();
        s.callbacks.on_values = close_self_wrongly;
        const int id = qvxml_open("127.0.0.1", unit->plain.port(), &s, nullptr);
        v.expect(qvxml_wait_finish(id, 0, 10) == 0, "the module did not start");
        v.expect(qvxml_get_values(id) == 0 && qvxml_wait_finish(id, 2, 10) == 0, "first GET");
        v.expect(eventually([] { return close_result != 1; }, 5000), "no callback");
        v.expect(close_result == -1 && close_code == 39, "close from the callback gave " +
                                                             std::to_string(close_result) +
                                                             " code " + std::to_string(close_code));
        v.expect(eventually([&] { return qvxml_get_values(id) == 0; }, 5000) &&
                     qvxml_wait_finish(id, 2, 10) == 0,
                 "the module no longer serves requests");
        v.expect(qvxml_close(id) == 0, "the close afterwards failed");
    });
}

TEST_F(LifecycleFaults, FinishAndWaitWithAnIdOutsideTheTableRecord18) {
    run_isolated([](verdict &v) {
        v.expect(qvxml_finish(100, 2) == -1 && code_of(0) == 18, "finish: code not 18");
        v.expect(qvxml_wait_finish(-1, 2, 1) == -1 && code_of(0) == 18, "wait: code not 18");
        v.expect(qvxml_finish(1, 11) == -1 && code_of(0) == 2, "a bad kind is still code 2");
    });
}

TEST_F(LifecycleFaults, ExceptionOnAWorkerFailsTheRequestWithCode5) {
    run_isolated([](verdict &v) {
        static const char doc[] = "<?xml version=\"1.0\"?><Root></Root>";
        qvxml_settings s = no_settings();
        s.callbacks.on_parse = throw_from_parser;
        const int id = qvxml_open("127.0.0.1", unit->plain.port(), &s, nullptr);
        v.expect(qvxml_wait_finish(id, 0, 10) == 0, "the module did not start");
        v.expect(
            qvxml_load_values(id, doc, sizeof doc - 1) == 0 && qvxml_wait_finish(id, 9, 10) == 0,
            "the failed load did not finish");
        v.expect(code_of(id) == 5, "code " + std::to_string(code_of(id)) + ", not 5");
        v.expect(qvxml_load_values(id, doc, sizeof doc - 1) == 0 &&
                     qvxml_wait_finish(id, 9, 10) == 0 && code_of(id) == 0,
                 "the module does not serve a load after the failure");
    });
}

// A module whose worker does not end within the join's bound makes qvxml_uninit fail with
// the close's code; a later qvxml_uninit shuts down.
TEST_F(LifecycleFaults, UninitReportsAModuleThatCouldNotBeClosed) {
    run_isolated([](verdict &v) {
        qvxml_settings s = no_settings();
        s.callbacks.on_values = dwell_four_seconds;
        const int id = qvxml_open("127.0.0.1", unit->plain.port(), &s, nullptr);
        v.expect(qvxml_wait_finish(id, 0, 10) == 0, "the module did not start");
        v.expect(qvxml_get_values(id) == 0, "values GET not queued");
        v.expect(eventually([] { return calls.load() == 1; }, 5000), "no callback");
        v.expect(qvxml_uninit() == -1 && code_of(0) == 39,
                 "uninit while a worker cannot end gave code " + std::to_string(code_of(0)));
        sleep_ms(1500);  // the callback returns; the final uninit of the harness closes it
    });
}

namespace {
std::atomic<int> opened_modules{0};
std::atomic<int> closed_modules{0};
std::atomic<int> finished_waits{0};
void close_on_failure_sometimes(int id, void *user, int, kyvern_values *values,
                                kyvern_values_entry_count *) {
    if (values == nullptr && user != nullptr) qvxml_close_for_callback(id);
}
void touch_setup(kyvern_setup *setup) {
    setup->Agent_DeviceName[0] = 'S';
}

// Opens a single-device module on one of `ports` (some close themselves when a request
// fails) or a many-device module with three devices.
int open_random(std::mt19937 &random, const int (&ports)[3]) {
    static int closes_itself;
    qvxml_settings s = no_settings();
    s.callbacks.on_values = close_on_failure_sometimes;
    if (random() % 4 == 0) {
        const int id = qvxml_open_many(nullptr);
        for (int i = 0; id > 0 && i < 3; ++i)
            qvxml_add_module(id, "127.0.0.1", ports[static_cast<size_t>(i)], &s);
        return id;
    }
    return qvxml_open("127.0.0.1", ports[random() % 3], &s,
                      random() % 2 == 0 ? &closes_itself : nullptr);
}
}  // namespace

// Threads open, close, wait and queue on shared modules at random against a working unit, a
// silent one and a refused port. Nothing may hang or crash (the sanitizer builds also find
// races and leaks); afterwards no descriptor and no library thread is left.
TEST_F(LifecycleFaults, RandomisedOpenCloseWaitQueueStress) {
    run_isolated(
        [](verdict &v) {
            qvxml_count_ref2zero();
            v.expect(qvxml_uninit() == 0, "uninit before the baseline");
            const int fds = entries_of("/proc/self/fd");
            const int threads = entries_of("/proc/self/task");
            v.expect(qvxml_init() == 0, "init");

            constexpr int kSlots = 12, kThreads = 6, kOps = 80;
            std::atomic<int> ids[kSlots];
            for (auto &id : ids) id = -1;
            const int ports[3] = {unit->plain.port(), unit->silent.port(), unit->refused};
            std::vector<std::thread> workers;
            for (int t = 0; t < kThreads; ++t) {
                workers.emplace_back([&, t] {
                    std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
                    for (int op = 0; op < kOps; ++op) {
                        std::atomic<int> &slot = ids[random() % kSlots];
                        const int id = slot.load();
                        switch (random() % 7) {
                            case 0: {
                                const int opened = open_random(random, ports);
                                if (opened > 0) ++opened_modules;
                                int expected = -1;
                                if (opened > 0 && !slot.compare_exchange_strong(expected, opened) &&
                                    qvxml_close(opened) == 0)
                                    ++closed_modules;
                                break;
                            }
                            case 1: {
                                int expected = id;
                                if (id > 0 && slot.compare_exchange_strong(expected, -1) &&
                                    qvxml_close(id) == 0)
                                    ++closed_modules;
                                break;
                            }
                            case 2:
                                qvxml_get_values(id);
                                if (qvxml_wait_finish(id, 2, 1) == 0) ++finished_waits;
                                break;
                            case 3:
                                if (qvxml_wait_finish(id, 0, 1) == 0) ++finished_waits;
                                break;
                            case 4: {
                                static const char doc[] = "<?xml version=\"1.0\"?><Root/>";
                                qvxml_load_values(id, doc, sizeof doc - 1);
                                break;
                            }
                            case 5:
                                qvxml_send_setup_many(id, touch_setup);
                                break;
                            default: {
                                const std::string d = switch_document(op % 2);
                                qvxml_send_setup_xml(id, d.c_str(), static_cast<int>(d.size()));
                                break;
                            }
                        }
                    }
                });
            }
            for (auto &w : workers) w.join();
            // The mix must really have run: modules opened and closed, requests finished.
            v.expect(opened_modules > 20 && closed_modules > 10 && finished_waits > 5,
                     "too little happened: " + std::to_string(opened_modules) + " opened, " +
                         std::to_string(closed_modules) + " closed, " +
                         std::to_string(finished_waits) + " waits finished");
            qvxml_count_ref2zero();
            v.expect(qvxml_uninit() == 0,
                     "uninit after the stress failed with code " + std::to_string(code_of(0)));
            v.expect(eventually([&] { return entries_of("/proc/self/task") == threads; }, 3000),
                     "threads left: " + std::to_string(entries_of("/proc/self/task") - threads));
            v.expect(entries_of("/proc/self/fd") == fds,
                     "descriptors left: " + std::to_string(entries_of("/proc/self/fd") - fds));
            std::fprintf(stderr, "stress: %d opened, %d closed, %d waits finished\n",
                         opened_modules.load(), closed_modules.load(), finished_waits.load());
            v.expect(qvxml_init() == 0, "init again");
        },
        120);
}
