// Network on loopback: IPv4 text and integers, resolution of numeric text and
// localhost, socket calls with their result codes, time-outs and partial sends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

// ---------------------------------------------------------------- conversion

TEST(NetAddress, DottedTextAndIntegerFormAgree) {
    struct Case {
        const char* text;
        uint32 value;
    };
    const Case cases[] = {
        {"192.168.1.2", 0xC0A80102u},     {"127.0.0.1", 0x7F000001u}, {"0.0.0.0", 0u},
        {"255.255.255.255", 0xFFFFFFFFu}, {"10.0.0.1", 0x0A000001u},
    };
    for (const Case& c : cases) {
        uint32 v = 0x12345678;
        EXPECT_EQ(os_network_ip2int(c.text, &v), OS_OK) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        char buf[16];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(os_network_int2ip(c.value, buf), OS_OK);
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(NetAddress, AnythingButStrictDottedDecimalIsBadIpAndLeavesOutputAlone) {
    const char* bad[] = {"256.1.1.1",  "1.2.3",    "1.2.3.4 ",  " 1.2.3.4",
                         "localhost",  "",         "1.2.3.4.5", "1..2.3",
                         "0x7f.0.0.1", "-1.2.3.4", "1.2.3.4\n", "1.2.3.04a",
                         "\xff.1.1.1", "01.2.3.4", "1.2.3.00",  "1.2.3.4."};
    for (const char* text : bad) {
        uint32 v = 0xDEADBEEF;
        EXPECT_EQ(os_network_ip2int(text, &v), OS_ERR_NET_BAD_IP) << '"' << text << '"';
        EXPECT_EQ(v, 0xDEADBEEFu);
    }
}

TEST(NetAddress, IntegerRoundTripsThroughText) {
    // A stride prime to 2^32 walks values with every byte pattern; the fuzzer
    // covers the rest.
    for (uint64 i = 0; i < (1ull << 32); i += 65521ull) {
        const uint32 v = static_cast<uint32>(i * 2654435761u);
        char buf[16];
        ASSERT_EQ(os_network_int2ip(v, buf), OS_OK);
        uint32 back = ~v;
        ASSERT_EQ(os_network_ip2int(buf, &back), OS_OK) << buf;
        ASSERT_EQ(back, v);
    }
}

TEST(NetAddress, ServerIdentifierPacksAddressAboveThePort) {
    EXPECT_EQ(os_network_generate_srvid(0xC0A80102u, 8080), 0xC0A801021F90ull);
    EXPECT_EQ(os_network_generate_srvid(0xFFFFFFFFu, 0xFFFF), 0xFFFFFFFFFFFFull);
    EXPECT_EQ(os_network_generate_srvid(0, 0), 0ull);
    EXPECT_EQ(os_network_generate_srvid(0x80000000u, 1), 0x800000000001ull);
}

TEST(NetResolve, NumericTextAndLocalhostGiveDottedText) {
    for (const char* name : {"127.0.0.1", "10.1.2.3", "localhost"}) {
        char ip[16] = "unchanged";
        testing::internal::CaptureStdout();
        EXPECT_EQ(os_network_get_host_by_name(const_cast<char*>(name), ip), OS_OK) << name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        uint32 v = 0;
        EXPECT_EQ(os_network_ip2int(ip, &v), OS_OK) << ip;
        if (std::strcmp(name, "localhost") == 0) {
            EXPECT_EQ(v >> 24, 127u) << ip;
        } else {
            EXPECT_STREQ(ip, name);
        }
    }
}

// ---------------------------------------------------------------- sockets

// A listening TCP socket on 127.0.0.1 with a kernel-chosen port.
struct Listener {
    explicit Listener(int backlog = 16) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd, sa(), sizeof addr) != 0 || ::listen(fd, backlog) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ADD_FAILURE() << "listener: " << std::strerror(errno);
        }
    }
    ~Listener() { ::close(fd); }
    const sockaddr* sa() const { return reinterpret_cast<const sockaddr*>(&addr); }
    int fd = -1;
    sockaddr_in addr{};
};

// A loopback port where nobody listens: bound, then closed.
sockaddr_in closed_port() {
    Listener l;
    sockaddr_in a = l.addr;
    return a;
}

int tcp_socket(bool nonblocking) {
    int s = -1;
    EXPECT_EQ(os_network_socket(AF_INET, SOCK_STREAM, 0, &s), OS_OK);
    if (nonblocking) {
        EXPECT_EQ(os_network_setsock_blocking(s, 0), OS_OK);
    }
    return s;
}

// A connected pair over loopback: client and accepted server end.
struct Pair {
    Pair() {
        client = tcp_socket(false);
        EXPECT_EQ(os_network_connect(client, l.sa(), sizeof l.addr), OS_OK);
        server = ::accept(l.fd, nullptr, nullptr);
    }
    ~Pair() {
        ::close(client);
        if (server >= 0) ::close(server);
    }
    Listener l;
    int client = -1, server = -1;
};

bool is_nonblocking(int fd) {
    return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

TEST(NetSocket, BlockingSwitchKeepsOtherStatusFlagsAndTakesAnyNonZeroByte) {
    int s = tcp_socket(false);
    ASSERT_EQ(::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_APPEND), 0);
    const int before = ::fcntl(s, F_GETFL);

    // How a C caller's bool byte arrives: any value, not only 0 and 1.
    using ByteFn = int32 (*)(int, signed char);
    auto set = reinterpret_cast<ByteFn>(reinterpret_cast<void (*)()>(&os_network_setsock_blocking));
    for (signed char on : {static_cast<signed char>(1), static_cast<signed char>(2),
                           static_cast<signed char>(-1), static_cast<signed char>(0x80)}) {
        ASSERT_EQ(set(s, 0), OS_OK);
        EXPECT_TRUE(is_nonblocking(s));
        EXPECT_EQ(::fcntl(s, F_GETFL), before | O_NONBLOCK);
        ASSERT_EQ(set(s, on), OS_OK);
        EXPECT_FALSE(is_nonblocking(s)) << "byte " << int(on);
        EXPECT_EQ(::fcntl(s, F_GETFL), before);
    }
    os_network_closesocket(s);
    EXPECT_EQ(os_network_setsock_blocking(s, 1), EBADF);
}

TEST(NetSocket, FailuresComeBackAsErrno) {
    Pair p;
    EXPECT_EQ(os_network_shutdown(p.client, 3), EINVAL);
    EXPECT_EQ(os_network_shutdown(p.client, -1), EINVAL);
    EXPECT_EQ(os_network_shutdown(p.client, SHUT_WR), OS_OK);
    EXPECT_EQ(os_network_shutdown(p.client, SHUT_RDWR), OS_OK);

    int s = 4321;
    EXPECT_EQ(os_network_socket(-7, SOCK_STREAM, 0, &s), EAFNOSUPPORT);
    EXPECT_EQ(s, 4321) << "output untouched on failure";
    s = tcp_socket(false);
    EXPECT_EQ(os_network_shutdown(s, SHUT_RD), ENOTCONN);
    EXPECT_EQ(os_network_closesocket(s), OS_OK);
    EXPECT_EQ(os_network_closesocket(s), EBADF);
}

TEST(NetConnect, PlainConnectConnectsOrReportsRefusal) {
    const sockaddr_in dead = closed_port();
    int s = tcp_socket(false);
    EXPECT_EQ(os_network_connect(s, reinterpret_cast<const sockaddr*>(&dead), sizeof dead),
              ECONNREFUSED);
    os_network_closesocket(s);

    Pair p;
    uint32 peer = 0;
    EXPECT_EQ(os_network_get_socket_ip(p.client, &peer), OS_OK);
    EXPECT_EQ(peer, 0x7F000001u);
}

TEST(NetConnect, RefusedPortGivesEconnrefusedInEitherMode) {
    const sockaddr_in dead = closed_port();
    for (bool nonblocking : {true, false}) {
        int s = tcp_socket(nonblocking);
        timeval tv{2, 0};
        EXPECT_EQ(os_network_connect_timeout(s, reinterpret_cast<const sockaddr*>(&dead),
                                             sizeof dead, &tv),
                  ECONNREFUSED);
        EXPECT_EQ(is_nonblocking(s), nonblocking) << "blocking mode left alone";
        os_network_closesocket(s);
    }
}

TEST(NetConnect, CompletesAndWritesBackTheUnsleptRemainder) {
    Listener l;
    for (bool nonblocking : {true, false}) {
        int s = tcp_socket(nonblocking);
        timeval tv{5, 0};
        EXPECT_EQ(os_network_connect_timeout(s, l.sa(), sizeof l.addr, &tv), OS_OK);
        ASSERT_GE(tv.tv_usec, 0);
        ASSERT_LT(tv.tv_usec, 1000000);
        const long left_us = tv.tv_sec * 1000000L + tv.tv_usec;
        EXPECT_GT(left_us, 3000000L) << "most of the 5 s are left";
        EXPECT_LE(left_us, 5000000L);
        EXPECT_EQ(is_nonblocking(s), nonblocking);
        os_network_closesocket(s);
    }
    int s = tcp_socket(true);
    EXPECT_EQ(os_network_connect_timeout(s, l.sa(), sizeof l.addr, nullptr), OS_OK) << "no limit";
    os_network_closesocket(s);
    s = tcp_socket(true);
    timeval bad{0, -1};
    EXPECT_EQ(os_network_connect_timeout(s, l.sa(), sizeof l.addr, &bad), EINVAL)
        << "a time-out select would refuse";
    os_network_closesocket(s);
    EXPECT_EQ(os_network_startup(), OS_OK);
    EXPECT_EQ(os_network_clean(), OS_OK);
}

TEST(NetConnect, PendingAttemptTimesOutAndStaysOpen) {
    // A full accept queue makes the kernel drop further SYNs, so an attempt stays
    // in progress for a second or more.
    Listener l(0);
    std::vector<int> socks;
    int pending = -1;
    for (int i = 0; i < 16 && pending < 0; ++i) {
        int s = tcp_socket(true);
        socks.push_back(s);
        timeval zero{0, 0};
        int32 r = os_network_connect_timeout(s, l.sa(), sizeof l.addr, &zero);
        if (r == OS_ERR_NET_CONNECT_TIMEOUT)
            pending = s;
        else
            ASSERT_EQ(r, OS_OK);
    }
    ASSERT_GE(pending, 0) << "no attempt stayed in progress";
    EXPECT_NE(::fcntl(pending, F_GETFD), -1) << "socket stays open";

    int s = tcp_socket(true);
    socks.push_back(s);
    timeval tv{0, 50000};
    EXPECT_EQ(os_network_connect_timeout(s, l.sa(), sizeof l.addr, &tv),
              OS_ERR_NET_CONNECT_TIMEOUT);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0) << "nothing left of an expired time-out";

    timeval negative{-1, 0};
    EXPECT_EQ(os_network_connect_timeout(s, l.sa(), sizeof l.addr, &negative), EALREADY);
    for (int fd : socks) os_network_closesocket(fd);
}

TEST(NetSelect, ExpiredTimeOutIsOkWithZeroReady) {
    Pair p;
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(p.client, &rd);
    timeval tv{0, 20000};
    int32 n = -5;
    EXPECT_EQ(os_network_select(p.client + 1, &rd, nullptr, nullptr, &n, &tv), OS_OK);
    EXPECT_EQ(n, 0);

    ASSERT_EQ(::send(p.server, "x", 1, 0), 1);
    FD_SET(p.client, &rd);
    tv = {1, 0};
    EXPECT_EQ(os_network_select(p.client + 1, &rd, nullptr, nullptr, &n, &tv), OS_OK);
    EXPECT_EQ(n, 1);

    n = -5;
    tv = {-1, 0};
    EXPECT_EQ(os_network_select(p.client + 1, &rd, nullptr, nullptr, &n, &tv), EINVAL);
    EXPECT_EQ(n, -5);
}

TEST(NetTransfer, RecvGivesDataThenZeroAfterPeerClosed) {
    Pair p;
    int32 n = -1;
    EXPECT_EQ(os_network_send(p.server, "hello", 5, 0, &n), OS_OK);
    EXPECT_EQ(n, 5);
    ::close(p.server);
    p.server = -1;
    char buf[16] = {};
    EXPECT_EQ(os_network_recv(p.client, buf, sizeof buf, MSG_WAITALL, &n), OS_OK);
    EXPECT_EQ(n, 5);
    EXPECT_STREQ(buf, "hello");
    n = -1;
    EXPECT_EQ(os_network_recv(p.client, buf, sizeof buf, 0, &n), OS_OK);
    EXPECT_EQ(n, 0);

    n = 77;
    EXPECT_EQ(os_network_recv(p.client, buf, -1, 0, &n), EINVAL);
    EXPECT_EQ(os_network_send(p.client, buf, -1, 0, &n), EINVAL);
    EXPECT_EQ(n, 77);
}

TEST(NetTransfer, SendOnAFullNonBlockingSocketIsPartialAndNotRepeated) {
    Pair p;
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

TEST(NetTransfer, SendMapsErrnoAndLeavesCountAlone) {
    Pair p;
    ::close(p.server);
    p.server = -1;
    ASSERT_EQ(os_network_shutdown(p.client, SHUT_WR), OS_OK);
    int32 n = 77;
    EXPECT_EQ(os_network_send(p.client, "x", 1, MSG_NOSIGNAL, &n), EPIPE);
    EXPECT_EQ(os_network_send(-1, "x", 1, 0, &n), EBADF) << "negative descriptor, no wait";
    int s = tcp_socket(false);
    os_network_closesocket(s);
    EXPECT_EQ(os_network_send(s, "x", 1, 0, &n), EBADF) << "closed descriptor";
    EXPECT_EQ(n, 77);
}

TEST(NetTransfer, DescriptorsAbove1024WaitWithoutOverflowingASet) {
    rlimit rl{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max < 2100) GTEST_SKIP() << "hard RLIMIT_NOFILE below 2100";
    if (rl.rlim_cur < 2100) {
        rlimit raised{2100, rl.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    Listener l;
    int s = tcp_socket(true);
    const int high = 2000;
    ASSERT_EQ(::dup2(s, high), high);
    ::close(s);
    timeval tv{2, 0};
    EXPECT_EQ(os_network_connect_timeout(high, l.sa(), sizeof l.addr, &tv), OS_OK);
    int32 n = 0;
    EXPECT_EQ(os_network_send(high, "ping", 4, 0, &n), OS_OK);
    EXPECT_EQ(n, 4);
    int server = ::accept(l.fd, nullptr, nullptr);
    char buf[4];
    EXPECT_EQ(::recv(server, buf, 4, MSG_WAITALL), 4);
    ::close(server);
    os_network_closesocket(high);
    ::setrlimit(RLIMIT_NOFILE, &rl);
}

// ---------------------------------------------------------------- discovery

TEST(NetDiscovery, PeerAddressNeedsAConnectedSocket) {
    Listener l;
    uint32 ip = 0xFFFFFFFF;
    EXPECT_EQ(os_network_get_socket_ip(l.fd, &ip), ENOTCONN);
    EXPECT_EQ(ip, 0u);
    ip = 0xFFFFFFFF;
    EXPECT_EQ(os_network_get_socket_ip(-1, &ip), EBADF);
    EXPECT_EQ(ip, 0u);
}

TEST(NetDiscovery, MacLookupRejectsNullAndLeavesNoDescriptor) {
    EXPECT_EQ(os_network_get_local_mac_addr(nullptr), OS_ERR_NET_NULL_ARG);
    const int fds = zutest::open_fd_count();
    char mac[18] = "junk";
    const int r = os_network_get_local_mac_addr(mac);
    EXPECT_THAT(r, testing::AnyOf(OS_OK, OS_ERR_NET_NO_MAC));
    if (r == OS_OK) {
        EXPECT_THAT(mac, testing::MatchesRegex("([0-9A-F]{2}-){5}[0-9A-F]{2}"));
    }
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

TEST(NetDiscovery, HostAddressesIncludeLoopbackAndFreeTakesNull) {
    const int fds = zutest::open_fd_count();
    uint32* ips = nullptr;
    int32 n = -1;
    ASSERT_EQ(os_network_get_localip(&ips, &n), OS_OK);
    ASSERT_NE(ips, nullptr);
    EXPECT_GE(n, 1);
    EXPECT_LE(n, 16);
    EXPECT_THAT(std::vector<uint32>(ips, ips + n), testing::Contains(0x7F000001u));
    os_network_free_localip(ips);
    os_network_free_localip(nullptr);
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

}  // namespace
