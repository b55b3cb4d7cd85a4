// Network on loopback: IPv4 text and integers, resolution of numeric text and
// localhost, socket calls with their result codes, time-outs and partial sends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "os/os.h"

namespace {

// ---------------------------------------------------------------- conversion

TEST(NetAddress, DottedTextIntegerFormServerIdentifierAndBadText) {
    // The first dotted field is the most significant byte.
    const std::pair<const char*, uint32> cases[] = {
        {"192.168.1.2", 0xC0A80102u}, {"0.0.0.0", 0u}, {"255.255.255.255", 0xFFFFFFFFu}};
    for (const auto& [text, value] : cases) {
        uint32 v = 0x12345678;
        EXPECT_EQ(os_network_ip2int(text, &v), OS_OK) << text;
        EXPECT_EQ(v, value) << text;
    }
    // A stride prime to 2^32 walks values with every byte pattern; the fuzzer
    // covers the rest.
    for (uint64 i = 0; i < (1ull << 32); i += 65521ull) {
        const uint32 v = static_cast<uint32>(i * 2654435761u);
        char buf[16];
        uint32 back = ~v;
        ASSERT_EQ(os_network_int2ip(v, buf), OS_OK);
        ASSERT_EQ(os_network_ip2int(buf, &back), OS_OK) << buf;
        ASSERT_EQ(back, v);
    }
    EXPECT_EQ(os_network_generate_srvid(0xC0A80102u, 8080), 0xC0A801021F90ull);
    EXPECT_EQ(os_network_generate_srvid(0xFFFFFFFFu, 0xFFFF), 0xFFFFFFFFFFFFull);
    // Anything but strict dotted decimal is refused, the output left alone.
    for (const char* text : {"256.1.1.1", "1.2.3", "1.2.3.4 ", " 1.2.3.4", "localhost", "",
                             "1.2.3.4.5", "1..2.3", "0x7f.0.0.1", "-1.2.3.4", "1.2.3.04a",
                             "\xff.1.1.1", "01.2.3.4", "1.2.3.00", "1.2.3.4."}) {
        uint32 v = 0xDEADBEEF;
        EXPECT_EQ(os_network_ip2int(text, &v), OS_ERR_NET_BAD_IP) << '"' << text << '"';
        EXPECT_EQ(v, 0xDEADBEEFu);
    }
}

TEST(NetResolve, NumericTextAndLocalhostGiveDottedText) {
    for (const char* name : {"10.1.2.3", "localhost"}) {
        char ip[16] = "unchanged";
        testing::internal::CaptureStdout();
        EXPECT_EQ(os_network_get_host_by_name(const_cast<char*>(name), ip), OS_OK) << name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        uint32 v = 0;
        EXPECT_EQ(os_network_ip2int(ip, &v), OS_OK) << ip;
        EXPECT_TRUE(name[0] == 'l' ? v >> 24 == 127 : std::strcmp(ip, name) == 0) << ip;
    }
}

// ---------------------------------------------------------------- sockets

int tcp_socket(bool nonblocking = false) {
    int s = -1;
    EXPECT_EQ(os_network_socket(AF_INET, SOCK_STREAM, 0, &s), OS_OK);
    EXPECT_EQ(nonblocking ? os_network_setsock_blocking(s, 0) : OS_OK, OS_OK);
    return s;
}

// A listening TCP socket on 127.0.0.1 with a kernel-chosen port; with connect,
// also a connected client and its accepted server end.
struct Loopback {
    explicit Loopback(bool connect = false, int backlog = 16) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_TRUE(::bind(fd, sa(), len) == 0 && ::listen(fd, backlog) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            << std::strerror(errno);
        if (!connect) return;
        client = tcp_socket();
        EXPECT_EQ(os_network_connect(client, sa(), sizeof addr), OS_OK);
        server = ::accept(fd, nullptr, nullptr);
    }
    ~Loopback() {
        for (int f : {fd, client, server}) ::close(f);
    }
    const sockaddr* sa() const { return reinterpret_cast<const sockaddr*>(&addr); }
    int fd = -1, client = -1, server = -1;
    sockaddr_in addr{};
};

TEST(NetSocket, BlockingSwitchKeepsOtherStatusFlagsAndTakesAnyNonZeroByte) {
    int s = tcp_socket();
    ASSERT_EQ(::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_APPEND), 0);
    const int before = ::fcntl(s, F_GETFL);
    // How a C caller's bool byte arrives: any value, not only 0 and 1.
    using ByteFn = int32 (*)(int, signed char);
    auto set = reinterpret_cast<ByteFn>(reinterpret_cast<void (*)()>(&os_network_setsock_blocking));
    for (int on : {1, 2, -1, -128}) {
        ASSERT_EQ(set(s, 0), OS_OK);
        EXPECT_EQ(::fcntl(s, F_GETFL), before | O_NONBLOCK);
        ASSERT_EQ(set(s, static_cast<signed char>(on)), OS_OK);
        EXPECT_EQ(::fcntl(s, F_GETFL), before) << "byte " << on;
    }
    EXPECT_EQ(os_network_closesocket(s), OS_OK);
    EXPECT_EQ(os_network_closesocket(s), EBADF) << "closing twice";
}

TEST(NetSocket, FailuresComeBackAsErrnoWithOutputsUntouched) {
    Loopback p(true);
    EXPECT_EQ(os_network_shutdown(p.client, 3), EINVAL);
    EXPECT_EQ(os_network_shutdown(p.client, -1), EINVAL);
    int s = 4321;
    EXPECT_EQ(os_network_socket(-7, SOCK_STREAM, 0, &s), EAFNOSUPPORT);
    EXPECT_EQ(s, 4321);
    uint32 ip = 0xFFFFFFFF;
    EXPECT_EQ(os_network_get_socket_ip(p.fd, &ip), ENOTCONN);
    EXPECT_EQ(ip, 0u) << "the peer address is zeroed first";
    EXPECT_EQ(os_network_get_socket_ip(p.client, &ip), OS_OK);
    EXPECT_EQ(ip, 0x7F000001u);
    EXPECT_EQ(os_network_get_local_mac_addr(nullptr), OS_ERR_NET_NULL_ARG);
    os_network_free_localip(nullptr);
    EXPECT_EQ(os_network_startup(), OS_OK);
    EXPECT_EQ(os_network_clean(), OS_OK);
}

TEST(NetConnect, RefusedPortGivesEconnrefusedInEveryMode) {
    sockaddr_in dead = Loopback().addr;  // bound, then closed: nobody listens
    const auto* sa = reinterpret_cast<const sockaddr*>(&dead);
    int s = tcp_socket();
    EXPECT_EQ(os_network_connect(s, sa, sizeof dead), ECONNREFUSED);
    os_network_closesocket(s);
    for (bool nonblocking : {true, false}) {
        s = tcp_socket(nonblocking);
        timeval tv{2, 0};
        EXPECT_EQ(os_network_connect_timeout(s, sa, sizeof dead, &tv), ECONNREFUSED);
        EXPECT_EQ(::fcntl(s, F_GETFL) & O_NONBLOCK, nonblocking ? O_NONBLOCK : 0) << "left alone";
        os_network_closesocket(s);
    }
}

// The remainder is checked in microseconds both in whole seconds and below one.
TEST(NetConnect, CompletesAndWritesBackTheUnsleptRemainder) {
    Loopback l;
    for (bool nonblocking : {true, false}) {
        for (const long usec : {5000000L, 900000L}) {
            int s = tcp_socket(nonblocking);
            timeval tv{usec / 1000000, usec % 1000000};
            EXPECT_EQ(os_network_connect_timeout(s, l.sa(), sizeof l.addr, &tv), OS_OK);
            ASSERT_THAT(tv.tv_usec, testing::AllOf(testing::Ge(0), testing::Lt(1000000)));
            EXPECT_THAT(tv.tv_sec * 1000000L + tv.tv_usec,
                        testing::AllOf(testing::Gt(usec / 2), testing::Le(usec)))
                << usec;
            EXPECT_EQ(::fcntl(s, F_GETFL) & O_NONBLOCK, nonblocking ? O_NONBLOCK : 0);
            os_network_closesocket(s);
        }
    }
    int s = tcp_socket(true);
    EXPECT_EQ(os_network_connect_timeout(s, l.sa(), sizeof l.addr, nullptr), OS_OK) << "no limit";
    os_network_closesocket(s);
    // Negative time-outs, refused as select refuses them, and ones longer than 64-bit
    // nanoseconds can count, which wait that longest time (here: until connected).
    const struct {
        timeval tv;
        int rc;
    } limits[] = {{{0, -1}, EINVAL},
                  {{-1, 0}, EINVAL},
                  {{LONG_MAX, LONG_MAX}, OS_OK},
                  {{LONG_MAX, 0}, OS_OK},
                  {{0, LONG_MAX}, OS_OK}};
    for (auto c : limits) {
        s = tcp_socket(true);
        const timeval given = c.tv;
        EXPECT_EQ(os_network_connect_timeout(s, l.sa(), sizeof l.addr, &c.tv), c.rc)
            << given.tv_sec << " s " << given.tv_usec << " us";
        EXPECT_TRUE(c.rc == OS_OK || (c.tv.tv_sec == given.tv_sec && c.tv.tv_usec == given.tv_usec))
            << "a refused time-out is left alone";
        os_network_closesocket(s);
    }
}

TEST(NetConnect, PendingAttemptTimesOutAndStaysOpen) {
    // A full accept queue makes the kernel drop further SYNs, so an attempt stays
    // in progress for a second or more.
    Loopback l(false, 0);
    std::vector<int> socks;
    int pending = -1;
    for (int i = 0; i < 16 && pending < 0; ++i) {
        socks.push_back(tcp_socket(true));
        timeval zero{0, 0};
        int32 r = os_network_connect_timeout(socks.back(), l.sa(), sizeof l.addr, &zero);
        ASSERT_THAT(r, testing::AnyOf(OS_OK, OS_ERR_NET_CONNECT_TIMEOUT));
        if (r == OS_ERR_NET_CONNECT_TIMEOUT) pending = socks.back();
    }
    ASSERT_GE(pending, 0) << "no attempt stayed in progress";
    EXPECT_NE(::fcntl(pending, F_GETFD), -1) << "socket stays open";

    // A time-out below a second waits it out, no less and not seconds more.
    socks.push_back(tcp_socket(true));
    timeval tv{0, 300000};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(os_network_connect_timeout(socks.back(), l.sa(), sizeof l.addr, &tv),
              OS_ERR_NET_CONNECT_TIMEOUT);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(tv.tv_sec | tv.tv_usec, 0) << "nothing left of an expired time-out";
    timeval negative{-1, 0};
    EXPECT_EQ(os_network_connect_timeout(socks.back(), l.sa(), sizeof l.addr, &negative), EALREADY);
    for (int fd : socks) os_network_closesocket(fd);
}

// Select gives the number of ready descriptors, recv and send their byte counts (0 for
// the peer's close); a failure gives errno and leaves the count alone.
TEST(NetTransfer, CallsGiveTheirCountOrErrno) {
    Loopback p(true);
    const auto select = [&p](timeval tv, int32* n) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(p.client, &rd);
        return os_network_select(p.client + 1, &rd, nullptr, nullptr, n, &tv);
    };
    int32 n = -5;
    EXPECT_EQ(select({0, 20000}, &n), OS_OK);
    EXPECT_EQ(n, 0) << "an expired time-out is OS_OK with nothing ready";
    n = -5;
    EXPECT_EQ(select({-1, 0}, &n), EINVAL);
    EXPECT_EQ(n, -5) << "left alone on failure";
    EXPECT_EQ(os_network_send(p.server, "hello", 5, 0, &n), OS_OK);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(select({1, 0}, &n), OS_OK);
    EXPECT_EQ(n, 1);
    ::close(p.server);
    p.server = -1;
    char buf[16] = {};
    EXPECT_EQ(os_network_recv(p.client, buf, sizeof buf, MSG_WAITALL, &n), OS_OK);
    EXPECT_EQ(n, 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(os_network_recv(p.client, buf, sizeof buf, 0, &n), OS_OK);
    EXPECT_EQ(n, 0);

    n = 77;
    EXPECT_EQ(os_network_recv(p.fd, buf, sizeof buf, 0, &n), ENOTCONN) << "a listening socket";
    EXPECT_EQ(os_network_recv(p.client, buf, -1, 0, &n), EINVAL);
    EXPECT_EQ(os_network_send(p.client, buf, -1, 0, &n), EINVAL);
    ASSERT_EQ(os_network_shutdown(p.client, SHUT_WR), OS_OK);
    EXPECT_EQ(os_network_send(p.client, "x", 1, MSG_NOSIGNAL, &n), EPIPE);
    EXPECT_EQ(os_network_send(-1, "x", 1, 0, &n), EBADF) << "negative descriptor, no wait";
    EXPECT_EQ(n, 77);
}

TEST(NetTransfer, SendOnAFullNonBlockingSocketIsPartialAndNotRepeated) {
    Loopback p(true);
    int small = 4096;
    ::setsockopt(p.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(p.server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(os_network_setsock_blocking(p.client, 0), OS_OK);
    std::vector<char> big(8 << 20, 'a');
    int32 n = -1;
    ASSERT_EQ(os_network_send(p.client, big.data(), static_cast<int32>(big.size()), 0, &n), OS_OK);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int32>(big.size()));
}

TEST(NetTransfer, DescriptorsAbove1024WaitWithoutOverflowingASet) {
    rlimit rl{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max < 2100) GTEST_SKIP() << "hard RLIMIT_NOFILE below 2100";
    const rlimit raised{std::max<rlim_t>(rl.rlim_cur, 2100), rl.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    Loopback l;
    const int high = 2000;
    int s = tcp_socket(true);
    ASSERT_EQ(::dup2(s, high), high);
    ::close(s);
    timeval tv{2, 0};
    EXPECT_EQ(os_network_connect_timeout(high, l.sa(), sizeof l.addr, &tv), OS_OK);
    int32 n = 0;
    EXPECT_EQ(os_network_send(high, "ping", 4, 0, &n), OS_OK);
    EXPECT_EQ(n, 4);
    os_network_closesocket(high);
    ::setrlimit(RLIMIT_NOFILE, &rl);
}

}  // namespace
