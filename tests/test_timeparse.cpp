// Time expressions: the worked examples, the edge cases of each form, what *pnSec
// holds after a failure, the choices for over-long and out-of-range input, and
// agreement between threads. The "*" anchor is covered with a pinned clock in
// tests/fault/fault_time.cpp.
#include <gtest/gtest.h>
#include <locale.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::local;
using zutest::ScopedEnv;

constexpr int64 kDay = 86400;

struct Row {
    const char* text;
    int32 code;
    time_t want;      // *pnSec afterwards, on failure too
    time_t from = 0;  // base time when not the fixture's
};

// A zone without daylight saving keeps the tables independent of the season; a base
// with seconds shows which forms clear the clock and which keep it.
class TimeParse : public ::testing::Test {
protected:
    void expect_rows(const std::vector<Row>& rows) {
        for (const Row& r : rows) {
            time_t sec = r.from ? r.from : base;
            EXPECT_EQ(processTimeOffset(r.text, &sec), r.code) << '"' << r.text << '"';
            EXPECT_EQ(sec, r.want) << '"' << r.text << "\" is off by " << (sec - r.want);
        }
    }
    ScopedEnv tz{"TZ", "Asia/Shanghai"};
    const time_t base = local(2024, 3, 15, 10, 30, 45);  // Friday
};

TEST_F(TimeParse, WorkedExamples) {
    expect_rows({{"-2days", OS_OK, local(2024, 3, 13, 10, 30, 45)},
                 {"+1.5h", OS_OK, local(2024, 3, 15, 12, 0, 45)},
                 {"t-1d", OS_OK, local(2024, 3, 14)},
                 {"y", OS_OK, local(2024, 3, 14)},
                 {"mon", OS_OK, local(2024, 3, 11)},
                 {"fri", OS_OK, local(2024, 3, 8)},
                 {"+1mo", OS_OK, local(2024, 4, 15, 10, 30, 45)},
                 {"-1mo", OS_OK, local(2024, 2, 13, 10, 30, 45)},
                 {"+1y", OS_OK, local(2025, 3, 16, 10, 30, 45)},
                 {"2023", OS_OK, local(2023, 3, 15)},
                 {"15-jan-24 08:00", OS_OK, local(2024, 1, 15, 8, 0)},
                 {"jan 20", OS_OK, local(2024, 1, 20)},
                 {"12/25", OS_OK, local(2024, 12, 25)},
                 {"5-1d", OS_OK, local(2024, 5, 1)},
                 {"", OS_OK, base}});
}

TEST_F(TimeParse, OffsetsAreTruncatedSinglePrecisionProducts) {
    expect_rows({{"-1.5s", OS_OK, base - 1},              // toward zero, not down
                 {"+2.9999999m", OS_OK, base + 180},      // the count rounds to 3.0f
                 {"+24859w", OS_OK, base + 15034722304},  // (86400 x n) x 7, each rounded
                 {"+1d2h", OS_OK, base + kDay},           // text after the unit is ignored
                 {"-2WEEKS", OS_OK, base - 14 * kDay},    // the unit may be upper case
                 {"+1e18s", OS_OK, base + static_cast<int64>(1e18f)},
                 {"+10000y", OS_OK, local(12024, 3, 15, 10, 30, 45)}});  // the step bound itself
}

TEST_F(TimeParse, FormsAcceptTheirOwnGrammar) {
    expect_rows({{"feb", OS_OK, local(2024, 3, 1), local(2024, 3, 30, 9)},  // keeps the day
                 {"31+3d", OS_OK, local(2024, 4, 3)},
                 {"000000015", OS_OK, local(2024, 3, 15)},  // zero-padded up to 9 characters
                 {"15-jan-99", OS_OK, local(2099, 1, 15)},
                 {"15-jan-1999", OS_OK, local(1999, 1, 15)},
                 {"15-jan-24 08:00:05", OS_OK, local(2024, 1, 15, 8, 0, 5)},
                 {"dec 31", OS_OK, local(2024, 12, 31)},
                 {" 12/25", OS_OK, local(2024, 12, 25)},  // blanks before a numeric date
                 {"\t5-1", OS_OK, local(2024, 5, 1)},
                 {"+5/1", OS_OK, local(2024, 5, 1)}});
}

// Malformed or out-of-range text fails before anything is stored.
TEST_F(TimeParse, RejectedTextLeavesTheBaseTime) {
    auto reject = [&](std::initializer_list<const char*> texts) {
        std::vector<Row> rows;
        for (const char* text : texts) rows.push_back({text, OS_ERR_TIME_PARSE, base});
        expect_rows(rows);
    };
    reject({"-2 days", "+1x",      "+1.5d",      "+infs",    "+1e19s", "-1e16w", "+1e18m",
            "+1e17h",  "+10001mo", "-10001y",    "-5",       "32",     "0",      "015",
            "Mon",     "20x4",     "0000000015", "1234567-", "\b5-1",  "-1-2",   "15-jan-2024 13",
            "may 0",   "may 32",   "xyz 5",      "13/1",     "2/0",    "1/32"});
    // A sum past the 64-bit range, from a base far enough out for localtime.
    const time_t far = 50000000000000000;
    expect_rows({{"+9.2e18s", OS_ERR_TIME_PARSE, far, far}});
}

// An anchor's (or form A's) result stands when what follows it fails.
TEST_F(TimeParse, FailuresAfterAStoreKeepIt) {
    const time_t midnight = local(2024, 3, 15);
    expect_rows({{"t/1d", OS_ERR_TIME_PARSE, midnight},
                 {"5-x", OS_ERR_TIME_PARSE, local(2024, 3, 5)},  // not a numeric date
                 {"5/x", OS_ERR_TIME_PARSE, local(2024, 3, 5)},
                 {"15-xyz-24", OS_ERR_TIME_PARSE, midnight},  // unknown month: the base's
                 // A base time localtime cannot break down.
                 {"", OS_ERR_TIME_PARSE, INT64_MAX, INT64_MAX}});
}

TEST_F(TimeParse, CalendarStepsUseTheLengthOfTheUnitTheyStartIn) {
    auto days = [](int y, int mo, int d, const char* text, int64 n) {
        return Row{text, OS_OK, local(y, mo, d) + n * kDay, local(y, mo, d)};
    };
    expect_rows({{"+1mo", OS_OK, local(2024, 3, 2), local(2024, 1, 31)},
                 days(2000, 2, 10, "+1mo", 29),
                 days(1900, 2, 10, "+1mo", 28),
                 days(2024, 1, 15, "-2mo", -(31 + 31)),         // January, then December
                 days(2023, 12, 15, "+3months", 31 + 31 + 29),  // year wraps before February
                 days(2023, 11, 15, "+3mo", 30 + 31 + 31),      // December comes after November
                 days(2025, 1, 15, "-1y", -365)});              // 16 January 2024
}

TEST(TimeParseZones, FieldsAreReadUnderTheBaseTimesDaylightSaving) {
    ScopedEnv tz("TZ", "Europe/Berlin");
    auto parse = [](const char* text, time_t sec) { return processTimeOffset(text, &sec), sec; };
    // 08:00 read as standard time in July is 09:00 on the summer clock.
    EXPECT_EQ(parse("15-jul-24 08:00", local(2024, 3, 15)), local(2024, 7, 15, 9, 0));
    EXPECT_EQ(parse("15-jul-24 08:00", local(2024, 7, 15)), local(2024, 7, 15, 8, 0));
    // Offsets are elapsed seconds: a day across the spring change is 24 hours.
    EXPECT_EQ(parse("+1d", local(2024, 3, 30, 12)), local(2024, 3, 31, 13));
    // Midnight of the changeover day read as summer time is 23:00 the day before.
    EXPECT_EQ(parse("t", local(2024, 3, 31, 12)), local(2024, 3, 30, 23));
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
    EXPECT_EQ(::uselocale(old), mine);
    ::freelocale(mine);
}

TEST(TimeExpression, ThreadsGetTheSameAnswersAsOneThread) {
    ScopedEnv tz("TZ", "Europe/Berlin");
    auto run_all = [] {
        std::vector<int64> out;
        for (int m = 1; m <= 12; ++m) {
            const time_t b = local(2024, m, 10 + m, 7, 15);
            for (const char* t : {"-2days", "t-1d", "mon", "+1mo", "-1y", "15-jan-24 08:00",
                                  "jan 20", "12/25", "15-xyz-24", "+1.5h", "y"}) {
                time_t sec = b;
                out.insert(out.end(), {processTimeOffset(t, &sec), sec});
            }
            ZUTimeStamp ts{};
            int32 back = 0, wd = 0;
            // A braced list is evaluated left to right: the calls come before their results.
            out.insert(out.end(), {convert_sec_to_rdtime(static_cast<int32>(b), &ts),
                                   convert_rdtime_to_sec(&ts, &back),
                                   os_get_weekday(static_cast<int32>(b), &wd), back, wd});
        }
        return out;
    };
    const std::vector<int64> serial = run_all();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round) mismatches += run_all() != serial;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
