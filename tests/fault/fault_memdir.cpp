// Failure paths of directory emptying and enumeration, and the clean-up-and-retry of
// segment creation: results, nothing left open, nothing allocated, no segment left.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/shm.h>
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
FI_WRAP(int, shmget, -1, (key_t k, size_t size, int flags), (k, size, flags))

// Hand-written: while a Log is alive, every remove and system call is recorded in it,
// and remove can be failed.
// FI_WRAP(int, remove
// FI_WRAP(int, system
std::vector<std::string>* g_log = nullptr;
struct Log {
    std::vector<std::string> items;
    Log() { g_log = &items; }
    ~Log() { g_log = nullptr; }
};
fi::Point fi_remove;
extern "C" int __real_remove(const char* path);
extern "C" int __wrap_remove(const char* path) {
    if (g_log != nullptr) g_log->push_back(path);
    if (!fi_remove.hit()) return __real_remove(path);
    errno = fi_remove.err;
    return -1;
}
extern "C" int __real_system(const char* cmd);
extern "C" int __wrap_system(const char* cmd) {
    if (g_log != nullptr) g_log->push_back(cmd);
    return __real_system(cmd);
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
        Log log;
        EXPECT_EQ(os_dir_delete_files((d + suffix).c_str()), OS_OK);
        std::sort(log.items.begin(), log.items.end());
        std::vector<std::string> want;
        for (const char* n : kNames) want.push_back(d + sep + n);
        EXPECT_EQ(log.items, want) << "path given as " << d + suffix;
    }
}

// Removes the segment under the key file however the test ends.
struct KeyFile {
    std::string name;
    ~KeyFile() { ::shmctl(::shmget(::ftok(name.c_str(), 0), 0, 0), IPC_RMID, nullptr); }
};

// Creation retries exactly once after running the clean-up command for the key: an
// injected first failure is recovered from; a failing retry is returned with the
// handle unwritten and no segment left under the key (the command removed the old,
// too-small one).
TEST(ShareMemFault, ShmgetFailureRunsTheCleanupAndRetriesOnce) {
    zutest::TempDir t;
    const KeyFile kf{t.file("key")};
    const char* key = kf.name.c_str();
    MemMapHandle h = -1;
    ASSERT_EQ(os_mem_sharemem_create(4096, key, &h), OS_OK);
    const key_t k = ::ftok(key, 0);
    const std::vector<std::string> cleanup{"ipcrm -M " + std::to_string(k)};
    int fds = zutest::open_fd_count();
    {
        Log log;
        MemMapHandle h2 = 55;
        fi::Armed a(fi_shmget, 2, ENOMEM);
        EXPECT_EQ(os_mem_sharemem_create(8192, key, &h2), ENOMEM);
        EXPECT_EQ(a.calls(), 2) << "no third attempt";
        EXPECT_EQ(h2, 55) << "handle not written";
        EXPECT_EQ(log.items, cleanup);
        EXPECT_EQ(::shmget(k, 0, 0), -1) << "the too-small segment was removed";
    }
    {
        Log log;
        fi::Armed a(fi_shmget, 1, ENOSPC);
        ASSERT_EQ(os_mem_sharemem_create(4096, key, &h), OS_OK);
        EXPECT_EQ(log.items, cleanup);
    }
    EXPECT_EQ(::shmget(k, 0, 0), h);
    EXPECT_EQ(zutest::open_fd_count(), fds) << "the key file is closed";
}

}  // namespace
