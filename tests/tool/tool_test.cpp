// Tests of the zuos tool, run as a child process with its own environment, standard
// input and captured output. System V objects that a test creates are removed by
// guards; key files live in a per-test temporary directory.
#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/os.h"
#include "test_support.h"

namespace {

struct Result {
    int status = -1;  // exit status, or -1 when the tool did not exit normally
    std::string out, err;
};

// Runs the tool with args; env entries ("NAME=value") are set in the child, and
// input is fed to its standard input.
Result run_zuos(const std::vector<std::string>& args, const std::string& input = "",
                const std::vector<std::string>& env = {}) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ZUOS_TOOL_PATH));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Result r;
    size_t written = 0;
    int to_child = in[1];
    if (input.empty()) {
        close(to_child);
        to_child = -1;
    }
    // Feed and drain together, so a large output cannot block the child.
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd p[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {to_child, POLLOUT, 0}};
        if (poll(p, to_child >= 0 ? 3 : 2, 10000) <= 0) break;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            else
                (i == 0 ? out_open : err_open) = false;
        }
        if (to_child >= 0 && (p[2].revents & (POLLOUT | POLLERR))) {
            ssize_t n = write(to_child, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) {
                close(to_child);
                to_child = -1;
            }
        }
    }
    if (to_child >= 0) close(to_child);
    close(out[0]);
    close(err[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- command line ---------------------------------------------------------

TEST(Tool, UsageErrorsExitTwoWithAMessage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"host", "extra"},
        {"host", "--bogus"},
        {"time"},
        {"time", "t", "extra"},
        {"time", "t", "--base"},
        {"time", "t", "--base", "yesterday-ish"},
        {"time", "t", "--base", "2024-13-01"},
        {"conv"},
        {"conv", "--from", "utf8"},
        {"conv", "--from", "latin1", "--to", "utf8"},
        {"conv", "--from", "utf8", "--to", "gb18030", "file.txt"},
        {"ipc"},
        {"ipc", "a", "b"},
        {"ipc", "--force", "/tmp"},
    };
    for (const auto& args : cases) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        SCOPED_TRACE("zuos " + line);
        Result r = run_zuos(args, "", {"LANG=C"});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(contains(r.err, "zuos")) << r.err;
        EXPECT_TRUE(contains(r.err, "--help")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(Tool, HelpForEveryCommand) {
    for (std::string cmd : {"", "host", "time", "conv", "ipc"}) {
        SCOPED_TRACE(cmd);
        std::vector<std::string> args;
        if (!cmd.empty()) args.push_back(cmd);
        args.push_back("--help");
        Result r = run_zuos(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(contains(r.out, "usage: zuos " + cmd)) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// --- host -----------------------------------------------------------------

TEST(Tool, HostReportsZoneCharsetAndExecutable) {
    struct Case {
        const char* tz;
        const char* lang;
        const char* offset;
        const char* charset;
    };
    const Case cases[] = {
        {"TZ=UTC", "LANG=en_US.UTF-8", "+0 h", "UTF-8"},
        {"TZ=Asia/Kolkata", "LANG=zh_CN.GBK", "+5 h", "GBK"},
        {"TZ=America/New_York", "LANG=zh_CN.GB18030", "-5 h", "GB18030"},
        {"TZ=Asia/Shanghai", "LANG=zh_CN.GB2312", "+8 h", "GB2312"},
    };
    char exe[PATH_MAX];
    ASSERT_NE(realpath(ZUOS_TOOL_PATH, exe), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tz) + " " + c.lang);
        Result r = run_zuos({"host"}, "", {c.tz, c.lang});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains(r.out, std::string("zone offset     ") + c.offset)) << r.out;
        EXPECT_TRUE(contains(r.out, std::string("system charset  ") + c.charset)) << r.out;
        EXPECT_TRUE(contains(r.out, std::string("executable      ") + exe + "\n")) << r.out;
        for (const char* label : {"local seconds", "mac address", "ipv4 addresses"})
            EXPECT_TRUE(contains(r.out, label)) << r.out;
    }
}

TEST(Tool, HostSpellsOutALangThatConvertsOneWayOnly) {
    Result r = run_zuos({"host"}, "", {"LANG=zh_CN.gb18030"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "charset out     GB18030")) << r.out;
    EXPECT_TRUE(contains(r.out, "charset in      UTF-8 (text is copied unchanged)")) << r.out;
}

// --- time -----------------------------------------------------------------

// Friday 15 March 2024 10:30:00 UTC.
constexpr const char kBase[] = "1710498600";

TEST(Tool, TimeEvaluatesExpressionsFromABase) {
    struct Case {
        const char* expr;
        const char* expected;
    };
    const Case cases[] = {
        {"-2days", "1710325800  Wed 2024-03-13 10:30:00 UTC\n"},
        {"+1.5h", "1710504000  Fri 2024-03-15 12:00:00 UTC\n"},
        {"T-1D", "1710374400  Thu 2024-03-14 00:00:00 UTC\n"},  // upper case accepted
        {"mon", "1710115200  Mon 2024-03-11 00:00:00 UTC\n"},
        {"+1mo", "1713177000  Mon 2024-04-15 10:30:00 UTC\n"},
        {"15-jan-24 08:00", "1705305600  Mon 2024-01-15 08:00:00 UTC\n"},
        {"12/25", "1735084800  Wed 2024-12-25 00:00:00 UTC\n"},
        {"", "1710498600  Fri 2024-03-15 10:30:00 UTC\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expr);
        for (const char* base : {kBase, "2024-03-15 10:30:00", "2024-03-15T10:30"}) {
            Result r = run_zuos({"time", c.expr, "--base", base}, "", {"TZ=UTC"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, c.expected) << "base " << base;
        }
    }
}

TEST(Tool, TimeFromNow) {
    time_t before = time(nullptr);
    Result r = run_zuos({"time", "*-1h"}, "", {"TZ=UTC"});
    time_t after = time(nullptr);
    ASSERT_EQ(r.status, 0) << r.err;
    long long sec = std::atoll(r.out.c_str());
    EXPECT_GE(sec, before - 3600);
    EXPECT_LE(sec, after - 3600);
}

TEST(Tool, TimeRejectionExitsOneWithTheResultCode) {
    for (const char* expr : {"-2 days", "+5", "+1.5d", "xyz 5"}) {
        SCOPED_TRACE(expr);
        Result r = run_zuos({"time", expr, "--base", kBase}, "", {"TZ=UTC"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "OS_ERR_TIME_PARSE (110194)")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// --- conv -----------------------------------------------------------------

// U+4E2D in UTF-8 and in GB18030/GBK.
const std::string kZhUtf8 = "\xE4\xB8\xAD";
const std::string kZhGb = "\xD6\xD0";

TEST(Tool, ConvRoundTripsKnownBytes) {
    // Newlines and NUL bytes pass through unchanged between converted pieces.
    const std::string utf8 = "A" + kZhUtf8 + "\n" + kZhUtf8 + std::string(1, '\0') + "z\n\n";
    const std::string gb = "A" + kZhGb + "\n" + kZhGb + std::string(1, '\0') + "z\n\n";
    struct Case {
        const char* lang;
        const char* from;
        const char* to;
        std::string in, out;
    };
    const Case cases[] = {
        {"LANG=C", "utf8", "gb18030", utf8, gb},
        {"LANG=C", "gb18030", "utf8", gb, utf8},
        {"LANG=zh_CN.GBK", "utf8", "sys", utf8, gb},
        {"LANG=zh_CN.GBK", "sys", "utf8", gb, utf8},
        {"LANG=zh_CN.GBK", "gb18030", "sys", gb, gb},
        {"LANG=en_US.UTF-8", "gb18030", "sys", gb, utf8},
        {"LANG=en_US.UTF-8", "sys", "utf8", gb, gb},  // copied unchanged, invalid or not
        {"LANG=C", "utf8", "utf8", utf8, utf8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.lang) + " " + c.from + " -> " + c.to);
        Result r = run_zuos({"conv", "--from", c.from, "--to", c.to}, c.in, {c.lang});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(Tool, ConvReportsTheByteOffsetOfInvalidInput) {
    struct Case {
        const char* from;
        const char* to;
        std::string in;
        size_t offset;
        std::string written;  // the converted text before the offending byte
    };
    const Case cases[] = {
        {"gb18030", "utf8",
         "ab\ncd\xFF"
         "ef\n",
         5, "ab\ncd"},
        {"gb18030", "utf8", "x" + kZhGb + "\xD6", 3, "x" + kZhUtf8},  // lone lead byte
        {"utf8", "gb18030", "ok\n" + kZhUtf8 + "\xC3", 6, "ok\n" + kZhGb},
        {"utf8", "gb18030", "\xFF", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " -> " + c.to + " offset " + std::to_string(c.offset));
        Result r = run_zuos({"conv", "--from", c.from, "--to", c.to}, c.in, {"LANG=C"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "byte offset " + std::to_string(c.offset) + " ")) << r.err;
        EXPECT_EQ(r.out, c.written);
    }
}

// --- ipc ------------------------------------------------------------------

union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// A semaphore set or segment that the test created, removed at scope exit.
struct SemGuard {
    int id;
    ~SemGuard() {
        if (id != -1) semctl(id, 0, IPC_RMID);
    }
};
struct ShmGuard {
    int id;
    ~ShmGuard() {
        if (id != -1) shmctl(id, IPC_RMID, nullptr);
    }
};

std::string make_key_file(const zutest::TempDir& dir) {
    std::string path = dir.file("key");
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd >= 0) close(fd);
    return path;
}

TEST(Tool, IpcNeverCreatesAMissingKeyFile) {
    zutest::TempDir dir;
    std::string missing = dir.file("no-such-key");
    for (bool remove : {false, true}) {
        std::vector<std::string> args = {"ipc", missing};
        if (remove) args.push_back("--remove");
        Result r = run_zuos(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, missing)) << r.err;
        EXPECT_TRUE(contains(r.err, "No such file or directory")) << r.err;
        struct stat st;
        EXPECT_NE(stat(missing.c_str(), &st), 0);
    }
}

TEST(Tool, IpcShowsAnEmptyKey) {
    zutest::TempDir dir;
    std::string key_file = make_key_file(dir);
    key_t key = ftok(key_file.c_str(), 0);
    char key_text[32];
    snprintf(key_text, sizeof key_text, "0x%08x (%d)", static_cast<unsigned>(key), key);
    Result r = run_zuos({"ipc", key_file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, key_text)) << r.out;
    EXPECT_TRUE(contains(r.out, "semaphore  none\nsegment    none\n")) << r.out;
    r = run_zuos({"ipc", key_file, "--remove"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "nothing to remove")) << r.out;
}

TEST(Tool, IpcRemoveRefusesARegisteredSemaphoreSetUnlessForced) {
    zutest::TempDir dir;
    std::string key_file = make_key_file(dir);
    key_t key = ftok(key_file.c_str(), 0);
    SemGuard set{semget(key, 2, IPC_CREAT | IPC_EXCL | 0600)};
    ASSERT_NE(set.id, -1) << strerror(errno);
    // The library's layout: count 3 on semaphore 0, one registered user on 1.
    semun arg{};
    arg.val = 3;
    ASSERT_EQ(semctl(set.id, 0, SETVAL, arg), 0);
    sembuf reg{1, 1, SEM_UNDO};
    ASSERT_EQ(semop(set.id, &reg, 1), 0);

    Result r = run_zuos({"ipc", key_file});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected =
        "id " + std::to_string(set.id) + ": 2 semaphores, count 3, users 1, last operation by pid";
    EXPECT_TRUE(contains(r.out, expected)) << r.out;
    EXPECT_TRUE(contains(r.out, "and " + std::to_string(getpid()) + " (users)")) << r.out;

    r = run_zuos({"ipc", key_file, "--remove"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "1 registered process")) << r.err;
    EXPECT_TRUE(contains(r.err, "--force")) << r.err;
    EXPECT_EQ(semget(key, 0, 0), set.id);

    r = run_zuos({"ipc", key_file, "--remove", "--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "removed semaphore set " + std::to_string(set.id))) << r.out;
    EXPECT_EQ(semget(key, 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Tool, IpcRemovesASetLeftWithoutUsers) {
    zutest::TempDir dir;
    std::string key_file = make_key_file(dir);
    key_t key = ftok(key_file.c_str(), 0);
    SemGuard set{semget(key, 2, IPC_CREAT | IPC_EXCL | 0600)};
    ASSERT_NE(set.id, -1) << strerror(errno);
    Result r = run_zuos({"ipc", key_file, "--remove"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(semget(key, 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Tool, IpcRemoveRefusesAnAttachedSegmentUntilDetached) {
    zutest::TempDir dir;
    std::string key_file = make_key_file(dir);
    key_t key = ftok(key_file.c_str(), 0);
    ShmGuard seg{shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600)};
    ASSERT_NE(seg.id, -1) << strerror(errno);
    void* mem = shmat(seg.id, nullptr, 0);
    ASSERT_NE(mem, reinterpret_cast<void*>(-1));

    Result r = run_zuos({"ipc", key_file});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected = "segment    id " + std::to_string(seg.id) +
                           ": 4096 bytes, attached 1, creator pid " + std::to_string(getpid());
    EXPECT_TRUE(contains(r.out, expected)) << r.out;

    r = run_zuos({"ipc", key_file, "--remove"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "1 attached process")) << r.err;
    EXPECT_EQ(shmget(key, 0, 0), seg.id);

    ASSERT_EQ(shmdt(mem), 0);
    r = run_zuos({"ipc", key_file, "--remove"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "removed segment " + std::to_string(seg.id))) << r.out;
    EXPECT_EQ(shmget(key, 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Tool, IpcForceRemovesAnAttachedSegment) {
    zutest::TempDir dir;
    std::string key_file = make_key_file(dir);
    key_t key = ftok(key_file.c_str(), 0);
    ShmGuard seg{shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600)};
    ASSERT_NE(seg.id, -1) << strerror(errno);
    void* mem = shmat(seg.id, nullptr, 0);
    ASSERT_NE(mem, reinterpret_cast<void*>(-1));
    Result r = run_zuos({"ipc", key_file, "--remove", "--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shmget(key, 0, 0), -1);
    // The memory stays usable here until it is detached.
    static_cast<char*>(mem)[0] = 1;
    EXPECT_EQ(shmdt(mem), 0);
}

// The key the tool derives is the one the library uses for the same file.
TEST(Tool, IpcSeesTheLibrarysSemaphoreAndSegment) {
    zutest::TempDir dir;
    std::string sem_file = dir.file("sema"), shm_file = dir.file("shm");
    SemaHandle sema = -1;
    ASSERT_EQ(os_proc_sema_init(sem_file.c_str(), 2, &sema), OS_OK);
    SemGuard sem_guard{sema};
    MemMapHandle seg = -1;
    ASSERT_EQ(os_mem_sharemem_create(8192, shm_file.c_str(), &seg), OS_OK);
    ShmGuard shm_guard{seg};

    Result r = run_zuos({"ipc", sem_file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "id " + std::to_string(sema) + ": 2 semaphores, count 2, users 1"))
        << r.out;
    r = run_zuos({"ipc", shm_file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "id " + std::to_string(seg) + ": 8192 bytes, attached 0")) << r.out;
}

}  // namespace
