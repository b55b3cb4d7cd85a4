// Events: time-outs and their deadline arithmetic on either clock, waits that
// signals do not cut short, named events shared between processes and keeping their
// value, a post beyond the maximum, and the message for a name the system rejects.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>

#include <chrono>
#include <climits>
#include <string>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

TEST(Event, UnnamedEventTakesPostedUnitsAndOtherwiseTimesOut) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    EXPECT_EQ(e->szName, nullptr);
    EXPECT_EQ(os_event_timedwait(e, 0, 0), OS_ERR_EVENT_TIMEOUT) << "starts at 0";
    EXPECT_EQ(os_event_set(e), OS_OK);
    EXPECT_EQ(os_event_set(e), OS_OK);
    EXPECT_EQ(os_event_timedwait(e, 0, 0), OS_OK);
    EXPECT_EQ(os_event_timedwait(e, -5, 0), OS_OK) << "a past deadline still takes a unit";
    EXPECT_EQ(os_event_timedwait(e, -5, 0), OS_ERR_EVENT_TIMEOUT);
    // Exactly one carry into the seconds: 2000 ms leave the nanoseconds out of range.
    EXPECT_EQ(os_event_timedwait(e, 0, 2000), EINVAL);
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

// 999 ms nearly always carries into the seconds, where a wrong carry gives EINVAL;
// the signals must neither end the wait with EINTR nor make it end early.
TEST(Event, ASignalDuringTheWaitNeitherEndsNorShortensIt) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(locktest::call_while_signalled([&] { return os_event_timedwait(e, 0, 999); }),
              OS_ERR_EVENT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(990));
    EXPECT_GT(locktest::usr1_hits, 0);
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

// Never early, also while signals keep interrupting the wait; 1100 ms are 1.1 s.
TEST(Event, MonotonicWaitTimesOutNeverEarly) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    locktest::expect_waits_out([&] { return os_event_timedwait_monotonic(e, 0, 200); },
                               OS_ERR_EVENT_TIMEOUT, 200ms);
    locktest::expect_waits_out([&] { return os_event_timedwait_monotonic(e, 0, 1100); },
                               OS_ERR_EVENT_TIMEOUT, 1100ms);
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

// With units posted, every valid time-out takes one at once, whatever its size;
// negative ones take nothing.
TEST(Event, MonotonicWaitTimeOuts) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    EXPECT_EQ(os_event_set(e), OS_OK);
    EXPECT_EQ(os_event_set(e), OS_OK);
    const struct {
        int32 s, ms;
        int rc;
    } cases[] = {
        {-1, 0, EINVAL},
        {0, -1, EINVAL},
        {INT_MIN, INT_MIN, EINVAL},
        {0, 2000, OS_OK},
        {INT_MAX, INT_MAX, OS_OK},  // no overflow, nanoseconds in range
        {0, 0, OS_ERR_EVENT_TIMEOUT},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(os_event_timedwait_monotonic(e, c.s, c.ms), c.rc)
            << c.s << " s " << c.ms << " ms";
    }
    EXPECT_DEATH(os_event_timedwait_monotonic(nullptr, 0, 0), "hEvent != nullptr");
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

class NamedEvent : public ::testing::Test {
protected:
    void TearDown() override { ::sem_unlink(name.c_str()); }  // whatever happened
    std::string name = "/zuos-test-event-" + std::to_string(::getpid());
};

TEST_F(NamedEvent, ValueIsSharedAndSurvivesDestroyAndInit) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, name.c_str()), OS_OK);
    EXPECT_STREQ(e->szName, name.c_str());
    EXPECT_NE(e->szName, name.c_str()) << "a copy of its own";
    EXPECT_EQ(zutest::run_in_child([&] {
                  EventHandle c = nullptr;
                  if (os_event_init(&c, name.c_str()) != OS_OK) return 1;
                  if (os_event_set(c) != OS_OK || os_event_set(c) != OS_OK) return 2;
                  return os_event_destroy(c);
              }),
              0);
    EXPECT_EQ(os_event_destroy(e), OS_OK);

    ASSERT_EQ(os_event_init(&e, name.c_str()), OS_OK);
    EXPECT_EQ(os_event_timedwait(e, 0, 0), OS_OK);
    EXPECT_EQ(os_event_timedwait(e, 0, 0), OS_OK);
    EXPECT_EQ(os_event_timedwait(e, 0, 0), OS_ERR_EVENT_TIMEOUT);
    EXPECT_EQ(os_event_destroy(e), OS_OK);
    EXPECT_EQ(os_event_remove(name.c_str()), OS_OK);
    EXPECT_EQ(os_event_remove(name.c_str()), ENOENT);

    // A value at the system's maximum leaves a post no room.
    sem_t* full = ::sem_open(name.c_str(), O_CREAT, 0644, SEM_VALUE_MAX);
    ASSERT_NE(full, SEM_FAILED);
    ::sem_close(full);
    ASSERT_EQ(os_event_init(&e, name.c_str()), OS_OK);
    EXPECT_EQ(os_event_set(e), EOVERFLOW);
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

TEST_F(NamedEvent, MonotonicWaitEndsWithAPostFromAnotherProcess) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, name.c_str()), OS_OK);
    locktest::Pipe waiting;
    pid_t child = locktest::fork_child([&] {
        EventHandle c = nullptr;
        if (os_event_init(&c, name.c_str()) != OS_OK || !waiting.wait()) return 1;
        ::usleep(100 * 1000);
        if (os_event_set(c) != OS_OK) return 2;
        return os_event_destroy(c);
    });
    waiting.notify();
    auto t = locktest::timed([&] { return os_event_timedwait_monotonic(e, 10, 0); });
    EXPECT_EQ(t.rc, OS_OK);
    EXPECT_LT(t.took, 10s);
    EXPECT_TRUE(locktest::reap(child));
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

TEST(Event, ANameTheSystemRejectsIsReportedWithItsMessage) {
    EventHandle e = reinterpret_cast<EventHandle>(0x1);
    ::testing::internal::CaptureStdout();
    int rc = os_event_init(&e, "/zuos/not-a-name");
    ::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "#SEM_FAILED#[/zuos/not-a-name]\n\n");
    EXPECT_EQ(rc, EINVAL);
    EXPECT_EQ(e, nullptr);
}

}  // namespace
