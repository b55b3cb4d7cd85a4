// Events: time-outs and their deadline arithmetic, waits that signals do not cut
// short, named events shared between processes and keeping their value, and the
// message for a name the system rejects.
#include <gtest/gtest.h>
#include <semaphore.h>

#include <chrono>
#include <string>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

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
