// File access: result codes, out-parameter rules, positions beyond 4 GiB, and the
// durable calls' path and argument errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::dir_names;
using zutest::read_file;

off_t position(HANDLE h) {
    return ::lseek(h, 0, SEEK_CUR);
}

// Through the library: this moves the position to the end.
int64 size_of(HANDLE h) {
    int64 size = -2;
    EXPECT_EQ(os_file_get_size(h, &size), OS_OK);
    return size;
}

class File : public ::testing::Test {
protected:
    // Opens (creating) name with flags and writes contents at its start.
    HANDLE open_rw(const std::string& name, const std::string& contents = "",
                   int flags = O_RDWR | O_CREAT) {
        HANDLE h = -1;
        int32 n = 0;
        EXPECT_EQ(os_file_open(dir.file(name).c_str(), flags, &h), OS_OK);
        EXPECT_EQ(os_file_write(h, contents.data(), static_cast<int32>(contents.size()), &n),
                  OS_OK);
        EXPECT_EQ(n, static_cast<int32>(contents.size()));
        return h;
    }
    zutest::TempDir dir;
};

// O_CREAT alone creates with 0777 less the umask, or opens an existing file read-only
// with its contents.
TEST_F(File, CreateUsesMode0777LessUmask) {
    const mode_t old = ::umask(022);
    HANDLE h = -1;
    ASSERT_EQ(os_file_open(dir.file("k").c_str(), O_CREAT, &h), OS_OK);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::fstat(h, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(os_file_close(h), OS_OK);
    EXPECT_EQ(os_file_close(h), EBADF) << "closing twice";
    os_file_close(open_rw("k", "data"));
    ASSERT_EQ(os_file_open(dir.file("k").c_str(), O_CREAT, &h), OS_OK);
    EXPECT_EQ(size_of(h), 4);
    int32 n = 0;
    EXPECT_EQ(os_file_write(h, "x", 1, &n), EBADF);
    EXPECT_EQ(n, -1);
    os_file_close(h);
}

// Only ENOENT from access is the library's own code; open passes it through.
TEST_F(File, MissingFilesAreReportedByEachCallItsOwnWay) {
    HANDLE h = 1234;
    EXPECT_EQ(os_file_open(dir.file("missing").c_str(), O_RDONLY, &h), ENOENT);
    EXPECT_EQ(h, -1);
    // Execute needs an x bit even for root, so this holds for every user.
    os_file_close(open_rw("k"));
    ASSERT_EQ(::chmod(dir.file("k").c_str(), 0644), 0);
    const std::pair<std::string, int> kAccess[] = {
        {"missing/below", OS_ERR_FILE_NOT_FOUND}, {"k", EACCES}, {"k/x", ENOTDIR}};
    for (const auto& [name, rc] : kAccess)
        EXPECT_EQ(os_file_access(dir.file(name).c_str(), X_OK), rc) << name;
    EXPECT_EQ(os_file_access(dir.path().c_str(), R_OK | W_OK), OS_OK);
}

// The ways to transfer at an offset: seek then read or write, the seek-and-transfer
// functions, and the single calls and the batches that leave the position alone.
struct Transfer {
    const char* name;
    int (*read)(HANDLE, int64, void*, int32, int32*);
    int (*write)(HANDLE, int64, const void*, int32, int32*);
    bool moves_position;
};
// The request batched with one of 0 bytes, so that the batch goes by its ring where
// there is one.
template <class Buf, int (*Batch)(OS_IO_REQUEST*, int32)>
int in_batch(HANDLE h, int64 off, Buf b, int32 n, int32* got) {
    char none;
    OS_IO_REQUEST rs[2] = {{h, n, off, const_cast<void*>(b), 0, *got}, {h, 0, 0, &none, 0, 0}};
    const int rc = Batch(rs, 2);
    *got = rs[0].nDone;
    return rc != OS_OK ? rc : rs[0].nResult;
}
constexpr Transfer kTransfers[] = {
    {"seek64 + read/write",
     [](HANDLE h, int64 off, void* b, int32 n, int32* got) {
         const int rc = os_file_seek64(h, off, SEEK_SET);
         return rc != OS_OK ? rc : os_file_read(h, b, n, got);
     },
     [](HANDLE h, int64 off, const void* b, int32 n, int32* got) {
         const int rc = os_file_seek64(h, off, SEEK_SET);
         return rc != OS_OK ? rc : os_file_write(h, b, n, got);
     },
     true},
    {"seek_read/seek_write", os_file_seek_read, os_file_seek_write, true},
    {"pread/pwrite", os_file_pread, os_file_pwrite, false},
    {"batch", in_batch<void*, os_file_pread_batch>, in_batch<const void*, os_file_pwrite_batch>,
     false},
};

// All give the same results and counts on the same cases, offsets beyond 4 GiB exact;
// a failed positioning writes no count, a failed transfer writes -1.
TEST_F(File, TransfersShareOneResultTable) {
    // What is done (a write or a read, on a write-only descriptor or not), at which
    // offset, of how many bytes; the result, and the count (55: not written).
    constexpr int64 k4G = 1LL << 32;
    const std::tuple<const char*, bool, bool, int64, int32, int, int32> kCases[] = {
        {"full read", false, false, 2, 3, OS_OK, 3},
        {"short read", false, false, 4, 10, OS_ERR_FILE_SHORT_READ, 2},
        {"read at end of file", false, false, 6, 1, OS_ERR_FILE_SHORT_READ, 0},
        {"read far beyond 4 GiB", false, false, 2 * k4G, 1, OS_ERR_FILE_SHORT_READ, 0},
        {"read of 0 bytes", false, false, 1, 0, OS_OK, 0},
        {"read at a negative offset", false, false, -1, 1, EINVAL, 55},
        {"read of a write-only descriptor", false, true, 0, 1, EBADF, -1},
        {"write", true, false, 1, 2, OS_OK, 2},
        {"write past the end", true, false, 8, 2, OS_OK, 2},
        {"write across 4 GiB", true, false, k4G - 1, 2, OS_OK, 2},
        {"write beyond 4 GiB", true, false, k4G + 1, 2, OS_OK, 2},
        {"write at a negative offset", true, false, -5, 1, EINVAL, 55},
    };
    for (const Transfer& t : kTransfers) {
        for (const auto& [what, write, write_only, offset, bytes, result, count] : kCases) {
            SCOPED_TRACE(std::string(t.name) + ": " + what);
            os_file_close(open_rw("p", "abcdef", O_RDWR | O_CREAT | O_TRUNC));
            HANDLE h = -1;
            ASSERT_EQ(os_file_open(dir.file("p").c_str(), write_only ? O_WRONLY : O_RDWR, &h),
                      OS_OK);
            ASSERT_EQ(os_file_seek64(h, 1, SEEK_SET), OS_OK);
            char buf[16] = "XY";
            int32 n = 55;
            const int rc =
                write ? t.write(h, offset, buf, bytes, &n) : t.read(h, offset, buf, bytes, &n);
            EXPECT_EQ(rc, result);
            EXPECT_EQ(n, count);
            const bool moved = t.moves_position && result != EINVAL;
            EXPECT_EQ(position(h), moved ? offset + std::max(count, 0) : 1);
            const bool wrote = write && rc == OS_OK;
            EXPECT_EQ(size_of(h), wrote ? std::max<int64>(6, offset + count) : 6);
            if (wrote) {
                char back[2] = {}, gap[2] = {'U', 'U'};
                ASSERT_EQ(::pread(h, back, 2, offset), 2);
                EXPECT_EQ(std::string(back, 2), "XY");
                EXPECT_EQ(::pread(h, gap, 2, 6), offset > 6 ? 2 : 0);
                EXPECT_EQ(gap[1], offset > 6 ? '\0' : 'U') << "a gap reads as zeros";
            }
            os_file_close(h);
        }
    }
}

// A write stops at the file size limit with a short count; the next one fails. In
// process, so that the coverage counts what the batch's ring does.
TEST_F(File, WritesStopShortAtTheFileSizeLimit) {
    HANDLE h = open_rw("limited");
    char data[20] = {};
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limit = {10, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    for (const Transfer& t : kTransfers) {
        int32 n = 0, m = 0;
        EXPECT_EQ(t.write(h, 4, data, 20, &n), OS_ERR_FILE_SHORT_WRITE) << t.name;
        EXPECT_EQ(t.write(h, 10, data, 1, &m), EFBIG) << t.name;
        EXPECT_EQ(std::pair(n, m), std::pair(6, -1)) << t.name;
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, old_handler);
    os_file_close(h);
}

// A failed seek leaves the position; the size query moves it to the end, so that a
// write appends; truncation never moves it and extends with zeros.
TEST_F(File, ThePositionMovesOnlyWhereDocumented) {
    HANDLE h = open_rw("s", "abcdef");
    // Offset and whence (7: unknown), the result and the position after it.
    const std::tuple<int64, uint32, int, off_t> kSeeks[] = {
        {3, SEEK_SET, OS_OK, 3}, {-1, SEEK_SET, EINVAL, 3}, {-10, SEEK_CUR, EINVAL, 3},
        {0, 7, EINVAL, 3},       {-2, SEEK_END, OS_OK, 4},  {-1, SEEK_CUR, OS_OK, 3}};
    for (const auto& [off, whence, rc, at] : kSeeks) {
        EXPECT_EQ(os_file_seek64(h, off, whence), rc) << off << " from " << whence;
        EXPECT_EQ(position(h), at) << off << " from " << whence;
    }

    EXPECT_EQ(size_of(h), 6);
    EXPECT_EQ(position(h), 6);
    int32 n = 0;
    EXPECT_EQ(os_file_write(h, "gh", 2, &n), OS_OK);
    EXPECT_EQ(read_file(dir.file("s")), "abcdefgh") << "the write appended";

    ASSERT_EQ(os_file_truncate(h, 12), OS_OK);
    EXPECT_EQ(position(h), 8);
    std::string buf(4, 'U');
    EXPECT_EQ(os_file_read(h, buf.data(), 4, &n), OS_OK);
    EXPECT_EQ(buf, std::string(4, '\0'));
    ASSERT_EQ(os_file_truncate(h, 5LL << 32), OS_OK);
    EXPECT_EQ(size_of(h), 5LL << 32);
    ASSERT_EQ(os_file_truncate(h, 1), OS_OK);
    EXPECT_EQ(size_of(h), 1);
    EXPECT_EQ(os_file_flush(h), OS_OK);
    os_file_close(h);

    int64 size = 5;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    EXPECT_EQ(os_file_get_size(p[0], &size), ESPIPE);
    EXPECT_EQ(size, -1);
    ::close(p[0]);
    ::close(p[1]);
}

TEST_F(File, DurableCallsLeaveNothingBehindOnPathErrors) {
    os_file_close(open_rw("f", "kept"));
    ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0755), 0);
    const std::string f = dir.file("f"), missing = dir.file("missing/x");
    // A directory longer than PATH_MAX, and a name that fits but its temporary's does not.
    const std::string longdir = std::string(PATH_MAX, 'a') + "/x";
    std::string longname = dir.file("missing/");
    while (longname.size() < PATH_MAX - 10) longname += "a/";
    // What was asked, its result, and the result expected (in this order).
    const std::tuple<const char*, int, int> kCases[] = {
        {"sync of a directory", os_dir_sync(dir.path().c_str()), OS_OK},
        {"rename of a directory named with trailing slashes",
         os_file_rename_durable((dir.file("d") + "//").c_str(), dir.file("e").c_str()), OS_OK},
        {"rename back", os_file_rename_durable(dir.file("e/").c_str(), dir.file("d").c_str()),
         OS_OK},
        {"rename of the root", os_file_rename_durable("/", dir.file("g").c_str()), EBUSY},
        {"rename from too long a directory", os_file_rename_durable(longdir.c_str(), f.c_str()),
         ENAMETOOLONG},
        {"rename into too long a directory", os_file_rename_durable(f.c_str(), longdir.c_str()),
         ENAMETOOLONG},
        {"replace in too long a directory", os_file_replace(longdir.c_str(), "x", 1), ENAMETOOLONG},
        {"replace of a name too long for its temporary",
         os_file_replace((longname + "name").c_str(), "x", 1), ENAMETOOLONG},
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
    for (const auto& [what, rc, expected] : kCases) EXPECT_EQ(rc, expected) << what;
    EXPECT_EQ(read_file(f), "kept");
    EXPECT_EQ(dir_names(dir.path()), (std::set<std::string>{"d", "f"})) << "no temporary left";
}

// A new file gets 0666 less the umask, an existing one keeps its bits.
TEST_F(File, ReplaceWritesEveryByte) {
    const mode_t old = ::umask(027);
    const std::string f = dir.file("m");
    struct stat st {};
    ASSERT_EQ(os_file_replace(f.c_str(), "first", 5), OS_OK);
    EXPECT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "a new file";
    ::umask(old);

    ASSERT_EQ(::chmod(f.c_str(), 0604), 0);
    std::string big(3 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
    ASSERT_EQ(os_file_replace(f.c_str(), big.data(), static_cast<int64>(big.size())), OS_OK);
    EXPECT_TRUE(read_file(f) == big);
    ASSERT_EQ(os_file_replace(f.c_str(), "", 0), OS_OK);
    EXPECT_EQ(read_file(f), "");
    EXPECT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u) << "an existing file";

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

// Blocks are reserved, not a hole; the file grows with zeros, never shrinks, and the
// position does not move.
TEST_F(File, AllocateReservesBlocks) {
    HANDLE h = open_rw("a", "abc");
    const int64 kMiB = 1 << 20;
    EXPECT_EQ(os_file_allocate(h, 2, kMiB), OS_OK);
    EXPECT_EQ(position(h), 3);
    struct stat st {};
    ASSERT_EQ(::fstat(h, &st), 0);
    EXPECT_EQ(st.st_size, 2 + kMiB);
    EXPECT_GE(st.st_blocks * 512, kMiB);
    EXPECT_EQ(read_file(dir.file("a"))->substr(0, 8), std::string("abc") + std::string(5, '\0'));
    EXPECT_EQ(os_file_allocate(h, 0, 4), OS_OK);
    EXPECT_EQ(os_file_allocate(h, 1LL << 40, 0), OS_OK) << "nothing to reserve";
    EXPECT_EQ(os_file_allocate(h, -1, 1), EINVAL);
    EXPECT_EQ(os_file_allocate(h, 0, -1), EINVAL);
    EXPECT_EQ(size_of(h), 2 + kMiB);
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
