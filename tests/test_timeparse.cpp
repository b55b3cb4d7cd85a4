// Time expressions: the worked examples, the edge cases of each form, what *pnSec
// holds after a failure, the choices for over-long and out-of-range input, and
// agreement between threads.
#include <gtest/gtest.h>
#include <locale.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::ScopedEnv;

constexpr int64 kDay = 86400;

// Local wall-clock fields to seconds, daylight saving decided by the C library.
time_t local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return ::mktime(&t);
}

struct Outcome {
    int32 code;
    time_t sec;
};

Outcome parse(const char* text, time_t base) {
    time_t sec = base;
    int32 code = processTimeOffset(text, &sec);
    return {code, sec};
}

// Zones without daylight saving keep these tables independent of the season.
class TimeParse : public ::testing::Test {
protected:
    ScopedEnv tz{"TZ", "Asia/Shanghai"};
    const time_t base = local(2024, 3, 15, 10, 30);  // Friday
};

struct Row {
    const char* text;
    int32 code;
    time_t expected;
};

void expect_rows(const std::vector<Row>& rows, time_t base) {
    for (const Row& r : rows) {
        Outcome o = parse(r.text, base);
        EXPECT_EQ(o.code, r.code) << '"' << r.text << '"';
        EXPECT_EQ(o.sec, r.expected) << '"' << r.text << "\" is off by " << (o.sec - r.expected);
    }
}

TEST_F(TimeParse, WorkedExamples) {
    expect_rows({{"-2days", OS_OK, local(2024, 3, 13, 10, 30)},
                 {"+1.5h", OS_OK, local(2024, 3, 15, 12, 0)},
                 {"t-1d", OS_OK, local(2024, 3, 14)},
                 {"y", OS_OK, local(2024, 3, 14)},
                 {"mon", OS_OK, local(2024, 3, 11)},
                 {"fri", OS_OK, local(2024, 3, 8)},
                 {"+1mo", OS_OK, local(2024, 4, 15, 10, 30)},
                 {"-1mo", OS_OK, local(2024, 2, 13, 10, 30)},
                 {"+1y", OS_OK, local(2025, 3, 16, 10, 30)},
                 {"-1y", OS_OK, local(2023, 3, 15, 10, 30)},
                 {"2023", OS_OK, local(2023, 3, 15)},
                 {"15-jan-24 08:00", OS_OK, local(2024, 1, 15, 8, 0)},
                 {"jan 20", OS_OK, local(2024, 1, 20)},
                 {"12/25", OS_OK, local(2024, 12, 25)},
                 {"5-1d", OS_OK, local(2024, 5, 1)},
                 {"", OS_OK, base}},
                base);
}

TEST_F(TimeParse, OffsetsAreSinglePrecisionProductsTruncatedTowardZero) {
    expect_rows({{"+0.5m", OS_OK, base + 30},
                 {"+0.7s", OS_OK, base},
                 {"-1.5s", OS_OK, base - 1},
                 {"+2.9999999m", OS_OK, base + 180},      // the count rounds to 3.0f
                 {"+16777217s", OS_OK, base + 16777216},  // beyond float's 24 bits
                 {"+24859w", OS_OK, base + 15034722304},  // (86400 x n) x 7, each rounded
                 {"+1d2h", OS_OK, base + kDay},           // text after the unit is ignored
                 {"-2WEEKS", OS_OK, base - 14 * kDay},    // the unit may be upper case
                 {"+3H", OS_OK, base + 3 * 3600},
                 {"+120minutes", OS_OK, base + 7200},  // longer than 9 characters
                 {"+1e2s", OS_OK, base + 100},
                 {"t+8h", OS_OK, local(2024, 3, 15, 8)}},
                base);
}

TEST_F(TimeParse, MalformedOffsetsFailAfterTheAnchorIsApplied) {
    const time_t midnight = local(2024, 3, 15);
    expect_rows({{"-2 days", OS_ERR_TIME_PARSE, base},  // blank before the unit
                 {"+5", OS_ERR_TIME_PARSE, base},       // no unit
                 {"+1x", OS_ERR_TIME_PARSE, base},
                 {"+1.5d", OS_ERR_TIME_PARSE, base},  // fractional days
                 {"+1.5w", OS_ERR_TIME_PARSE, base},
                 {"+0.5mo", OS_ERR_TIME_PARSE, base},
                 {"+1.5y", OS_ERR_TIME_PARSE, base},
                 {"1d", OS_ERR_TIME_PARSE, base},  // no sign: an anchor that is not digits
                 {"+d", OS_ERR_TIME_PARSE, base},
                 // The anchor's result stands when the offset then fails.
                 {"t/1d", OS_ERR_TIME_PARSE, midnight},
                 {"t+1.5d", OS_ERR_TIME_PARSE, midnight},
                 {"t+2 h", OS_ERR_TIME_PARSE, midnight},
                 {"15+1q", OS_ERR_TIME_PARSE, midnight}},
                base);
}

TEST_F(TimeParse, AnchorsOfEachKind) {
    expect_rows({{"sat", OS_OK, local(2024, 3, 9)},  // most recent Saturday
                 {"thu", OS_OK, local(2024, 3, 14)},
                 {"sun+1d", OS_OK, local(2024, 3, 11)},
                 {"mar", OS_OK, local(2024, 3, 15)},  // month name keeps the day
                 {"jul-1d", OS_OK, local(2024, 7, 14)},
                 {"15", OS_OK, local(2024, 3, 15)},
                 {"1", OS_OK, local(2024, 3, 1)},
                 {"31+3d", OS_OK, local(2024, 4, 3)},
                 {"15+3d", OS_OK, local(2024, 3, 18)},
                 {"000000015", OS_OK, local(2024, 3, 15)},  // zero-padded up to 9 characters
                 {"1999", OS_OK, local(1999, 3, 15)},
                 {"32", OS_ERR_TIME_PARSE, base},
                 {"0", OS_ERR_TIME_PARSE, base},
                 {"015", OS_ERR_TIME_PARSE, base},  // three characters: names only
                 {"xyz", OS_ERR_TIME_PARSE, base},
                 {"Mon", OS_ERR_TIME_PARSE, base},  // the parser expects lower case
                 {"T-1D", OS_ERR_TIME_PARSE, base},
                 {"t-1D", OS_OK, local(2024, 3, 14)},
                 {"20x4", OS_ERR_TIME_PARSE, base},
                 {"today", OS_ERR_TIME_PARSE, base},
                 {"0000000015", OS_ERR_TIME_PARSE, base}},  // longer than any anchor
                base);
    // A month name past the base day's end is normalised forward.
    EXPECT_EQ(parse("feb", local(2024, 3, 30, 9)).sec, local(2024, 3, 1));
    // A weekday equal to the base day's goes a full week back.
    EXPECT_EQ(parse("wed", local(2024, 3, 13, 23, 59)).sec, local(2024, 3, 6));
}

TEST_F(TimeParse, AbsoluteDateForms) {
    expect_rows({{"15-jan-99", OS_OK, local(2099, 1, 15)},
                 {"15-jan-1999", OS_OK, local(1999, 1, 15)},
                 {"15-jan-24 08:00:05", OS_OK, local(2024, 1, 15, 8, 0, 5)},
                 {"32-jan-24", OS_OK, local(2024, 2, 1)},  // normalised by mktime
                 {"1-feb-24 24:00", OS_OK, local(2024, 2, 2)},
                 {"dec 31", OS_OK, local(2024, 12, 31)},
                 {"feb 30", OS_OK, local(2024, 3, 1)},
                 {"1/31", OS_OK, local(2024, 1, 31)},
                 {"12/25xyz", OS_OK, local(2024, 12, 25)},
                 {" 5/1", OS_OK, local(2024, 5, 1)},
                 {"+5/1", OS_OK, local(2024, 5, 1)},
                 {"-1-2", OS_ERR_TIME_PARSE, base},
                 // Form A: any item count but 3, 5 or 6 fails before a store.
                 {"15-january-2024", OS_ERR_TIME_PARSE, base},
                 {"2024-01-15", OS_ERR_TIME_PARSE, base},
                 {"15-jan-2024 13", OS_ERR_TIME_PARSE, base},
                 // ... an unknown month fails after the store, in the base month.
                 {"15-xyz-24", OS_ERR_TIME_PARSE, local(2024, 3, 15)},
                 {"may 0", OS_ERR_TIME_PARSE, base},
                 {"may 32", OS_ERR_TIME_PARSE, base},
                 {"xyz 5", OS_ERR_TIME_PARSE, base},
                 {"january 5", OS_ERR_TIME_PARSE, base},  // longer than a month word
                 {"15-3d", OS_ERR_TIME_PARSE, base},      // month 15
                 {"13/1", OS_ERR_TIME_PARSE, base},
                 {"2/0", OS_ERR_TIME_PARSE, base}},
                base);
}

TEST_F(TimeParse, MonthStepsUseTheLengthOfTheMonthTheyStartIn) {
    struct Case {
        time_t from;
        const char* text;
        int64 days;
    };
    const Case cases[] = {
        {local(2024, 1, 31), "+1mo", 31},       // 2 March
        {local(2024, 1, 31), "+2mo", 31 + 29},  // 31 March
        {local(2000, 2, 10), "+1mo", 29},
        {local(1900, 2, 10), "+1mo", 28},
        {local(2024, 1, 15), "-2mo", -(31 + 31)},     // January, then December
        {local(2023, 12, 15), "+3mo", 31 + 31 + 29},  // year wraps before February
        {local(2022, 12, 15), "+3months", 31 + 31 + 28},
        {local(2024, 3, 15), "+0mo", 0},
        {local(2023, 3, 15), "+1y", 365},   // 14 March 2024
        {local(2025, 1, 15), "-1y", -365},  // 16 January 2024
        {local(2024, 3, 15), "+4years", 366 + 365 + 365 + 365},
        {local(1899, 6, 1), "+2y", 365 + 365},  // 1900 is not a leap year
    };
    for (const Case& c : cases) {
        Outcome o = parse(c.text, c.from);
        EXPECT_EQ(o.code, OS_OK) << c.text;
        EXPECT_EQ(o.sec - c.from, c.days * kDay) << c.text << " from " << c.from;
    }
    EXPECT_EQ(parse("+1mo", local(2024, 1, 31)).sec, local(2024, 3, 2));
    EXPECT_EQ(parse("+2mo", local(2024, 1, 31)).sec, local(2024, 3, 31));
}

TEST_F(TimeParse, CountsBeyondAnySoundResultAreRejected) {
    expect_rows({{"+infs", OS_ERR_TIME_PARSE, base},
                 {"-infinityh", OS_ERR_TIME_PARSE, base},
                 {"+nanm", OS_ERR_TIME_PARSE, base},
                 {"+nand", OS_ERR_TIME_PARSE, base},
                 {"+1e19s", OS_ERR_TIME_PARSE, base},  // product past 2^63
                 {"-1e16w", OS_ERR_TIME_PARSE, base},
                 {"+1e30mo", OS_ERR_TIME_PARSE, base},
                 {"+10001mo", OS_ERR_TIME_PARSE, base},  // above the step bound
                 {"-10001y", OS_ERR_TIME_PARSE, base},
                 {"t+10001y", OS_ERR_TIME_PARSE, local(2024, 3, 15)},
                 {"+1e18s", OS_OK, base + static_cast<int64>(1e18f)},
                 {"+10000y", OS_OK, local(12024, 3, 15, 10, 30)}},
                base);
}

TEST_F(TimeParse, StarAnchorIsNowButMonthStepsFollowTheBase) {
    time_t before = ::time(nullptr);
    Outcome o = parse("*-1h", base);
    time_t after = ::time(nullptr);
    EXPECT_EQ(o.code, OS_OK);
    EXPECT_GE(o.sec, before - 3600);
    EXPECT_LE(o.sec, after - 3600);

    // The record is not refilled from now: the step is March's 31 days.
    before = ::time(nullptr);
    o = parse("*+1mo", base);
    after = ::time(nullptr);
    EXPECT_GE(o.sec, before + 31 * kDay);
    EXPECT_LE(o.sec, after + 31 * kDay);
}

TEST(TimeParseZones, FieldsAreReadUnderTheBaseTimesDaylightSaving) {
    ScopedEnv tz("TZ", "Europe/Berlin");
    const time_t winter = local(2024, 3, 15, 10, 30);
    // 08:00 read as standard time in July is 09:00 on the summer clock.
    EXPECT_EQ(parse("15-jul-24 08:00", winter).sec, local(2024, 7, 15, 9, 0));
    const time_t summer = local(2024, 7, 15, 10, 30);
    EXPECT_EQ(parse("15-jul-24 08:00", summer).sec, local(2024, 7, 15, 8, 0));
    // Offsets are elapsed seconds: a day across the spring change is 24 hours.
    EXPECT_EQ(parse("+1d", local(2024, 3, 30, 12)).sec, local(2024, 3, 31, 13));
    // Midnight of the changeover day read as summer time is 23:00 the day before.
    EXPECT_EQ(parse("t", local(2024, 3, 31, 12)).sec, local(2024, 3, 30, 23));
}

TEST(TimeParseZones, UnbreakableBaseTimeIsRejected) {
    time_t sec = static_cast<time_t>(INT64_MAX);
    EXPECT_EQ(processTimeOffset("", &sec), OS_ERR_TIME_PARSE);
    EXPECT_EQ(sec, static_cast<time_t>(INT64_MAX));
}

TEST(TimeExpression, NullArgumentsAreReported) {
    time_t sec = 42;
    EXPECT_EQ(os_relativetime_to_sec(nullptr, &sec), OS_ERR_INVALID_ARG);
    EXPECT_EQ(sec, 42);
    EXPECT_EQ(os_relativetime_to_sec("t", nullptr), OS_ERR_INVALID_ARG);
}

TEST(TimeExpression, TheCallersLocaleIsLeftAsItWas) {
    locale_t mine = ::newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (mine == static_cast<locale_t>(0)) GTEST_SKIP() << "C.UTF-8 locale not installed";
    locale_t old = ::uselocale(mine);
    time_t sec = 1000;
    EXPECT_EQ(processTimeOffset("+1.5m", &sec), OS_OK);
    EXPECT_EQ(sec, 1090);
    EXPECT_EQ(::uselocale(static_cast<locale_t>(0)), mine);
    ::uselocale(old);
    ::freelocale(mine);
}

TEST(TimeExpression, ThreadsGetTheSameAnswersAsOneThread) {
    ScopedEnv tz("TZ", "Europe/Berlin");
    const char* texts[] = {"-2days",          "t-1d",   "mon",   "+1mo",      "-1y",   "2023",
                           "15-jan-24 08:00", "jan 20", "12/25", "15-xyz-24", "+1.5h", "y"};
    std::vector<time_t> bases;
    for (int m = 1; m <= 12; ++m) bases.push_back(local(2024, m, 10 + m, 7, 15));
    auto run_all = [&](std::vector<int64>* out) {
        for (time_t b : bases) {
            for (const char* t : texts) {
                Outcome o = parse(t, b);
                out->push_back(o.code);
                out->push_back(o.sec);
            }
            ZUTimeStamp ts{};
            int32 back = 0, wd = 0;
            out->push_back(convert_sec_to_rdtime(static_cast<int32>(b), &ts));
            out->push_back(convert_rdtime_to_sec(&ts, &back));
            out->push_back(back);
            out->push_back(os_get_weekday(static_cast<int32>(b), &wd));
            out->push_back(wd);
        }
    };
    std::vector<int64> serial;
    run_all(&serial);

    constexpr int kThreads = 6;
    std::vector<std::vector<int64>> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 50; ++round) {
                std::vector<int64> mine;
                run_all(&mine);
                if (mine != serial) {
                    results[i] = std::move(mine);
                    return;
                }
            }
            results[i] = serial;
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, serial);
}

}  // namespace
