// Dotted IPv4 text: os_network_ip2int must agree with inet_pton on any bytes, and
// every integer must come back unchanged through os_network_int2ip.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "os/os.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char text[64];
    const size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    std::memcpy(text, data, n);
    text[n] = '\0';

    uint32 got = 0xA5A5A5A5;
    const int32 rc = os_network_ip2int(text, &got);
    in_addr want{};
    const int ok = ::inet_pton(AF_INET, text, &want);
    if (ok == 1) {
        if (rc != OS_OK || got != ntohl(want.s_addr)) std::abort();
    } else if (rc != OS_ERR_NET_BAD_IP || got != 0xA5A5A5A5) {
        std::abort();
    }

    // The first four bytes as an integer: text and back.
    if (size >= 4) {
        uint32 v;
        std::memcpy(&v, data, 4);
        char buf[16];
        std::memset(buf, 'x', sizeof buf);
        if (os_network_int2ip(v, buf) != OS_OK) std::abort();
        if (std::memchr(buf, '\0', sizeof buf) == nullptr) std::abort();
        uint32 back = ~v;
        if (os_network_ip2int(buf, &back) != OS_OK || back != v) std::abort();
    }
    return 0;
}
