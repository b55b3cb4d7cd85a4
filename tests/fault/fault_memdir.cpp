// Failure paths of directory emptying and enumeration, and the clean-up-and-retry of
// segment creation: results, nothing left open, nothing allocated, no segment left.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(struct dirent*, readdir, nullptr, (DIR * d), (d))
FI_WRAP(int, shmget, -1, (key_t k, size_t size, int flags), (k, size, flags))

// Hand-written: every remove and system call is recorded, and remove can be failed.
// FI_WRAP(int, remove
// FI_WRAP(int, system
std::vector<std::string>* g_removed = nullptr;
std::vector<std::string>* g_commands = nullptr;
fi::Point fi_remove;
extern "C" int __real_remove(const char* path);
extern "C" int __wrap_remove(const char* path) {
    if (g_removed != nullptr) g_removed->push_back(path);
    if (fi_remove.hit()) {
        errno = fi_remove.err;
        return -1;
    }
    return __real_remove(path);
}
extern "C" int __real_system(const char* cmd);
extern "C" int __wrap_system(const char* cmd) {
    if (g_commands != nullptr) g_commands->push_back(cmd);
    return __real_system(cmd);
}

namespace {

using zutest::TempDir;

template <class T>
class Recording {
public:
    explicit Recording(std::vector<T>*& slot) : slot_(slot) { slot_ = &items; }
    ~Recording() { slot_ = nullptr; }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;
    std::vector<T> items;

private:
    std::vector<T>*& slot_;
};

void touch(const std::string& p) {
    int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0) << p;
    ::close(fd);
}

// Entries in the system's order; with dots, the order readdir itself sees.
std::vector<std::string> listing(const std::string& dir, bool with_dots = false) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (with_dots || (n != "." && n != "..")) names.push_back(n);
        }
        ::closedir(d);
    }
    return names;
}

class DirFault : public ::testing::Test {
protected:
    void SetUp() override {
        d = t.file("d");
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
        for (const char* n : {"a", "b", "c", "e"}) touch(d + "/" + n);
        fds = zutest::open_fd_count();
    }
    TempDir t;
    std::string d;
    int fds = 0;
};

TEST_F(DirFault, DeleteFilesOutOfMemoryRemovesNothing) {
    {
        fi::Armed a(fi_malloc, 1, ENOMEM);
        EXPECT_EQ(os_dir_delete_files(d.c_str()), OS_ERR_NO_MEMORY);
        EXPECT_EQ(a.calls(), 1);
    }
    EXPECT_EQ(listing(d).size(), 4u);
    EXPECT_EQ(zutest::open_fd_count(), fds) << "nothing was opened";
}

TEST_F(DirFault, RemoveFailingMidwayClosesTheStream) {
    Recording<std::string> rec(g_removed);
    {
        fi::Armed a(fi_remove, 2, EACCES);
        EXPECT_EQ(os_dir_delete_files(d.c_str()), OS_ERR_FILE_DELETE);
        EXPECT_EQ(a.calls(), 2) << "stops at the first failure";
    }
    EXPECT_EQ(listing(d).size(), 3u) << "the entry before the failure is gone";
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

TEST_F(DirFault, FirstReadErrorIsAnOpenFailureWithTheStreamClosed) {
    char name[256] = "untouched";
    OSDIR dir{};
    {
        fi::Armed a(fi_readdir, 1, EIO);
        EXPECT_EQ(os_dir_find_first_file(d.c_str(), name, &dir), OS_ERR_DIR_OPEN);
    }
    EXPECT_EQ(dir.pDir, nullptr);
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(zutest::open_fd_count(), fds);

    fi::Armed a(fi_malloc, 1, ENOMEM);  // the library allocates nothing to enumerate
    EXPECT_EQ(os_dir_find_first_file(d.c_str(), name, &dir), OS_OK);
    ::closedir(dir.pDir);
    EXPECT_EQ(a.calls(), 0);
}

TEST_F(DirFault, LaterReadErrorReturnsErrnoWithTheStreamClosed) {
    char name[256];
    OSDIR dir{};
    ASSERT_EQ(os_dir_find_first_file(d.c_str(), name, &dir), OS_OK);
    ASSERT_EQ(os_dir_find_next_file(name, &dir), OS_OK);
    {
        fi::Armed a(fi_readdir, 1, EIO);
        EXPECT_EQ(os_dir_find_next_file(name, &dir), EIO);
    }
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

// A read error after the first entry ends the emptying quietly: one entry gone, 0.
TEST_F(DirFault, ReadErrorDuringDeleteEndsItWithSuccess) {
    std::vector<std::string> raw = listing(d, true);
    auto first = std::find_if(raw.begin(), raw.end(),
                              [](const std::string& n) { return n != "." && n != ".."; });
    ASSERT_NE(first, raw.end());
    long next_read = (first - raw.begin()) + 2;  // the read after the first entry
    {
        fi::Armed a(fi_readdir, next_read, EIO);
        EXPECT_EQ(os_dir_delete_files(d.c_str()), OS_OK);
        EXPECT_EQ(a.calls(), next_read);
    }
    EXPECT_EQ(listing(d).size(), 3u);
    EXPECT_EQ(zutest::open_fd_count(), fds);
}

TEST_F(DirFault, EntryPathsGetExactlyOneAddedSeparator) {
    struct Case {
        std::string suffix, prefix;
    };
    for (const Case& c : {Case{"", "/"}, Case{"/", "/"}, Case{"//", "//"}}) {
        if (listing(d).empty()) {
            for (const char* n : {"a", "b", "c", "e"}) touch(d + "/" + n);
        }
        Recording<std::string> rec(g_removed);
        EXPECT_EQ(os_dir_delete_files((d + c.suffix).c_str()), OS_OK);
        std::vector<std::string> got = rec.items;
        std::sort(got.begin(), got.end());
        std::vector<std::string> want;
        for (const char* n : {"a", "b", "c", "e"}) want.push_back(d + c.prefix + n);
        EXPECT_EQ(got, want) << "path given as " << d + c.suffix;
    }
}

// Removes the segment under the key file however the test ends.
class KeyedSegment {
public:
    explicit KeyedSegment(std::string keyfile) : keyfile_(std::move(keyfile)) {}
    ~KeyedSegment() {
        key_t k = key();
        int id = k == -1 ? -1 : ::shmget(k, 0, 0);
        if (id != -1) ::shmctl(id, IPC_RMID, nullptr);
    }
    KeyedSegment(const KeyedSegment&) = delete;
    KeyedSegment& operator=(const KeyedSegment&) = delete;
    key_t key() const { return ::ftok(keyfile_.c_str(), 0); }
    const char* name() const { return keyfile_.c_str(); }
    std::string cleanup_command() const { return "ipcrm -M " + std::to_string(key()); }

private:
    std::string keyfile_;
};

TEST(ShareMemFault, FirstShmgetFailureRunsTheCleanupAndRetriesOnce) {
    TempDir t;
    KeyedSegment s(t.file("key"));
    int fds = zutest::open_fd_count();
    Recording<std::string> rec(g_commands);
    MemMapHandle h = -1;
    {
        fi::Armed a(fi_shmget, 1, ENOSPC);
        ASSERT_EQ(os_mem_sharemem_create(4096, s.name(), &h), OS_OK);
        EXPECT_EQ(a.calls(), 2);
    }
    EXPECT_EQ(rec.items, std::vector<std::string>{s.cleanup_command()});
    EXPECT_EQ(::shmget(s.key(), 0, 0), h);
    EXPECT_EQ(zutest::open_fd_count(), fds) << "the key file is closed";

    rec.items.clear();
    MemMapHandle again = -1;
    EXPECT_EQ(os_mem_sharemem_create(4096, s.name(), &again), OS_OK);
    EXPECT_EQ(again, h);
    EXPECT_TRUE(rec.items.empty()) << "no clean-up when the segment opens";
}

// The first shmget fails on its own (segment too small), the command removes that
// segment, and the second failure is final: its errno, and no segment under the key.
TEST(ShareMemFault, SecondShmgetFailureIsReturnedWithNothingLeft) {
    TempDir t;
    KeyedSegment s(t.file("key"));
    MemMapHandle h = -1;
    ASSERT_EQ(os_mem_sharemem_create(4096, s.name(), &h), OS_OK);
    Recording<std::string> rec(g_commands);
    MemMapHandle h2 = 55;
    {
        fi::Armed a(fi_shmget, 2, ENOMEM);
        EXPECT_EQ(os_mem_sharemem_create(8192, s.name(), &h2), ENOMEM);
        EXPECT_EQ(a.calls(), 2) << "no third attempt";
    }
    EXPECT_EQ(h2, 55) << "handle not written";
    EXPECT_EQ(rec.items, std::vector<std::string>{s.cleanup_command()});
    errno = 0;
    EXPECT_EQ(::shmget(s.key(), 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
