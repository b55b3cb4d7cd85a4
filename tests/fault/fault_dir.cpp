// Failure paths of directory emptying and enumeration, and the exact entry paths the
// emptying removes: results, what is left, and nothing left open or allocated.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(struct dirent*, readdir, nullptr, (DIR * d), (d))
FI_WRAP(ssize_t, readlink, -1, (const char* path, char* buf, size_t n), (path, buf, n))

// Hand-written: remove can be failed, and records its path while g_removed is set.
// FI_WRAP(int, remove
std::vector<std::string>* g_removed = nullptr;
fi::Point fi_remove;
extern "C" int __real_remove(const char* path);
extern "C" int __wrap_remove(const char* path) {
    if (g_removed != nullptr) g_removed->push_back(path);
    if (!fi_remove.hit()) return __real_remove(path);
    errno = fi_remove.err;
    return -1;
}

namespace {

const char* const kNames[] = {"a", "b", "c", "e"};

class DirFault : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
        fill();
        fds = zutest::open_fd_count();
    }
    void fill() {
        for (const char* n : kNames) ::close(::creat((d + "/" + n).c_str(), 0644));
    }
    zutest::TempDir t;
    std::string d = t.file("d");
    int fds = 0;
};

// Each failure of emptying: its result, how many of the four entries are left, and
// every descriptor closed again.
TEST_F(DirFault, DeleteFilesFailures) {
    long after_first = 2;  // the read after the one that yields the first entry
    DIR* raw = ::opendir(d.c_str());
    while (::readdir(raw)->d_name[0] == '.') ++after_first;
    ::closedir(raw);
    const std::tuple<fi::Point&, long, int32, long> cases[] = {
        {fi_readdir, after_first, OS_OK, 3},    // a read error ends it quietly
        {fi_malloc, 1, OS_ERR_NO_MEMORY, 4},    // nothing removed
        {fi_remove, 2, OS_ERR_FILE_DELETE, 3},  // stops at the failing entry
    };
    for (const auto& [point, nth, rc, left] : cases) {
        {
            fi::Armed a(point, nth, EIO);
            EXPECT_EQ(os_dir_delete_files(d.c_str()), rc) << nth;
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d), {}), left) << nth;
        EXPECT_EQ(zutest::open_fd_count(), fds) << nth;
        fill();
    }
}

// The first call reports a read error as a failure to open; a later one as its errno.
TEST_F(DirFault, ReadErrorsCloseTheStream) {
    char name[256] = "untouched";
    OSDIR dir{};
    {
        fi::Armed a(fi_readdir, 1, EIO);
        EXPECT_EQ(os_dir_find_first_file(d.c_str(), name, &dir), OS_ERR_DIR_OPEN);
    }
    EXPECT_EQ(dir.pDir, nullptr);
    EXPECT_STREQ(name, "untouched");

    ASSERT_EQ(os_dir_find_first_file(d.c_str(), name, &dir), OS_OK);
    ASSERT_EQ(os_dir_find_next_file(name, &dir), OS_OK);
    {
        fi::Armed a(fi_readdir, 1, EIO);
        EXPECT_EQ(os_dir_find_next_file(name, &dir), EIO);
    }
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

// The separator is added only when the path does not already end in one.
TEST_F(DirFault, EntryPathsGetExactlyOneAddedSeparator) {
    const std::pair<const char*, const char*> cases[] = {{"", "/"}, {"/", "/"}, {"//", "//"}};
    for (const auto& [suffix, sep] : cases) {
        fill();
        std::vector<std::string> removed, want;
        g_removed = &removed;
        EXPECT_EQ(os_dir_delete_files((d + suffix).c_str()), OS_OK);
        g_removed = nullptr;
        std::sort(removed.begin(), removed.end());
        for (const char* n : kNames) want.push_back(d + sep + n);
        EXPECT_EQ(removed, want) << "path given as " << d + suffix;
    }
}

TEST(DirPathFault, UnreadableExecutableLinkGivesMinusOne) {
    char path[64];
    EXPECT_EQ(fi::failing(fi_readlink, 1, EACCES,
                          [&] { return os_dir_get_curr_process_path(path, sizeof path); }),
              -1);
}

}  // namespace
