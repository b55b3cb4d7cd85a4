// Directories: creation, enumeration (end versus error), emptying with the exact
// separator rule, removal, and the executable's own path.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::TempDir;

bool exists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

void touch(const std::string& p) {
    std::ofstream{p};
}

// Entry names in the order the system returns them, "." and ".." left out.
std::vector<std::string> raw_listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename());
    return names;
}

// Anything already at the path counts as created; only the last component is made.
TEST(Dir, CreateAcceptsAnythingExisting) {
    TempDir t;
    mode_t old = ::umask(0);
    EXPECT_EQ(os_dir_create(t.file("d").c_str()), OS_OK);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(t.file("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFDIR | 0775u);
    touch(t.file("f"));
    for (const char* p : {"d", "f"}) EXPECT_EQ(os_dir_create(t.file(p).c_str()), OS_OK) << p;
    for (const char* p : {"missing/d", "f/d"})
        EXPECT_EQ(os_dir_create(t.file(p).c_str()), OS_ERR_DIR_CREATE) << p;
    EXPECT_FALSE(exists(t.file("missing")));
}

// Every entry but "." and "..", in the system's order, then the end with the stream
// closed; a stale errno left by the caller does not end the enumeration early.
TEST(Dir, EnumerationSkipsOnlyTheTwoDotEntries) {
    TempDir t;
    for (const char* n : {"a", ".b", "..c"}) touch(t.file(n));
    ASSERT_EQ(::mkdir(t.file("sub").c_str(), 0755), 0);
    int fds = zutest::open_fd_count();
    std::vector<std::string> names;
    char name[256];
    OSDIR d{};
    int32 rc = os_dir_find_first_file(t.path().c_str(), name, &d);
    for (; rc == OS_OK; rc = os_dir_find_next_file(name, &d)) {
        names.push_back(name);
        errno = EBADF;
    }
    EXPECT_EQ(rc, OS_ERR_DIR_NO_MORE_FILES);
    EXPECT_EQ(names.size(), 4u);
    EXPECT_EQ(names, raw_listing(t.path()));
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

TEST(Dir, FindFirstFailuresLeaveNothingOpen) {
    TempDir t;
    touch(t.file("file"));
    ASSERT_EQ(::mkdir(t.file("empty").c_str(), 0755), 0);
    int fds = zutest::open_fd_count();
    char name[256] = "untouched";
    DIR* const marker = reinterpret_cast<DIR*>(0x1);
    const std::pair<std::string, int32> cases[] = {{"", OS_ERR_DIR_EMPTY_PATH},
                                                   {t.file("missing"), OS_ERR_DIR_OPEN},
                                                   {t.file("file"), OS_ERR_DIR_OPEN},
                                                   {t.file("empty"), OS_ERR_DIR_NO_MORE_FILES}};
    for (const auto& [path, rc] : cases) {
        OSDIR d{marker};
        EXPECT_EQ(os_dir_find_first_file(path.c_str(), name, &d), rc) << path;
        EXPECT_EQ(d.pDir, path.empty() ? marker : nullptr) << path;
    }
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(zutest::open_fd_count(), fds);
    EXPECT_EQ(os_dir_delete_files(""), OS_ERR_DIR_EMPTY_PATH);
    EXPECT_EQ(os_dir_delete_files(t.file("missing").c_str()), OS_ERR_DIR_OPEN);
    EXPECT_EQ(os_dir_delete_files(t.file("empty").c_str()), OS_OK);
}

// Files (hidden ones and dangling links too) and empty subdirectories go, but emptying
// stops at a non-empty subdirectory: entries enumerated before it are gone, it and the
// entries after it remain, and removal fails as a whole until it is empty.
TEST(Dir, NonEmptySubdirectoryStopsTheEmptying) {
    TempDir t;
    std::string d = t.file("d");
    ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    for (const char* n : {"/f1", "/f2", "/f3", "/.hidden"}) touch(d + n);
    ASSERT_EQ(::symlink("/nonexistent", (d + "/dangling").c_str()), 0);
    for (const char* n : {"/empty", "/full"}) ASSERT_EQ(::mkdir((d + n).c_str(), 0755), 0);
    touch(d + "/full/inner");
    std::vector<std::string> left = raw_listing(d);
    left.erase(left.begin(), std::find(left.begin(), left.end(), "full"));

    int fds = zutest::open_fd_count();
    EXPECT_EQ(os_dir_delete_files(d.c_str()), OS_ERR_FILE_DELETE);
    EXPECT_EQ(raw_listing(d), left);
    EXPECT_EQ(os_dir_remove(d.c_str()), OS_ERR_DIR_REMOVE);
    EXPECT_EQ(raw_listing(d), left) << "\"full\" comes first now, so nothing else goes";
    EXPECT_TRUE(exists(d + "/full/inner"));
    EXPECT_EQ(zutest::open_fd_count(), fds) << "streams closed on the failure paths";

    ASSERT_EQ(::unlink((d + "/full/inner").c_str()), 0);
    EXPECT_EQ(os_dir_remove((d + "/").c_str()), OS_OK) << "a trailing '/' gets no second one";
    EXPECT_FALSE(exists(d));
    EXPECT_EQ(os_dir_remove(d.c_str()), OS_ERR_DIR_REMOVE) << "already gone";
}

// A path ending in '\' gets no separator: "P/b\" + "x" names the sibling "P/b\x".
TEST(Dir, BackslashCountsAsATrailingSeparator) {
    TempDir t;
    std::string bs = t.file("b\\");
    ASSERT_EQ(::mkdir(bs.c_str(), 0755), 0);
    touch(bs + "/x");
    touch(t.file("b\\x"));
    EXPECT_EQ(os_dir_delete_files(bs.c_str()), OS_OK);
    EXPECT_FALSE(exists(t.file("b\\x")));
    EXPECT_TRUE(exists(bs + "/x"));
    EXPECT_EQ(os_dir_delete_files(bs.c_str()), OS_ERR_FILE_DELETE) << "P/b\\x is gone now";
}

// Room for the path and its terminator, then one byte too few, then a single byte:
// a path that does not fit gives -1 and an empty string, never an overrun.
TEST(Dir, ExecutablePathFitsOrIsRefusedWithoutOverrun) {
    const std::string path = std::filesystem::read_symlink("/proc/self/exe");
    const auto len = static_cast<int32>(path.size());
    char buf[4200];
    for (int32 size : {int32{sizeof buf}, len + 1, len, 1}) {
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(os_dir_get_curr_process_path(buf, size), size > len ? len : -1) << size;
        EXPECT_EQ(std::string(buf), size > len ? path : "") << size;
        EXPECT_TRUE(size == int32{sizeof buf} || buf[size] == 'Z') << "wrote past nSize";
    }
}

}  // namespace
