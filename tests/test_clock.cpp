// Wall-clock readings, interval subtraction and the millisecond sleep.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>

#include <tuple>
#include <utility>

#include "os/os.h"

namespace {

std::pair<long, long> pair_of(const timeval& t) {
    return {t.tv_sec, t.tv_usec};
}
int64 usec(const timeval& t) {
    return int64{t.tv_sec} * 1000000 + t.tv_usec;
}

// One borrow, and the result may be written over either input.
TEST(Clock, IntervalSubtractionBorrowsOnce) {
    // End, start and the difference.
    const std::tuple<timeval, timeval, timeval> cases[] = {
        {{10, 100}, {9, 999900}, {0, 200}},
        {{3, 500000}, {3, 500000}, {0, 0}},
        {{5, 200000}, {7, 500000}, {-3, 700000}},  // end before start: -2.3 s
    };
    for (const auto& [end0, start0, want] : cases) {
        for (int into = 0; into < 3; ++into) {  // a third record, the end, the start
            timeval end = end0, start = start0, r{-9, -9};
            timeval* out = into == 0 ? &r : into == 1 ? &end : &start;
            os_timevalue_sub(out, &end, &start);
            EXPECT_EQ(pair_of(*out), pair_of(want)) << end0.tv_sec << " into " << into;
        }
    }
}

TEST(Clock, ReadingsAgreeWithTheSystemClock) {
    timeval before{}, hi{}, plain{}, after{};
    ::gettimeofday(&before, nullptr);
    os_gettimeofday_high_res(&hi);
    os_gettimeofday(&plain);
    uint32 sec = 0;
    uint16 msec = 0;
    os_get_curr_time_sec_and_msec(&sec, &msec);
    int64 ms = os_get_curr_time_msec();
    ::gettimeofday(&after, nullptr);
    EXPECT_LE(usec(before), usec(hi));
    EXPECT_LE(usec(hi), usec(plain));
    EXPECT_LE(usec(plain), usec(after));
    EXPECT_LT(msec, 1000);
    EXPECT_LE(usec(before) / 1000, int64{sec} * 1000 + msec);
    EXPECT_LE(int64{sec} * 1000 + msec, ms);
    EXPECT_LE(ms, usec(after) / 1000);

    // With either pointer null nothing is written.
    sec = 7, msec = 9;
    os_get_curr_time_sec_and_msec(&sec, nullptr);
    os_get_curr_time_sec_and_msec(nullptr, &msec);
    EXPECT_EQ(sec, 7u);
    EXPECT_EQ(msec, 9);
}

// The microseconds wrap past 32 bits.
TEST(Clock, SleepLastsTheGivenMilliseconds) {
    auto now = [] {
        struct timespec ts {};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
    };
    const int64 t0 = now();
    os_sleep(0);
    os_sleep(150);
    const int64 t1 = now();
    EXPECT_GE(t1 - t0, 150000);
    // 4294968 ms is 4294968000 us, which wraps round to 704 us.
    os_sleep(4294968);
    EXPECT_LT(now() - t1, 5 * 1000000);
}

}  // namespace
