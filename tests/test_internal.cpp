// The library's internal helpers on their own: deadline arithmetic (the one carry,
// the saturation of select-style time-outs, what is left of a wait) and the result
// mapping every wrapper goes through.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <climits>

#include "os_internal.h"

namespace {

struct Ts {
    time_t s;
    long ns;
};

::testing::AssertionResult same(const timespec& got, Ts want) {
    if (got.tv_sec == want.s && got.tv_nsec == want.ns) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "{" << got.tv_sec << ", " << got.tv_nsec << "}";
}

TEST(InternalDeadline, AddingCarriesOnceAtExactlyOneSecondOfNanoseconds) {
    const struct {
        Ts now;
        int64 ms;
        Ts at;
    } cases[] = {
        {{5, 999000000}, 1, {6, 0}},  // the sum is exactly one second
        {{5, 998999999}, 1, {5, 999999999}},
        {{5, 999999999}, 999, {6, 998999999}},
        {{5, 0}, 2500, {7, 500000000}},
        {{0, 0}, int64{INT_MAX} * 1000 + INT_MAX, {int64{INT_MAX} + INT_MAX / 1000, 647000000}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(same(zu::after_msec({c.now.s, c.now.ns}, c.ms), c.at)) << c.ms << " ms";
    }
    // One carry and no more, whatever it leaves (the event's real-time deadline).
    EXPECT_TRUE(same(zu::carry_once(5, 2500000000L), {6, 1500000000}));
    EXPECT_TRUE(same(zu::carry_once(5, -1), {5, -1}));
}

TEST(InternalDeadline, TimeLeftIsZeroFromTheDeadlineOn) {
    const struct {
        Ts at, now, left;
    } cases[] = {
        {{6, 100}, {6, 100}, {0, 0}},   {{6, 100}, {6, 101}, {0, 0}},
        {{6, 100}, {7, 0}, {0, 0}},     {{6, 100}, {5, 200}, {0, 999999900}},
        {{6, 200}, {5, 100}, {1, 100}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(same(zu::time_left({c.at.s, c.at.ns}, {c.now.s, c.now.ns}), c.left))
            << c.at.s << "." << c.at.ns << " - " << c.now.s << "." << c.now.ns;
    }
}

TEST(InternalDeadline, SelectTimeOutsBecomeSpansNoLongerThanTheLongest) {
    const Ts longest{INT64_MAX / zu::kNsPerSec, INT64_MAX % zu::kNsPerSec};
    const time_t last = longest.s - 2;  // the longest whole count kept as it is
    const struct {
        timeval tv;
        Ts span;
    } cases[] = {
        {{0, 300000}, {0, 300000000}},        {{1, 1500000}, {2, 500000000}},
        {{last, 999999}, {last, 999999000}},  {{last + 1, 0}, longest},
        {{0, (last + 1) * 1000000}, longest}, {{last, 1000000}, longest},
        {{LONG_MAX, LONG_MAX}, longest},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(same(zu::timeval_span(c.tv), c.span)) << c.tv.tv_sec << " s " << c.tv.tv_usec;
    }
}

TEST(InternalResult, AFailureGivesErrnoOrTheCodeThatRenamesIt) {
    errno = EBUSY;
    EXPECT_EQ(zu::status_of(-1), EBUSY);
    EXPECT_EQ(zu::status_of(0), OS_OK);
    EXPECT_EQ(zu::status_of(ssize_t{7}), OS_OK) << "a count is success";
    EXPECT_EQ(zu::status_of(MAP_FAILED, MAP_FAILED), EBUSY);
    EXPECT_EQ(zu::status_of(&errno, MAP_FAILED), OS_OK);
    EXPECT_EQ(zu::status_of(static_cast<char*>(nullptr), nullptr), EBUSY);
    EXPECT_EQ(zu::status_as(-1, EBUSY, OS_ERR_SEMA_BUSY), OS_ERR_SEMA_BUSY);
    EXPECT_EQ(zu::status_as(-1, EAGAIN, OS_ERR_SEMA_BUSY), EBUSY) << "another errno passes";
    EXPECT_EQ(zu::status_as(0, EBUSY, OS_ERR_SEMA_BUSY), OS_OK);
    EXPECT_EQ(zu::errno_as(EBUSY, OS_ERR_NET_DOWN), OS_ERR_NET_DOWN);
    EXPECT_EQ(zu::renamed(ETIMEDOUT, ETIMEDOUT, OS_ERR_EVENT_TIMEOUT), OS_ERR_EVENT_TIMEOUT);
    EXPECT_EQ(zu::renamed(EDEADLK, ETIMEDOUT, OS_ERR_EVENT_TIMEOUT), EDEADLK);
    for (int failure : {-1, EDEADLK})
        EXPECT_EQ(zu::ok_or(failure, OS_ERR_RWLOCK_READ), OS_ERR_RWLOCK_READ);
    EXPECT_EQ(zu::ok_or(0, OS_ERR_RWLOCK_READ), OS_OK);
}

}  // namespace
