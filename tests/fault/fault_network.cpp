// Network calls whose system calls, resolver answers or allocation fail: the result,
// the out-parameters, and no descriptor or heap block left behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(int, socket, -1, (int domain, int type, int protocol), (domain, type, protocol))
FI_WRAP(DIR*, opendir, nullptr, (const char* name), (name))
FI_WRAP(ssize_t, read, -1, (int fd, void* buf, size_t n), (fd, buf, n))
FI_WRAP(const char*, inet_ntop, nullptr, (int af, const void* src, char* dst, socklen_t size),
        (af, src, dst, size))
FI_WRAP(int, getsockopt, -1, (int fd, int level, int name, void* value, socklen_t* len),
        (fd, level, name, value, len))

// ioctl is variadic; every request the library makes passes one pointer.
// FI_WRAP(int, ioctl
extern "C" int __real_ioctl(int fd, unsigned long request, ...);
fi::Point fi_ioctl;
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fi_ioctl.hit()) {
        errno = fi_ioctl.err;
        return -1;
    }
    return __real_ioctl(fd, request, arg);
}

// The armed call reports the descriptor as not open, as poll does after a close.
// FI_WRAP(int, ppoll
extern "C" int __real_ppoll(pollfd* fds, nfds_t n, const timespec* t, const sigset_t* mask);
fi::Point fi_ppoll;
extern "C" int __wrap_ppoll(pollfd* fds, nfds_t n, const timespec* t, const sigset_t* mask) {
    if (!fi_ppoll.hit()) return __real_ppoll(fds, n, t, mask);
    fds[0].revents = POLLNVAL;
    return 1;
}

// The armed call fails with the resolver code it was armed with or, armed with 0,
// answers with every socket type (three entries for a numeric host) in families that
// the library did not ask for.
// FI_WRAP(int, getaddrinfo
extern "C" int __real_getaddrinfo(const char* host, const char* service, const addrinfo* hints,
                                  addrinfo** res);
fi::Point fi_getaddrinfo;
extern "C" int __wrap_getaddrinfo(const char* host, const char* service, const addrinfo* hints,
                                  addrinfo** res) {
    if (!fi_getaddrinfo.hit()) return __real_getaddrinfo(host, service, hints, res);
    if (fi_getaddrinfo.err != 0) return fi_getaddrinfo.err;
    addrinfo any{};
    any.ai_family = AF_INET;
    const int rc = __real_getaddrinfo(host, service, &any, res);
    const int families[] = {AF_INET6, AF_UNSPEC, AF_UNIX};
    int i = 0;
    for (addrinfo* ai = rc == 0 ? *res : nullptr; ai != nullptr; ai = ai->ai_next)
        ai->ai_family = families[i++ % 3];
    return rc;
}

namespace {

// The first call of point fails with err: *pIP null, no descriptor left.
void local_ip_fails(fi::Point& point, int err, int32 result) {
    const int fds = zutest::open_fd_count();
    uint32* ips = reinterpret_cast<uint32*>(0x1);
    int32 n = 7;
    EXPECT_EQ(fi::failing(point, 1, err, [&] { return os_network_get_localip(&ips, &n); }), result);
    EXPECT_EQ(ips, nullptr);
    // After a failed allocation the length is the number of list entries.
    EXPECT_TRUE(result == OS_ERR_NO_MEMORY ? n >= 1 : n == 0) << n;
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

TEST(NetFault, LocalIpFailureGivesANullArrayAndLeavesNoDescriptor) {
    local_ip_fails(fi_malloc, ENOMEM, OS_ERR_NO_MEMORY);
    local_ip_fails(fi_socket, EMFILE, EMFILE);
    local_ip_fails(fi_ioctl, EINVAL, EINVAL);  // the interface-list request
}

TEST(NetFault, AnAddressThatCannotBeReadIsLeftOut) {
    uint32 *all = nullptr, *some = nullptr;
    int32 n_all = 0, n_some = 0;
    ASSERT_EQ(os_network_get_localip(&all, &n_all), OS_OK);
    // Call 1 is the list request; call 2 asks for the last entry's address.
    EXPECT_EQ(fi::failing(fi_ioctl, 2, EADDRNOTAVAIL,
                          [&] { return os_network_get_localip(&some, &n_some); }),
              OS_OK);
    ASSERT_EQ(n_some, n_all - 1);
    EXPECT_EQ(std::memcmp(some, all + 1, sizeof(uint32) * static_cast<size_t>(n_some)), 0);
    os_network_free_localip(all);
    os_network_free_localip(some);
}

TEST(NetFault, MacLookupReleasesTheDirectoryAndFilesOnEveryPath) {
    const int fds = zutest::open_fd_count();
    char mac[18] = "junk";
    EXPECT_EQ(
        fi::failing(fi_opendir, 1, EMFILE, [&] { return os_network_get_local_mac_addr(mac); }),
        OS_ERR_NET_NO_MAC);
    EXPECT_STREQ(mac, "");
    for (long nth = 1; nth <= 4; ++nth) {
        const int rc =
            fi::failing(fi_read, nth, EIO, [&] { return os_network_get_local_mac_addr(mac); });
        EXPECT_TRUE(rc == OS_OK || rc == OS_ERR_NET_NO_MAC) << rc;
        EXPECT_EQ(zutest::open_fd_count(), fds) << "read " << nth << " failed";
    }
}

// A failed resolution prints the resolver's code, a failed formatting returns errno,
// and answers of other families are named and skipped; the text stays untouched.
TEST(NetFault, ResolutionFailuresLeaveTheTextUntouched) {
    char name[] = "127.0.0.1", ip[16] = "unchanged";
    EXPECT_EQ(fi::failing(fi_inet_ntop, 1, ENOSPC, [&] { return os_network_int2ip(1, ip); }),
              ENOSPC);
    EXPECT_EQ(
        fi::failing(fi_inet_ntop, 1, ENOSPC, [&] { return os_network_get_host_by_name(name, ip); }),
        ENOSPC);
    const std::pair<int, const char*> resolver[] = {
        {EAI_NONAME, "getaddrinfo failed with error: -2\n"},
        {0, "AF_INET6 (IPv6)\ngetaddrinfo ai_family Unspecified\nOther ai_family [1]\n"}};
    for (const auto& [code, printed] : resolver) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(fi::failing(fi_getaddrinfo, 1, code,
                              [&] { return os_network_get_host_by_name(name, ip); }),
                  OS_ERR_NET_RESOLVE);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printed);
    }
    EXPECT_STREQ(ip, "unchanged");
}

// A descriptor that poll finds closed is EBADF, as select reports it, with the time
// left written back; a failing SO_ERROR query is its errno.
TEST(NetFault, ConnectWithATimeOutReportsAFailedWaitOrQuery) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                ::listen(listener, 4) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    for (auto [point, rc] :
         {std::pair<fi::Point*, int>{&fi_ppoll, EBADF}, {&fi_getsockopt, ENOBUFS}}) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        timeval tv{5, 0};
        EXPECT_EQ(fi::failing(*point, 1, ENOBUFS,
                              [&] {
                                  return os_network_connect_timeout(
                                      s, reinterpret_cast<sockaddr*>(&addr), len, &tv);
                              }),
                  rc);
        EXPECT_GT(tv.tv_sec, 3) << "the time left";
        ::close(s);
    }
    ::close(listener);
}

}  // namespace
