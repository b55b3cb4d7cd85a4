// File access: result codes, out-parameter rules, positions beyond 4 GiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

off_t position(HANDLE h) {
    return ::lseek(h, 0, SEEK_CUR);
}

int64 size_of(HANDLE h) {
    int64 size = -2;
    EXPECT_EQ(os_file_get_size(h, &size), OS_OK);
    return size;
}

class File : public ::testing::Test {
protected:
    // Opens (creating) name read-write and writes contents at its start.
    HANDLE open_rw(const std::string& name, const std::string& contents = "") {
        HANDLE h = -1;
        int32 n = 0;
        EXPECT_EQ(os_file_open(dir.file(name).c_str(), O_RDWR | O_CREAT, &h), OS_OK);
        EXPECT_EQ(os_file_write(h, contents.data(), static_cast<int32>(contents.size()), &n),
                  OS_OK);
        EXPECT_EQ(n, static_cast<int32>(contents.size()));
        return h;
    }
    zutest::TempDir dir;
};

TEST_F(File, CreateUsesMode0777LessUmaskAndKeepsExistingContents) {
    const mode_t old = ::umask(022);
    HANDLE h = -1;
    ASSERT_EQ(os_file_open(dir.file("k").c_str(), O_CREAT, &h), OS_OK);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::fstat(h, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(os_file_close(h), OS_OK);

    // O_CREAT alone is a read-only open of an existing file: contents stay.
    os_file_close(open_rw("k", "data"));
    ASSERT_EQ(os_file_open(dir.file("k").c_str(), O_CREAT, &h), OS_OK);
    EXPECT_EQ(size_of(h), 4);
    int32 n = 0;
    EXPECT_EQ(os_file_write(h, "x", 1, &n), EBADF);
    EXPECT_EQ(n, -1);
    os_file_close(h);
}

TEST_F(File, TransfersReportFullShortAndFailedCounts) {
    HANDLE h = open_rw("t", "hello");
    char buf[16] = {};
    int32 n = 99;
    EXPECT_EQ(os_file_seek64(h, 0, SEEK_SET), OS_OK);
    EXPECT_EQ(os_file_read(h, buf, 10, &n), OS_ERR_FILE_SHORT_READ);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(os_file_read(h, buf, 1, &n), OS_ERR_FILE_SHORT_READ) << "at end of file";
    EXPECT_EQ(n, 0);
    n = 99;
    EXPECT_EQ(os_file_read(h, buf, 0, &n), OS_OK) << "a transfer of 0 bytes";
    EXPECT_EQ(n, 0);
    os_file_close(h);

    ASSERT_EQ(os_file_open(dir.file("t").c_str(), O_WRONLY, &h), OS_OK);
    EXPECT_EQ(os_file_read(h, buf, 1, &n), EBADF);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(os_file_close(h), OS_OK);
    EXPECT_EQ(os_file_close(h), EBADF) << "closing twice";
}

TEST_F(File, ShortWriteAtTheFileSizeLimitThenEfbig) {
    const std::string path = dir.file("limited");
    EXPECT_EQ(zutest::run_in_child([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  const struct rlimit rl = {10, 10};
                  HANDLE h = -1;
                  int32 n = 0;
                  char data[20] = {};
                  if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return 10;
                  if (os_file_open(path.c_str(), O_RDWR | O_CREAT, &h) != OS_OK) return 11;
                  if (os_file_write(h, data, 20, &n) != OS_ERR_FILE_SHORT_WRITE || n != 10)
                      return 12;
                  if (os_file_write(h, data, 1, &n) != EFBIG || n != -1) return 13;
                  if (os_file_seek_write(h, 4, data, 20, &n) != OS_ERR_FILE_SHORT_WRITE || n != 6)
                      return 14;
                  if (os_file_pwrite(h, 4, data, 20, &n) != OS_ERR_FILE_SHORT_WRITE || n != 6)
                      return 15;
                  return 0;
              }),
              0);
}

TEST_F(File, SeekFailuresLeaveThePositionAndTheCountAlone) {
    HANDLE h = open_rw("s", "abcdef");
    ASSERT_EQ(os_file_seek64(h, 3, SEEK_SET), OS_OK);
    EXPECT_EQ(os_file_seek64(h, -1, SEEK_SET), EINVAL);
    EXPECT_EQ(os_file_seek64(h, -10, SEEK_CUR), EINVAL);
    EXPECT_EQ(os_file_seek64(h, 0, 7), EINVAL) << "unknown whence";
    EXPECT_EQ(position(h), 3);
    char buf[4];
    int32 n = 77;
    EXPECT_EQ(os_file_seek_read(h, -1, buf, 1, &n), EINVAL);
    EXPECT_EQ(os_file_seek_write(h, -1, buf, 1, &n), EINVAL);
    EXPECT_EQ(n, 77) << "count not written when positioning fails";
    os_file_close(h);

    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    int64 size = 5;
    EXPECT_EQ(os_file_get_size(p[0], &size), ESPIPE);
    EXPECT_EQ(size, -1);
    ::close(p[0]);
    ::close(p[1]);
}

TEST_F(File, OffsetsAndSizesBeyondFourGibibytesAreExact) {
    HANDLE h = open_rw("big");
    const int64 off = 4294967295LL;  // 2^32 - 1
    int32 n = 0;
    ASSERT_EQ(os_file_seek_write(h, off, "xyz", 3, &n), OS_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(position(h), off + 3);
    EXPECT_EQ(size_of(h), off + 3);
    char buf[4] = {};
    EXPECT_EQ(os_file_seek_read(h, off + 1, buf, 2, &n), OS_OK);
    EXPECT_EQ(std::string(buf, 2), "yz");
    EXPECT_EQ(os_file_seek64(h, -3, SEEK_END), OS_OK);
    EXPECT_EQ(position(h), off);
    EXPECT_EQ(os_file_seek_read(h, 1LL << 33, buf, 1, &n), OS_ERR_FILE_SHORT_READ);
    EXPECT_EQ(n, 0) << "beyond the end";
    EXPECT_EQ(os_file_truncate(h, 5LL << 32), OS_OK);
    EXPECT_EQ(size_of(h), 5LL << 32);
    os_file_close(h);
}

TEST_F(File, TruncateExtendsWithZerosWithoutMovingThePosition) {
    HANDLE h = open_rw("tr", "ab");
    ASSERT_EQ(os_file_truncate(h, 10), OS_OK);
    EXPECT_EQ(position(h), 2);
    std::string buf(8, 'U');
    int32 n = 0;
    EXPECT_EQ(os_file_read(h, buf.data(), 8, &n), OS_OK);
    EXPECT_EQ(buf, std::string(8, '\0'));
    ASSERT_EQ(os_file_truncate(h, 1), OS_OK);
    EXPECT_EQ(os_file_seek_read(h, 0, buf.data(), 2, &n), OS_ERR_FILE_SHORT_READ);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(os_file_flush(h), OS_OK);
    os_file_close(h);
}

TEST_F(File, SizeQueryLeavesThePositionAtTheEnd) {
    HANDLE h = open_rw("sz", "0123456789");
    ASSERT_EQ(os_file_seek64(h, 0, SEEK_SET), OS_OK);
    EXPECT_EQ(size_of(h), 10);
    EXPECT_EQ(position(h), 10);
    int32 n = 0;
    EXPECT_EQ(os_file_write(h, "ab", 2, &n), OS_OK);
    EXPECT_EQ(size_of(h), 12) << "the write appended";
    os_file_close(h);
}

TEST_F(File, MissingAndDeniedFilesAreReported) {
    HANDLE h = 1234;
    EXPECT_EQ(os_file_open(dir.file("missing").c_str(), O_RDONLY, &h), ENOENT);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(os_file_access(dir.file("missing/below").c_str(), R_OK), OS_ERR_FILE_NOT_FOUND);
    // Execute needs an x bit even for root, so this holds for every user.
    os_file_close(open_rw("noexec"));
    ::chmod(dir.file("noexec").c_str(), 0644);
    EXPECT_EQ(os_file_access(dir.file("noexec").c_str(), X_OK), EACCES);
    EXPECT_EQ(os_file_access(dir.path().c_str(), R_OK | W_OK), OS_OK);
}

// The positioned pairs: the seek-then-transfer functions and the single-call ones.
struct PositionedPair {
    const char* name;
    int (*read)(HANDLE, int64, void*, int32, int32*);
    int (*write)(HANDLE, int64, const void*, int32, int32*);
    bool moves_position;
};
constexpr PositionedPair kPairs[] = {
    {"seek", os_file_seek_read, os_file_seek_write, true},
    {"pread", os_file_pread, os_file_pwrite, false},
};

// Both pairs give the same results and counts on the same cases; only the single-call
// pair leaves the descriptor's position where it was.
TEST_F(File, PositionedPairsShareOneResultTable) {
    struct Case {
        const char* what;
        bool write;
        int64 offset;
        int32 bytes;
        int result;
        int32 count;  // 55 means "not written"
    };
    constexpr Case kCases[] = {
        {"full read", false, 2, 3, OS_OK, 3},
        {"short read", false, 4, 10, OS_ERR_FILE_SHORT_READ, 2},
        {"read at end of file", false, 6, 1, OS_ERR_FILE_SHORT_READ, 0},
        {"read far beyond 4 GiB", false, 1LL << 33, 1, OS_ERR_FILE_SHORT_READ, 0},
        {"read of 0 bytes", false, 1, 0, OS_OK, 0},
        {"read at a negative offset", false, -1, 1, EINVAL, 55},
        {"write", true, 1, 2, OS_OK, 2},
        {"write past the end", true, 8, 2, OS_OK, 2},
        {"write at a negative offset", true, -5, 1, EINVAL, 55},
    };
    for (const PositionedPair& pair : kPairs) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(pair.name) + ": " + c.what);
            HANDLE h = open_rw("p", "abcdef");
            ASSERT_EQ(os_file_seek64(h, 1, SEEK_SET), OS_OK);
            char buf[16] = "XY";
            int32 n = 55;
            const int rc = c.write ? pair.write(h, c.offset, buf, c.bytes, &n)
                                   : pair.read(h, c.offset, buf, c.bytes, &n);
            EXPECT_EQ(rc, c.result);
            EXPECT_EQ(n, c.count);
            const bool moved = pair.moves_position && c.result != EINVAL;
            EXPECT_EQ(position(h), moved ? c.offset + c.count : 1);
            if (c.write && rc == OS_OK) {
                char back[2] = {};
                ASSERT_EQ(::pread(h, back, 2, c.offset), 2);
                EXPECT_EQ(std::string(back, 2), "XY");
            }
            os_file_close(h);
            ::unlink(dir.file("p").c_str());
        }
    }
    // A failed transfer stores -1 in both pairs.
    for (const PositionedPair& pair : kPairs) {
        HANDLE h = -1;
        os_file_close(open_rw("w"));
        ASSERT_EQ(os_file_open(dir.file("w").c_str(), O_WRONLY, &h), OS_OK);
        char c;
        int32 n = 55;
        EXPECT_EQ(pair.read(h, 0, &c, 1, &n), EBADF) << pair.name;
        EXPECT_EQ(n, -1) << pair.name;
        os_file_close(h);
    }
}

// Threads share one descriptor with no lock: each writes and reads back its own
// disjoint blocks, interleaved with the others.
TEST_F(File, ThreadsSharingOneHandleTransferExactBytes) {
    constexpr int kThreads = 8;
    constexpr int kBlocks = 64;
    constexpr int32 kBlock = 4096;
    HANDLE h = open_rw("shared");
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string out(kBlock, '\0'), in(kBlock, '\0');
            for (int b = 0; b < kBlocks; ++b) {
                const int64 off = (static_cast<int64>(b) * kThreads + t) * kBlock;
                for (int32 i = 0; i < kBlock; ++i) out[i] = static_cast<char>(t * 31 + b + i);
                int32 n = 0;
                if (os_file_pwrite(h, off, out.data(), kBlock, &n) != OS_OK || n != kBlock)
                    ++failures[t];
                if (os_file_pread(h, off, in.data(), kBlock, &n) != OS_OK || in != out)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(position(h), 0) << "nobody moved the shared position";
    // The whole file, read afresh, holds every block as its writer left it.
    std::string block(kBlock, '\0');
    int bad = 0;
    for (int i = 0; i < kThreads * kBlocks; ++i) {
        const int t = i % kThreads, b = i / kThreads;
        ASSERT_EQ(::pread(h, block.data(), kBlock, static_cast<off_t>(i) * kBlock), kBlock);
        for (int32 k = 0; k < kBlock; ++k) bad += block[k] != static_cast<char>(t * 31 + b + k);
    }
    EXPECT_EQ(bad, 0);
    os_file_close(h);
}

using zutest::dir_names;
using zutest::read_file;

TEST_F(File, DurableCallsReportPathAndArgumentErrorsAndLeaveNothingBehind) {
    os_file_close(open_rw("f", "kept"));
    ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0755), 0);
    const std::string f = dir.file("f"), missing = dir.file("missing/x");
    const struct {
        const char* what;
        int rc;
        int expected;
    } kCases[] = {
        {"sync of a directory", os_dir_sync(dir.path().c_str()), OS_OK},
        {"sync of a missing directory", os_dir_sync(dir.file("missing").c_str()), ENOENT},
        {"sync of a file as a directory", os_dir_sync(f.c_str()), ENOTDIR},
        {"rename of a missing file",
         os_file_rename_durable(dir.file("none").c_str(), dir.file("g").c_str()), ENOENT},
        {"rename into a missing directory", os_file_rename_durable(f.c_str(), missing.c_str()),
         ENOENT},
        {"replace in a missing directory", os_file_replace(missing.c_str(), "x", 1), ENOENT},
        {"replace of a name with a trailing slash", os_file_replace((f + "/").c_str(), "x", 1),
         EISDIR},
        {"replace over a directory", os_file_replace(dir.file("d").c_str(), "x", 1), EISDIR},
        {"replace with a negative length", os_file_replace(f.c_str(), "x", -1), EINVAL},
    };
    for (const auto& c : kCases) EXPECT_EQ(c.rc, c.expected) << c.what;
    EXPECT_EQ(read_file(f), "kept");
    EXPECT_EQ(dir_names(dir.path()), (std::set<std::string>{"d", "f"})) << "no temporary left";
}

TEST_F(File, ReplaceWritesEveryByteAndKeepsPermissionBits) {
    const mode_t old = ::umask(027);
    const std::string f = dir.file("m");
    struct stat st {};
    ASSERT_EQ(os_file_replace(f.c_str(), "first", 5), OS_OK);
    EXPECT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "a new file: 0666 less the umask";
    ::umask(old);

    ASSERT_EQ(::chmod(f.c_str(), 0604), 0);
    std::string big(3 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
    ASSERT_EQ(os_file_replace(f.c_str(), big.data(), static_cast<int64>(big.size())), OS_OK);
    EXPECT_TRUE(read_file(f) == big);
    ASSERT_EQ(os_file_replace(f.c_str(), "", 0), OS_OK);
    EXPECT_EQ(read_file(f), "");
    EXPECT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u) << "an existing file keeps its bits";

    // The longest name a directory takes: the temporary's name is cut to fit.
    const std::string longest = dir.file(std::string(NAME_MAX, 'n'));
    EXPECT_EQ(os_file_replace(longest.c_str(), "x", 1), OS_OK);
    EXPECT_EQ(read_file(longest), "x");
    // Bare names are synced through the current directory.
    EXPECT_EQ(zutest::run_in_child([&] {
                  return ::chdir(dir.path().c_str()) != 0 || os_file_replace("rel", "r", 1) != 0 ||
                         os_file_rename_durable("rel", "rel2") != 0;
              }),
              0);
    EXPECT_EQ(read_file(dir.file("rel2")), "r");
    EXPECT_EQ(dir_names(dir.path()).size(), 3u) << "no temporary left";
}

TEST_F(File, AllocateReservesBlocksAndExtendsWithZeros) {
    HANDLE h = open_rw("a", "abc");
    const int64 kMiB = 1 << 20;
    EXPECT_EQ(os_file_allocate(h, 2, kMiB), OS_OK);
    EXPECT_EQ(position(h), 3) << "the position does not move";
    struct stat st {};
    ASSERT_EQ(::fstat(h, &st), 0);
    EXPECT_EQ(st.st_size, 2 + kMiB);
    EXPECT_GE(st.st_blocks * 512, kMiB) << "the blocks are reserved, not a hole";
    std::string head(8, 'U');
    int32 n = 0;
    EXPECT_EQ(os_file_pread(h, 0, head.data(), 8, &n), OS_OK);
    EXPECT_EQ(head, std::string("abc") + std::string(5, '\0'));
    EXPECT_EQ(os_file_allocate(h, 0, 4), OS_OK);
    EXPECT_EQ(os_file_allocate(h, 1LL << 40, 0), OS_OK) << "nothing to reserve";
    EXPECT_EQ(os_file_allocate(h, -1, 1), EINVAL);
    EXPECT_EQ(os_file_allocate(h, 0, -1), EINVAL);
    EXPECT_EQ(size_of(h), 2 + kMiB) << "never shrinks";
    EXPECT_EQ(os_file_datasync(h), OS_OK);
    os_file_close(h);

    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    EXPECT_EQ(os_file_datasync(p[0]), EINVAL);
    EXPECT_EQ(os_file_allocate(p[1], 0, 1), ESPIPE);
    ::close(p[0]);
    ::close(p[1]);
}

// No fixture: the death-test child re-runs the body and dies, so it must not own a
// temporary directory it cannot remove.
TEST(FileDeathTest, AssertedPreconditionsAbortInEveryBuildType) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(os_file_close(-1), "hFile != -1");
    int32 n;
    EXPECT_DEATH(os_file_read(0, nullptr, 1, &n), "pBuf != nullptr");
    EXPECT_DEATH(os_file_seek_write(0, 0, "x", 1, nullptr), "pBytesWritten != nullptr");
    EXPECT_DEATH(os_file_pread(-1, 0, &n, 1, &n), "hFile != -1");
    EXPECT_DEATH(os_file_pwrite(0, 0, nullptr, 1, &n), "pBuf != nullptr");
    EXPECT_DEATH(os_file_datasync(-1), "hFile != -1");
    EXPECT_DEATH(os_file_allocate(-1, 0, 1), "hFile != -1");
    EXPECT_DEATH(os_dir_sync(nullptr), "szDirName != nullptr");
    EXPECT_DEATH(os_file_rename_durable("a", nullptr), "szNewName != nullptr");
    EXPECT_DEATH(os_file_replace(nullptr, "x", 1), "szFileName != nullptr");
    EXPECT_DEATH(os_file_replace("a", nullptr, 0), "pBuf != nullptr");
}

}  // namespace
