// Failure paths of the events: allocations, semaphores that cannot be made, opened
// or closed. Each checks the result, that nothing is left allocated (LeakSanitizer in
// the asan build), open or named in the system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <stdarg.h>

#include <string>

#include "fault_injection.h"
#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(int, sem_init, -1, (sem_t * s, int shared, unsigned v), (s, shared, v))
FI_WRAP(int, sem_destroy, -1, (sem_t * s), (s))
FI_WRAP(int, sem_close, -1, (sem_t * s), (s))
FI_WRAP(int, clock_gettime, -1, (clockid_t c, struct timespec* t), (c, t))

// FI_WRAP(sem_t*, sem_open
fi::Point fi_sem_open;
extern "C" sem_t* __real_sem_open(const char* name, int oflag, ...);
extern "C" sem_t* __wrap_sem_open(const char* name, int oflag, ...) {
    if (fi_sem_open.hit()) {
        errno = fi_sem_open.err;
        return SEM_FAILED;
    }
    if ((oflag & O_CREAT) == 0) return __real_sem_open(name, oflag);
    va_list ap;
    va_start(ap, oflag);
    mode_t mode = va_arg(ap, mode_t);
    unsigned value = va_arg(ap, unsigned);
    va_end(ap);
    return __real_sem_open(name, oflag, mode, value);
}

namespace {

class EventFault : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(zutest::open_fd_count(), fds) << "no descriptor left"; }

    const std::string name = "/zuos-fault-event-" + std::to_string(::getpid());
    int fds = zutest::open_fd_count();
};

TEST_F(EventFault, AFailedInitLeavesNothingBehind) {
    EventHandle e = nullptr;
    auto unnamed = [&] { return os_event_init(&e, nullptr); };
    auto named = [&] { return os_event_init(&e, name.c_str()); };
    EXPECT_EQ(fi::failing(fi_malloc, 1, ENOMEM, unnamed), OS_ERR_NO_MEMORY);
    EXPECT_EQ(fi::failing(fi_malloc, 2, ENOMEM, named), OS_ERR_NO_MEMORY) << "the name's copy";
    EXPECT_EQ(fi::failing(fi_sem_init, 1, ENOSYS, unnamed), ENOSYS);
    int rc = -1;
    EXPECT_EQ(locktest::printed_by([&] { return fi::failing(fi_sem_open, 1, EMFILE, named); }, &rc),
              "#SEM_FAILED#[" + name + "]\n\n");
    EXPECT_EQ(rc, EMFILE);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(::sem_unlink(name.c_str()), -1) << "no name left";
}

TEST_F(EventFault, AFailedDestroyStillFreesTheRecord) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    EXPECT_EQ(fi::failing(fi_sem_destroy, 1, EINVAL, [&] { return os_event_destroy(e); }), EINVAL);
    ASSERT_EQ(os_event_init(&e, name.c_str()), OS_OK);
    sem_t* s = e->pSema;
    EXPECT_EQ(fi::failing(fi_sem_close, 1, EINVAL, [&] { return os_event_destroy(e); }), EINVAL);
    ::sem_close(s);
    EXPECT_EQ(os_event_remove(name.c_str()), OS_OK);
}

TEST_F(EventFault, AWaitThatCannotReadTheClockSaysSo) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    for (auto wait : {os_event_timedwait, os_event_timedwait_monotonic}) {
        EXPECT_EQ(fi::failing(fi_clock_gettime, 1, EINVAL, [&] { return wait(e, 1, 0); }),
                  OS_ERR_EVENT_CLOCK);
    }
    EXPECT_EQ(os_event_destroy(e), OS_OK);
}

}  // namespace
