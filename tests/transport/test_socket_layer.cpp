// The socket layer: options, the readiness wait and its run flag, the resolver seam.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform/qv_thread.h"
#include "transport/qv_socket.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct socket_pair {
    int fd[2];
    socket_pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
    ~socket_pair() {
        close(fd[0]);
        close(fd[1]);
    }
};

int int_option(int fd, int level, int name) {
    int v = 0;
    socklen_t len = sizeof v;
    getsockopt(fd, level, name, &v, &len);
    return v;
}

TEST(SocketOptions, EachKindSetsItsOptionAndTheRestChangeNothing) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const int flags = fcntl(fd, F_GETFL);
    // Kinds 4 and 6..255 (and their images with higher bits) are no-ops.
    for (int kind : {4, 6, 7, 100, 255, 4 + 256}) {
        EXPECT_EQ(qv_socket_set(fd, kind), 0) << kind;
        EXPECT_EQ(fcntl(fd, F_GETFL), flags) << kind;
        EXPECT_EQ(int_option(fd, IPPROTO_TCP, TCP_NODELAY), 0) << kind;
        EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_REUSEADDR), 0) << kind;
    }
    // Only the low 8 bits count: 256 is kind 0.
    EXPECT_EQ(qv_socket_set(fd, 256), 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(qv_socket_set(fd, 1), 0);
    EXPECT_NE(int_option(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(qv_socket_set(fd, 2), 0);
    EXPECT_NE(int_option(fd, SOL_SOCKET, SO_REUSEADDR), 0);
    const int sndbuf = int_option(fd, SOL_SOCKET, SO_SNDBUF);
    EXPECT_EQ(qv_socket_set(fd, 3), 0);
    EXPECT_GE(int_option(fd, SOL_SOCKET, SO_SNDBUF), sndbuf);
    EXPECT_EQ(qv_socket_set(fd, 5), 0);
    linger l{};
    socklen_t len = sizeof l;
    getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &len);
    EXPECT_EQ(l.l_onoff, 1);
    EXPECT_EQ(l.l_linger, 0);
    close(fd);
    // A refused option is -1.
    EXPECT_EQ(qv_socket_set(fd, 0), -1);
    EXPECT_EQ(qv_socket_set(fd, 1), -1);
}

TEST(SocketService, InitSetsTheVersionFlagAndIsRepeatable) {
    EXPECT_EQ(qv_socket_init(), 0);
    EXPECT_EQ(qv_socket_init(), 0);
    EXPECT_EQ(qv_winxp_or_later, 1);
    EXPECT_EQ(qv_socket_uninit(), 0);
}

TEST(DescriptorSets, CopyOrNullAndMembership) {
    qv_fd_set a;
    qv_fd_zero(&a);
    EXPECT_EQ(qv_fd_add(&a, 5), 0);
    EXPECT_EQ(qv_fd_add(&a, 5), 0);  // already there
    EXPECT_EQ(a.count, 1);
    for (int fd = 100; a.count < QV_FD_SET_SIZE; ++fd) ASSERT_EQ(qv_fd_add(&a, fd), 0);
    EXPECT_EQ(qv_fd_add(&a, 1000), -1);
    EXPECT_TRUE(qv_fd_isset(&a, 5));
    EXPECT_FALSE(qv_fd_isset(&a, 6));

    qv_fd_set local;
    local.count = -7;
    EXPECT_EQ(qv_socket_fd_set_init(nullptr, &local), nullptr);
    EXPECT_EQ(local.count, -7);
    EXPECT_EQ(qv_socket_fd_set_init(&a, &local), &local);
    EXPECT_EQ(std::memcmp(&a, &local, sizeof a), 0);
}

TEST(ReadinessWait, ReadySocketsReplaceTheGivenSets) {
    socket_pair p;
    std::atomic<int> run{1};
    qv_fd_set r, w;
    qv_fd_zero(&r);
    qv_fd_zero(&w);
    qv_fd_add(&r, p.fd[0]);
    qv_fd_add(&w, p.fd[0]);
    // Nothing to read yet, but writable: the read set comes back empty.
    ASSERT_EQ(qv_socket_select(1, 64, &r, &w, nullptr, 3, &run), 0);
    EXPECT_EQ(r.count, 0);
    ASSERT_EQ(w.count, 1);
    EXPECT_EQ(w.fd[0], p.fd[0]);

    ASSERT_EQ(write(p.fd[1], "x", 1), 1);
    qv_fd_zero(&r);
    qv_fd_add(&r, p.fd[0]);
    const auto start = clock_type::now();
    ASSERT_EQ(qv_socket_select(1, 64, &r, nullptr, nullptr, 3, &run), 0);
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_TRUE(qv_fd_isset(&r, p.fd[0]));

    // The end of the stream counts as readable.
    close(p.fd[1]);
    p.fd[1] = socket(AF_INET, SOCK_STREAM, 0);  // keeps the destructor's close harmless
    char c;
    ASSERT_EQ(read(p.fd[0], &c, 1), 1);
    qv_fd_zero(&r);
    qv_fd_add(&r, p.fd[0]);
    EXPECT_EQ(qv_socket_select(1, 64, &r, nullptr, nullptr, 2, &run), 0);
}

TEST(ReadinessWait, NoAttemptsMeansNoWait) {
    socket_pair p;
    std::atomic<int> run{1};
    qv_fd_set r;
    qv_fd_zero(&r);
    qv_fd_add(&r, p.fd[0]);
    const auto start = clock_type::now();
    EXPECT_EQ(qv_socket_select(1, 64, &r, nullptr, nullptr, 0, &run), -1);
    EXPECT_EQ(qv_socket_select(1, 64, &r, nullptr, nullptr, -3, &run), -1);
    EXPECT_LT(seconds_since(start), 0.1);
}

// The waiting thread of the run-flag test and what it saw.
std::atomic<int> waiter_run{1};
std::atomic<int> waiter_returned{0};
int waiter_fd = -1;

void waiter_entry() {
    qv_fd_set r;
    qv_fd_zero(&r);
    qv_fd_add(&r, waiter_fd);
    qv_socket_select(7, 64, &r, nullptr, nullptr, 30, &waiter_run);
    waiter_returned.store(1);  // must never run: the wait ends the thread
}

TEST(ReadinessWait, ClearingTheRunFlagEndsTheWaitingThreadWithinASecond) {
    socket_pair p;
    waiter_fd = p.fd[0];
    waiter_run.store(1);
    qv_thread_handle t = qv_thread_create(&waiter_entry);
    ASSERT_NE(t, nullptr);
    qv_sleep_ms(300);
    const auto start = clock_type::now();
    waiter_run.store(0);
    ASSERT_EQ(qv_thread_join(t), 0);
    EXPECT_LT(seconds_since(start), 1.6);
    EXPECT_EQ(waiter_returned.load(), 0);
}

int fake_resolver(const char *name, in_addr *address) {
    if (std::strcmp(name, "device.test") != 0) return -1;
    return inet_pton(AF_INET, "127.0.0.42", address) == 1 ? 0 : -1;
}

TEST(Resolver, GoesThroughTheSeamAndLeavesTheTextOnFailure) {
    const qv_resolver before = qv_socket_set_resolver(&fake_resolver);
    char text[16] = "keep me";
    EXPECT_EQ(resolve_address(text, "device.test"), 0);
    EXPECT_STREQ(text, "127.0.0.42");
    std::strcpy(text, "keep me");
    EXPECT_EQ(resolve_address(text, "nowhere.test"), -1);
    EXPECT_STREQ(text, "keep me");
    // Null restores the default resolver; a numeric address needs no name service.
    EXPECT_EQ(qv_socket_set_resolver(nullptr), &fake_resolver);
    EXPECT_EQ(resolve_address(text, "127.0.0.9"), 0);
    EXPECT_STREQ(text, "127.0.0.9");
    qv_socket_set_resolver(before);
}

}  // namespace
