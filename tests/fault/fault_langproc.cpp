// Failure paths of the conversions, process and thread creation, the activity test's
// answers that glibc does not give on demand, and the exact terminal settings the key
// probe installs: results, out-parameters, and nothing left open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <pthread.h>
#include <pty.h>
#include <sys/mman.h>
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
FI_WRAP(void*, mmap, MAP_FAILED, (void* addr, size_t len, int prot, int flags, int fd, off_t off),
        (addr, len, prot, flags, fd, off))
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

struct {
    int action;
    termios t;
} g_tcset[4];
int g_tcset_count = 0;
extern "C" int __real_tcsetattr(int fd, int action, const termios* t);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios* t) {
    if (fd == 0 && g_tcset_count < 4) g_tcset[g_tcset_count++] = {action, *t};
    return __real_tcsetattr(fd, action, t);
}

namespace {

constexpr char kFill = 'x';
const std::string kUntouched(16, kFill), kZeroed = std::string(8, '\0') + std::string(8, kFill);

using Conv = int32 (*)(char* buf);
const Conv kCodeConvert = [](char* b) { return code_convert("utf8", "gbk", "ab", 2, b, 8); };
const Conv kAnsi = [](char* b) {
    return os_lang_conv_unicode_to_given(ZU_OS_CHARSET_ANSI, "a", b, 8);
};
const Conv kToSys = [](char* b) { return os_lang_conv_utf8_to_sys("ab", b, 8); };
const Conv kFromSys = [](char* b) { return os_lang_conv_sys_to_utf8("ab", b, 8); };

// Each conversion opens one converter, makes one iconv call and closes the converter
// whatever happened; a failure leaves the buffer as the entry point promises (code_convert
// and the selector pair before clearing: untouched; the LANG pair clears first).
TEST(LangFault, ConverterFailuresCloseWhatWasOpenedAndLeaveTheBufferDefined) {
    zutest::ScopedEnv lang("LANG", "zh_CN.GBK");
    const struct {
        fi::Point& point;
        int err;
        Conv fn;
        int32 rc;
        const std::string& buf;
    } cases[] = {
        {fi_iconv_open, EINVAL, kCodeConvert, OS_ERR_CONV_OPEN, kUntouched},
        {fi_iconv_open, ENOMEM, kAnsi, OS_ERR_CONV_OPEN, kUntouched},
        {fi_iconv_open, EINVAL, kToSys, OS_ERR_CONV_OPEN, kZeroed},
        {fi_iconv, EILSEQ, kCodeConvert, OS_ERR_CONV_FAILED, kUntouched},  // no terminator
        {fi_iconv, E2BIG, kFromSys, OS_ERR_CONV_FAILED, kZeroed},
        {fi_iconv, 0, kAnsi, OS_OK, kUntouched},  // armed far away only to count calls
    };
    for (const auto& c : cases) {
        char buf[16];
        std::memset(buf, kFill, sizeof buf);
        const int closes = g_iconv_closes;
        fi::Armed a(c.point, c.rc == OS_OK ? 1000 : 1, c.err);
        EXPECT_EQ(c.fn(buf), c.rc) << c.err;
        if (c.rc != OS_OK) {
            EXPECT_EQ(std::string(buf, sizeof buf), c.buf) << c.err;
        } else {
            EXPECT_EQ(a.calls(), 1);  // no flush call after the one conversion
        }
        EXPECT_EQ(g_iconv_closes, closes + (&c.point == &fi_iconv_open ? 0 : 1)) << c.err;
    }
}

// A reusable converter opens nothing when its record cannot be allocated, frees what
// it made when the pair cannot be opened or its tables mapped, and closes its one
// descriptor on close.
TEST(LangFault, ConverterOpenFailuresLeaveNothingBehind) {
    LangConvHandle h = reinterpret_cast<LangConvHandle>(&h);
    {
        fi::Armed count_opens(fi_iconv_open, 1000, 0);
        fi::Armed a(fi_malloc, 1, ENOMEM);
        EXPECT_EQ(os_lang_converter_open("utf8", "gbk", &h), OS_ERR_NO_MEMORY);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(count_opens.calls(), 0);
    }
    {
        // The tables of a GB/UTF-8 pair cannot be mapped: the descriptor is closed too.
        const int closes = g_iconv_closes;
        fi::Armed a(fi_mmap, 1, ENOMEM);
        EXPECT_EQ(os_lang_converter_open("gbk", "utf8", &h), OS_ERR_NO_MEMORY);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(g_iconv_closes, closes + 1);
    }
    {
        fi::Armed a(fi_iconv_open, 1, EINVAL);
        EXPECT_EQ(os_lang_converter_open_given(ZU_OS_CHARSET_ANSI, ZU_OS_CHARSET_UNICODE, &h),
                  OS_ERR_CONV_OPEN);
        EXPECT_EQ(h, nullptr);
    }
    ASSERT_EQ(os_lang_converter_open("utf8", "gbk", &h), OS_OK);
    const int closes = g_iconv_closes;
    EXPECT_EQ(os_lang_converter_close(h), OS_OK);
    EXPECT_EQ(g_iconv_closes, closes + 1);
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

TEST(ThreadFault, CreateFailureIsTheOneCode) {
    for (int err : {EAGAIN, EPERM, EINVAL}) {
        fi::Armed a(fi_pthread_create, 1, err);
        ThreadHandle h{};
        EXPECT_EQ(os_thread_create(
                      &h, +[](void*) -> void* { return nullptr; }, nullptr),
                  OS_ERR_THREAD_CREATE)
            << err;
        EXPECT_EQ(a.calls(), 1);  // not retried
    }
}

TEST(ThreadFault, ActivityTestMapsEachAnswer) {
    const struct {
        int answer, rc, active;  // active -1: not written
    } cases[] = {{EINVAL, OS_ERR_THREAD_INVALID, -1}, {ESRCH, OS_OK, 0}, {EPERM, OS_OK, 1}};
    for (const auto& c : cases) {
        fi::Armed a(fi_pthread_kill, 1, c.answer);
        unsigned char active = 0x5A;
        EXPECT_EQ(os_thread_test_active(::pthread_self(), reinterpret_cast<bool*>(&active)), c.rc)
            << c.answer;
        EXPECT_EQ(active, c.active < 0 ? 0x5A : c.active) << c.answer;
    }
}

// Field by field (struct copies need not carry the padding bytes), except the three
// fields the probe changes when except_probe is set.
bool same_settings(termios a, termios b, bool except_probe = false) {
    if (except_probe) {
        a.c_lflag = b.c_lflag = 0;
        a.c_cc[VMIN] = b.c_cc[VMIN] = a.c_cc[VTIME] = b.c_cc[VTIME] = 0;
    }
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && a.c_ispeed == b.c_ispeed &&
           a.c_ospeed == b.c_ospeed;
}

TEST(KbHitFault, ProbeInstallsOnlyItsThreeChangesThenTheSavedSettings) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    // The child's exit code names the failed step.
    const int rc = zutest::run_in_child([&] {
        termios saved{};
        if (::dup2(slave, 0) != 0 || ::tcgetattr(0, &saved) != 0) return 1;
        g_tcset_count = 0;
        (void)os_kb_hit();
        if (g_tcset_count != 2) return 2;
        const termios& probe = g_tcset[0].t;
        if (probe.c_lflag != 0 || probe.c_cc[VMIN] != 0 || probe.c_cc[VTIME] != 1 ||
            !same_settings(probe, saved, true))
            return 3;
        if (!same_settings(g_tcset[1].t, saved)) return 4;
        return g_tcset[0].action == TCSANOW && g_tcset[1].action == TCSANOW ? 0 : 5;
    });
    ::close(master);
    ::close(slave);
    EXPECT_EQ(rc, 0);

    // Not a terminal: nothing is installed.
    g_tcset_count = 0;
    EXPECT_EQ(zutest::run_in_child([] {
                  int fd = ::open("/dev/null", O_RDONLY);
                  if (fd < 0 || ::dup2(fd, 0) != 0) return 1;
                  return os_kb_hit() == 0 && g_tcset_count == 0 ? 0 : 2;
              }),
              0);
}

}  // namespace
