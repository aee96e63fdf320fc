// Transport cases that wait for the system's own time-outs (5 s connect and write waits,
// 10 s of silence) or move a large request through a slow reader.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "platform/qv_thread.h"
#include "support.h"
#include "transport/qv_socket.h"
#include "transport_test_util.h"

namespace {

using clock_type = std::chrono::steady_clock;
using qvtest::device;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A wait of `wait_s` seconds with the margin of this build for the work around it.
double within(double wait_s, double margin_s) {
    return wait_s + margin_s * qvtest::time_scale();
}

TEST(SlowReadiness, FiveAttemptsOnASocketThatNeverBecomesReady) {
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    std::atomic<int> run{1};
    qv_fd_set r;
    qv_fd_zero(&r);
    qv_fd_add(&r, fd[0]);
    const auto start = clock_type::now();
    EXPECT_EQ(qv_socket_select(1, 64, &r, nullptr, nullptr, 5, &run), -1);
    const double took = seconds_since(start);
    EXPECT_GE(took, 4.9);
    EXPECT_LT(took, within(5, 1.5));
    close(fd[0]);
    close(fd[1]);
}

TEST(SlowReadiness, WithoutARunFlagAttemptsLastASecondEach) {
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    qv_fd_set r;
    qv_fd_zero(&r);
    qv_fd_add(&r, fd[0]);
    const auto start = clock_type::now();
    EXPECT_EQ(qv_socket_select(1, 64, &r, nullptr, nullptr, 2, nullptr), -1);
    const double took = seconds_since(start);
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, within(2, 1));
    close(fd[0]);
    close(fd[1]);
}

TEST(SlowResponse, DeviceThatStopsSendingWithoutClosingCompletesAfterTenSeconds) {
    device device({"--hold"});
    ASSERT_TRUE(device.running());
    reset_module(41);
    char address[16] = "127.0.0.1";
    ASSERT_EQ(xml_socket_create(41, -1, address, "", device.port()), 0);
    const std::string request = "GET /values.xml HTTP/1.0\r\n\r\n";
    ASSERT_EQ(xml_socket_write(41, request.data(), static_cast<int>(request.size())), 0);
    std::unique_ptr<char[]> buffer(new char[QVXML_BUFFER_SIZE]);
    int length = QVXML_BUFFER_SIZE;
    const auto start = clock_type::now();
    EXPECT_EQ(xml_socket_read(41, buffer.get(), &length), 0);
    const double took = seconds_since(start);
    xml_socket_close(41);
    EXPECT_GE(took, 9.5);
    EXPECT_LT(took, within(10, 2.5));
    EXPECT_EQ(std::string(buffer.get(), static_cast<size_t>(length)),
              qvtest::bundled_document("values.xml"));
}

TEST(SlowResponse, DeviceThatNeverAnswersGivesNoBytesAndAFailedParse) {
    device device({"--silent"});
    ASSERT_TRUE(device.running());
    reset_module(42);
    std::unique_ptr<char[]> buffer(new char[QVXML_BUFFER_SIZE]);
    int length = QVXML_BUFFER_SIZE;
    char address[16] = "127.0.0.1";
    const auto start = clock_type::now();
    EXPECT_EQ(get_xml(42, address, "", device.port(), buffer.get(), &length, 0, -1), -1);
    const double took = seconds_since(start);
    EXPECT_GE(took, 9.5);
    EXPECT_LT(took, within(10, 2.5));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(xml_fault[42].code, 45);  // the parser refuses an empty document
    EXPECT_EQ(sockfd[42], -1);
}

TEST(SlowConnect, ConnectionThatNeverCompletesFailsAfterFiveSeconds) {
    // A listener whose accept queue is full drops further SYNs: the connect stays pending.
    qvtest::loopback_listener listener(0);
    ASSERT_GT(listener.port(), 0);
    listener.fill_queue();

    reset_module(43);
    char address[16] = "127.0.0.1";
    const auto start = clock_type::now();
    const int rc = xml_socket_create(43, -1, address, "", listener.port());
    const double took = seconds_since(start);
    if (rc == 0) {
        xml_socket_close(43);
        GTEST_SKIP() << "this kernel completed the connection despite the full queue";
    }
    EXPECT_EQ(xml_fault[43].code, 28);
    EXPECT_GE(took, 4.9);
    EXPECT_LT(took, within(5, 1.5));
}

TEST(SlowSend, LargePostToASlowReaderIsSentWhole) {
    device device({"--slow-read", "2048:4"});
    ASSERT_TRUE(device.running());
    reset_module(44);
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n";
    for (int i = 0; body.size() < 200000; ++i)
        body +=
            "<GroupSet><Entry><Name>group " + std::to_string(i) + "</Name></Entry></GroupSet>\n";
    body += "</Root>\n";
    const std::string request =
        "POST /setup.xml HTTP/1.0\r\nContent-Type: text/xml\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    char address[16] = "127.0.0.1";
    ASSERT_EQ(xml_socket_create(44, -1, address, "", device.port()), 0);
    // Loopback sockets grow their send buffer to megabytes; a small fixed one makes the
    // sends partial and the socket report that it would block, as on a real network.
    const int small = 4096;
    ASSERT_EQ(setsockopt(sockfd[44], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(xml_socket_write(44, request.data(), static_cast<int>(request.size())), 0)
        << xml_fault[44].code;
    std::unique_ptr<char[]> buffer(new char[QVXML_BUFFER_SIZE]);
    int length = QVXML_BUFFER_SIZE;
    ASSERT_EQ(xml_socket_read(44, buffer.get(), &length), 0) << xml_fault[44].code;
    xml_socket_close(44);
    EXPECT_EQ(device.captured(1), request);
    EXPECT_EQ(std::string(buffer.get(), static_cast<size_t>(length)),
              qvtest::bundled_document("setup.xml"));
}

// A worker that waits on a silent device, and whether it ever got past get_xml.
std::atomic<int> worker_port{0};
std::atomic<int> worker_returned{0};

void worker_entry() {
    std::unique_ptr<char[]> buffer(new char[QVXML_BUFFER_SIZE]);
    int length = QVXML_BUFFER_SIZE;
    char address[16] = "127.0.0.1";
    get_xml(45, address, "", worker_port.load(), buffer.get(), &length, 0, -1);
    worker_returned.store(1);
}

TEST(SlowStop, ClearingTheRunFlagDuringAReadEndsTheWorkerWithinASecond) {
    device device({"--silent"});
    ASSERT_TRUE(device.running());
    reset_module(45);
    worker_port = device.port();
    worker_returned = 0;
    qv_thread_handle t = qv_thread_create(&worker_entry);
    ASSERT_NE(t, nullptr);
    qv_sleep_ms(2500);  // connected, request sent, waiting for the answer
    const auto start = clock_type::now();
    xml_module[45].state.store(0);
    ASSERT_EQ(qv_thread_join(t), 0);
    EXPECT_LT(seconds_since(start), within(1, 0.6));
    EXPECT_EQ(worker_returned.load(), 0);
    EXPECT_NE(sockfd[45], -1);  // the socket stays until the module is closed
    xml_socket_close(45);
}

}  // namespace
