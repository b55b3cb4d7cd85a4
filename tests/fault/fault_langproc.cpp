// Failure paths of the conversions, process and thread creation, the activity test's
// answers that glibc does not give on demand, and the exact terminal settings the key
// probe installs: results, out-parameters, and nothing left open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <pthread.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(iconv_t, iconv_open, reinterpret_cast<iconv_t>(-1), (const char* to, const char* from),
        (to, from))
FI_WRAP(size_t, iconv, static_cast<size_t>(-1),
        (iconv_t cd, char** in, size_t* inleft, char** out, size_t* outleft),
        (cd, in, inleft, out, outleft))
FI_WRAP(pid_t, fork, -1, (), ())
FI_WRAP(int, pthread_create, EAGAIN,
        (pthread_t * t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg),
        (t, attr, fn, arg))

// Hand-written: iconv_close only counts; pthread_kill returns the armed error number
// as pthread functions do; tcsetattr records what it is asked to install.
// FI_WRAP(int, iconv_close
// FI_WRAP(int, pthread_kill
// FI_WRAP(int, tcsetattr
std::atomic<int> g_iconv_closes{0};
extern "C" int __real_iconv_close(iconv_t cd);
extern "C" int __wrap_iconv_close(iconv_t cd) {
    ++g_iconv_closes;
    return __real_iconv_close(cd);
}

fi::Point fi_pthread_kill;
extern "C" int __real_pthread_kill(pthread_t t, int sig);
extern "C" int __wrap_pthread_kill(pthread_t t, int sig) {
    if (fi_pthread_kill.hit()) return fi_pthread_kill.err;
    return __real_pthread_kill(t, sig);
}

struct TcsetRecord {
    int action;
    termios t;
};
TcsetRecord g_tcset[4];
int g_tcset_count = 0;
extern "C" int __real_tcsetattr(int fd, int action, const termios* t);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios* t) {
    if (fd == 0 && g_tcset_count < 4) g_tcset[g_tcset_count++] = {action, *t};
    return __real_tcsetattr(fd, action, t);
}

namespace {

constexpr char kFill = 'x';

class LangFault : public ::testing::Test {
protected:
    void SetUp() override { std::memset(buf, kFill, sizeof buf); }
    bool untouched() const {
        for (char c : buf)
            if (c != kFill) return false;
        return true;
    }
    bool all_zero(int n) const {
        for (int i = 0; i < n; ++i)
            if (buf[i] != 0) return false;
        return true;
    }
    char buf[16];
};

TEST_F(LangFault, ConverterThatCannotOpenLeavesTheBufferAsTheEntryPointSays) {
    zutest::ScopedEnv lang("LANG", "zh_CN.GBK");
    const int closes = g_iconv_closes;
    {
        fi::Armed a(fi_iconv_open, 1, EINVAL);
        EXPECT_EQ(code_convert("utf8", "gbk", "a", 1, buf, 8), OS_ERR_CONV_OPEN);
    }
    EXPECT_TRUE(untouched());
    {
        fi::Armed a(fi_iconv_open, 1, ENOMEM);
        EXPECT_EQ(os_lang_conv_unicode_to_given(ZU_OS_CHARSET_ANSI, "a", buf, 8), OS_ERR_CONV_OPEN);
    }
    EXPECT_TRUE(untouched());
    {
        fi::Armed a(fi_iconv_open, 1, EINVAL);
        EXPECT_EQ(os_lang_conv_utf8_to_sys("a", buf, 8), OS_ERR_CONV_OPEN);
    }
    EXPECT_TRUE(all_zero(8));
    EXPECT_EQ(buf[8], kFill);
    EXPECT_EQ(g_iconv_closes, closes);  // nothing was opened, nothing to close
}

TEST_F(LangFault, EveryConversionMakesOneIconvCallAndClosesItsConverter) {
    zutest::ScopedEnv lang("LANG", "zh_CN.GBK");
    int closes = g_iconv_closes;
    {
        fi::Armed a(fi_iconv, 1, EILSEQ);
        EXPECT_EQ(code_convert("utf8", "gbk", "ab", 2, buf, 8), OS_ERR_CONV_FAILED);
    }
    EXPECT_TRUE(untouched());  // no terminator after a failure
    EXPECT_EQ(g_iconv_closes, ++closes);
    {
        fi::Armed a(fi_iconv, 1, E2BIG);
        EXPECT_EQ(os_lang_conv_sys_to_utf8("ab", buf, 8), OS_ERR_CONV_FAILED);
    }
    EXPECT_TRUE(all_zero(8));
    EXPECT_EQ(g_iconv_closes, ++closes);
    {
        // Armed far away only to count: one call, no flush call after it.
        fi::Armed count(fi_iconv, 1000, 0);
        EXPECT_EQ(os_lang_conv_given_to_unicode(ZU_OS_CHARSET_ANSI, "ab", buf, 8), OS_OK);
        EXPECT_EQ(count.calls(), 1);
    }
    EXPECT_EQ(g_iconv_closes, ++closes);
}

TEST(ProcFault, ForkFailureReportsSpawnAndMinusOne) {
    const int fds = zutest::open_fd_count();
    for (const char* name : {"prog", "/bin/true"}) {
        fi::Armed a(fi_fork, 1, EAGAIN);
        ProcessHandle p = 1234;
        EXPECT_EQ(os_process_spawn(name, "x", &p), OS_ERR_PROCESS_SPAWN) << name;
        EXPECT_EQ(p, -1) << name;
    }
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

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

std::atomic<bool> g_thread_ran{false};
void* mark_ran(void*) {
    g_thread_ran = true;
    return nullptr;
}

TEST(ThreadFault, CreateFailureIsTheOneCode) {
    for (int err : {EAGAIN, EPERM, EINVAL}) {
        fi::Armed a(fi_pthread_create, 1, err);
        ThreadHandle h{};
        EXPECT_EQ(os_thread_create(&h, mark_ran, nullptr), OS_ERR_THREAD_CREATE) << err;
    }
    EXPECT_FALSE(g_thread_ran);
}

TEST(ThreadFault, ActivityTestMapsEachAnswer) {
    const struct {
        int answer;
        int rc;
        int active;  // -1: not written
    } cases[] = {
        {EINVAL, OS_ERR_THREAD_INVALID, -1},
        {ESRCH, OS_OK, 0},
        {EPERM, OS_OK, 1},
    };
    for (const auto& c : cases) {
        fi::Armed a(fi_pthread_kill, 1, c.answer);
        unsigned char active = 0x5A;
        EXPECT_EQ(os_thread_test_active(::pthread_self(), reinterpret_cast<bool*>(&active)), c.rc)
            << c.answer;
        EXPECT_EQ(active, c.active < 0 ? 0x5A : c.active) << c.answer;
    }
}

// Child exit codes of the probe checks.
constexpr int kOk = 0, kSetup = 1, kCount = 2, kProbeModes = 3, kRestored = 4, kAction = 5;

// Field by field: struct copies need not carry the padding bytes.
bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && a.c_ispeed == b.c_ispeed &&
           a.c_ospeed == b.c_ospeed;
}

bool same_except_probe_fields(termios a, termios b) {
    a.c_lflag = b.c_lflag = 0;
    a.c_cc[VMIN] = b.c_cc[VMIN] = 0;
    a.c_cc[VTIME] = b.c_cc[VTIME] = 0;
    return same_settings(a, b);
}

TEST(KbHitFault, ProbeInstallsOnlyItsThreeChangesThenTheSavedSettings) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int rc = zutest::run_in_child([&] {
        if (::dup2(slave, 0) != 0) return kSetup;
        termios saved{};
        if (::tcgetattr(0, &saved) != 0) return kSetup;
        g_tcset_count = 0;
        (void)os_kb_hit();
        if (g_tcset_count != 2) return kCount;
        const termios& probe = g_tcset[0].t;
        if (probe.c_lflag != 0 || probe.c_cc[VMIN] != 0 || probe.c_cc[VTIME] != 1 ||
            !same_except_probe_fields(probe, saved))
            return kProbeModes;
        if (!same_settings(g_tcset[1].t, saved)) return kRestored;
        if (g_tcset[0].action != TCSANOW || g_tcset[1].action != TCSANOW) return kAction;
        return kOk;
    });
    ::close(master);
    ::close(slave);
    EXPECT_EQ(rc, kOk);

    // Not a terminal: nothing is installed.
    g_tcset_count = 0;
    EXPECT_EQ(zutest::run_in_child([] {
                  int fd = ::open("/dev/null", O_RDONLY);
                  if (fd < 0 || ::dup2(fd, 0) != 0) return kSetup;
                  return os_kb_hit() == 0 && g_tcset_count == 0 ? kOk : kCount;
              }),
              kOk);
}

}  // namespace
