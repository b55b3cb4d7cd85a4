// Wall-clock readings, interval subtraction and the millisecond sleep.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>

#include "os/os.h"

namespace {

int64 monotonic_usec() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

TEST(Clock, IntervalSubtractionBorrowsOnce) {
    struct Case {
        timeval end, start, want;
    };
    const Case cases[] = {
        {{10, 100}, {9, 999900}, {0, 200}},
        {{3, 500000}, {3, 500000}, {0, 0}},
        {{5, 200000}, {7, 500000}, {-3, 700000}},  // end before start: -2.3 s
        {{7, 0}, {0, 999999}, {6, 1}},
        {{0, 0}, {0, 1}, {-1, 999999}},
    };
    for (const Case& c : cases) {
        timeval end = c.end, start = c.start, r{-9, -9};
        os_timevalue_sub(&r, &end, &start);
        EXPECT_EQ(r.tv_sec, c.want.tv_sec) << c.end.tv_sec << "." << c.end.tv_usec;
        EXPECT_EQ(r.tv_usec, c.want.tv_usec) << c.end.tv_sec << "." << c.end.tv_usec;

        // The result may be either input.
        timeval a = c.end, b = c.start;
        os_timevalue_sub(&a, &a, &b);
        EXPECT_EQ(a.tv_sec, c.want.tv_sec);
        EXPECT_EQ(a.tv_usec, c.want.tv_usec);
        a = c.end;
        os_timevalue_sub(&b, &a, &b);
        EXPECT_EQ(b.tv_sec, c.want.tv_sec);
        EXPECT_EQ(b.tv_usec, c.want.tv_usec);
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

    auto usec = [](const timeval& t) { return int64{t.tv_sec} * 1000000 + t.tv_usec; };
    EXPECT_LE(usec(before), usec(hi));
    EXPECT_LE(usec(hi), usec(plain));
    EXPECT_LE(usec(plain), usec(after));
    EXPECT_LT(msec, 1000);
    const int64 split = int64{sec} * 1000 + msec;
    EXPECT_LE(usec(before) / 1000, split);
    EXPECT_LE(split, ms);
    EXPECT_LE(ms, usec(after) / 1000);
}

TEST(Clock, SplitReadingWithANullPointerWritesNothing) {
    uint32 sec = 7;
    uint16 msec = 9;
    os_get_curr_time_sec_and_msec(&sec, nullptr);
    os_get_curr_time_sec_and_msec(nullptr, &msec);
    EXPECT_EQ(sec, 7u);
    EXPECT_EQ(msec, 9);
}

TEST(Clock, SleepLastsTheGivenMillisecondsAndWrapsPast32Bits) {
    int64 t0 = monotonic_usec();
    os_sleep(0);
    os_sleep(150);
    int64 t1 = monotonic_usec();
    EXPECT_GE(t1 - t0, 150000);
    // 4294968 ms is 4294968000 us, which wraps round to 704 us.
    os_sleep(4294968);
    EXPECT_LT(monotonic_usec() - t1, 5 * 1000000);
}

}  // namespace
