// Failure paths of the durable calls: each failing step returns the first errno and
// leaves no temporary file and no descriptor behind; the files change only when the
// rename has happened. Also the fallback of the space reservation, and a failed sync.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(int, fsync, -1, (int fd), (fd))
FI_WRAP(int, fchmod, -1, (int fd, mode_t m), (fd, m))
FI_WRAP(int, rename, -1, (const char* from, const char* to), (from, to))
FI_WRAP(int, fallocate, -1, (int fd, int mode, off_t off, off_t len), (fd, mode, off, len))
FI_WRAP(ssize_t, getrandom, -1, (void* buf, size_t n, unsigned flags), (buf, n, flags))

// Hand-written: a failing write, or one that takes only half or none of what it is
// given.
// FI_WRAP(ssize_t, write
fi::Point fi_write, fi_write_short, fi_write_none;
extern "C" ssize_t __real_write(int fd, const void* buf, size_t n);
extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (fi_write.hit()) {
        errno = fi_write.err;
        return -1;
    }
    if (fi_write_none.hit()) return 0;
    return __real_write(fd, buf, fi_write_short.hit() ? n / 2 : n);
}

// fi_open_taken: from its nth call on, every exclusive creation finds the name taken.
// FI_WRAP(int, open
fi::Point fi_open, fi_open_taken;
extern "C" int __real_open(const char* path, int flags, ...);
extern "C" int __wrap_open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    const long at = fi_open_taken.fail_at;
    if ((flags & O_EXCL) && at != 0 && ++fi_open_taken.calls >= at) {
        errno = EEXIST;
        return -1;
    }
    if (!fi_open.hit()) return __real_open(path, flags, mode);
    errno = fi_open.err;
    return -1;
}

// A failing close still closes, as on Linux.
FI_WRAP_AFTER(int, close, -1, (int fd), (fd))

namespace {

// Every file below root with its content, and every directory with a trailing '/'.
std::map<std::string, std::string> tree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        std::string rel = std::filesystem::relative(e.path(), root);
        if (e.is_directory()) {
            out[rel + "/"];
            continue;
        }
        out[rel] = zutest::read_file(e.path()).value_or("");
    }
    return out;
}

TEST(FileFault, DurableCallsFailAtEachStepWithoutLeftovers) {
    // What fails, in a replace of a/m or else a rename of a/m into b/: the nth call of
    // point fails with err; the result, and whether the change is in place.
    const std::tuple<const char*, bool, fi::Point&, long, int, int, bool> kCases[] = {
        {"temporary name taken: another is drawn", true, fi_open, 1, EEXIST, OS_OK, true},
        {"random source not ready: the clock names it", true, fi_getrandom, 1, EAGAIN, OS_OK, true},
        {"temporary cannot be created", true, fi_open, 1, EACCES, EACCES, false},
        {"permission bits cannot be set", true, fi_fchmod, 1, EPERM, EPERM, false},
        {"interrupted write is continued", true, fi_write, 1, EINTR, OS_OK, true},
        {"short write is continued", true, fi_write_short, 1, 0, OS_OK, true},
        {"write takes nothing", true, fi_write_none, 1, 0, EIO, false},
        {"every temporary name is taken", true, fi_open_taken, 1, EEXIST, EEXIST, false},
        {"write fails", true, fi_write, 1, ENOSPC, ENOSPC, false},
        {"temporary sync fails", true, fi_fsync, 1, EIO, EIO, false},
        {"temporary close fails", true, fi_close, 1, EIO, EIO, false},
        {"rename fails", true, fi_rename, 1, EXDEV, EXDEV, false},
        {"directory cannot be opened after the rename", true, fi_open, 2, EMFILE, EMFILE, true},
        {"directory sync fails after the rename", true, fi_fsync, 2, EIO, EIO, true},
        {"file cannot be opened", false, fi_open, 1, EACCES, EACCES, false},
        {"file sync fails", false, fi_fsync, 1, EIO, EIO, false},
        {"rename fails", false, fi_rename, 1, EXDEV, EXDEV, false},
        {"new directory sync fails after the rename", false, fi_fsync, 2, EIO, EIO, true},
        {"old directory sync fails after the rename", false, fi_fsync, 3, EIO, EIO, true},
    };
    using Tree = std::map<std::string, std::string>;
    for (const auto& [what, replace, point, nth, err, rc, done] : kCases) {
        SCOPED_TRACE(std::string(replace ? "replace: " : "rename: ") + what);
        zutest::TempDir t;
        std::filesystem::create_directory(t.file("a"));
        std::filesystem::create_directory(t.file("b"));
        std::ofstream(t.file("a/m")) << "old";
        const Tree before = {{"a/", ""}, {"a/m", "old"}, {"b/", ""}};
        const Tree after = replace ? Tree{{"a/", ""}, {"a/m", "new"}, {"b/", ""}}
                                   : Tree{{"a/", ""}, {"b/", ""}, {"b/m", "old"}};
        const int fds = zutest::open_fd_count();
        {
            fi::Armed armed(point, nth, err);
            EXPECT_EQ(replace
                          ? os_file_replace(t.file("a/m").c_str(), "new", 3)
                          : os_file_rename_durable(t.file("a/m").c_str(), t.file("b/m").c_str()),
                      rc);
        }
        EXPECT_EQ(tree(t.path()), done ? after : before);
        EXPECT_EQ(zutest::open_fd_count(), fds);
    }
}

TEST(FileFault, AllocateFallsBackOnlyWhereReservingIsUnsupported) {
    zutest::TempDir t;
    const HANDLE h = ::open(t.file("f").c_str(), O_RDWR | O_CREAT, 0644);
    auto allocate = [&](int err, int64 len) {
        return fi::failing(fi_fallocate, 1, err, [&] { return os_file_allocate(h, 4096, len); });
    };
    EXPECT_EQ(allocate(EOPNOTSUPP, 8192), OS_OK);
    EXPECT_EQ(allocate(ENOSPC, 1 << 20), ENOSPC);
    struct stat st {};
    EXPECT_EQ(::fstat(h, &st), 0);
    EXPECT_EQ(st.st_size, 12288) << "the fallback reserved, the other failure did not retry";
    ::close(h);
}

TEST(FileFault, FlushPassesOnAFailedSync) {
    EXPECT_EQ(fi::failing(fi_fsync, 1, EIO, [] { return os_file_flush(0); }), EIO);
}

}  // namespace
