// Time expressions: any text, parsed from a fixed base and from now, must give
// OS_OK or OS_ERR_TIME_PARSE, read nothing past its terminator, give the same answer
// twice, and agree between the two entry points for lower-case text.
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../tests/test_support.h"
#include "os/os.h"

namespace {

bool valid(int32 rc) {
    return rc == OS_OK || rc == OS_ERR_TIME_PARSE;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A daylight-saving zone, pinned so that runs repeat.
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy, so that a read past the terminator is caught.
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (text == nullptr) return 0;
    std::memcpy(text, data, size);
    text[size] = '\0';

    // Friday 15 March 2024 10:30:00 in the pinned zone. The "*" anchor reads the clock:
    // compare only within one second.
    static const time_t base = zutest::local(2024, 3, 15, 10, 30);
    time_t a = base, b = base;
    const time_t t0 = ::time(nullptr);
    const int32 ra = processTimeOffset(text, &a);
    const int32 rb = processTimeOffset(text, &b);
    if (!valid(ra)) std::abort();
    if (::time(nullptr) == t0 && (ra != rb || a != b)) std::abort();

    bool lower = true;
    for (const char* p = text; *p != '\0'; ++p)
        if (*p >= 'A' && *p <= 'Z') lower = false;
    const time_t now = ::time(nullptr);
    time_t r = 0, p = now;
    const int32 rr = os_relativetime_to_sec(text, &r);
    if (!valid(rr)) std::abort();
    if (lower) {
        const int32 rp = processTimeOffset(text, &p);
        if (::time(nullptr) == now && (rp != rr || p != r)) std::abort();
    }
    std::free(text);
    return 0;
}
