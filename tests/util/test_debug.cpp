// Debug log: standard output without a callback, whole lines to an installed callback.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvxml.h"

namespace {

struct log_sink {
    std::mutex lock;
    std::vector<std::string> lines;
    std::vector<void *> users;
};

void collect(const char *text, void *user) {
    auto *sink = static_cast<log_sink *>(user);
    std::lock_guard<std::mutex> guard(sink->lock);
    sink->lines.emplace_back(text);
    sink->users.push_back(user);
}

class QvDebug : public ::testing::Test {
protected:
    void TearDown() override { qvgapi_debug(nullptr, nullptr); }
};

TEST_F(QvDebug, WithoutCallbackPrintsLineToStdout) {
    ::testing::internal::CaptureStdout();
    qv_debug("value %d of %s", 42, "sensor");
    qv_debug("%s", "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "value 42 of sensor\n\n");
}

TEST_F(QvDebug, CallbackGetsWholeTextWithoutNewline) {
    log_sink sink;
    qvgapi_debug(collect, &sink);
    std::string part(150, 'x');
    // Lengths around the first 100-byte buffer, and a long line with several arguments that
    // must all survive the second formatting pass.
    qv_debug("%s", std::string(99, 'a').c_str());
    qv_debug("%s", std::string(100, 'b').c_str());
    qv_debug("%s|%d|%s|%c|%ld", part.c_str(), -7, part.c_str(), 'z', 1234567890123L);
    qv_debug("short %u", 5u);
    ASSERT_EQ(sink.lines.size(), 4u);
    EXPECT_EQ(sink.lines[0], std::string(99, 'a'));
    EXPECT_EQ(sink.lines[1], std::string(100, 'b'));
    EXPECT_EQ(sink.lines[2], part + "|-7|" + part + "|z|1234567890123");
    EXPECT_EQ(sink.lines[3], "short 5");
    for (void *user : sink.users) EXPECT_EQ(user, &sink);

    // A null callback sends the log back to standard output.
    qvgapi_debug(nullptr, &sink);
    ::testing::internal::CaptureStdout();
    qv_debug("back %s", "home");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "back home\n");
    EXPECT_EQ(sink.lines.size(), 4u);
}

TEST_F(QvDebug, FormatterErrorDeliversNothingAndReturns) {
    // A wide character that the "C" locale cannot convert makes the formatter fail at any
    // buffer size: the line is dropped after a bounded number of attempts.
    log_sink sink;
    qvgapi_debug(collect, &sink);
    qv_debug("%ls", L"\x20ac");
    qv_debug("after %d", 1);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0], "after 1");
}

TEST_F(QvDebug, ConcurrentLinesStayWhole) {
    log_sink sink;
    qvgapi_debug(collect, &sink);
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            std::string pad(120 + t, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) qv_debug("%d:%d:%s", t, i, pad.c_str());
        });
    for (std::thread &thread : threads) thread.join();
    ASSERT_EQ(sink.lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> per_thread(kThreads);
    for (const std::string &line : sink.lines) {
        int t = line[0] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        size_t colon = line.find(':', 2);
        ASSERT_NE(colon, std::string::npos);
        EXPECT_EQ(line.substr(colon + 1), std::string(120 + t, static_cast<char>('a' + t)));
        ++per_thread[t];
    }
    for (int count : per_thread) EXPECT_EQ(count, kLines);
}

}  // namespace
