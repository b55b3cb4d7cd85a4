// The time area with its allocation failed and its clock pinned: the copy of a time
// expression that cannot be made, and readings of "now" that a test chooses (the
// first hours of 1970 east of UTC, a summer instant, a fixed base for expressions).
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <tuple>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(struct tm*, localtime_r, nullptr, (const time_t* t, struct tm* out), (t, out))
FI_WRAP(time_t, mktime, -1, (struct tm * t), (t))
FI_WRAP(locale_t, newlocale, static_cast<locale_t>(0), (int mask, const char* name, locale_t base),
        (mask, name, base))

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
    const time_t june = local(2024, 6, 10);
    // Text, base (0: through os_relativetime_to_sec, which starts from now), result and
    // the time stored.
    const std::tuple<const char*, time_t, int32, time_t> cases[] = {
        {"*", 0, OS_OK, now},
        {"T-1D", 0, OS_OK, local(2024, 3, 14)},
        {"\xC4\xB0+1d", 0, OS_ERR_TIME_PARSE, now},  // bytes above 0x7F are not letters
        // "*" takes now, but the record is not refilled from it: a month step is the
        // base's month, June's 30 days, where now's March would give 31.
        {"*-1h", june, OS_OK, now - 3600},
        {"*+1mo", june, OS_OK, now + 30 * 86400},
    };
    for (const auto& [text, base, rc, want] : cases) {
        time_t sec = base;
        EXPECT_EQ(base ? processTimeOffset(text, &sec) : os_relativetime_to_sec(text, &sec), rc)
            << text;
        EXPECT_EQ(sec, want) << text;
    }
}

TEST_F(TimeFault, CurrentLocalSecondsAddTheWholeHourOffsetInEffect) {
    // Zone, the pinned now, which mktime call fails (0: none), the result and the local
    // seconds stored. The offset is read by the first mktime, the clock by the second.
    const std::tuple<const char*, time_t, int, int32, int32> cases[] = {
        {"Asia/Shanghai", -3600, 0, 0, -3600 + 8 * 3600},        // 07:00 on 1 January 1970
        {"<+13>-13", -7200, 0, 0, -7200 + 13 * 3600},            // 11:00: the hour moves past 23
        {"Europe/Berlin", 1719835200, 0, 0, 1719835200 + 7200},  // summer: standard + 1 h
        // Only before the zone's first midnight is the clock moved forward.
        {"Asia/Shanghai", 2 * 3600, 0, 0, 2 * 3600 + 8 * 3600},          // 10:00 on 1 January 1970
        {"Asia/Shanghai", 86400 - 3600, 0, 0, 86400 - 3600 + 8 * 3600},  // 07:00 on 2 January
        {"Asia/Shanghai", 31 * 86400 - 3600, 0, 0, 31 * 86400 - 3600 + 8 * 3600},  // February
        // A failed conversion back is -1, also stored, on both sides of that midnight.
        {"Asia/Shanghai", -3600, 2, -1, -1},
        {"Asia/Shanghai", 1700000000, 2, -1, -1},
    };
    for (const auto& [zone, now, fail, rc, want] : cases) {
        ScopedEnv tz("TZ", zone);
        g_pinned_time = now;
        int32 got = 0;
        fi::Armed a(fi_mktime, fail, EOVERFLOW);
        EXPECT_EQ(get_curr_time(&got), rc) << zone;
        EXPECT_EQ(got, want) << zone << " at " << now;
    }
}

// A break-down that fails is reported, and nothing is written.
TEST_F(TimeFault, BreakDownFailuresAreReported) {
    ZUTimeStamp ts{};
    ts.year = 99;
    int32 out = 55;
    auto failing = [](auto fn) { return fi::failing(fi_localtime_r, 1, EOVERFLOW, fn); };
    EXPECT_EQ(failing([&] { return convert_sec_to_rdtime(0, &ts); }), OS_ERR_TIME_LOCALTIME);
    for (auto fn : {os_get_weekday, os_get_yearday, os_get_daysec})
        EXPECT_EQ(failing([&] { return fn(0, &out); }), OS_ERR_TIME_LOCALTIME);
    EXPECT_EQ(failing([&] { return get_curr_time(&out); }), -1);
    EXPECT_EQ(ts.year, 99);
    EXPECT_EQ(out, 55);
}

// Without a C locale to switch to, the parse goes on in the caller's.
TEST_F(TimeFault, ParsingGoesOnWithoutACLocale) {
    time_t sec = 1000;
    EXPECT_EQ(
        fi::failing(fi_newlocale, 1, ENOMEM, [&] { return processTimeOffset("+1.5m", &sec); }),
        OS_OK);
    EXPECT_EQ(sec, 1090);
}

}  // namespace
