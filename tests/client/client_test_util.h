// Shared pieces of the client tests: documents, settings, and a callback recorder.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "qvxml.h"

inline const std::string kValuesDoc =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<val:Root xmlns:val=\"urn:tarvik:values\">\n"
    "<Agent><DeviceName>Rack 7</DeviceName><Model>33</Model></Agent>\n"
    "<SenSet><Entry><ID>1</ID><Name>Inlet</Name><Value>21.5</Value></Entry>"
    "<Entry><ID>2</ID><Name>Outlet</Name><Value>27.0</Value></Entry></SenSet>\n"
    "</val:Root>";

inline const std::string kSetupDoc =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<set:Root xmlns:set=\"urn:tarvik:setup\">\n"
    "<Agent><DeviceName>Rack 7</DeviceName><Title>Kyvern unit</Title></Agent>\n"
    "<BinaryOutSet><Entry><ID>151</ID><Name>Fan</Name><Value>1</Value><Mode>0</Mode></Entry>"
    "</BinaryOutSet>\n"
    "<SnmpTraps><Entry><IPaddr>127.0.0.25</IPaddr><Port>162</Port></Entry></SnmpTraps>\n"
    "</set:Root>";

inline int fault_code(int id) {
    xml_fault_record r;
    qvxml_error(id, &r);
    return r.code;
}

inline qvxml_settings plain_settings() {
    qvxml_settings s;
    qvxml_clr_settings_struct(&s);
    return s;
}

// Polls `pred` every 10 ms for at most `ms` milliseconds.
template <typename Pred>
bool eventually(Pred pred, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Library started for the test's length; every module is closed by qvxml_uninit.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qvxml_init(), 0); }
    void TearDown() override {
        qvxml_count_ref2zero();
        EXPECT_EQ(qvxml_uninit(), 0);
    }
    // Opens a single-device module without a connection test and waits until it runs.
    int open_running(int port, qvxml_settings s = plain_settings(), void *user = nullptr) {
        const int id = qvxml_open("127.0.0.1", port, &s, user);
        EXPECT_GT(id, 0);
        EXPECT_EQ(qvxml_wait_finish(id, 0, 10), 0);
        return id;
    }
};

// A gate a callback can block on until the test opens it (bounded: at most 10 s).
class gate {
public:
    void open() {
        std::lock_guard<std::mutex> l(m_);
        open_ = true;
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::seconds(10), [this] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};
