// Tests of the zuos tool, run as a child process with its own environment, standard
// input and captured output. System V objects that a test creates are removed by
// guards; key files live in a per-test temporary directory.
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

struct Result {
    int status = -1;  // exit status, or -1 when the tool did not exit normally
    std::string out, err;
};

// Runs the program argv[0] with the rest of argv; env entries ("NAME=value") are set
// in the child, and input is its standard input. The three streams are memory files,
// so nothing blocks.
Result run(const std::vector<std::string>& argv, const std::string& input = "",
           const std::vector<std::string>& env = {}) {
    int fd[3] = {memfd_create("in", 0), memfd_create("out", 0), memfd_create("err", 0)};
    Result r;
    if (fd[0] >= 0 && pwrite(fd[0], input.data(), input.size(), 0) == ssize_t(input.size())) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 3; ++i) dup2(fd[i], i);
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            execvp(args[0], args.data());
            _exit(127);
        }
        const int st = pid > 0 ? zutest::reap(pid) : -1;
        r.status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        for (int i = 1; i < 3; ++i) {
            std::string& s = i == 1 ? r.out : r.err;
            s.resize(static_cast<size_t>(lseek(fd[i], 0, SEEK_END)));
            if (pread(fd[i], s.data(), s.size(), 0) != ssize_t(s.size())) r.status = -1;
        }
    }
    for (int f : fd) close(f);
    return r;
}

Result run_zuos(std::vector<std::string> args, const std::string& input = "",
                const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), ZUOS_TOOL_PATH);
    return run(args, input, env);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void expect_has(const std::string& text, std::initializer_list<std::string> parts) {
    for (const std::string& part : parts)
        EXPECT_TRUE(contains(text, part)) << part << " in\n" << text;
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
        expect_has(r.err, {"zuos", "--help"});
        EXPECT_EQ(r.out, "") << "zuos " << line;
    }
}

// --- host -----------------------------------------------------------------

// The lines come in this order. The last charset row converts one way only, so the
// tool spells out both directions.
TEST(Tool, HostReportsCharsetAddressesExecutableAndIoEngine) {
    char exe[PATH_MAX];
    ASSERT_NE(realpath(ZUOS_TOOL_PATH, exe), nullptr);
    const std::string rest = R"(.*\nmac address     .+\nipv4 addresses  .+\nexecutable      )" +
                             std::regex_replace(exe, std::regex(R"([^/\w])"), R"(\$&)") +
                             "\nio engine       ";
    const std::pair<const char*, std::string> cases[] = {
        {"LANG=en_US.UTF-8", "system charset  UTF-8" + rest},
        {"LANG=zh_CN.GBK", "system charset  GBK" + rest},
        {"LANG=zh_CN.GB18030", "system charset  GB18030" + rest},
        {"LANG=zh_CN.GB2312", "system charset  GB2312" + rest},
        {"LANG=zh_CN.gb18030",
         R"(charset out     GB18030 .*\ncharset in      UTF-8 \(text is copied unchanged\))"},
        {"ZUOS_IO_URING=0", rest + R"(plain system calls \(ZUOS_IO_URING=0\)\n)"},
        {"ZUOS_IO_URING=1",
         rest + R"((io_uring|plain system calls \(io_uring is not available\))\n)"}};
    for (const auto& [env, pattern] : cases) {
        const Result r = run_zuos({"host"}, "", {env});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(std::regex_search(r.out, std::regex(pattern))) << env << ":\n" << r.out;
    }
}

// The true local time and offset of each zone beside the library's whole-hour values.
// Daylight saving comes from a rule in force all year, so nothing depends on the date.
TEST(Tool, HostShowsTheTrueLocalTimeBesideTheLibrarysValues) {
    const struct {
        const char* tz;
        long offset;  // seconds east of UTC
        const char *zone, *season, *seconds;
    } cases[] = {
        {"TZ=UTC", 0, "UTC+00:00 now; library +0 h", "(standard time)", "(library; the local time"},
        {"TZ=Asia/Kolkata", 19800, "UTC+05:30 now; library +5 h", "(standard time)",
         "30 min behind the local time"},
        {"TZ=XST-5:45", 20700, "UTC+05:45 now; library +5 h", "(standard time)", "45 min behind"},
        {"TZ=NST3:30", -12600, "UTC-03:30 now; library -3 h", "(standard time)",
         "30 min ahead of the local time"},
        {"TZ=AAA5BBB,0/0,J365/25", -14400, "UTC-04:00 now; library -5 h", "(daylight saving time)",
         "(library; the local time"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tz);
        const time_t before = time(nullptr);
        const Result r = run_zuos({"host"}, "", {c.tz});
        const time_t after = time(nullptr);
        ASSERT_EQ(r.status, 0) << r.err;
        expect_has(r.out, {std::string("zone offset     ") + c.zone, c.season + std::string("\n"),
                           c.seconds});
        bool shown = false;  // the clock at some instant of the run, shifted by the offset
        for (time_t t = before; t <= after && !shown; ++t) {
            const time_t local = t + c.offset;
            struct tm tm {};
            char text[48];
            gmtime_r(&local, &tm);
            strftime(text, sizeof text, "local time      %Y-%m-%d %H:%M:%S ", &tm);
            shown = contains(r.out, text);
        }
        EXPECT_TRUE(shown) << r.out;
    }
}

// In network and mount namespaces of its own the MAC line names the interface that
// has the address, and its state; without one the result code is given.
TEST(Tool, HostNamesTheInterfaceOfTheMacAddress) {
    if (run({"unshare", "-n", "-m", "true"}).status != 0)
        GTEST_SKIP() << "cannot make network and mount namespaces (needs root and unshare)";
    // The peer's name begins with "br", which the library skips.
    const Result r =
        run({"unshare", "-n", "-m", "sh", "-c",
             "set -e; PATH=/usr/sbin:/sbin:$PATH; mount -t sysfs sysfs /sys\n"
             "ip link set lo up; \"$0\" host --json\n"
             "ip link add veth12ab address 52:54:00:ab:cd:ef type veth peer name br0\n"
             "\"$0\" host; ip link set veth12ab up; ip link set br0 up\n"
             "for i in $(seq 100); do\n"
             "  [ $(cat /sys/class/net/veth12ab/operstate) = up ] && break; sleep 0.05\n"
             "done\n"
             "\"$0\" host --json",
             ZUOS_TOOL_PATH});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_has(
        r.out,
        {R"("mac": {"error": {"code": 110359, "name": "OS_ERR_NET_NO_MAC", "text": "no usable)",
         "mac address     52-54-00-AB-CD-EF (veth12ab, down)\n",
         R"("mac": {"address": "52-54-00-AB-CD-EF", "interfaces": [{"name": "veth12ab", "state": "up"}]})"});
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
                 {"", "1710498600  Fri 2024-03-15 10:30:00 UTC\n"},
                 // Rejected expressions exit 1 with the library's result code.
                 {"-2 days", ""},
                 {"+5", ""},
                 {"+1.5d", ""},
                 {"xyz 5", ""}};
    for (const auto& c : cases) {
        for (const char* base : {kBase, "2024-03-15 10:30:00", "2024-03-15T10:30"}) {
            Result r = run_zuos({"time", c.expr, "--base", base}, "", {"TZ=UTC"});
            EXPECT_EQ(r.status, *c.expected ? 0 : 1) << r.err;
            EXPECT_EQ(r.out, c.expected) << c.expr << " from " << base;
            EXPECT_EQ(contains(r.err, "OS_ERR_TIME_PARSE (110194)"), !*c.expected) << r.err;
        }
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
        // Names in any case, with their aliases; GBK and GB2312 are sets of their own.
        {"LANG=C", "UTF-8", "GB18030", utf8, gb},
        {"LANG=C", "Utf8", "gbk", utf8, gb},
        {"LANG=C", "GB2312", "utf-8", gb, utf8},
        {"LANG=C", "CP936", "EUC-CN", gb, gb},
        {"LANG=C", "utf8", "GBK", "a\xF0\x9F\x98\x80", "a", 1},  // U+1F600: GB18030 only
        {"LANG=C", "utf8", "gb2312", "\xE5\x80\x91", "", 0},     // U+5011: not in GB2312
        {"LANG=C", "gb18030", "utf8", std::string("ab\ncd\xFF") + "ef\n", "ab\ncd", 5},
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

// A missing key file is reported and never created.
TEST(Tool, IpcReportsAMissingKeyFileWithoutCreatingIt) {
    zutest::TempDir dir;
    const std::string missing = dir.file("no-such-key");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"ipc", missing}, {"ipc", missing, "--remove"}}) {
        Result r = run_zuos(args);
        EXPECT_EQ(r.status, 1);
        expect_has(r.err, {missing, "No such file or directory"});
        EXPECT_NE(access(missing.c_str(), F_OK), 0);
    }
}

// A semaphore set and a segment under one file's key, with an attachment and either
// the library's set (count on 0, users on 1) with one registered user or a set of one
// semaphore that the library did not make: shown, refused as a whole by --remove, and
// removed once the users have gone or, for the foreign set, with --force; the key then
// shows nothing.
TEST(Tool, IpcRemoveRefusesWhatIsInUseOrForeignUnlessForced) {
    for (const bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "foreign set, forced" : "library's set, users gone");
        zutest::TempDir dir;
        const std::string key_file = dir.file("key"), pid = std::to_string(getpid());
        std::ofstream{key_file};
        const key_t key = locktest::ipc_key(key_file);
        IpcGuard g;
        if (foreign) {
            g.sem = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
            ASSERT_NE(g.sem, -1) << strerror(errno);
            ASSERT_EQ(semctl(g.sem, 0, SETVAL, 3), 0);
        } else {  // the key the tool derives is the one the library uses
            ASSERT_EQ(os_proc_sema_init(key_file.c_str(), 3, &g.sem), OS_OK);
        }
        ASSERT_EQ(os_mem_sharemem_create(4096, key_file.c_str(), &g.shm), OS_OK);
        void* mem = shmat(g.shm, nullptr, 0);
        ASSERT_NE(mem, reinterpret_cast<void*>(-1));
        const std::string sem = std::to_string(g.sem), shm = std::to_string(g.shm);
        char key_text[32];
        snprintf(key_text, sizeof key_text, "0x%08x (%d)", static_cast<unsigned>(key), key);
        Result r = run_zuos({"ipc", key_file});
        EXPECT_EQ(r.status, 0) << r.err;
        expect_has(r.out,
                   {key_text, "id " + shm + ": 4096 bytes, attached 1, creator pid " + pid,
                    "id " + sem +
                        (foreign ? ": 1 semaphore, first value 3, last operation by pid"
                                 : ": 2 semaphores, count 3, users 1, last operation by pid"),
                    foreign ? "" : "and " + pid + " (users)"});

        std::vector<std::string> remove = {"ipc", key_file, "--remove"};
        r = run_zuos(remove);
        EXPECT_EQ(r.status, 1);
        expect_has(r.err, {sem + (foreign ? " is not a set the library made"
                                          : " has 1 registered process"),
                           " and segment " + shm + " has 1 attached process", "--force"});
        EXPECT_TRUE(semget(key, 0, 0) == g.sem && shmget(key, 0, 0) == g.shm);
        if (foreign) {
            remove.push_back("--force");
        } else {  // the users go
            sembuf leave{OS_PROC_SEMA_USERS, -1, SEM_UNDO};
            ASSERT_EQ(semop(g.sem, &leave, 1), 0);
            ASSERT_EQ(shmdt(mem), 0);
            mem = nullptr;
        }
        r = run_zuos(remove);
        EXPECT_EQ(r.status, 0) << r.err;
        expect_has(r.out, {"removed semaphore set " + sem, "removed segment " + shm});
        EXPECT_TRUE(semget(key, 0, 0) == -1 && errno == ENOENT && shmget(key, 0, 0) == -1 &&
                    errno == ENOENT);
        if (mem) {
            static_cast<char*>(mem)[0] = 1;  // usable here until it is detached
            EXPECT_EQ(shmdt(mem), 0);
        }
        r = run_zuos({"ipc", key_file});
        EXPECT_EQ(r.status, 0) << r.err;
        expect_has(r.out, {"semaphore  none\nsegment    none\n"});
        r = run_zuos({"ipc", key_file, "--remove"});
        EXPECT_EQ(r.status, 0) << r.err;
        expect_has(r.out, {"nothing to remove"});
    }
}

// --json: one JSON object holding the facts, checked with jq; for ipc also after a
// refused and a forced removal.
TEST(Tool, JsonOutputOfHostAndIpc) {
    if (run({"jq", "--version"}).status != 0) GTEST_SKIP() << "jq is not installed";
    zutest::TempDir dir;
    const std::string key_file = dir.file("key");
    IpcGuard g;
    ASSERT_EQ(os_proc_sema_init(key_file.c_str(), 1, &g.sem), OS_OK);
    const std::string key = std::to_string(locktest::ipc_key(key_file));
    const std::string ipc = ".key_file == \"" + key_file + "\" and .key == " + key +
                            " and .semaphore.semaphores == 2 and .semaphore.users == 1 and "
                            ".semaphore.library_made and .segment == null and .removed == ";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string filter;
    } cases[] = {
        {{"host", "--json"},
         0,
         ".zone.utc_offset_seconds == 19800 and .zone.library_offset_hours == 5 and "
         ".zone.daylight_saving == false and ((.local_seconds.local_time - "
         ".local_seconds.library) / 60 | round) == 30 and .lang == \"zh_CN.GBK\" and "
         ".charset.from_utf8 == \"GBK\" and (.ipv4.addresses | any(. == \"127.0.0.1\")) and "
         "(.executable | endswith(\"/zuos\")) and (.io_engine | IN(\"io_uring\", \"plain\"))"},
        {{"ipc", key_file, "--json"}, 0, ipc + "[]"},
        {{"ipc", key_file, "--json", "--remove"}, 1, ipc + "[]"},
        {{"ipc", key_file, "--json", "--remove", "--force"}, 0, ipc + "[\"semaphore\"]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const Result r = run_zuos(c.args, "", {"TZ=Asia/Kolkata", "LANG=zh_CN.GBK"});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        const Result jq = run({"jq", "-e", c.filter}, r.out);
        EXPECT_EQ(jq.status, 0) << c.filter << "\non\n" << r.out << jq.err;
    }
}

// --- manual page and completion -------------------------------------------

// The help of every command: its usage line (only the tool's own names --version),
// and the command and every option it lists are in the manual page.
TEST(Tool, HelpOfEveryCommandIsInTheManualPage) {
    std::string man = zutest::read_file(ZUOS_MAN_PAGE).value_or("");
    ASSERT_FALSE(man.empty()) << ZUOS_MAN_PAGE;
    for (size_t at; (at = man.find("\\-")) != std::string::npos;) man.erase(at, 1);
    for (std::string cmd : {"", "host", "time", "conv", "ipc"}) {
        const Result r = run_zuos(cmd.empty() ? std::vector<std::string>{"--help"}
                                              : std::vector<std::string>{cmd, "--help"});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(contains(r.out, "usage: zuos " + cmd)) << r.out;
        EXPECT_EQ(contains(r.out, "--version"), cmd.empty()) << r.out;
        EXPECT_TRUE(contains(man, ".B zuos " + cmd)) << cmd;
        const std::regex option("--[a-z]+");
        for (std::sregex_iterator m(r.out.begin(), r.out.end(), option), end; m != end; ++m)
            EXPECT_TRUE(contains(man, m->str())) << m->str() << " of zuos " << cmd;
    }
}

// What the bash completion offers: commands, each command's options, and character
// sets that the tool accepts.
TEST(Tool, BashCompletionOffersCommandsOptionsAndCharsets) {
    if (run({"bash", "--version"}).status != 0) GTEST_SKIP() << "bash is not installed";
    const auto complete = [](const std::string& words) {
        const Result r = run({"bash", "-c",
                              "source \"$0\"; COMP_WORDS=(" + words +
                                  "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _zuos; "
                                  "printf '%s ' \"${COMPREPLY[@]}\"",
                              ZUOS_COMPLETION});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const struct {
        const char *words, *offered;
    } cases[] = {{"zuos ''", "host time conv ipc --help --version "},
                 {"zuos host --", "--json --help "},
                 {"zuos time --", "--base --help "},
                 {"zuos ipc key --", "--json --remove --force --help "},
                 {"zuos conv --from gb", "gb18030 gbk gb2312 "}};
    for (const auto& c : cases) EXPECT_EQ(complete(c.words), c.offered) << c.words;
    std::istringstream sets(complete("zuos conv --to ''"));
    for (std::string set; sets >> set;) {
        const Result r = run_zuos({"conv", "--from", set, "--to", "utf8"}, "", {"LANG=C"});
        EXPECT_EQ(r.status, 0) << set << ": " << r.err;
    }
}

}  // namespace
