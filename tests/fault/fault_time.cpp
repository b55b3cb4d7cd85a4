// The time area with its allocation failed and its clock pinned: the copy of a time
// expression that cannot be made, and readings of "now" that a test chooses (the
// first hours of 1970 east of UTC, a summer instant, a fixed base for expressions).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

// Hand-written: time() returns the pinned value while one is set.
// FI_WRAP(time_t, time
const time_t* g_pinned_time = nullptr;
extern "C" time_t __real_time(time_t* out);
extern "C" time_t __wrap_time(time_t* out) {
    if (g_pinned_time == nullptr) return __real_time(out);
    if (out != nullptr) *out = *g_pinned_time;
    return *g_pinned_time;
}

namespace {

using zutest::ScopedEnv;

class PinnedClock {
public:
    explicit PinnedClock(time_t t) : t_(t) { g_pinned_time = &t_; }
    ~PinnedClock() { g_pinned_time = nullptr; }
    PinnedClock(const PinnedClock&) = delete;
    PinnedClock& operator=(const PinnedClock&) = delete;

private:
    time_t t_;
};

time_t local(int y, int mo, int d, int h = 0, int mi = 0) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_isdst = -1;
    return ::mktime(&t);
}

TEST(TimeFault, ExpressionCopyThatCannotBeMadeIsNoMemory) {
    const int fds = zutest::open_fd_count();
    time_t sec = 12345;
    {
        fi::Armed a(fi_strdup, 1, ENOMEM);
        EXPECT_EQ(os_relativetime_to_sec("t-1d", &sec), OS_ERR_NO_MEMORY);
        EXPECT_EQ(a.calls(), 1);
    }
    EXPECT_EQ(sec, 12345) << "the clock is read only after the copy";
    EXPECT_EQ(zutest::open_fd_count(), fds);
    // The next call allocates and frees normally (LeakSanitizer checks at exit).
    EXPECT_EQ(os_relativetime_to_sec("t-1d", &sec), OS_OK);
}

TEST(TimeFault, ExpressionsMeasureFromThePinnedNow) {
    ScopedEnv tz("TZ", "Asia/Shanghai");
    const time_t now = local(2024, 3, 15, 10, 30);  // Friday
    PinnedClock clock(now);
    struct Case {
        const char* text;
        time_t want;
    };
    const Case cases[] = {
        {"", now},
        {"*", now},
        {"FRI", local(2024, 3, 8)},
        {"T-1D", local(2024, 3, 14)},
        {"*+1MO", now + 31 * 86400},
        {"JAN 20", local(2024, 1, 20)},
        {"+1H", now + 3600},
    };
    for (const Case& c : cases) {
        time_t sec = 0;
        EXPECT_EQ(os_relativetime_to_sec(c.text, &sec), OS_OK) << c.text;
        EXPECT_EQ(sec, c.want) << c.text;
    }
    time_t sec = 0;
    EXPECT_EQ(os_relativetime_to_sec("\xC4\xB0+1d", &sec), OS_ERR_TIME_PARSE)
        << "bytes above 0x7F are not letters";
    EXPECT_EQ(sec, now);
}

TEST(TimeFault, CurrentLocalSecondsAddTheWholeHourOffsetInEffect) {
    struct Case {
        const char* tz;
        time_t now;
        int32 want;
    };
    const Case cases[] = {
        {"Asia/Shanghai", -3600, -3600 + 8 * 3600},           // 07:00 on 1 January 1970
        {"<+13>-13", -7200, -7200 + 13 * 3600},               // 11:00: the hour moves past 23
        {"Europe/Berlin", 1719835200, 1719835200 + 7200},     // summer: standard + 1 h
        {"Asia/Kolkata", 1700000000, 1700000000 + 5 * 3600},  // the half hour dropped
    };
    for (const Case& c : cases) {
        ScopedEnv tz("TZ", c.tz);
        PinnedClock clock(c.now);
        int32 got = 0;
        EXPECT_EQ(get_curr_time(&got), 0) << c.tz;
        EXPECT_EQ(got, c.want) << c.tz;
    }
}

}  // namespace
