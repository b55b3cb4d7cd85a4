// File access: result codes, out-parameter rules, positions beyond 4 GiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::TempDir;

off_t position(HANDLE h) {
    return ::lseek(h, 0, SEEK_CUR);
}

class File : public ::testing::Test {
protected:
    HANDLE open_rw(const std::string& name) {
        HANDLE h = -1;
        EXPECT_EQ(os_file_open(dir.file(name).c_str(), O_RDWR | O_CREAT, &h), OS_OK);
        return h;
    }
    TempDir dir;
};

TEST_F(File, OpenMissingWithoutCreateGivesEnoentAndMinusOne) {
    HANDLE h = 1234;
    EXPECT_EQ(os_file_open(dir.file("missing").c_str(), O_RDONLY, &h), ENOENT);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(os_file_access(dir.file("missing").c_str(), F_OK), OS_ERR_FILE_NOT_FOUND);
    EXPECT_EQ(os_file_access(dir.file("missing/below").c_str(), R_OK), OS_ERR_FILE_NOT_FOUND);
}

TEST_F(File, CreateUsesMode0777LessUmaskAndKeepsExistingContents) {
    mode_t old = ::umask(022);
    HANDLE h = -1;
    ASSERT_EQ(os_file_open(dir.file("k").c_str(), O_CREAT, &h), OS_OK);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::fstat(h, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(os_file_close(h), OS_OK);

    // O_CREAT alone is a read-only open of an existing file: contents stay.
    h = open_rw("k");
    int32 n = 0;
    ASSERT_EQ(os_file_write(h, "data", 4, &n), OS_OK);
    os_file_close(h);
    ASSERT_EQ(os_file_open(dir.file("k").c_str(), O_CREAT, &h), OS_OK);
    int64 size = 0;
    EXPECT_EQ(os_file_get_size(h, &size), OS_OK);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(os_file_write(h, "x", 1, &n), EBADF);
    EXPECT_EQ(n, -1);
    os_file_close(h);
}

TEST_F(File, TransfersReportFullShortAndFailedCounts) {
    HANDLE h = open_rw("t");
    int32 n = 99;
    EXPECT_EQ(os_file_write(h, "hello", 5, &n), OS_OK);
    EXPECT_EQ(n, 5);
    char buf[16] = {};
    EXPECT_EQ(os_file_seek64(h, 0, SEEK_SET), OS_OK);
    EXPECT_EQ(os_file_read(h, buf, 10, &n), OS_ERR_FILE_SHORT_READ);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(os_file_read(h, buf, 1, &n), OS_ERR_FILE_SHORT_READ) << "at end of file";
    EXPECT_EQ(n, 0);
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
    std::string path = dir.file("limited");
    int status = zutest::run_in_child([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl {
            10, 10
        };
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return 10;
        HANDLE h = -1;
        if (os_file_open(path.c_str(), O_RDWR | O_CREAT, &h) != OS_OK) return 11;
        int32 n = 0;
        char data[20] = {};
        if (os_file_write(h, data, 20, &n) != OS_ERR_FILE_SHORT_WRITE || n != 10) return 12;
        if (os_file_write(h, data, 1, &n) != EFBIG || n != -1) return 13;
        if (os_file_seek_write(h, 4, data, 20, &n) != OS_ERR_FILE_SHORT_WRITE || n != 6) return 14;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(File, SeekFailuresLeaveThePositionAndTheCountAlone) {
    HANDLE h = open_rw("s");
    int32 n = 0;
    ASSERT_EQ(os_file_write(h, "abcdef", 6, &n), OS_OK);
    ASSERT_EQ(os_file_seek64(h, 3, SEEK_SET), OS_OK);
    EXPECT_EQ(os_file_seek64(h, -1, SEEK_SET), EINVAL);
    EXPECT_EQ(os_file_seek64(h, -10, SEEK_CUR), EINVAL);
    EXPECT_EQ(os_file_seek64(h, 0, 7), EINVAL) << "unknown whence";
    EXPECT_EQ(position(h), 3);
    char buf[4];
    n = 77;
    EXPECT_EQ(os_file_seek_read(h, -1, buf, 1, &n), EINVAL);
    EXPECT_EQ(os_file_seek_write(h, -1, buf, 1, &n), EINVAL);
    EXPECT_EQ(n, 77) << "count not written when positioning fails";
    os_file_close(h);

    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    int64 size = 5;
    EXPECT_EQ(os_file_seek64(p[0], 0, SEEK_SET), ESPIPE);
    EXPECT_EQ(os_file_get_size(p[0], &size), ESPIPE);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(os_file_seek_read(p[0], 0, buf, 1, &n), ESPIPE);
    EXPECT_EQ(n, 77);
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
    int64 size = 0;
    EXPECT_EQ(os_file_get_size(h, &size), OS_OK);
    EXPECT_EQ(size, off + 3);
    char buf[4] = {};
    EXPECT_EQ(os_file_seek_read(h, off + 1, buf, 2, &n), OS_OK);
    EXPECT_EQ(std::string(buf, 2), "yz");
    EXPECT_EQ(os_file_seek64(h, -3, SEEK_END), OS_OK);
    EXPECT_EQ(position(h), off);
    EXPECT_EQ(os_file_seek_read(h, 1LL << 33, buf, 1, &n), OS_ERR_FILE_SHORT_READ);
    EXPECT_EQ(n, 0) << "beyond the end";
    EXPECT_EQ(os_file_truncate(h, 5LL << 32), OS_OK);
    EXPECT_EQ(os_file_get_size(h, &size), OS_OK);
    EXPECT_EQ(size, 5LL << 32);
    os_file_close(h);
}

TEST_F(File, TruncateExtendsWithZerosWithoutMovingThePosition) {
    HANDLE h = open_rw("tr");
    int32 n = 0;
    ASSERT_EQ(os_file_write(h, "ab", 2, &n), OS_OK);
    ASSERT_EQ(os_file_truncate(h, 10), OS_OK);
    EXPECT_EQ(position(h), 2);
    char buf[8];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(os_file_read(h, buf, 8, &n), OS_OK);
    EXPECT_EQ(std::string(buf, 8), std::string(8, '\0'));
    ASSERT_EQ(os_file_truncate(h, 1), OS_OK);
    EXPECT_EQ(os_file_seek_read(h, 0, buf, 2, &n), OS_ERR_FILE_SHORT_READ);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(os_file_flush(h), OS_OK);
    os_file_close(h);
}

TEST_F(File, SizeQueryLeavesThePositionAtTheEnd) {
    HANDLE h = open_rw("sz");
    int32 n = 0;
    ASSERT_EQ(os_file_write(h, "0123456789", 10, &n), OS_OK);
    ASSERT_EQ(os_file_seek64(h, 0, SEEK_SET), OS_OK);
    int64 size = 0;
    ASSERT_EQ(os_file_get_size(h, &size), OS_OK);
    EXPECT_EQ(size, 10);
    char buf[4];
    EXPECT_EQ(os_file_read(h, buf, 4, &n), OS_ERR_FILE_SHORT_READ);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(os_file_write(h, "ab", 2, &n), OS_OK) << "appends";
    ASSERT_EQ(os_file_get_size(h, &size), OS_OK);
    EXPECT_EQ(size, 12);
    // A positioned write past the end leaves a zero-filled gap.
    ASSERT_EQ(os_file_seek_write(h, 20, "z", 1, &n), OS_OK);
    char gap[8];
    ASSERT_EQ(os_file_seek_read(h, 12, gap, 8, &n), OS_OK);
    EXPECT_EQ(std::string(gap, 8), std::string(8, '\0'));
    os_file_close(h);
}

TEST_F(File, AccessReportsDeniedPermissionAsErrno) {
    if (::geteuid() == 0) {
        // root passes every read/write check; execute still needs an x bit.
        HANDLE h = open_rw("noexec");
        os_file_close(h);
        ::chmod(dir.file("noexec").c_str(), 0644);
        EXPECT_EQ(os_file_access(dir.file("noexec").c_str(), X_OK), EACCES);
    } else {
        HANDLE h = open_rw("noread");
        os_file_close(h);
        ::chmod(dir.file("noread").c_str(), 0200);
        EXPECT_EQ(os_file_access(dir.file("noread").c_str(), R_OK), EACCES);
    }
    EXPECT_EQ(os_file_access(dir.path().c_str(), R_OK | W_OK), OS_OK);
}

// No fixture: the death-test child re-runs the body and dies, so it must not own a
// temporary directory it cannot remove.
TEST(FileDeathTest, AssertedPreconditionsAbortInEveryBuildType) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(os_file_close(-1), "hFile != -1");
    int32 n;
    EXPECT_DEATH(os_file_read(0, nullptr, 1, &n), "pBuf != nullptr");
    EXPECT_DEATH(os_file_seek_write(0, 0, "x", 1, nullptr), "pBytesWritten != nullptr");
}

}  // namespace
