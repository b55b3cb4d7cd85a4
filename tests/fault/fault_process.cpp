// Failure paths of process creation: a fork or an allocation that fails reports the
// spawn code with -1 in the handle, and leaves nothing open or running.
#include <gtest/gtest.h>
#include <unistd.h>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(pid_t, fork, -1, (), ())

namespace {

TEST(ProcFault, ForkFailureReportsSpawn) {
    const int fds = zutest::open_fd_count();
    for (const char* name : {"prog", "/bin/true"}) {
        fi::Armed a(fi_fork, 1, EAGAIN);
        ProcessHandle p = 1234;
        EXPECT_EQ(os_process_spawn(name, "x", &p), OS_ERR_PROCESS_SPAWN) << name;
        EXPECT_EQ(p, -1) << name;
    }
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

// The "./name" path is built before the fork: a failed allocation forks nothing.
TEST(ProcFault, PathAllocationFailureSpawnsNothing) {
    fi::Armed count_forks(fi_fork, 1000, 0);
    {
        fi::Armed a(fi_malloc, 1, ENOMEM);
        ProcessHandle p = 1234;
        EXPECT_EQ(os_process_spawn("prog", "x", &p), OS_ERR_PROCESS_SPAWN);
        EXPECT_EQ(p, -1);
    }
    EXPECT_EQ(count_forks.calls(), 0);
    // A name with a '/' needs no allocation at all.
    fi::Armed a(fi_malloc, 1, ENOMEM);
    ProcessHandle p = 0;
    ASSERT_EQ(os_process_spawn("/bin/true", "true", &p), OS_OK);
    EXPECT_EQ(os_process_wait(p), OS_OK);
}

}  // namespace
