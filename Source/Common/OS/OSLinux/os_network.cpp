// os_network.cpp - IPv4 address conversion, name resolution, socket calls with
// result codes, and discovery of the host's MAC and IPv4 addresses.
// Nothing is kept between calls, so every function may run in any thread; a socket
// is serialised by its caller. The only object handed out is the address array of
// os_network_get_localip, owned by the caller until os_network_free_localip.
// Waits use poll rather than select, so descriptors of 1024 and above are safe.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string_view>

#include "os_internal.h"

namespace {

constexpr size_t kIpTextSize = 16;  // "255.255.255.255" and its terminator
constexpr int kMaxIfreq = 16;       // interface-list room: 16 entries
constexpr size_t kMacTextLen = 17;  // "00:1A:2B:3C:4D:5E"

// Locale-independent ASCII helpers: sysfs bytes may be anything, and <cctype> is
// undefined for negative char values.
constexpr char ascii_upper(char c) noexcept {
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

constexpr bool is_hex_upper(char c) noexcept {
    return std::string_view("0123456789ABCDEF").find(c) != std::string_view::npos;
}

// Exactly 17 characters: ':' at every position p with p % 3 == 2, a hexadecimal
// digit (either case) everywhere else.
bool isValidMacAddress(const char* mac) noexcept {
    const std::string_view s(mac);
    if (s.size() != kMacTextLen) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool ok = (i % 3 == 2) ? s[i] == ':' : is_hex_upper(ascii_upper(s[i]));
        if (!ok) return false;
    }
    return true;
}

// In place: ':' becomes '-', everything else its upper-case form.
void formatMacAddress(char* mac) noexcept {
    for (; *mac != '\0'; ++mac) *mac = (*mac == ':') ? '-' : ascii_upper(*mac);
}

// Reads the first line of an address file like fgets(buf, 18, f) would: at most 17
// characters, stopping after a newline. The buffer keeps its contents when nothing
// can be read. Returns false in that case.
bool read_first_line(const char* path, char* buf) noexcept {
    zu::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    char line[kMacTextLen];
    size_t got = 0;
    while (got < kMacTextLen) {
        const ssize_t n = ::read(fd.get(), line + got, kMacTextLen - got);
        if (n <= 0) break;
        const bool eol = ::memchr(line + got, '\n', static_cast<size_t>(n)) != nullptr;
        got += static_cast<size_t>(n);
        if (eol) break;
    }
    if (got == 0) return false;
    ::memcpy(buf, line, got);
    buf[got] = '\0';
    return true;
}

constexpr bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Strict dotted decimal, exactly what inet_pton(AF_INET) accepts: four fields of
// one to three digits, each 0-255 and without a leading zero, joined by single
// points, nothing before or after. Parsed here because the library call is in the
// hot path of callers and inet_pton's generic dispatch costs more than the parse.
bool parse_dotted(const char* s, uint32* out) noexcept {
    uint32 value = 0;
    for (int field = 0; field < 4; ++field) {
        if (field > 0 && *s++ != '.') return false;
        if (!is_digit(*s)) return false;
        uint32 octet = static_cast<uint32>(*s++ - '0');
        // A field that starts with 0 is that 0 alone.
        for (int k = 0; octet != 0 && k < 2 && is_digit(*s); ++k) {
            octet = octet * 10 + static_cast<uint32>(*s++ - '0');
        }
        if (octet > 255 || is_digit(*s)) return false;
        value = (value << 8) | octet;
    }
    if (*s != '\0') return false;
    *out = value;
    return true;
}

struct AddrInfoDeleter {
    void operator()(addrinfo* p) const noexcept { ::freeaddrinfo(p); }
};

struct DirCloser {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
};

// --- waiting with poll, reporting like select --------------------------------

timespec monotonic_now() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// Waits on one descriptor for the events asked. Returns poll's result (-1 with
// errno on failure); with a time-out record, writes the unslept remainder back into
// it as select does on Linux, also after a failure. Negative fields are refused
// with EINVAL, as select refuses them.
int wait_fd(int fd, short events, timeval* tv) noexcept {
    pollfd p{fd, events, 0};
    if (tv == nullptr) return ::ppoll(&p, 1, nullptr, nullptr);
    if (tv->tv_sec < 0 || tv->tv_usec < 0) {
        errno = EINVAL;
        return -1;
    }

    const timespec span = zu::timeval_span(*tv);
    const timespec at = zu::after(monotonic_now(), span);
    const int r = ::ppoll(&p, 1, &span, nullptr);
    const int err = errno;
    const timespec left = r == 0 ? timespec{0, 0} : zu::time_left(at, monotonic_now());
    tv->tv_sec = left.tv_sec;
    tv->tv_usec = static_cast<suseconds_t>(left.tv_nsec / 1000);
    if (r > 0 && (p.revents & POLLNVAL)) {
        // select reports a descriptor that is not open as EBADF, not as ready.
        errno = EBADF;
        return -1;
    }
    errno = err;
    return r;
}

}  // namespace

// --- addresses and name resolution -------------------------------------------

int32 os_network_ip2int(const char* szIp, uint32* ipint) {
    return parse_dotted(szIp, ipint) ? OS_OK : OS_ERR_NET_BAD_IP;
}

int32 os_network_int2ip(uint32 ipint, char* szIp) {
    // inet_ntop formats into a buffer of its own and copies only a complete text,
    // so szIp is untouched on failure.
    const in_addr addr{htonl(ipint)};
    return zu::status_of(::inet_ntop(AF_INET, &addr, szIp, kIpTextSize), nullptr);
}

int32 os_network_get_host_by_name(char* szHostName, char* szIp) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* raw = nullptr;
    const int rc = ::getaddrinfo(szHostName, nullptr, &hints, &raw);
    if (rc != 0) {
        zu::say("getaddrinfo failed with error: %d\n", rc);
        return OS_ERR_NET_RESOLVE;
    }
    const std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        switch (ai->ai_family) {
            case AF_INET: {
                const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
                char text[kIpTextSize];
                if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) == nullptr)
                    return errno;
                ::memcpy(szIp, text, ::strlen(text) + 1);
                return OS_OK;
            }
            case AF_INET6:
                zu::say("AF_INET6 (IPv6)\n");
                break;
            case AF_UNSPEC:
                zu::say("getaddrinfo ai_family Unspecified\n");
                break;
            default:
                zu::say("Other ai_family [%d]\n", ai->ai_family);
                break;
        }
    }
    // A resolver that honours the IPv4 hint never gets here.
    return OS_ERR_NET_RESOLVE;
}

uint64 os_network_generate_srvid(uint32 nIpV4, uint16 nPort) {
    return (static_cast<uint64>(nIpV4) << 16) + nPort;
}

// --- sockets ------------------------------------------------------------------

int32 os_network_startup(void) {
    return OS_OK;
}

int32 os_network_clean(void) {
    return OS_OK;
}

int32 os_network_socket(int32 nDomain, int32 nType, int32 nProtocol, int* pSocket) {
    const int s = ::socket(nDomain, nType, nProtocol);
    if (s == -1) return errno;
    *pSocket = s;
    return OS_OK;
}

int32 os_network_recv(int sock, void* pBuf, int32 nLen, int32 nFlags, int32* pRecvBytes) {
    // A negative length would become a huge size_t and let the kernel write past
    // the caller's buffer.
    if (nLen < 0) return EINVAL;
    const ssize_t n = ::recv(sock, pBuf, static_cast<size_t>(nLen), nFlags);
    if (n == -1) return errno;
    *pRecvBytes = static_cast<int32>(n);
    return OS_OK;
}

int32 os_network_select(int32 fds, fd_set* readfds, fd_set* writefds, fd_set* errorfds,
                        int32* sock_num, struct timeval* timeout) {
    const int n = ::select(fds, readfds, writefds, errorfds, timeout);
    if (n == -1) return errno;
    *sock_num = n;
    return OS_OK;
}

int32 os_network_shutdown(int sock, int32 nHow) {
    return zu::status_of(::shutdown(sock, nHow));
}

int32 os_network_closesocket(int sock) {
    // Never retried: after EINTR the descriptor is already gone.
    return zu::status_of(::close(sock));
}

int32 os_network_setsock_blocking(int sock, bool bBlocking) {
    // A failing F_GETFL (bad descriptor) shows up again in F_SETFL.
    const int flags = ::fcntl(sock, F_GETFL, 0);
    const int wanted = zu::as_flag(bBlocking) ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return zu::status_of(::fcntl(sock, F_SETFL, wanted));
}

int32 os_network_connect(int sock, const struct sockaddr* pAddr, int32 nAddrLen) {
    return zu::status_of(::connect(sock, pAddr, static_cast<socklen_t>(nAddrLen)));
}

int32 os_network_connect_timeout(int sock, const struct sockaddr* pAddr, int32 nAddrLen,
                                 struct timeval* timeout) {
    const int connected = ::connect(sock, pAddr, static_cast<socklen_t>(nAddrLen));
    if (connected == -1 && errno != EINPROGRESS) return errno;

    // Readable or writable, or an error or hang-up (which poll always reports):
    // any readiness ends the wait and SO_ERROR decides.
    const int ready = wait_fd(sock, POLLIN | POLLOUT, timeout);
    if (ready == 0) return OS_ERR_NET_CONNECT_TIMEOUT;
    if (ready == -1) return errno;
    if (connected == 0) return OS_OK;

    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int32 os_network_send(int sock, const void* pBuf, int32 nLen, int32 nFlags, int32* pSentBytes) {
    if (nLen < 0) return EINVAL;
    // The wait has no limit and its result does not matter: after a failed wait the
    // send itself reports what is wrong. A negative descriptor is left to send,
    // since waiting on it would never end.
    if (sock >= 0) (void)wait_fd(sock, POLLOUT, nullptr);
    const ssize_t n = ::send(sock, pBuf, static_cast<size_t>(nLen), nFlags);
    if (n == -1) return zu::errno_as(ENETDOWN, OS_ERR_NET_DOWN);
    *pSentBytes = static_cast<int32>(n);
    return OS_OK;
}

// --- local interfaces ---------------------------------------------------------

int os_network_get_local_mac_addr(char* szMacAddr) {
    if (szMacAddr == nullptr) return OS_ERR_NET_NULL_ARG;
    szMacAddr[0] = '\0';

    const std::unique_ptr<DIR, DirCloser> dir(::opendir("/sys/class/net"));
    if (!dir) return OS_ERR_NET_NO_MAC;
    // Directory order, unsorted. Loopback, bridges (br*) and container links
    // (docker*) never carry the host's identity.
    while (const dirent* e = ::readdir(dir.get())) {
        // Prefix tests of 2 and 6 characters (string_view::starts_with would pull in
        // libstdc++'s range check in unoptimised builds).
        const std::string_view name(e->d_name);
        if (name == "." || name == ".." || name == "lo" || ::strncmp(e->d_name, "br", 2) == 0 ||
            ::strncmp(e->d_name, "docker", 6) == 0) {
            continue;
        }
        char path[256];
        // A negative result (which %s cannot give) would be a huge size too.
        const int len = ::snprintf(path, sizeof path, "/sys/class/net/%s/address", e->d_name);
        if (static_cast<size_t>(len) >= sizeof path) continue;
        if (!read_first_line(path, szMacAddr)) continue;
        if (char* nl = ::strchr(szMacAddr, '\n')) *nl = '\0';
        if (isValidMacAddress(szMacAddr)) {
            formatMacAddress(szMacAddr);
            return OS_OK;
        }
    }
    return OS_ERR_NET_NO_MAC;
}

int32 os_network_get_localip(uint32** pIP, int32* pIPNum) {
    // Failures before the allocation leave a null array of length 0, so a caller
    // that frees whatever it got stays safe.
    *pIP = nullptr;
    *pIPNum = 0;

    zu::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return errno;

    ifreq reqs[kMaxIfreq];
    ::memset(reqs, 0, sizeof reqs);
    ifconf ifc{};
    ifc.ifc_len = sizeof reqs;
    ifc.ifc_req = reqs;
    if (::ioctl(fd.get(), SIOCGIFCONF, &ifc) == -1) return errno;

    const int entries = ifc.ifc_len / static_cast<int>(sizeof(ifreq));
    *pIPNum = entries;
    // At least one slot, so that an empty list is never mistaken for a failed
    // allocation.
    const size_t slots = entries > 0 ? static_cast<size_t>(entries) : 1;
    auto* ips = static_cast<uint32*>(::malloc(slots * sizeof(uint32)));
    if (ips == nullptr) return OS_ERR_NO_MEMORY;

    int32 count = 0;
    for (int i = entries - 1; i >= 0; --i) {
        // The interface may have lost its address since the list was taken.
        if (::ioctl(fd.get(), SIOCGIFADDR, &reqs[i]) == -1) continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&reqs[i].ifr_addr);
        ips[count++] = ntohl(sin->sin_addr.s_addr);  // the integer form of os_network_ip2int
    }
    *pIP = ips;
    *pIPNum = count;
    return OS_OK;
}

void os_network_free_localip(uint32* pIP) {
    ::free(pIP);
}

int32 os_network_get_socket_ip(int sock, uint32* pIP) {
    *pIP = 0;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return errno;
    *pIP = ntohl(sa.sin_addr.s_addr);
    return OS_OK;
}
