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

// Each wait takes one posted unit or times out, at once for a time-out of 0 or a
// deadline already past. The real-time wait makes exactly one carry into the
// seconds, so 2000 ms leave its nanoseconds out of range; the monotonic one takes
// any count that is not negative, however large, and refuses the others before
// taking anything.
TEST(Event, EachWaitTakesOnePostedUnitOrTimesOut) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    EXPECT_EQ(e->szName, nullptr);
    const struct {
        int posts;
        bool monotonic;
        int32 s, ms;
        int rc;
    } steps[] = {
        {0, false, 0, 0, OS_ERR_EVENT_TIMEOUT},  // starts at 0
        {2, false, 0, 0, OS_OK},
        {0, false, -5, 0, OS_OK},
        {0, false, -5, 0, OS_ERR_EVENT_TIMEOUT},
        {0, false, 0, 2000, EINVAL},
        {1, true, -1, 0, EINVAL},
        {0, true, 0, -1, EINVAL},
        {0, true, INT_MIN, INT_MIN, EINVAL},
        {0, true, 0, 2000, OS_OK},  // the unit the refused waits left
        {1, true, INT_MAX, INT_MAX, OS_OK},
        {0, true, 0, 0, OS_ERR_EVENT_TIMEOUT},
    };
    for (const auto& c : steps) {
        for (int i = 0; i < c.posts; ++i) EXPECT_EQ(os_event_set(e), OS_OK);
        EXPECT_EQ((c.monotonic ? os_event_timedwait_monotonic : os_event_timedwait)(e, c.s, c.ms),
                  c.rc)
            << (c.monotonic ? "monotonic " : "real-time ") << c.s << " s " << c.ms << " ms";
    }
    EXPECT_DEATH(os_event_timedwait_monotonic(nullptr, 0, 0), "hEvent != nullptr");
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

// Never early and not much later, also while signals keep interrupting the wait.
// 999 ms nearly always carry into the seconds of the real-time deadline, where a
// wrong carry gives EINVAL (its bound allows for the real-time clock being slewed);
// 1100 ms are 1.1 s.
TEST(Event, WaitsEndAtTheirTimeOutWhateverSignalsCome) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    locktest::expect_waits_out([&] { return os_event_timedwait(e, 0, 999); }, OS_ERR_EVENT_TIMEOUT,
                               990ms);
    for (int32 ms : {200, 1100}) {
        locktest::expect_waits_out([&] { return os_event_timedwait_monotonic(e, 0, ms); },
                                   OS_ERR_EVENT_TIMEOUT, std::chrono::milliseconds(ms));
    }
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

class NamedEvent : public ::testing::Test {
protected:
    void TearDown() override { ::sem_unlink(name.c_str()); }  // whatever happened
    std::string name = "/zuos-test-event-" + std::to_string(::getpid());
};

// Units another process posts end a wait in progress, and those not taken stay in
// the named semaphore after every opening is closed, until the name is removed.
TEST_F(NamedEvent, UnitsAnotherProcessPostsEndAWaitOrStayForLaterOpenings) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, name.c_str()), OS_OK);
    EXPECT_STREQ(e->szName, name.c_str());
    EXPECT_NE(e->szName, name.c_str()) << "a copy of its own";
    locktest::Pipe waiting;
    const pid_t child = locktest::fork_child([&] {
        EventHandle c = nullptr;
        if (os_event_init(&c, name.c_str()) != OS_OK || !waiting.wait()) return 1;
        ::usleep(100 * 1000);
        for (int i = 0; i < 3; ++i) {
            if (os_event_set(c) != OS_OK) return 2;
        }
        return os_event_destroy(c);
    });
    waiting.notify();
    const auto t = locktest::timed([&] { return os_event_timedwait_monotonic(e, 10, 0); });
    EXPECT_EQ(t.rc, OS_OK);
    EXPECT_LT(t.took, 10s);
    EXPECT_TRUE(locktest::reap(child));
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

TEST(Event, ANameTheSystemRejectsIsReportedWithItsMessage) {
    EventHandle e = reinterpret_cast<EventHandle>(0x1);
    int rc = -1;
    EXPECT_EQ(locktest::printed_by([&] { return os_event_init(&e, "/zuos/not-a-name"); }, &rc),
              "#SEM_FAILED#[/zuos/not-a-name]\n\n");
    EXPECT_EQ(rc, EINVAL);
    EXPECT_EQ(e, nullptr);
}

}  // namespace
