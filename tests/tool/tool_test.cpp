// Tests of the zuos tool, run as a child process with its own environment, standard
// input and captured output. System V objects that a test creates are removed by
// guards; key files live in a per-test temporary directory.
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
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
// input is its standard input. The three streams are memory files, so nothing blocks.
Result run_zuos(const std::vector<std::string>& args, const std::string& input = "",
                const std::vector<std::string>& env = {}) {
    int fd[3] = {memfd_create("in", 0), memfd_create("out", 0), memfd_create("err", 0)};
    Result r;
    if (fd[0] >= 0 && pwrite(fd[0], input.data(), input.size(), 0) == ssize_t(input.size())) {
        std::vector<char*> argv = {const_cast<char*>(ZUOS_TOOL_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 3; ++i) dup2(fd[i], i);
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            execv(argv[0], argv.data());
            _exit(127);
        }
        int st = 0;
        while (pid > 0 && waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        r.status = pid > 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        for (int i = 1; i < 3; ++i) {
            std::string& s = i == 1 ? r.out : r.err;
            s.resize(static_cast<size_t>(lseek(fd[i], 0, SEEK_END)));
            if (pread(fd[i], s.data(), s.size(), 0) != ssize_t(s.size())) r.status = -1;
        }
    }
    for (int f : fd) close(f);
    return r;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- command line ---------------------------------------------------------

TEST(Tool, UsageErrorsExitTwoWithAMessage) {
    // Each case is split at blanks into the arguments.
    for (const char* line :
         {"", "bogus", "host extra", "host --bogus", "time", "time t extra", "time t --base",
          "time t --base yesterday-ish", "time t --base 2024-13-01", "conv", "conv --from utf8",
          "conv --from latin1 --to utf8", "conv --from utf8 --to gb18030 file.txt", "ipc",
          "ipc a b", "ipc --force /tmp"}) {
        std::vector<std::string> args;
        std::istringstream words(line);
        for (std::string w; words >> w;) args.push_back(w);
        Result r = run_zuos(args, "", {"LANG=C"});
        EXPECT_EQ(r.status, 2) << "zuos " << line;
        EXPECT_TRUE(contains(r.err, "zuos") && contains(r.err, "--help")) << r.err;
        EXPECT_EQ(r.out, "") << "zuos " << line;
    }
    for (std::string cmd : {"", "host", "time", "conv", "ipc"}) {
        Result r = run_zuos(cmd.empty() ? std::vector<std::string>{"--help"}
                                        : std::vector<std::string>{cmd, "--help"});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_TRUE(contains(r.out, "usage: zuos " + cmd)) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// --- host -----------------------------------------------------------------

TEST(Tool, HostReportsZoneCharsetAndExecutable) {
    // The last row converts one way only: the tool spells out both directions.
    const struct {
        const char *tz, *lang, *line1, *line2;
    } cases[] = {
        {"TZ=UTC", "LANG=en_US.UTF-8", "zone offset     +0 h", "system charset  UTF-8"},
        {"TZ=Asia/Kolkata", "LANG=zh_CN.GBK", "zone offset     +5 h", "system charset  GBK"},
        {"TZ=America/New_York", "LANG=zh_CN.GB18030", "zone offset     -5 h",
         "system charset  GB18030"},
        {"TZ=Asia/Shanghai", "LANG=zh_CN.GB2312", "zone offset     +8 h", "system charset  GB2312"},
        {"TZ=UTC", "LANG=zh_CN.gb18030", "charset out     GB18030",
         "charset in      UTF-8 (text is copied unchanged)"}};
    char exe[PATH_MAX];
    ASSERT_NE(realpath(ZUOS_TOOL_PATH, exe), nullptr);
    const std::string exe_line = std::string("executable      ") + exe + "\n";
    for (const auto& c : cases) {
        Result r = run_zuos({"host"}, "", {c.tz, c.lang});
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string part :
             {c.line1, c.line2, "local seconds", "mac address", "ipv4 addresses", exe_line.c_str()})
            EXPECT_TRUE(contains(r.out, part)) << c.tz << " " << c.lang << ":\n" << r.out;
    }
}

TEST(Tool, HostReportsTheIoEngine) {
    Result r = run_zuos({"host"}, "", {"ZUOS_IO_URING=0"});
    EXPECT_TRUE(contains(r.out, "io engine       plain system calls (ZUOS_IO_URING=0)\n")) << r.out;
    r = run_zuos({"host"}, "", {"ZUOS_IO_URING=1"});
    EXPECT_TRUE(contains(r.out, "io engine       io_uring\n") ||
                contains(r.out, "io engine       plain system calls (io_uring is not available)\n"))
        << r.out;
}

// --- time -----------------------------------------------------------------

// Friday 15 March 2024 10:30:00 UTC.
constexpr const char kBase[] = "1710498600";

TEST(Tool, TimeEvaluatesExpressionsFromABaseOrNow) {
    const struct {
        const char *expr, *expected;
    } cases[] = {{"-2days", "1710325800  Wed 2024-03-13 10:30:00 UTC\n"},
                 {"T-1D", "1710374400  Thu 2024-03-14 00:00:00 UTC\n"},  // upper case accepted
                 {"15-jan-24 08:00", "1705305600  Mon 2024-01-15 08:00:00 UTC\n"},
                 {"", "1710498600  Fri 2024-03-15 10:30:00 UTC\n"}};
    for (const auto& c : cases) {
        for (const char* base : {kBase, "2024-03-15 10:30:00", "2024-03-15T10:30"}) {
            Result r = run_zuos({"time", c.expr, "--base", base}, "", {"TZ=UTC"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, c.expected) << c.expr << " from " << base;
        }
    }
    // Rejected expressions exit 1 with the library's result code.
    for (const char* expr : {"-2 days", "+5", "+1.5d", "xyz 5"}) {
        Result r = run_zuos({"time", expr, "--base", kBase}, "", {"TZ=UTC"});
        EXPECT_EQ(r.status, 1) << expr;
        EXPECT_TRUE(contains(r.err, "OS_ERR_TIME_PARSE (110194)")) << r.err;
        EXPECT_EQ(r.out, "") << expr;
    }
    // Without a base the expression counts from now.
    const time_t before = time(nullptr);
    const Result r = run_zuos({"time", "*-1h"}, "", {"TZ=UTC"});
    const time_t after = time(nullptr);
    ASSERT_EQ(r.status, 0) << r.err;
    const long long sec = std::atoll(r.out.c_str());
    EXPECT_GE(sec, before - 3600);
    EXPECT_LE(sec, after - 3600);
}

// --- conv -----------------------------------------------------------------

// U+4E2D in UTF-8 and in GB18030/GBK.
const std::string kZhUtf8 = "\xE4\xB8\xAD";
const std::string kZhGb = "\xD6\xD0";

// Converted output, or the byte offset of the first invalid byte (exit 1) and the
// text converted before it.
TEST(Tool, ConvConvertsKnownBytesAndReportsTheOffsetOfInvalidInput) {
    // Newlines and NUL bytes pass through unchanged between converted pieces.
    const std::string utf8 = "A" + kZhUtf8 + "\n" + kZhUtf8 + std::string(1, '\0') + "z\n\n";
    const std::string gb = "A" + kZhGb + "\n" + kZhGb + std::string(1, '\0') + "z\n\n";
    const struct {
        const char *lang, *from, *to;
        std::string in, out;
        int offset = -1;
    } cases[] = {
        {"LANG=C", "utf8", "gb18030", utf8, gb},
        {"LANG=C", "gb18030", "utf8", gb, utf8},
        {"LANG=zh_CN.GBK", "utf8", "sys", utf8, gb},
        {"LANG=zh_CN.GBK", "sys", "utf8", gb, utf8},
        {"LANG=zh_CN.GBK", "gb18030", "sys", gb, gb},
        {"LANG=en_US.UTF-8", "gb18030", "sys", gb, utf8},
        {"LANG=en_US.UTF-8", "sys", "utf8", gb, gb},  // copied unchanged, invalid or not
        {"LANG=C", "utf8", "utf8", utf8, utf8},
        {"LANG=C", "gb18030", "utf8",
         "ab\ncd\xFF"
         "ef\n",
         "ab\ncd", 5},
        {"LANG=C", "gb18030", "utf8", "x" + kZhGb + "\xD6", "x" + kZhUtf8, 3},  // lone lead byte
        {"LANG=C", "utf8", "gb18030", "ok\n" + kZhUtf8 + "\xC3", "ok\n" + kZhGb, 6},
        {"LANG=C", "utf8", "gb18030", "\xFF", "", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lang) + " " + c.from + " -> " + c.to);
        Result r = run_zuos({"conv", "--from", c.from, "--to", c.to}, c.in, {c.lang});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.offset < 0 ? 0 : 1) << r.err;
        const std::string where = "byte offset " + std::to_string(c.offset) + " ";
        EXPECT_EQ(contains(r.err, where), c.offset >= 0) << r.err;
    }
}

// --- ipc ------------------------------------------------------------------

// Semaphore sets and segments that a test created, removed at scope exit.
struct IpcGuard {
    int sem = -1, shm = -1;
    ~IpcGuard() {
        if (sem != -1) semctl(sem, 0, IPC_RMID);
        if (shm != -1) shmctl(shm, IPC_RMID, nullptr);
    }
};

// A missing key file is reported and never created; a key with nothing under it
// shows nothing; the library's own set and segment show under their file's key.
TEST(Tool, IpcOnAMissingEmptyOrLibraryKey) {
    zutest::TempDir dir;
    const std::string missing = dir.file("no-such-key"), key_file = dir.file("key");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"ipc", missing}, {"ipc", missing, "--remove"}}) {
        Result r = run_zuos(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, missing) && contains(r.err, "No such file or directory"))
            << r.err;
        EXPECT_NE(access(missing.c_str(), F_OK), 0);
    }
    std::ofstream{key_file};
    char key_text[32];
    const key_t key = ftok(key_file.c_str(), 0);
    snprintf(key_text, sizeof key_text, "0x%08x (%d)", static_cast<unsigned>(key), key);
    Result r = run_zuos({"ipc", key_file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, key_text)) << r.out;
    EXPECT_TRUE(contains(r.out, "semaphore  none\nsegment    none\n")) << r.out;
    r = run_zuos({"ipc", key_file, "--remove"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "nothing to remove")) << r.out;

    // The key the tool derives is the one the library uses for the same file.
    IpcGuard g;
    ASSERT_EQ(os_proc_sema_init(key_file.c_str(), 2, &g.sem), OS_OK);
    ASSERT_EQ(os_mem_sharemem_create(8192, key_file.c_str(), &g.shm), OS_OK);
    r = run_zuos({"ipc", key_file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "id " + std::to_string(g.sem) + ": 2 semaphores, count 2, users 1"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "id " + std::to_string(g.shm) + ": 8192 bytes, attached 0"))
        << r.out;
}

// A semaphore set with one registered user (the library's layout: count on 0, users
// on 1) or a segment with one attachment: shown, refused by --remove, and removed
// either with --force or once the user has gone.
TEST(Tool, IpcRemoveRefusesWhileInUseUnlessForced) {
    for (bool sem : {true, false}) {
        for (bool force : {false, true}) {
            SCOPED_TRACE(std::string(sem ? "semaphore set" : "segment") + (force ? " forced" : ""));
            zutest::TempDir dir;
            const std::string key_file = dir.file("key"), pid = std::to_string(getpid());
            std::ofstream{key_file};
            const key_t key = ftok(key_file.c_str(), 0);
            IpcGuard g;
            void* mem = nullptr;
            sembuf reg{1, 1, SEM_UNDO};
            if (sem) {
                g.sem = semget(key, 2, IPC_CREAT | IPC_EXCL | 0600);
                ASSERT_NE(g.sem, -1) << strerror(errno);
                ASSERT_EQ(semctl(g.sem, 0, SETVAL, 3), 0);
                ASSERT_EQ(semop(g.sem, &reg, 1), 0);
            } else {
                g.shm = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
                ASSERT_NE(g.shm, -1) << strerror(errno);
                mem = shmat(g.shm, nullptr, 0);
                ASSERT_NE(mem, reinterpret_cast<void*>(-1));
            }
            const std::string id = std::to_string(sem ? g.sem : g.shm);
            const auto present = [&] {
                return sem ? semget(key, 0, 0) == g.sem : shmget(key, 0, 0) == g.shm;
            };
            Result r = run_zuos({"ipc", key_file});
            EXPECT_EQ(r.status, 0) << r.err;
            const std::string shown =
                sem ? "semaphore  id " + id +
                          ": 2 semaphores, count 3, users 1, last operation by pid"
                    : "segment    id " + id + ": 4096 bytes, attached 1, creator pid " + pid;
            EXPECT_TRUE(contains(r.out, shown)) << r.out;
            EXPECT_TRUE(!sem || contains(r.out, "and " + pid + " (users)")) << r.out;

            std::vector<std::string> remove = {"ipc", key_file, "--remove"};
            r = run_zuos(remove);
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(contains(r.err, (sem ? "set " + id + " has 1 registered process"
                                             : "segment " + id + " has 1 attached process")))
                << r.err;
            EXPECT_TRUE(contains(r.err, "--force") && present()) << r.err;

            if (force) {
                remove.push_back("--force");
            } else {  // the user goes
                reg.sem_op = -1;
                ASSERT_EQ(sem ? semop(g.sem, &reg, 1) : shmdt(mem), 0);
                mem = nullptr;
            }
            r = run_zuos(remove);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(contains(r.out, (sem ? "removed semaphore set " : "removed segment ") + id))
                << r.out;
            EXPECT_FALSE(present());
            EXPECT_EQ(errno, ENOENT);
            if (mem) {
                static_cast<char*>(mem)[0] = 1;  // usable here until it is detached
                EXPECT_EQ(shmdt(mem), 0);
            }
        }
    }
}

}  // namespace
