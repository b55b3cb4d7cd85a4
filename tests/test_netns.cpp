// Interface discovery inside network and mount namespaces that each test makes in
// a forked child: sysfs remounted, lo up, veth pairs and bridges made with `ip`.
// The child prints its failures on stderr and reports through its exit status;
// nothing it creates survives it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

int failures = 0;  // in the child

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "in the namespace: %s\n", what.c_str());
        ++failures;
    }
}

// Runs `ip ARGS` (iproute2, a test dependency); true when it succeeded.
bool ip(const std::string& args) {
    return std::system(("PATH=/usr/sbin:/sbin:/usr/bin:/bin ip " + args).c_str()) == 0;
}

constexpr int kSkip = 77;

// Runs body in a forked child inside fresh network and mount namespaces.
int in_netns(const std::function<void()>& body) {
    std::fflush(stdout);
    return zutest::run_in_child([&] {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            const int err = errno;
            std::perror("unshare(CLONE_NEWNET | CLONE_NEWNS)");
            return err == EPERM ? kSkip : 1;
        }
        if (::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
            std::perror("private mounts or the sysfs remount");
            return kSkip;
        }
        check(ip("link set lo up"), "ip link set lo up");
        body();
        return failures == 0 ? 0 : 1;
    });
}

#define RUN_IN_NETNS(...)                                                      \
    do {                                                                       \
        const int rc_ = in_netns(__VA_ARGS__);                                 \
        if (rc_ == kSkip)                                                      \
            GTEST_SKIP() << "cannot make network and mount namespaces (needs " \
                            "root; the reason is on stderr)";                  \
        EXPECT_EQ(rc_, 0) << "the child's failures are on stderr";             \
    } while (0)

// One MAC lookup, with the descriptor count checked around it.
int mac_lookup(std::string& mac) {
    char buf[18] = "junk";
    const int fds = zutest::open_fd_count();
    const int rc = os_network_get_local_mac_addr(buf);
    check(zutest::open_fd_count() == fds, "descriptors left by the MAC lookup");
    mac = buf;
    return rc;
}

// os_network_get_localip, with the descriptor count checked around it.
std::vector<uint32> local_ips() {
    uint32* ips = nullptr;
    int32 n = -1;
    const int fds = zutest::open_fd_count();
    check(os_network_get_localip(&ips, &n) == OS_OK && ips != nullptr, "get_localip, an array");
    check(zutest::open_fd_count() == fds, "descriptors left by get_localip");
    std::vector<uint32> out(ips, ips + (ips != nullptr ? n : 0));
    os_network_free_localip(ips);
    return out;
}

// The kernel's own SIOCGIFCONF list, reversed.
std::vector<uint32> kernel_list_reversed() {
    std::vector<uint32> out;
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq reqs[16] = {};
    ifconf ifc{.ifc_len = sizeof reqs, .ifc_ifcu = {.ifcu_req = reqs}};
    check(::ioctl(fd, SIOCGIFCONF, &ifc) == 0, "SIOCGIFCONF");
    for (size_t i = ifc.ifc_len / sizeof(ifreq); i-- > 0;) {
        out.push_back(ntohl(reinterpret_cast<sockaddr_in*>(&reqs[i].ifr_addr)->sin_addr.s_addr));
    }
    ::close(fd);
    return out;
}

TEST(NetNs, AddressFileContentIsJudgedByItsFirst17Characters) {
    const char* const kMac = "52:54:00:ab:cd:ef\n";
    const std::string kLong(240, 'x');
    struct Case {
        std::vector<std::pair<const char*, const char*>> ifs;  // name, address file or null
        int result;
        const char* text;  // buffer after the call
    };
    const Case cases[] = {
        {{{"eth0", "aa:BB:cc:dd:ee:Ff"}}, OS_OK, "AA-BB-CC-DD-EE-FF"},
        {{{"ib0", "52:54:00:ab:cd:ef:00:11:22:33\n"}}, OS_OK, "52-54-00-AB-CD-EF"},
        {{{"eth0", "52-54-00-ab-cd-ef\n"}}, OS_ERR_NET_NO_MAC, "52-54-00-ab-cd-ef"},
        {{{"eth0", "52:54:00:ab:cd:e\n"}}, OS_ERR_NET_NO_MAC, "52:54:00:ab:cd:e"},
        {{{"eth0", "5254:00:ab:cd:ef:0\n"}}, OS_ERR_NET_NO_MAC, "5254:00:ab:cd:ef:"},
        {{{"eth0", "\xe4:54:00:ab:cd:ef\n"}}, OS_ERR_NET_NO_MAC, "\xe4:54:00:ab:cd:ef"},
        {{{"eth0", "{2:54:00:ab:cd:ef\n"}}, OS_ERR_NET_NO_MAC, "{2:54:00:ab:cd:ef"},
        {{{kLong.c_str(), kMac}}, OS_ERR_NET_NO_MAC, ""},  // its path does not fit
        {{{"eth0", "\n"}}, OS_ERR_NET_NO_MAC, ""},
        {{{"eth0", ""}}, OS_ERR_NET_NO_MAC, ""},
        {{{"eth0", nullptr}}, OS_ERR_NET_NO_MAC, ""},
        // Loopback, bridges (br*) and container links (docker*) are skipped.
        {{{"lo", kMac}, {"br0", kMac}, {"docker0", kMac}, {"br-4f2a", kMac}, {"dockerx", kMac}},
         OS_ERR_NET_NO_MAC,
         ""},
        {{{"virbr0", "02:00:00:0a:0b:0c\n"}}, OS_OK, "02-00-00-0A-0B-0C"},
        {{{"ens33", "bad\n"}, {"eth1", nullptr}, {"eth2", "02:00:00:00:00:01\n"}, {"eth3", ""}},
         OS_OK,
         "02-00-00-00-00-01"},
    };
    RUN_IN_NETNS([&cases] {
        int i = 0;
        for (const Case& c : cases) {
            const std::string tag = "case " + std::to_string(i++);
            // A tmpfs over /sys/class/net gives address files with any content.
            if (::mount("tmpfs", "/sys/class/net", "tmpfs", 0, nullptr) != 0) {
                return check(false, "tmpfs over /sys/class/net: " + std::string(strerror(errno)));
            }
            for (const auto& [name, address] : c.ifs) {
                const std::string dir = std::string("/sys/class/net/") + name;
                ::mkdir(dir.c_str(), 0755);
                if (address != nullptr) std::ofstream(dir + "/address") << address;
            }
            std::string mac;
            check(mac_lookup(mac) == c.result, tag + " result");
            check(mac == c.text, tag + " buffer \"" + mac + "\"");
            ::umount("/sys/class/net");
        }
    });
}

// With no IPv4 address at all the list is empty, and still an array.
TEST(NetNs, AddressListIsTheKernelsFirstSixteenReversed) {
    RUN_IN_NETNS([] {
        check(local_ips() == std::vector<uint32>{0x7F000001u}, "addresses: 127.0.0.1 alone");
        check(ip("link add veth12ab type veth peer name vpeer0") && ip("link set veth12ab up") &&
                  ip("link set vpeer0 up") && ip("addr add 10.0.0.1/24 dev veth12ab"),
              "veth pair with 10.0.0.1");
        auto ips = local_ips();
        check(ips == kernel_list_reversed(), "reverse of the kernel's list");
        std::sort(ips.begin(), ips.end());
        check(ips == std::vector<uint32>{0x0A000001u, 0x7F000001u}, "127.0.0.1 and 10.0.0.1");

        // Labelled addresses are list entries of their own; only 16 fit.
        for (int i = 1; i <= 20; ++i) {
            ip("addr add 10.9.0." + std::to_string(i) + "/32 dev lo label lo:" + std::to_string(i));
        }
        ips = local_ips();
        check(ips.size() == 16u, "count with 22 addresses: " + std::to_string(ips.size()));
        check(ips == kernel_list_reversed(), "reverse of the kernel's first 16");
        check(ip("addr flush dev lo") && ip("addr flush dev veth12ab") && local_ips().empty(),
              "no address at all");
    });
}

// A packet socket bound to a link sends on that link alone, so with the link down
// the kernel reports the network down, which send maps to its own code.
TEST(NetNs, SendOnALinkThatIsDownGivesTheNetworkDownCode) {
    RUN_IN_NETNS([] {
        check(ip("link set lo down"), "ip link set lo down");
        const int s = ::socket(AF_PACKET, SOCK_RAW, 0);
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
        check(::bind(s, reinterpret_cast<const sockaddr*>(&ll), sizeof ll) == 0,
              "packet socket bound to lo");
        const char frame[14] = {};
        int32 n = 7;
        check(os_network_send(s, frame, sizeof frame, 0, &n) == OS_ERR_NET_DOWN, "send result");
        check(n == 7, "count written on failure");
        ::close(s);
    });
}

}  // namespace
