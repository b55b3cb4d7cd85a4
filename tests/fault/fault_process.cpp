// Failure paths of process creation: a fork or an allocation that fails reports the
// spawn code with -1 in the handle, and leaves nothing open or running.
#include <gtest/gtest.h>
#include <unistd.h>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(pid_t, fork, -1, (), ())

namespace {

// A failed fork, or a failed allocation of the "./name" path (made before the fork,
// so nothing is forked), reports the spawn code with -1 in the handle and leaves
// nothing open. A name with a '/' needs no allocation at all.
TEST(ProcFault, AFailedSpawnStepReportsSpawn) {
    const int fds = zutest::open_fd_count();
    const struct {
        bool fork_fails;
        const char* name;
        int rc;
    } cases[] = {{true, "prog", OS_ERR_PROCESS_SPAWN},
                 {true, "/bin/true", OS_ERR_PROCESS_SPAWN},
                 {false, "prog", OS_ERR_PROCESS_SPAWN},
                 {false, "/bin/true", OS_OK}};
    for (const auto& c : cases) {
        fi::Armed forks(fi_fork, c.fork_fails ? 1 : 1000, EAGAIN);
        fi::Armed alloc(fi_malloc, c.fork_fails ? 0 : 1, ENOMEM);  // 0: never
        ProcessHandle p = 1234;
        EXPECT_EQ(os_process_spawn(c.name, "x", &p), c.rc) << c.name;
        EXPECT_EQ(forks.calls(), c.rc == OS_OK || c.fork_fails ? 1 : 0) << c.name;
        EXPECT_EQ(c.rc == OS_OK ? os_process_wait(p) : p, c.rc == OS_OK ? OS_OK : -1) << c.name;
    }
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

}  // namespace
