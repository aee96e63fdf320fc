// Requests, the worker thread, completion polling and waiting.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "client_test_util.h"
#include "core/xml_global.h"
#include "core/xml_module.h"
#include "support.h"

namespace {

struct recorder {
    std::atomic<int> values_calls{0};
    std::atomic<int> values_null{0};
    std::atomic<int> setup_calls{0};
    std::atomic<int> sensors{-1};
};

recorder *rec = nullptr;
std::atomic<gate *> hold{nullptr};  // when set, on_values blocks on it
std::atomic<int> requeue{0};        // on_values queues this many further values GETs

void on_values(int id, void *, int, kyvern_values *v, kyvern_values_entry_count *c) {
    ++rec->values_calls;
    if (v == nullptr) {
        ++rec->values_null;
    } else {
        rec->sensors = c->SenSet;
    }
    if (gate *g = hold.load()) g->wait();
    if (requeue > 0) {
        --requeue;
        qvxml_get_values(id);
    }
}

void on_setup(int, void *, int, kyvern_setup *, kyvern_setup_entry_count *) {
    ++rec->setup_calls;
}

class RequestTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        rec = &r;
        hold = nullptr;
        requeue = 0;
    }
    qvxml_settings with_callbacks() {
        qvxml_settings s = plain_settings();
        s.callbacks.on_values = on_values;
        s.callbacks.on_setup = on_setup;
        return s;
    }
    recorder r;
};

}  // namespace

TEST_F(RequestTest, RequestsOnAModuleThatIsNotRunningAreRefused) {
    EXPECT_EQ(qvxml_get_values(7), -1);
    EXPECT_EQ(fault_code(7), 40);
    EXPECT_EQ(qvxml_get_setup(7), -1);
    EXPECT_EQ(qvxml_send_setup_xml(7, "<a/>", 4), -1);
    EXPECT_EQ(fault_code(7), 40);
    EXPECT_EQ(qvxml_finish(7, 11), -1);
    EXPECT_EQ(fault_code(0), 2);
    const int id = open_running(80);
    EXPECT_EQ(qvxml_finish(id, 2), -1);  // never asked
    EXPECT_EQ(fault_code(0), 1);
    EXPECT_EQ(qvxml_finish(id, 7), 0);  // no send pending since open
}

TEST_F(RequestTest, ValuesGetAgainstNothingListeningReportsNullRecordsAndFinishes) {
    const int id = open_running(qvtest::closed_port(), with_callbacks());
    ASSERT_EQ(qvxml_get_values(id), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 2, 10), 0);
    EXPECT_EQ(r.values_calls.load(), 1);  // a failed request is delivered before its mark
    EXPECT_EQ(r.values_null.load(), 1);
    EXPECT_EQ(qvxml_finish(id, 2), 0);
    EXPECT_EQ(fault_code(id), 28);
}

TEST_F(RequestTest, ValuesGetDeliversTheParsedRecord) {
    qvtest::device device(kValuesDoc, kSetupDoc, {});
    const int id = open_running(device.port(), with_callbacks());
    ASSERT_EQ(qvxml_get_values(id), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 2, 10), 0);
    // The completion is delivered right after the request is marked finished.
    EXPECT_TRUE(eventually([&] { return r.values_calls.load() == 1; }));
    EXPECT_EQ(r.values_null.load(), 0);
    EXPECT_EQ(r.sensors.load(), 2);
    ASSERT_EQ(device.requests(), 1);
    EXPECT_EQ(device.captured(1), "GET /values.xml HTTP/1.0\r\n\r\n");
}

TEST_F(RequestTest, SignalWhileBusyIsRefusedAndTheRequestWaitsForTheNextWakeUp) {
    gate g;
    hold = &g;
    const int id = open_running(qvtest::closed_port(), with_callbacks());
    ASSERT_EQ(qvxml_load_values(id, kValuesDoc.c_str(), static_cast<int>(kValuesDoc.size())), 0);
    ASSERT_TRUE(eventually([&] { return r.values_calls.load() == 1; }));
    // The worker is inside the callback: the first signal is taken, the second refused.
    EXPECT_EQ(qvxml_get_values(id), 0);
    EXPECT_EQ(qvxml_get_setup(id), 0);
    EXPECT_EQ(fault_code(id), 21);
    hold = nullptr;
    g.open();
    // The next wake-up serves the values GET (priority order); the setup GET stays pending.
    ASSERT_EQ(qvxml_wait_finish(id, 2, 10), 0);
    EXPECT_EQ(r.values_calls.load(), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(qvxml_finish(id, 4), -1);
    EXPECT_EQ(r.setup_calls.load(), 0);
    // A further signal serves it.
    ASSERT_EQ(qvxml_load_values(id, kValuesDoc.c_str(), static_cast<int>(kValuesDoc.size())), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 4, 10), 0);
    EXPECT_EQ(r.setup_calls.load(), 1);
}

// A many-device round finishes the request it was woken for even when no device takes part
// (none added, or all switched off), whatever kind an earlier round served: its round callback
// runs and the module takes the next request.
TEST_F(RequestTest, ManyDeviceRoundWithoutActiveDevicesFinishesItsRequest) {
    qvtest::device unit(kValuesDoc, kSetupDoc, {});
    struct row {
        const char *name;
        bool device;        // one device, switched off before the request
        bool values_first;  // a values round with the device on before that
        bool setup;         // the request: a setup GET, else a values GET
    };
    const row rows[] = {
        {"no device, values", false, false, false},
        {"no device, setup", false, false, true},
        {"device off, setup after a values round", true, true, true},
        {"device off, values after a values round", true, true, false},
    };
    static std::atomic<int> values_rounds{0}, setup_rounds{0};
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        values_rounds = 0;
        setup_rounds = 0;
        const int id = qvxml_open_many(nullptr);
        ASSERT_GT(id, 0);
        ASSERT_EQ(qvxml_wait_finish(id, QVXML_FINISH_RUNNING, 10), 0);
        qvxml_callbacks cb;
        qvxml_clr_callback(0, &cb);
        cb.on_values_many = [](int, void *) { ++values_rounds; };
        cb.on_setup_many = [](int, void *) { ++setup_rounds; };
        ASSERT_EQ(qvxml_callback(id, &cb), 0);
        if (r.device) {
            qvxml_settings s = plain_settings();
            ASSERT_EQ(qvxml_add_module(id, "127.0.0.1", unit.port(), &s), 0);
        }
        if (r.values_first) {
            ASSERT_EQ(qvxml_get_values(id), 0);
            ASSERT_EQ(qvxml_wait_finish(id, QVXML_FINISH_VALUES, 10), 0);
        }
        const int off[1] = {0};
        qvxml_active_modules(id, off);
        const int served = unit.requests();
        const int finish = r.setup ? QVXML_FINISH_SETUP : QVXML_FINISH_VALUES;
        auto request = [&] { return r.setup ? qvxml_get_setup(id) : qvxml_get_values(id); };

        ASSERT_EQ(request(), 0);
        EXPECT_EQ(qvxml_wait_finish(id, finish, 5), 0);
        EXPECT_EQ(values_rounds.load(), (r.values_first ? 1 : 0) + (r.setup ? 0 : 1));
        EXPECT_EQ(setup_rounds.load(), r.setup ? 1 : 0);
        EXPECT_EQ(request(), 0);  // not refused as still pending
        EXPECT_EQ(qvxml_wait_finish(id, finish, 5), 0);
        EXPECT_EQ(unit.requests(), served);
        EXPECT_EQ(qvxml_close(id), 0);
    }
}

TEST_F(RequestTest, LoadLengthLimit) {
    const int id = open_running(80, with_callbacks());
    std::string big(256000, ' ');
    EXPECT_EQ(qvxml_load_values(id, big.c_str(), 256000), -1);
    EXPECT_EQ(fault_code(id), 81);
    EXPECT_EQ(qvxml_finish(id, 9), -1);  // untouched: never asked
    std::string doc = kValuesDoc + std::string(255999 - kValuesDoc.size(), ' ');
    EXPECT_EQ(qvxml_load_values(id, doc.c_str(), 255999), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 9, 10), 0);
    // The finish mark wakes the waiter before the callback runs: wait (bounded) for it.
    EXPECT_TRUE(eventually([&] { return r.sensors.load() == 2; }));
    EXPECT_EQ(qvxml_finish(id, 2), 0);  // a load also finishes the values request
}

TEST_F(RequestTest, LoadedTextEndsAtItsLength) {
    const int id = open_running(80, with_callbacks());
    ASSERT_EQ(qvxml_load_values(id, kValuesDoc.c_str(), static_cast<int>(kValuesDoc.size())), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 9, 10), 0);
    const std::string shorter = kValuesDoc.substr(0, 30);
    ASSERT_EQ(qvxml_load_values(id, shorter.c_str(), 30), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 9, 10), 0);
    EXPECT_EQ(std::string(xml_module[id].values_xml), shorter);
}

TEST_F(RequestTest, WaitTimesOutWithCode19) {
    const int id = open_running(80, with_callbacks());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qvxml_wait_finish(id, 2, 1), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(fault_code(0), 19);
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LE(took, std::chrono::milliseconds(3500));
    EXPECT_EQ(xml_module[id].wait_active.load(), 0);
}

namespace {
std::atomic<int> parse_calls{0};
int slow_parse(int, void *, char *, int, int) {
    ++parse_calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return 0;
}
void slow_values(int, void *, int, kyvern_values *, kyvern_values_entry_count *) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
}
}  // namespace

TEST_F(RequestTest, RequestFinishedWhenItsDeadlinePassedStillCountsAsFinished) {
    // The load is marked finished after the 0.3 s parse, but the waiter is woken only by the
    // time-out thread (the completion wake-up follows the 3.5 s callback): its last poll finds
    // the request finished although the deadline has passed.
    qvxml_settings s = plain_settings();
    s.callbacks.on_parse = slow_parse;
    s.callbacks.on_values = slow_values;
    const int id = open_running(80, s);
    ASSERT_EQ(qvxml_load_values(id, "x", 1), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qvxml_wait_finish(id, 9, 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3200));
}

TEST_F(RequestTest, RequestQueuedFromInsideTheCallbackIsServed) {
    qvtest::device device(kValuesDoc, kSetupDoc, {});
    const int id = open_running(device.port(), with_callbacks());
    requeue = 1;
    ASSERT_EQ(qvxml_get_values(id), 0);
    ASSERT_TRUE(eventually([&] { return r.values_calls.load() == 2; }, 10000));
    ASSERT_EQ(qvxml_wait_finish(id, 2, 10), 0);
    EXPECT_EQ(device.requests(), 2);
}

TEST_F(RequestTest, FailedPostBuildLeavesNoSendPending) {
    const int id = open_running(qvtest::closed_port(), with_callbacks());
    // Not a document the upload filter accepts: the build fails, nothing is queued.
    EXPECT_EQ(qvxml_send_setup_xml(id, "<Root><a>", 9), -1);
    EXPECT_EQ(qvxml_finish(id, 7), 0);
    // A later wake-up for a values GET posts nothing.
    ASSERT_EQ(qvxml_get_values(id), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 2, 10), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(qvxml_finish(id, 7), 0);
}

TEST_F(RequestTest, PostSendsTheFilteredDocumentAndParsesTheReply) {
    static std::atomic<int> sends{0}, outputs{-1};
    sends = 0;
    qvtest::device device(kValuesDoc, kSetupDoc, {});
    qvxml_settings s = with_callbacks();
    s.callbacks.on_send_setup = [](int, void *, int, kyvern_setup *setup,
                                   kyvern_setup_entry_count *c) {
        ++sends;
        if (setup != nullptr) outputs = c->BinaryOutSet;
    };
    std::strcpy(s.set_user, "admin");
    std::strcpy(s.set_password, "pw");
    const int id = open_running(device.port(), s);
    const std::string doc =
        "<?xml version=\"1.0\"?>\n<Root>\n<Agent><DeviceName>x</DeviceName></Agent>\n"
        "<BinaryOutSet>\n<Entry>\n<ID>151</ID>\n<Value>1</Value>\n</Entry>\n</BinaryOutSet>\n"
        "</Root>\n";
    ASSERT_EQ(qvxml_send_setup_xml(id, doc.c_str(), static_cast<int>(doc.size())), 0)
        << fault_code(id);
    ASSERT_EQ(qvxml_wait_finish(id, 8, 10), 0);
    EXPECT_TRUE(eventually([] { return sends.load() == 1; })) << fault_code(id);
    EXPECT_EQ(outputs.load(), 1);
    ASSERT_EQ(device.requests(), 1);
    const std::string request = device.captured(1);
    EXPECT_EQ(request.rfind("POST /setup.xml HTTP/1.0\r\nAuthorization: Basic YWRtaW46cHc=\r\n", 0),
              0u);
    EXPECT_EQ(request.find("DeviceName"), std::string::npos);
    EXPECT_NE(request.find("<ID>151</ID>"), std::string::npos);
}

TEST_F(RequestTest, SnmpManagerCacheFollowsTheSetupRequest) {
    qvtest::device device(kValuesDoc, kSetupDoc, {});
    const int id = open_running(device.port(), with_callbacks());
    char addr[16];
    int port = 0;
    EXPECT_EQ(qvxml_get_snmp_manager_cache(id, addr, &port), -1);
    EXPECT_EQ(fault_code(id), 14);
    ASSERT_EQ(qvxml_get_snmp_manager(id), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 6, 10), 0);
    ASSERT_EQ(qvxml_get_snmp_manager_cache(id, addr, &port), 0);
    EXPECT_STREQ(addr, "127.0.0.25");
    EXPECT_EQ(port, 162);
}

TEST_F(RequestTest, SnmpManagerAddressIsCutToFifteenCharacters) {
    const std::string doc =
        "<?xml version=\"1.0\"?><Root><SnmpTraps><Entry><IPaddr>123456789012345678</IPaddr>"
        "<Port>99</Port></Entry></SnmpTraps></Root>";
    qvtest::device device(kValuesDoc, doc, {});
    const int id = open_running(device.port(), with_callbacks());
    ASSERT_EQ(qvxml_get_snmp_manager(id), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 6, 10), 0);
    char addr[16];
    int port = 0;
    ASSERT_EQ(qvxml_get_snmp_manager_cache(id, addr, &port), 0);
    EXPECT_STREQ(addr, "123456789012345");
}

TEST_F(RequestTest, ClosingAModuleWhoseWorkerWaitsOnASilentDeviceEndsItQuickly) {
    // Accepts and stays silent for 8 s: the worker sits in its read wait.
    qvtest::device device({"--delay", "8000"});
    const int id = open_running(device.port(), with_callbacks());
    ASSERT_EQ(qvxml_get_values(id), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qvxml_close(id), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(r.values_calls.load(), 0);  // nothing of the request ran after the wait
    EXPECT_EQ(p_kyvern_values[id], nullptr);
}

namespace {
int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}
}  // namespace

TEST_F(RequestTest, ClosedModulesLeaveNoDescriptorOpen) {
    const int before = open_descriptors();
    {
        qvtest::device silent({"--delay", "8000"});
        qvtest::device quick;
        for (int round = 0; round < 3; ++round) {
            const int a = open_running(quick.port(), with_callbacks());
            const int b = open_running(silent.port(), with_callbacks());
            ASSERT_EQ(qvxml_get_values(a), 0);
            ASSERT_EQ(qvxml_get_values(b), 0);
            ASSERT_EQ(qvxml_wait_finish(a, 2, 10), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(qvxml_close(b), 0);  // its worker is inside the read wait
            EXPECT_EQ(qvxml_close(a), 0);
        }
    }
    EXPECT_EQ(open_descriptors(), before);
}
