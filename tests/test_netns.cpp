// Interface discovery inside network and mount namespaces that each test makes in
// a forked child: sysfs remounted, lo up, veth pairs and bridges made with `ip`.
// The child reports through a pipe; nothing it creates survives it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

// Failures found in the child, one line each; empty means the child passed.
class Report {
public:
    void check(bool ok, const std::string& what) {
        if (!ok) text_ += what + "\n";
    }
    template <class A, class B>
    void eq(const A& got, const B& want, const std::string& what) {
        if (!(got == want)) {
            text_ += what + ": got " + str(got) + ", want " + str(want) + "\n";
        }
    }
    const std::string& text() const { return text_; }

private:
    static std::string str(const std::string& s) { return '"' + s + '"'; }
    static std::string str(const char* s) { return str(std::string(s)); }
    template <class T>
    static std::string str(const T& v) {
        return std::to_string(v);
    }
    std::string text_;
};

const char* ip_tool() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(p, X_OK) == 0) return p;
    }
    return nullptr;
}

// Runs `ip ARGS`; true when it succeeded.
bool ip(const std::string& args) {
    const std::string cmd = std::string(ip_tool()) + " " + args;
    return std::system(cmd.c_str()) == 0;
}

constexpr char kSkip[] = "SKIP ";

// Sets up the namespaces in the calling (child) process. Returns "" or a message,
// starting with kSkip where the host does not allow namespaces.
std::string enter_namespaces() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        return std::string(errno == EPERM ? kSkip : "") +
               "unshare(CLONE_NEWNET|CLONE_NEWNS): " + std::strerror(errno);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string(kSkip) + "making mounts private: " + std::strerror(errno);
    }
    if (::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
        return std::string(kSkip) + "remounting sysfs: " + std::strerror(errno);
    }
    if (ip_tool() == nullptr) return std::string(kSkip) + "iproute2 `ip` not installed";
    if (!ip("link set lo up")) return "ip link set lo up failed";
    return "";
}

// Runs body in a forked child inside fresh namespaces and turns its report into
// the test's outcome.
#define RUN_IN_NETNS(body)                                             \
    do {                                                               \
        const std::string out_ = run_in_netns(body);                   \
        if (out_.rfind(kSkip, 0) == 0) GTEST_SKIP() << out_.substr(5); \
        EXPECT_EQ(out_, "");                                           \
    } while (0)

std::string run_in_netns(const std::function<void(Report&)>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string out = enter_namespaces();
        if (out.empty()) {
            Report r;
            body(r);
            out = r.text();
        }
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        std::fflush(stdout);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) out += "child did not exit cleanly\n";
    return out;
}

// One MAC lookup, with the descriptor count checked around it.
int mac_lookup(Report& r, std::string& mac) {
    char buf[18] = "junk";
    const int fds = zutest::open_fd_count();
    const int rc = os_network_get_local_mac_addr(buf);
    r.eq(zutest::open_fd_count(), fds, "descriptors after the MAC lookup");
    mac = buf;
    return rc;
}

void write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// -------------------------------------------------------------- MAC address

TEST(NetNs, OnlyLoopbackGivesNoMac) {
    RUN_IN_NETNS([](Report& r) {
        std::string mac;
        r.eq(mac_lookup(r, mac), OS_ERR_NET_NO_MAC, "result");
        r.eq(mac, "", "buffer");
    });
}

TEST(NetNs, VethIsChosenWhileBridgesAndDockerLinksAreSkipped) {
    RUN_IN_NETNS([](Report& r) {
        // The peer's name begins with "br", so it is skipped as well: veth12ab is the
        // only candidate whatever order the directory lists them in.
        r.check(ip("link add veth12ab address 52:54:00:ab:cd:ef type veth peer name brpeer0"),
                "veth pair");
        for (const char* br : {"br0", "docker0", "br-4f2a", "bridge1", "dockerx"}) {
            r.check(ip(std::string("link add ") + br + " type bridge"), br);
        }
        // A tun device has no hardware address: a rejected candidate, then the scan
        // goes on.
        if (::access("/dev/net/tun", F_OK) == 0) ip("tuntap add mode tun name tun7");
        std::string mac;
        r.eq(mac_lookup(r, mac), OS_OK, "result");
        r.eq(mac, "52-54-00-AB-CD-EF", "mac");
    });
}

// A tmpfs over /sys/class/net gives address files with any content.
struct FakeIf {
    const char* name;
    const char* address;  // nullptr: no address file
};
struct FakeCase {
    std::vector<FakeIf> ifs;
    int result;
    const char* text;  // buffer after the call
};

TEST(NetNs, AddressFileContentIsJudgedByItsFirst17Characters) {
    const FakeCase cases[] = {
        {{{"eth0", "52:54:00:ab:cd:ef\n"}}, OS_OK, "52-54-00-AB-CD-EF"},
        {{{"eth0", "aa:BB:cc:dd:ee:Ff"}}, OS_OK, "AA-BB-CC-DD-EE-FF"},
        {{{"eth0", "00:00:00:00:00:00\n"}}, OS_OK, "00-00-00-00-00-00"},
        {{{"ib0", "52:54:00:ab:cd:ef:00:11:22:33\n"}}, OS_OK, "52-54-00-AB-CD-EF"},
        {{{"eth0", "52-54-00-ab-cd-ef\n"}}, OS_ERR_NET_NO_MAC, "52-54-00-ab-cd-ef"},
        {{{"eth0", "52:54:00:ab:cd:e\n"}}, OS_ERR_NET_NO_MAC, "52:54:00:ab:cd:e"},
        {{{"eth0", "52:54:00:ab:cd:eg\n"}}, OS_ERR_NET_NO_MAC, "52:54:00:ab:cd:eg"},
        {{{"eth0", "5254:00:ab:cd:ef:0\n"}}, OS_ERR_NET_NO_MAC, "5254:00:ab:cd:ef:"},
        {{{"eth0", " 52:54:00:ab:cd:ef\n"}}, OS_ERR_NET_NO_MAC, " 52:54:00:ab:cd:e"},
        {{{"eth0", "\xe4:54:00:ab:cd:ef\n"}}, OS_ERR_NET_NO_MAC, "\xe4:54:00:ab:cd:ef"},
        {{{"eth0", "\n"}}, OS_ERR_NET_NO_MAC, ""},
        {{{"eth0", ""}}, OS_ERR_NET_NO_MAC, ""},
        {{{"eth0", nullptr}}, OS_ERR_NET_NO_MAC, ""},
        {{{"lo", "52:54:00:ab:cd:ef\n"},
          {"br0", "52:54:00:ab:cd:ef\n"},
          {"docker0", "52:54:00:ab:cd:ef\n"}},
         OS_ERR_NET_NO_MAC,
         ""},
        {{{"virbr0", "02:00:00:0a:0b:0c\n"}}, OS_OK, "02-00-00-0A-0B-0C"},
        {{{"ens33", "bad\n"}, {"eth1", nullptr}, {"eth2", "02:00:00:00:00:01\n"}, {"eth3", ""}},
         OS_OK,
         "02-00-00-00-00-01"},
    };
    RUN_IN_NETNS([&cases](Report& r) {
        int i = 0;
        for (const FakeCase& c : cases) {
            const std::string tag = "case " + std::to_string(i++);
            if (::mount("tmpfs", "/sys/class/net", "tmpfs", 0, nullptr) != 0) {
                r.check(false, "tmpfs over /sys/class/net: " + std::string(std::strerror(errno)));
                return;
            }
            for (const FakeIf& f : c.ifs) {
                const std::string dir = std::string("/sys/class/net/") + f.name;
                ::mkdir(dir.c_str(), 0755);
                if (f.address != nullptr) write_file(dir + "/address", f.address);
            }
            std::string mac;
            r.eq(mac_lookup(r, mac), c.result, tag + " result");
            r.eq(mac, c.text, tag + " buffer");
            ::umount("/sys/class/net");
        }
        // No directory at all.
        if (::mount("tmpfs", "/sys/class", "tmpfs", 0, nullptr) == 0) {
            std::string mac;
            r.eq(mac_lookup(r, mac), OS_ERR_NET_NO_MAC, "missing /sys/class/net");
            r.eq(mac, "", "missing /sys/class/net buffer");
            ::umount("/sys/class");
        }
    });
}

// -------------------------------------------------------------- IPv4 addresses

// The kernel's own SIOCGIFCONF list, in its order.
std::vector<uint32> kernel_list() {
    std::vector<uint32> out;
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq reqs[16] = {};
    ifconf ifc{};
    ifc.ifc_len = sizeof reqs;
    ifc.ifc_req = reqs;
    if (::ioctl(fd, SIOCGIFCONF, &ifc) == 0) {
        for (size_t i = 0; i < ifc.ifc_len / sizeof(ifreq); ++i) {
            out.push_back(
                ntohl(reinterpret_cast<sockaddr_in*>(&reqs[i].ifr_addr)->sin_addr.s_addr));
        }
    }
    ::close(fd);
    return out;
}

std::vector<uint32> local_ips(Report& r) {
    uint32* ips = nullptr;
    int32 n = -1;
    const int fds = zutest::open_fd_count();
    r.eq(os_network_get_localip(&ips, &n), OS_OK, "get_localip");
    r.eq(zutest::open_fd_count(), fds, "descriptors after get_localip");
    std::vector<uint32> out;
    if (ips != nullptr && n >= 0) out.assign(ips, ips + n);
    os_network_free_localip(ips);
    return out;
}

TEST(NetNs, LoopbackAloneGivesOneAddress) {
    RUN_IN_NETNS([](Report& r) {
        const auto ips = local_ips(r);
        r.eq(ips.size(), 1u, "count");
        if (!ips.empty()) r.eq(ips[0], 0x7F000001u, "address");
    });
}

TEST(NetNs, AddressesComeInReverseListOrderUpToSixteen) {
    RUN_IN_NETNS([](Report& r) {
        r.check(ip("link add veth12ab type veth peer name vpeer0"), "veth pair");
        r.check(ip("addr add 10.0.0.2/24 dev veth12ab"), "address on veth12ab");
        r.check(ip("addr add 192.168.77.1/24 dev vpeer0"), "address on vpeer0");
        auto ips = local_ips(r);
        auto want = kernel_list();
        std::reverse(want.begin(), want.end());
        r.check(ips == want, "reverse of the kernel's list");
        std::sort(ips.begin(), ips.end());
        r.check(ips == std::vector<uint32>{0x0A000002u, 0x7F000001u, 0xC0A84D01u},
                "127.0.0.1 and the two added addresses");

        // Labelled addresses are list entries of their own; only 16 fit.
        for (int i = 1; i <= 20; ++i) {
            ip("addr add 10.9.0." + std::to_string(i) + "/32 dev lo label lo:" + std::to_string(i));
        }
        ips = local_ips(r);
        want = kernel_list();
        std::reverse(want.begin(), want.end());
        r.eq(ips.size(), 16u, "count with 23 addresses");
        r.check(ips == want, "reverse of the kernel's first 16");
    });
}

// -------------------------------------------------------------- peer address

TEST(NetNs, PeerAddressOfAConnectionTo10001) {
    RUN_IN_NETNS([](Report& r) {
        r.check(ip("link add veth12ab type veth peer name vpeer0"), "veth pair");
        r.check(ip("addr add 10.0.0.1/24 dev veth12ab"), "address");
        r.check(ip("link set veth12ab up"), "veth up");
        r.check(ip("link set vpeer0 up"), "peer up");

        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x0A000001u);
        int l = ::socket(AF_INET, SOCK_STREAM, 0);
        socklen_t len = sizeof a;
        r.check(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind 10.0.0.1");
        ::listen(l, 4);
        ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);

        int c = -1;
        r.eq(os_network_socket(AF_INET, SOCK_STREAM, 0, &c), OS_OK, "socket");
        r.eq(os_network_connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), OS_OK, "connect");
        uint32 peer = 0;
        r.eq(os_network_get_socket_ip(c, &peer), OS_OK, "tcp peer");
        r.eq(peer, 0x0A000001u, "tcp peer address");

        // connect on UDP only records the peer.
        int u = ::socket(AF_INET, SOCK_DGRAM, 0);
        a.sin_port = htons(9);
        r.eq(::connect(u, reinterpret_cast<sockaddr*>(&a), sizeof a), 0, "udp connect");
        peer = 0;
        r.eq(os_network_get_socket_ip(u, &peer), OS_OK, "udp peer");
        r.eq(peer, 0x0A000001u, "udp peer address");
        ::close(u);
        ::close(c);
        ::close(l);
    });
}

// -------------------------------------------------------------- resolver

// Runs fn with stdout sent to a pipe and returns what it printed (short output).
std::string captured_stdout(const std::function<void()>& fn) {
    int p[2];
    if (::pipe(p) != 0) return "pipe failed";
    std::fflush(stdout);
    const int saved = ::dup(1);
    ::dup2(p[1], 1);
    fn();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(p[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(p[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(p[0]);
    return out;
}

TEST(NetNs, UnknownNamePrintsTheResolverCodeAndLeavesTheBufferAlone) {
    // Inside the namespace no name server is reachable, so nothing leaves the host.
    RUN_IN_NETNS([](Report& r) {
        char name[] = "zuos-no-such-host.invalid";
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* res = nullptr;
        const int code = ::getaddrinfo(name, nullptr, &hints, &res);
        r.check(code != 0, "the name resolves");
        if (code == 0) {
            ::freeaddrinfo(res);
            return;
        }
        char ipbuf[16] = "unchanged";
        int rc = 0;
        const std::string out =
            captured_stdout([&] { rc = os_network_get_host_by_name(name, ipbuf); });
        r.eq(rc, OS_ERR_NET_RESOLVE, "result");
        r.eq(out, "getaddrinfo failed with error: " + std::to_string(code) + "\n", "output");
        r.eq(std::string(ipbuf), "unchanged", "buffer");
    });
}

}  // namespace
