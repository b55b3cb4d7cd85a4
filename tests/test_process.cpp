// Processes: which file a child runs, what argument vector it gets, how a child whose
// program cannot run ends, and the results of kill and wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::TempDir;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_script(const std::string& path, mode_t mode = 0755) {
    std::ofstream(path) << "#!/bin/sh\necho \"$0 $#\" > marker\n";
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// Standard input of this process (and so of its children) is a pipe for the scope;
// the write end stays here, so a child reading it blocks until the pipe is closed.
class StdinPipe {
public:
    StdinPipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        saved_ = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
        ::dup2(fds[0], 0);
        ::close(fds[0]);
        write_end_ = fds[1];
    }
    ~StdinPipe() {
        close_write_end();
        if (saved_ >= 0) {
            ::dup2(saved_, 0);
            ::close(saved_);
        } else {
            ::close(0);
        }
    }
    StdinPipe(const StdinPipe&) = delete;
    StdinPipe& operator=(const StdinPipe&) = delete;
    void close_write_end() {
        if (write_end_ >= 0) ::close(write_end_);
        write_end_ = -1;
    }

private:
    int saved_ = -1;
    int write_end_ = -1;
};

// Waits until the child has replaced its program with one whose path ends in name.
bool wait_for_exec(pid_t pid, const std::string& name) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    for (int i = 0; i < 1000; ++i) {
        char buf[PATH_MAX];
        ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
        if (n > 0) {
            std::string target(buf, static_cast<size_t>(n));
            if (target.size() >= name.size() &&
                target.compare(target.size() - name.size(), name.size(), name) == 0)
                return true;
        }
        ::usleep(5000);
    }
    return false;
}

TEST(Process, NameWithoutSlashRunsFromTheWorkingDirectory) {
    // "true" is also on the search path; the copy in the working directory must run.
    // The script records its $0 and its count of arguments after argument zero.
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("bin").c_str(), 0755), 0);
    write_script(dir.file("true"));
    write_script(dir.file("bin/prog"));
    write_script(dir.file("abs"));
    const struct {
        std::string name;
        std::string ran_as;
    } cases[] = {
        {"true", "./true 0\n"},
        {"bin/prog", "bin/prog 0\n"},  // relative to the working directory, as given
        {dir.file("abs"), dir.file("abs") + " 0\n"},
    };
    for (const auto& c : cases) {
        ::unlink(dir.file("marker").c_str());
        const int rc = zutest::run_in_child([&] {
            if (::chdir(dir.path().c_str()) != 0) return 10;
            ProcessHandle p = 0;
            if (os_process_spawn(c.name.c_str(), "one string with blanks", &p) != OS_OK) return 11;
            if (p <= 0) return 12;
            return os_process_wait(p) == OS_OK ? 0 : 13;
        });
        EXPECT_EQ(rc, 0) << c.name;
        EXPECT_EQ(slurp(dir.file("marker")), c.ran_as) << c.name;
    }
}

TEST(Process, ArgvIsTheOnlyArgumentStringUnsplit) {
    StdinPipe in;  // cat reads standard input until the pipe closes
    ProcessHandle p = 0;
    ASSERT_EQ(os_process_spawn("/bin/cat", "zero  with blanks", &p), OS_OK);
    ASSERT_TRUE(wait_for_exec(p, "/cat"));
    const std::string cmdline = slurp("/proc/" + std::to_string(p) + "/cmdline");
    EXPECT_EQ(cmdline, std::string("zero  with blanks", 18));  // one string and its NUL
    in.close_write_end();
    EXPECT_EQ(os_process_wait(p), OS_OK);

    // No argument string at all is allowed too.
    StdinPipe in2;
    in2.close_write_end();
    ASSERT_EQ(os_process_spawn("/bin/cat", nullptr, &p), OS_OK);
    EXPECT_EQ(os_process_wait(p), OS_OK);
}

TEST(Process, ChildThatCannotRunItsProgramEndsWith127) {
    TempDir dir;
    write_script(dir.file("not-executable"), 0644);
    const int32 self = os_process_get_curr_id();
    EXPECT_EQ(self, ::getpid());
    for (const std::string& name : {dir.file("missing"), dir.file("not-executable")}) {
        ProcessHandle p = 0;
        ASSERT_EQ(os_process_spawn(name.c_str(), "x", &p), OS_OK) << name;
        EXPECT_GT(p, 0);
        EXPECT_NE(p, self);
        int st = 0;
        ASSERT_EQ(::waitpid(p, &st, 0), p);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 127) << name << " status " << st;
    }
    EXPECT_EQ(os_process_get_curr_id(), self);
}

TEST(Process, TerminateKillsAndWaitCollectsOnce) {
    StdinPipe in;  // keeps each cat blocked until it is killed
    ProcessHandle p = 0;
    ASSERT_EQ(os_process_spawn("/bin/cat", "cat", &p), OS_OK);
    EXPECT_EQ(os_process_terminate(p), OS_OK);
    int st = 0;
    ASSERT_EQ(::waitpid(p, &st, 0), p);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << st;

    ASSERT_EQ(os_process_spawn("/bin/cat", "cat", &p), OS_OK);
    EXPECT_EQ(os_process_terminate(p), OS_OK);
    EXPECT_EQ(os_process_wait(p), OS_OK);
    EXPECT_EQ(os_process_wait(p), OS_ERR_PROCESS_WAIT);
    EXPECT_EQ(os_process_terminate(INT_MAX), ESRCH);  // above any pid_max
}

}  // namespace
