// Interface discovery when its system calls or its allocation fail: the result,
// the out-parameters, and no descriptor or heap block left behind.
#include <gtest/gtest.h>
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

namespace {

// The first call of point fails with err: *pIP null, no descriptor left.
void local_ip_fails(fi::Point& point, int err, int32 result) {
    const int fds = zutest::open_fd_count();
    uint32* ips = reinterpret_cast<uint32*>(0x1);
    int32 n = 7;
    {
        fi::Armed a(point, 1, err);
        EXPECT_EQ(os_network_get_localip(&ips, &n), result);
    }
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
    {
        // Call 1 is the list request; call 2 asks for the last entry's address.
        fi::Armed a(fi_ioctl, 2, EADDRNOTAVAIL);
        EXPECT_EQ(os_network_get_localip(&some, &n_some), OS_OK);
    }
    ASSERT_EQ(n_some, n_all - 1);
    EXPECT_EQ(std::memcmp(some, all + 1, sizeof(uint32) * static_cast<size_t>(n_some)), 0);
    os_network_free_localip(all);
    os_network_free_localip(some);
}

TEST(NetFault, MacLookupReleasesTheDirectoryAndFilesOnEveryPath) {
    const int fds = zutest::open_fd_count();
    char mac[18] = "junk";
    {
        fi::Armed a(fi_opendir, 1, EMFILE);
        EXPECT_EQ(os_network_get_local_mac_addr(mac), OS_ERR_NET_NO_MAC);
        EXPECT_STREQ(mac, "");
    }
    for (long nth = 1; nth <= 4; ++nth) {
        fi::Armed a(fi_read, nth, EIO);
        const int rc = os_network_get_local_mac_addr(mac);
        EXPECT_TRUE(rc == OS_OK || rc == OS_ERR_NET_NO_MAC) << rc;
        EXPECT_EQ(zutest::open_fd_count(), fds) << "read " << nth << " failed";
    }
}

}  // namespace
