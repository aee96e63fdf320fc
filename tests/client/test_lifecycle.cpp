// Library start and stop, opening and closing modules, many-device modules, credentials.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "client_test_util.h"
#include "core/xml_module.h"
#include "support.h"

TEST(Lifecycle, ExtraInitMustBeMatchedByAFailingUninit) {
    EXPECT_EQ(qvxml_uninit(), 0);  // never initialised
    ASSERT_EQ(qvxml_init(), 0);
    EXPECT_EQ(qvxml_init(), -1);
    EXPECT_EQ(fault_code(0), 80);
    EXPECT_EQ(qvxml_uninit(), -1);
    EXPECT_EQ(fault_code(0), 80);
    EXPECT_EQ(qvxml_uninit(), 0);
    EXPECT_EQ(qvxml_uninit(), 0);  // already shut down
}

TEST(Lifecycle, CountRefToZeroLetsTheNextUninitShutDown) {
    ASSERT_EQ(qvxml_init(), 0);
    EXPECT_EQ(qvxml_init(), -1);
    EXPECT_EQ(qvxml_init(), -1);
    qvxml_count_ref2zero();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qvxml_uninit(), 0);
    // The time-out thread's pause is interruptible: shutting down does not cost a second.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(700));
}

TEST_F(LibraryTest, HostOfHundredCharactersIsRefusedAndOpensNothing) {
    const std::string host(100, 'h');
    EXPECT_EQ(qvxml_open(host.c_str(), 80, nullptr, nullptr), -1);
    EXPECT_EQ(fault_code(0), 13);
    EXPECT_EQ(xml_module[1].state.load(), 0);
    const int id = qvxml_open(std::string(99, 'h').c_str(), 80, nullptr, nullptr);
    EXPECT_EQ(id, 1);
}

TEST_F(LibraryTest, OpenedModuleRunsAndReportsItsAddress) {
    const int id = open_running(8080);
    EXPECT_EQ(qvxml_type_of(id), 0);
    char addr[16] = "x";
    char host[100] = "";
    int port = 0;
    EXPECT_EQ(qvxml_get_module_ex(id, host, addr, &port), 0);
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(qvxml_close(id), 0);
    EXPECT_EQ(qvxml_type_of(id), -1);
    EXPECT_EQ(fault_code(id), 40);
}

TEST_F(LibraryTest, ConnectionTestFiresTheConnectCallbacks) {
    static std::atomic<int> connected{0}, failed{0}, failed_code{0};
    connected = failed = 0;
    qvxml_settings s = plain_settings();
    s.test_connection = 1;
    s.callbacks.on_connect = [](int, void *, int sub) {
        if (sub == -1) ++connected;
    };
    s.callbacks.on_connect_failure = [](int, void *, int, xml_fault_record *e) {
        failed_code = e->code;
        ++failed;
    };
    qvtest::device device;
    open_running(device.port(), s);
    EXPECT_EQ(connected.load(), 1);
    open_running(qvtest::closed_port(), s);
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(failed_code.load(), 28);
}

// Resident memory of this process in KiB (/proc/self/statm).
long resident_kib() {
    long size = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A device is about 0.9 MB, mostly document buffers and records its requests may never use:
// adding one must not make them resident (clearing them ahead would), also when devices of
// the same size were freed before and the allocator could hand their memory back.
TEST_F(LibraryTest, AddedDevicesTakeMemoryOnlyForWhatIsWritten) {
    qvxml_settings s = plain_settings();
    constexpr int devices = 200;
    for (int round = 0; round < 2; ++round) {
        const long before = resident_kib();
        const int id = qvxml_open_many(nullptr);
        ASSERT_GT(id, 0);
        ASSERT_EQ(qvxml_wait_finish(id, 0, 10), 0);
        for (int i = 0; i < devices; ++i)
            ASSERT_EQ(qvxml_add_module(id, "127.0.0.1", 3000 + i, &s), i);
        const long added = resident_kib() - before;
        // Host, port and settings of a device fit a few pages.
        EXPECT_LT(added, devices * 64) << "round " << round << ": " << added << " KiB";
        EXPECT_EQ(qvxml_close(id), 0);
    }
}

TEST_F(LibraryTest, ManyDeviceModuleQueriesAndLimits) {
    const int id = qvxml_open_many(nullptr);
    ASSERT_GT(id, 0);
    ASSERT_EQ(qvxml_wait_finish(id, 0, 10), 0);
    EXPECT_EQ(qvxml_type_of(id), 1);
    char addr[16];
    int port;
    EXPECT_EQ(qvxml_get_module(id, addr, &port), -1);
    EXPECT_EQ(fault_code(id), 16);
    EXPECT_EQ(qvxml_count_modules(id), 0);

    qvxml_settings s = plain_settings();
    EXPECT_EQ(qvxml_add_module(id, "127.0.0.1", 1000, &s), 0);
    EXPECT_EQ(qvxml_add_module(id, "127.0.0.1", 1000, &s), -1);
    EXPECT_EQ(fault_code(id), 15);
    EXPECT_EQ(qvxml_add_module(id, "127.0.0.1", 1001, &s), 1);
    EXPECT_EQ(qvxml_add_module(id, std::string(100, 'h').c_str(), 1, &s), -1);
    EXPECT_EQ(fault_code(id), 13);
    for (int i = 2; i < 500; ++i) ASSERT_EQ(qvxml_add_module(id, "127.0.0.1", 2000 + i, &s), i);
    EXPECT_EQ(qvxml_add_module(id, "127.0.0.1", 9999, &s), -1);
    EXPECT_EQ(fault_code(id), 41);
    EXPECT_EQ(qvxml_count_modules(id), 500);

    char host[100];
    EXPECT_EQ(qvxml_get_module_many_ex(id, 1, host, addr, &port), 0);
    EXPECT_EQ(port, 1001);
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(qvxml_get_module_many(id, 500, addr, &port), -1);
    EXPECT_EQ(fault_code(id), 3);
    EXPECT_EQ(qvxml_add_module(100, "127.0.0.1", 1, &s), -1);
    EXPECT_EQ(fault_code(0), 18);

    // A single-device module opened later on the same id is not a many-device module.
    EXPECT_EQ(qvxml_close(id), 0);
    EXPECT_EQ(qvxml_count_modules(id), -1);
    EXPECT_EQ(fault_code(id), 16);
    EXPECT_EQ(qvxml_add_module(id, "127.0.0.1", 1, &s), -1);
}

TEST_F(LibraryTest, AddModuleToASingleDeviceModuleIsRefused) {
    const int id = open_running(80);
    qvxml_settings s = plain_settings();
    EXPECT_EQ(qvxml_add_module(id, "127.0.0.1", 81, &s), -1);
    EXPECT_EQ(fault_code(id), 16);
}

TEST_F(LibraryTest, CredentialLengths) {
    const int id = open_running(80);
    const std::string c99(99, 'u'), c100(100, 'u');
    EXPECT_EQ(qvxml_authenticate_get(id, c100.c_str(), c100.c_str()), -1);
    EXPECT_EQ(fault_code(id), 43);  // the user is checked first
    EXPECT_EQ(qvxml_authenticate_set(id, c99.c_str(), c100.c_str()), -1);
    EXPECT_EQ(fault_code(id), 42);
    EXPECT_EQ(qvxml_authenticate_get(id, c99.c_str(), c99.c_str()), 0);
    EXPECT_EQ(std::string(xml_module[id].settings.get_user), c99);

    // Settings whose credentials are not terminated within their 100 bytes are refused.
    qvxml_settings s = plain_settings();
    std::memset(s.set_user, 'u', sizeof s.set_user);
    EXPECT_EQ(qvxml_open("127.0.0.1", 80, &s, nullptr), -1);
    EXPECT_EQ(fault_code(0), 43);
    s = plain_settings();
    std::memset(s.get_password, 'p', sizeof s.get_password);
    EXPECT_EQ(qvxml_open("127.0.0.1", 80, &s, nullptr), -1);
    EXPECT_EQ(fault_code(0), 42);
}

TEST_F(LibraryTest, CallbacksCanBeReplacedOnlyOnARunningModule) {
    qvxml_callbacks cb;
    qvxml_clr_callback(0, &cb);
    EXPECT_EQ(qvxml_callback(5, &cb), -1);
    EXPECT_EQ(fault_code(5), 40);
    const int id = open_running(80);
    cb.on_values_many = [](int, void *) {};
    EXPECT_EQ(qvxml_callback(id, &cb), 0);
    EXPECT_NE(xml_module[id].settings.callbacks.on_values_many, nullptr);
}

TEST_F(LibraryTest, NinetyNinthOpenStaysStarting) {
    for (int i = 1; i <= 98; ++i) ASSERT_EQ(open_running(80), i);
    const int id = qvxml_open("127.0.0.1", 80, nullptr, nullptr);
    ASSERT_EQ(id, 99);
    // Its worker found no free id for the next open: it ended and the module stays starting.
    EXPECT_TRUE(eventually([] { return fault_code(0) == 18; }));
    EXPECT_EQ(qvxml_wait_finish(id, 0, 1), -1);
    EXPECT_EQ(fault_code(0), 19);
    EXPECT_EQ(xml_module[id].state.load(), -1);
    // A further open finds its id in use.
    EXPECT_EQ(qvxml_open("127.0.0.1", 80, nullptr, nullptr), -1);
    EXPECT_EQ(fault_code(0), 17);
}
