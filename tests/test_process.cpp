// Processes: which file a child runs, what argument vector it gets, how a child whose
// program cannot run ends, and the results of kill and wait, also for handles that
// name no process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

class Process : public ::testing::Test {
protected:
    // Writes a file in the test's directory (a script when mode is executable).
    std::string write_file(const std::string& name, const std::string& text, mode_t mode = 0755) {
        const std::string path = dir.file(name);
        std::ofstream(path) << text;
        EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
        return path;
    }

    zutest::TempDir dir;
    // Records the script's $0 and its count of arguments after argument zero.
    const std::string record = "echo \"$0 $#\" > marker\n";
};

TEST_F(Process, NameWithoutSlashRunsFromTheWorkingDirectory) {
    // "true" is also on the search path; the copy in the working directory must run.
    // The shell reads the same command from standard input, and there $0 is argument
    // zero: the one argument string, unsplit.
    ASSERT_EQ(::mkdir(dir.file("bin").c_str(), 0755), 0);
    for (const char* name : {"true", "bin/prog", "abs"}) write_file(name, "#!/bin/sh\n" + record);
    const std::string cmds = write_file("cmds", record, 0644);
    const struct {
        std::string name, ran_as;
    } cases[] = {{"true", "./true 0\n"},
                 {"bin/prog", "bin/prog 0\n"},  // relative to the working directory, as given
                 {dir.file("abs"), dir.file("abs") + " 0\n"},
                 {"/bin/sh", "one  string with blanks 0\n"}};
    for (const auto& c : cases) {
        ::unlink(dir.file("marker").c_str());
        const int rc = zutest::run_in_child([&] {
            const int fd = ::open(cmds.c_str(), O_RDONLY);
            if (::chdir(dir.path().c_str()) != 0 || fd < 0 || ::dup2(fd, 0) != 0) return 10;
            ProcessHandle p = 0;
            if (os_process_spawn(c.name.c_str(), "one  string with blanks", &p) != OS_OK) return 11;
            if (p <= 0) return 12;
            return os_process_wait(p) == OS_OK ? 0 : 13;
        });
        EXPECT_EQ(rc, 0) << c.name;
        EXPECT_EQ(zutest::read_file(dir.file("marker")), c.ran_as) << c.name;
    }
}

TEST_F(Process, ChildThatCannotRunItsProgramEndsWith127) {
    const int32 self = os_process_get_curr_id();
    EXPECT_EQ(self, ::getpid());
    for (const std::string& name : {dir.file("missing"), write_file("not-executable", "", 0644)}) {
        ProcessHandle p = 0;
        ASSERT_EQ(os_process_spawn(name.c_str(), "x", &p), OS_OK) << name;
        const int st = zutest::reap(p);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 127) << name << " status " << st;
    }
    EXPECT_EQ(os_process_get_curr_id(), self);  // the child never came back as a copy
    // No argument string at all is allowed too.
    ProcessHandle p = 0;
    ASSERT_EQ(os_process_spawn("/bin/true", nullptr, &p), OS_OK);
    EXPECT_EQ(os_process_wait(p), OS_OK);
}

// Terminate sends SIGKILL; one wait collects the child, a second finds nothing.
TEST_F(Process, ATerminatedChildIsCollectedByOneWait) {
    const std::string sleeper = write_file("sleeper", "#!/bin/sh\nexec sleep 60\n");
    for (bool by_library : {false, true}) {
        ProcessHandle p = 0;
        ASSERT_EQ(os_process_spawn(sleeper.c_str(), "sleeper", &p), OS_OK);
        EXPECT_EQ(os_process_terminate(p), OS_OK);
        if (by_library) {
            EXPECT_EQ(os_process_wait(p), OS_OK);
            EXPECT_EQ(os_process_wait(p), OS_ERR_PROCESS_WAIT);
        } else {
            const int st = zutest::reap(p);
            EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << st;
        }
    }
    EXPECT_EQ(os_process_terminate(INT_MAX), ESRCH);  // above any pid_max
}

// The -1 of a failed spawn, 0 and other ids that are not positive name no process:
// terminate must not signal a process group or every process it may, and wait must
// not collect some other child. Run as the first process of a PID namespace of its
// own, leading a session of its own, so that a regression reaches only the processes
// made here, never the host's.
TEST(ProcessHandle, HandlesThatNameNoProcessReachNeitherKillNorWait) {
    constexpr int kNoNamespace = 77;
    const int rc = zutest::run_in_child([] {
        if (::unshare(CLONE_NEWPID) != 0) return kNoNamespace;
        return zutest::run_in_child([] {
            ::setsid();
            const pid_t running = locktest::fork_child([] { return ::pause(); });
            const pid_t ended = locktest::fork_child([] { return 0; });
            siginfo_t info{};
            ::waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOWAIT);  // a zombie
            int wrong = 0;
            for (ProcessHandle none : {-1, 0, INT_MIN}) {
                if (os_process_terminate(none) != ESRCH) wrong |= 1;
                if (os_process_wait(none) != OS_ERR_PROCESS_WAIT) wrong |= 2;
            }
            if (::waitpid(running, nullptr, WNOHANG) != 0) wrong |= 4;    // killed
            if (::waitpid(ended, nullptr, WNOHANG) != ended) wrong |= 8;  // collected
            locktest::reap(running, /*kill=*/true);
            return wrong;
        });
    });
    if (rc == kNoNamespace) GTEST_SKIP() << "no PID namespace (needs root) to contain a failure";
    EXPECT_EQ(rc, 0) << "1: a signal sent, 2: a wait made, 4: a child killed, 8: one collected";
}

}  // namespace
