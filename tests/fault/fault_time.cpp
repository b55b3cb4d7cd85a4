// The time area with its allocation failed and its clock pinned: the copy of a time
// expression that cannot be made, and readings of "now" that a test chooses (the
// first hours of 1970 east of UTC, a summer instant, a fixed base for expressions).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

// Hand-written: time() returns the pinned value while one is set.
// FI_WRAP(time_t, time
std::optional<time_t> g_pinned_time;
extern "C" time_t __real_time(time_t* out);
extern "C" time_t __wrap_time(time_t* out) {
    if (!g_pinned_time) return __real_time(out);
    if (out != nullptr) *out = *g_pinned_time;
    return *g_pinned_time;
}

namespace {

using zutest::local;
using zutest::ScopedEnv;

class TimeFault : public ::testing::Test {
protected:
    ~TimeFault() override { g_pinned_time.reset(); }
};

TEST_F(TimeFault, ExpressionCopyThatCannotBeMadeIsNoMemory) {
    time_t sec = 12345;
    {
        fi::Armed a(fi_strdup, 1, ENOMEM);
        EXPECT_EQ(os_relativetime_to_sec("t-1d", &sec), OS_ERR_NO_MEMORY);
        EXPECT_EQ(a.calls(), 1);
    }
    EXPECT_EQ(sec, 12345) << "the clock is read only after the copy";
    // The next call allocates and frees normally (LeakSanitizer checks at exit).
    EXPECT_EQ(os_relativetime_to_sec("t-1d", &sec), OS_OK);
}

TEST_F(TimeFault, ExpressionsMeasureFromThePinnedNow) {
    ScopedEnv tz("TZ", "Asia/Shanghai");
    const time_t now = local(2024, 3, 15, 10, 30);  // Friday
    g_pinned_time = now;
    const struct {
        const char* text;
        time_t want;
    } cases[] = {
        {"*", now},
        {"FRI", local(2024, 3, 8)},
        {"T-1D", local(2024, 3, 14)},
        {"JAN 20", local(2024, 1, 20)},
    };
    for (const auto& c : cases) {
        time_t sec = 0;
        EXPECT_EQ(os_relativetime_to_sec(c.text, &sec), OS_OK) << c.text;
        EXPECT_EQ(sec, c.want) << c.text;
    }
    time_t sec = 0;
    EXPECT_EQ(os_relativetime_to_sec("\xC4\xB0+1d", &sec), OS_ERR_TIME_PARSE)
        << "bytes above 0x7F are not letters";
    EXPECT_EQ(sec, now);

    // "*" takes now, but the record is not refilled from it: a month step is the
    // base's month, June's 30 days, where now's March would give 31.
    sec = local(2024, 6, 10);
    EXPECT_EQ(processTimeOffset("*-1h", &sec), OS_OK);
    EXPECT_EQ(sec, now - 3600);
    sec = local(2024, 6, 10);
    EXPECT_EQ(processTimeOffset("*+1mo", &sec), OS_OK);
    EXPECT_EQ(sec, now + 30 * 86400);
}

TEST_F(TimeFault, CurrentLocalSecondsAddTheWholeHourOffsetInEffect) {
    const struct {
        const char* tz;
        time_t now;
        int32 want;
    } cases[] = {
        {"Asia/Shanghai", -3600, -3600 + 8 * 3600},           // 07:00 on 1 January 1970
        {"<+13>-13", -7200, -7200 + 13 * 3600},               // 11:00: the hour moves past 23
        {"Europe/Berlin", 1719835200, 1719835200 + 7200},     // summer: standard + 1 h
        {"Asia/Kolkata", 1700000000, 1700000000 + 5 * 3600},  // the half hour dropped
    };
    for (const auto& c : cases) {
        ScopedEnv tz("TZ", c.tz);
        g_pinned_time = c.now;
        int32 got = 0;
        EXPECT_EQ(get_curr_time(&got), 0) << c.tz;
        EXPECT_EQ(got, c.want) << c.tz;
    }
}

}  // namespace
