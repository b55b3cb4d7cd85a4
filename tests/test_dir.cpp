// Directories: creation, enumeration (end versus error), emptying with the exact
// separator rule, removal, and the executable's own path.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>
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
    int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0) << p;
    ::close(fd);
}

// Entry names in the order the system returns them, "." and ".." left out.
std::vector<std::string> raw_listing(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (struct dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    return names;
}

// Everything the library's enumeration yields, and the code that ended it.
std::vector<std::string> enumerate(const std::string& dir, int32* end) {
    std::vector<std::string> names;
    char name[256];
    OSDIR d{};
    int32 rc = os_dir_find_first_file(dir.c_str(), name, &d);
    while (rc == OS_OK) {
        names.push_back(name);
        errno = EBADF;  // a stale errno from the caller must not end the enumeration
        rc = os_dir_find_next_file(name, &d);
    }
    *end = rc;
    return names;
}

TEST(Dir, CreateAcceptsAnythingExistingAndRejectsAMissingParent) {
    TempDir t;
    mode_t old = ::umask(022);
    EXPECT_EQ(os_dir_create(t.file("d").c_str()), OS_OK);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(t.file("d").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    EXPECT_EQ(os_dir_create(t.file("d").c_str()), OS_OK) << "existing directory";
    touch(t.file("f"));
    EXPECT_EQ(os_dir_create(t.file("f").c_str()), OS_OK) << "existing regular file";
    EXPECT_EQ(os_dir_create(t.file("missing/d").c_str()), OS_ERR_DIR_CREATE);
    EXPECT_FALSE(exists(t.file("missing")));
    EXPECT_EQ(os_dir_create(t.file("f/d").c_str()), OS_ERR_DIR_CREATE) << "ENOTDIR";
}

TEST(Dir, EnumerationYieldsEveryEntryButDotAndDotDotThenTheEnd) {
    TempDir t;
    touch(t.file("a"));
    touch(t.file(".b"));
    ASSERT_EQ(::mkdir(t.file("sub").c_str(), 0755), 0);
    int fds = zutest::open_fd_count();
    int32 end = 0;
    std::vector<std::string> names = enumerate(t.path(), &end);
    EXPECT_EQ(end, OS_ERR_DIR_NO_MORE_FILES);
    EXPECT_EQ(names, raw_listing(t.path())) << "the system's order, nothing added";
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{"a", ".b", "sub"}));
    EXPECT_EQ(zutest::open_fd_count(), fds) << "the end closes the stream";
}

TEST(Dir, FindFirstFailuresLeaveNothingOpen) {
    TempDir t;
    touch(t.file("file"));
    ASSERT_EQ(::mkdir(t.file("empty").c_str(), 0755), 0);
    int fds = zutest::open_fd_count();
    char name[256] = "untouched";
    DIR* const marker = reinterpret_cast<DIR*>(0x1);

    struct Case {
        std::string path;
        int32 rc;
        bool dir_written;
    };
    const Case cases[] = {
        {"", OS_ERR_DIR_EMPTY_PATH, false},
        {t.file("missing"), OS_ERR_DIR_OPEN, true},
        {t.file("file"), OS_ERR_DIR_OPEN, true},
        {t.file("empty"), OS_ERR_DIR_NO_MORE_FILES, true},
    };
    for (const Case& c : cases) {
        OSDIR d{marker};
        EXPECT_EQ(os_dir_find_first_file(c.path.c_str(), name, &d), c.rc) << c.path;
        if (c.dir_written)
            EXPECT_EQ(d.pDir, nullptr) << c.path;
        else
            EXPECT_EQ(d.pDir, marker) << "empty path: record not written";
    }
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

TEST(Dir, DeleteFilesRemovesFilesAndEmptySubdirectoriesOnly) {
    TempDir t;
    std::string d = t.file("d");
    ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    EXPECT_EQ(os_dir_delete_files(d.c_str()), OS_OK) << "empty directory";
    touch(d + "/f1");
    touch(d + "/.hidden");
    ASSERT_EQ(::symlink("/nonexistent", (d + "/dangling").c_str()), 0);
    ASSERT_EQ(::mkdir((d + "/e1").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((d + "/e2").c_str(), 0755), 0);
    int fds = zutest::open_fd_count();
    EXPECT_EQ(os_dir_delete_files(d.c_str()), OS_OK);
    EXPECT_TRUE(raw_listing(d).empty());
    EXPECT_TRUE(exists(d)) << "the directory itself stays";
    EXPECT_EQ(zutest::open_fd_count(), fds);

    EXPECT_EQ(os_dir_delete_files(t.file("missing").c_str()), OS_ERR_DIR_OPEN);
    EXPECT_EQ(os_dir_delete_files(""), OS_ERR_DIR_EMPTY_PATH);
}

// Emptying stops at a non-empty subdirectory: entries enumerated before it are
// gone, it and the entries after it remain; removal then fails as a whole.
TEST(Dir, NonEmptySubdirectoryStopsDeleteAndRemove) {
    TempDir t;
    std::string d = t.file("d");
    ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    for (const char* n : {"f1", "f2", "f3", "f4"}) touch(d + "/" + n);
    ASSERT_EQ(::mkdir((d + "/empty").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((d + "/full").c_str(), 0755), 0);
    touch(d + "/full/inner");

    std::vector<std::string> order = raw_listing(d);
    auto full = std::find(order.begin(), order.end(), "full");
    ASSERT_NE(full, order.end());
    std::vector<std::string> expected_left(full, order.end());

    int fds = zutest::open_fd_count();
    EXPECT_EQ(os_dir_delete_files(d.c_str()), OS_ERR_FILE_DELETE);
    EXPECT_EQ(zutest::open_fd_count(), fds) << "stream closed on the failure path";
    EXPECT_EQ(raw_listing(d), expected_left);
    EXPECT_TRUE(exists(d + "/full/inner"));

    EXPECT_EQ(os_dir_remove(d.c_str()), OS_ERR_DIR_REMOVE);
    EXPECT_TRUE(exists(d + "/full/inner"));
    // "full" now comes first among what is left, so nothing else goes either.
    EXPECT_TRUE(exists(d + "/full"));
    EXPECT_EQ(zutest::open_fd_count(), fds);

    ASSERT_EQ(::unlink((d + "/full/inner").c_str()), 0);
    EXPECT_EQ(os_dir_remove(d.c_str()), OS_OK);
    EXPECT_FALSE(exists(d));
    EXPECT_EQ(os_dir_remove(d.c_str()), OS_ERR_DIR_REMOVE) << "already gone";
}

// The separator is added only when the path does not already end in '/' or '\'.
// With "P/d\" the entry paths are "P/d\<name>": names in P, not in d\ itself.
TEST(Dir, SeparatorRuleDecidesTheEntryPaths) {
    TempDir t;
    struct Case {
        std::string suffix;
    };
    for (const Case& c : {Case{""}, Case{"/"}, Case{"//"}}) {
        std::string d = t.file("d");
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
        touch(d + "/x");
        touch(d + "/y");
        std::string arg = d + c.suffix;
        EXPECT_EQ(os_dir_delete_files(arg.c_str()), OS_OK) << arg;
        EXPECT_TRUE(raw_listing(d).empty()) << arg;
        EXPECT_EQ(os_dir_remove(arg.c_str()), OS_OK) << arg;
        EXPECT_FALSE(exists(d)) << arg;
    }

    std::string bs = t.file("b\\");
    ASSERT_EQ(::mkdir(bs.c_str(), 0755), 0);
    touch(bs + "/x");
    touch(t.file("b\\x"));  // the sibling that "P/b\" + "x" names
    EXPECT_EQ(os_dir_delete_files(bs.c_str()), OS_OK);
    EXPECT_FALSE(exists(t.file("b\\x")));
    EXPECT_TRUE(exists(bs + "/x"));
    EXPECT_EQ(os_dir_delete_files(bs.c_str()), OS_ERR_FILE_DELETE) << "P/b\\x is gone now";
}

TEST(Dir, ExecutablePathFitsOrIsRefusedWithoutOverrun) {
    char expect[4096];
    ssize_t len = ::readlink("/proc/self/exe", expect, sizeof expect);
    ASSERT_GT(len, 1);
    std::string path(expect, static_cast<size_t>(len));
    ASSERT_EQ(path[0], '/');
    EXPECT_NE(path.find("zuos_tests"), std::string::npos);

    char buf[4200];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(os_dir_get_curr_process_path(buf, sizeof buf), len);
    EXPECT_EQ(std::string(buf), path);

    // Exactly room for the terminator, then one byte too few, then a single byte.
    for (int32 size : {static_cast<int32>(len + 1), static_cast<int32>(len), 1}) {
        std::memset(buf, 'Z', sizeof buf);
        int32 rc = os_dir_get_curr_process_path(buf, size);
        if (size > len) {
            EXPECT_EQ(rc, len);
            EXPECT_EQ(std::string(buf), path);
        } else {
            EXPECT_EQ(rc, -1) << size;
            EXPECT_EQ(buf[0], '\0') << "an empty string, never an unterminated prefix";
        }
        EXPECT_EQ(buf[size], 'Z') << "nothing written past nSize bytes";
    }
}

}  // namespace
