// Calendar conversions in several time zones: offsets truncated to whole hours, the
// argument-check order, the daylight-saving hour of the round trip, and local seconds.
#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::local;
using zutest::ScopedEnv;

std::string fields(const ZUTimeStamp& t) {
    return testing::PrintToString(std::vector<int>{t.year, t.month, t.day, t.hour, t.minute,
                                                   t.second, t.mSecond, t.timezone});
}

// Outside daylight saving the two conversions are inverses; inside it the fields are
// read back as standard time, an hour late. The library's own choice of daylight
// saving gets the instant right in both seasons.
TEST(Calendar, RecordRoundTripsInEachZoneAndSeason) {
    // Each zone's standard offset, truncated toward zero.
    const std::pair<const char*, int32> zones[] = {
        {"Europe/Berlin", 1},
        {"Asia/Kathmandu", 5},     // +5:45 today, +5:30 in 1970
        {"America/St_Johns", -3},  // -3:30
    };
    for (const auto& [zone, hours] : zones) {
        ScopedEnv tz("TZ", zone);
        EXPECT_EQ(get_local_timezone(), hours) << zone;
        for (int month : {1, 7}) {
            const time_t t = local(2024, month, 15, 13, 45, 30);
            struct tm parts {};
            ::localtime_r(&t, &parts);
            ZUTimeStamp ts{};
            ts.mSecond = 777;  // never written
            ASSERT_EQ(convert_sec_to_rdtime(static_cast<int32>(t), &ts), OS_OK) << zone;
            EXPECT_EQ(fields(ts), fields({month, 2024, 15, 13, 45, 30, 777, hours})) << zone;
            int32 back = 0;
            EXPECT_EQ(convert_rdtime_to_sec(&ts, &back), OS_OK);
            EXPECT_EQ(back, t + (parts.tm_isdst > 0 ? 3600 : 0)) << zone << " month " << month;
            EXPECT_EQ(os_time_local_to_utc(2024, month, 15, 13, 45, 30), t) << zone;
        }
    }
}

TEST(Calendar, RdtimeToSecStoresEvenOutOfRangeResults) {
    // Zone, the record (month before year), the result and the count stored.
    const std::tuple<const char*, ZUTimeStamp, int32, int32> cases[] = {
        {"UTC", {1, 2038, 19, 3, 14, 6, 0, 0}, OS_OK, 0x7FFFFFFE},
        {"UTC", {1, 2038, 19, 3, 14, 7, 0, 0}, OS_ERR_TIME_MKTIME, 0x7FFFFFFF},
        {"UTC", {1, 2038, 19, 3, 14, 8, 0, 0}, OS_ERR_TIME_MKTIME, INT32_MIN},  // cut to 32 bits
        {"UTC", {1, 1970, 1, 0, 0, 0, 0, 0}, OS_OK, 0},
        {"Asia/Shanghai", {1, 1970, 1, 0, 0, 0, 0, 0}, OS_ERR_TIME_MKTIME, -8 * 3600},
    };
    for (const auto& [zone, record, code, stored] : cases) {
        ScopedEnv tz("TZ", zone);
        int32 sec = 12345;
        EXPECT_EQ(convert_rdtime_to_sec(&record, &sec), code) << zone << " " << record.year;
        EXPECT_EQ(sec, stored) << zone << " " << record.year << ": stored before the check";
    }
    // Extreme fields must not overflow on the way to mktime.
    const ZUTimeStamp extreme{INT32_MIN, INT32_MIN, INT32_MIN, 0, 0, 0, 0, 0};
    int32 sec = 0;
    EXPECT_EQ(convert_rdtime_to_sec(&extreme, &sec), OS_ERR_TIME_MKTIME);
    EXPECT_EQ(os_time_local_to_utc(INT32_MAX, INT32_MAX, 1, 0, 0, 0), -1);
}

TEST(Calendar, ArgumentChecksComeInTheirOwnOrder) {
    ZUTimeStamp ts{};
    EXPECT_EQ(convert_sec_to_rdtime(-1, nullptr), OS_ERR_TIME_NEGATIVE_SEC);
    EXPECT_EQ(convert_sec_to_rdtime(0, nullptr), OS_ERR_TIME_NULL_ARG);
    int32 out = 55;
    EXPECT_EQ(convert_rdtime_to_sec(nullptr, &out), OS_ERR_TIME_NULL_ARG);
    EXPECT_EQ(convert_rdtime_to_sec(&ts, nullptr), OS_ERR_TIME_NULL_ARG);
    for (auto fn : {os_get_weekday, os_get_yearday, os_get_daysec}) {
        EXPECT_EQ(fn(-1, nullptr), OS_ERR_TIME_NULL_ARG);
        EXPECT_EQ(fn(-1, &out), OS_ERR_TIME_NEGATIVE_SEC);
        EXPECT_EQ(out, 55);
    }
}

// Weekday (Monday 1 to Sunday 7), day of the year and second of the day.
TEST(Calendar, QueriesAnswerInLocalTime) {
    // Zone, instant, and the weekday, day of the year and second of the day.
    const std::tuple<const char*, int32, std::vector<int32>> cases[] = {
        {"UTC", 4 * 86400 - 1, {7, 4, 86399}},                       // Sunday is 7; 23:59:59
        {"UTC", 1735689599, {2, 366, 86399}},                        // 31 December 2024, leap year
        {"America/St_Johns", 0, {3, 365, 86400 - 3 * 3600 - 1800}},  // still 1969
        {"Europe/Berlin", 1719835200, {1, 183, 14 * 3600}},          // Monday 1 July 2024, summer
    };
    for (const auto& [zone, sec, want] : cases) {
        ScopedEnv tz("TZ", zone);
        std::vector<int32> got(3, -1);
        EXPECT_EQ(os_get_weekday(sec, &got[0]), OS_OK);
        EXPECT_EQ(os_get_yearday(sec, &got[1]), OS_OK);
        EXPECT_EQ(os_get_daysec(sec, &got[2]), OS_OK);
        EXPECT_EQ(got, want) << zone << " " << sec;
    }
}

}  // namespace
