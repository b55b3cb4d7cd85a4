// Time expressions and calendar conversions: the library beside the raw C library
// calls they are built on, in the same run. The parser's floor is one localtime_r
// (the base record) plus one mktime for forms that set a calendar date.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include "os/os.h"

namespace {

// A daylight-saving zone, as a real deployment would have.
struct PinZone {
    PinZone() {
        ::setenv("TZ", "Europe/Berlin", 1);
        ::tzset();
    }
};
const PinZone pin_zone;

constexpr time_t kBase = 1710495000;  // Friday 15 March 2024, 10:30 in Berlin

void BM_Time_Parse(benchmark::State& st, const char* text) {
    for (auto _ : st) {
        time_t sec = kBase;
        benchmark::DoNotOptimize(processTimeOffset(text, &sec));
        benchmark::DoNotOptimize(sec);
    }
}
BENCHMARK_CAPTURE(BM_Time_Parse, offset, "-2days");
BENCHMARK_CAPTURE(BM_Time_Parse, today_minus_day, "t-1d");
BENCHMARK_CAPTURE(BM_Time_Parse, weekday, "mon");
BENCHMARK_CAPTURE(BM_Time_Parse, month_step, "+1mo");
BENCHMARK_CAPTURE(BM_Time_Parse, day_month_year, "15-jan-24 08:00");

// The raw floor: break the base down and build a midnight from it.
void BM_Time_Raw_LocaltimeMktime(benchmark::State& st) {
    for (auto _ : st) {
        time_t base = kBase;
        struct tm t {};
        ::localtime_r(&base, &t);
        t.tm_hour = t.tm_min = t.tm_sec = 0;
        benchmark::DoNotOptimize(::mktime(&t));
    }
}
BENCHMARK(BM_Time_Raw_LocaltimeMktime);

void BM_Time_Raw_Localtime(benchmark::State& st) {
    for (auto _ : st) {
        time_t base = kBase;
        struct tm t {};
        benchmark::DoNotOptimize(::localtime_r(&base, &t));
    }
}
BENCHMARK(BM_Time_Raw_Localtime);

void BM_Time_Weekday_Lib(benchmark::State& st) {
    for (auto _ : st) {
        int32 wd;
        benchmark::DoNotOptimize(os_get_weekday(static_cast<int32>(kBase), &wd));
    }
}
BENCHMARK(BM_Time_Weekday_Lib);

void BM_Time_Msec_Lib(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(os_get_curr_time_msec());
}
BENCHMARK(BM_Time_Msec_Lib);

void BM_Time_Msec_RawGettimeofday(benchmark::State& st) {
    for (auto _ : st) {
        struct timeval tv;
        ::gettimeofday(&tv, nullptr);
        benchmark::DoNotOptimize(int64{tv.tv_sec} * 1000 + tv.tv_usec / 1000);
    }
}
BENCHMARK(BM_Time_Msec_RawGettimeofday);

}  // namespace
