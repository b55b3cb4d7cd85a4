// File views (shared, writable, full 64-bit offsets) and shared-memory segments
// (create-or-open by key file, replacement of a segment that is too small).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::TempDir;

constexpr size_t kPage = 4096;

class FileView : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::sysconf(_SC_PAGESIZE), long{kPage});
        ASSERT_EQ(os_file_open(dir.file("f").c_str(), O_RDWR | O_CREAT, &fd), OS_OK);
    }
    void TearDown() override { ::close(fd); }  // -1 when SetUp failed: harmless
    TempDir dir;
    HANDLE fd = -1;
};

// The mapping is the descriptor itself: creating it leaves the file's size alone and
// closing it leaves the descriptor open. Each view maps exactly its own region, also
// beyond 4 GiB in a sparse file (a truncated offset would find the start of the file),
// and bytes written through it reach the file.
TEST_F(FileView, EachViewMapsItsOwnRegionOfTheFile) {
    const int64 big = (int64{1} << 33) + int64{kPage};
    if (os_file_truncate(fd, big) != OS_OK)
        GTEST_SKIP() << "the file system cannot hold a sparse 8 GiB file";
    const int64 offsets[] = {int64{kPage}, int64{1} << 32, (int64{1} << 32) + int64{kPage},
                             int64{3} << 31, int64{1} << 33};
    auto tag = [](int64 off) { return std::to_string(off).substr(0, 4); };
    int32 n = 0;
    ASSERT_EQ(os_file_seek_write(fd, 16, "low", 3, &n), OS_OK);
    for (int64 off : offsets)
        ASSERT_EQ(os_file_seek_write(fd, off + 16, tag(off).c_str(), 4, &n), OS_OK);
    FileMapHandle m = -5;
    ASSERT_EQ(os_mem_filemap_create(fd, 1ULL << 40, "name", &m), OS_OK);
    EXPECT_EQ(m, fd);
    for (int64 off : offsets) {
        void* v = nullptr;
        ASSERT_EQ(os_mem_fileview_map(m, static_cast<uint64>(off), kPage, &v), OS_OK) << off;
        char* p = static_cast<char*>(v);
        EXPECT_EQ(std::string(p + 16, 4), tag(off)) << off;
        p[64] = 'Q';
        EXPECT_EQ(os_mem_filemap_flushview(v, kPage), OS_OK);
        EXPECT_EQ(os_mem_fileview_unmap(v, kPage), OS_OK);
        char c = 0;
        EXPECT_EQ(os_file_seek_read(fd, off + 64, &c, 1, &n), OS_OK);
        EXPECT_EQ(c, 'Q') << off;
    }
    EXPECT_EQ(os_mem_filemap_close(m), OS_OK);
    char low[4] = {};
    EXPECT_EQ(os_file_seek_read(fd, 16, low, 3, &n), OS_OK) << "the descriptor is still open";
    EXPECT_STREQ(low, "low") << "no view touched the start of the file";
    int64 size = 0;
    EXPECT_EQ(os_file_get_size(fd, &size), OS_OK);
    EXPECT_EQ(size, big) << "the file is not resized";
}

// The view is MAP_FAILED after a failure.
TEST_F(FileView, MappingFailuresReturnErrno) {
    ASSERT_EQ(os_file_truncate(fd, 2 * kPage), OS_OK);
    HANDLE ro = -1, wo = -1;
    ASSERT_EQ(os_file_open(dir.file("f").c_str(), O_RDONLY, &ro), OS_OK);
    ASSERT_EQ(os_file_open(dir.file("f").c_str(), O_WRONLY, &wo), OS_OK);
    const std::tuple<HANDLE, uint64, size_t, int> cases[] = {{ro, 0, kPage, EACCES},
                                                             {wo, 0, kPage, EACCES},
                                                             {fd, 100, kPage, EINVAL},
                                                             {fd, 0, 0, EINVAL},
                                                             {999999, 0, kPage, EBADF}};
    for (const auto& [h, off, len, rc] : cases) {
        void* v = nullptr;
        EXPECT_EQ(os_mem_fileview_map(h, off, len, &v), rc) << h << " " << off;
        EXPECT_EQ(v, MAP_FAILED);
    }
    os_file_close(ro);
    os_file_close(wo);

    void* v = nullptr;
    ASSERT_EQ(os_mem_fileview_map(fd, 0, kPage, &v), OS_OK);
    char* p = static_cast<char*>(v);
    EXPECT_EQ(os_mem_fileview_unmap(p + 1, kPage), OS_ERR_MEM_UNMAP_VIEW);
    EXPECT_EQ(os_mem_filemap_flushview(p + 1, 10), EINVAL);
    EXPECT_EQ(os_mem_fileview_unmap(v, kPage), OS_OK);
    EXPECT_EQ(os_mem_filemap_flushview(v, kPage), ENOMEM) << "no longer mapped";
}

// Creates segments under one key file; removes every one of them whatever the outcome.
struct Segments {
    std::string name;
    std::vector<int> ids = {};
    ~Segments() {
        if (key() != -1) ids.push_back(::shmget(key(), 0, 0));
        for (int id : ids) ::shmctl(id, IPC_RMID, nullptr);
    }
    int32 create(uint32 size, MemMapHandle* h) {
        int32 rc = os_mem_sharemem_create(size, name.c_str(), h);
        if (rc == OS_OK) ids.push_back(*h);
        return rc;
    }
    key_t key() const { return ::ftok(name.c_str(), 0); }
};

char* attach(MemMapHandle h) {
    void* p = nullptr;
    EXPECT_EQ(os_mem_sharemem_map(h, &p), OS_OK);
    return static_cast<char*>(p);
}

bool all_zero(const char* p, size_t n) {
    return std::all_of(p, p + n, [](char c) { return c == 0; });
}

// A new name creates its key file and a zeroed segment; close removes the segment at
// once (attachments keep the memory), and the next create makes a new one.
TEST(ShareMem, CreateThenCloseThenCreateGivesANewSegment) {
    TempDir t;
    Segments s{t.file("key")};
    mode_t old = ::umask(022);
    MemMapHandle h1 = -1, h2 = -1;
    int32 rc = s.create(4096, &h1);
    ::umask(old);
    ASSERT_EQ(rc, OS_OK);
    struct stat st {};
    ASSERT_EQ(::stat(s.name.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(::shmget(s.key(), 0, 0), h1) << "the key is ftok(name, 0)";
    char* p = attach(h1);
    EXPECT_TRUE(all_zero(p, 4096));
    std::memset(p, 1, 4096);

    EXPECT_EQ(os_mem_sharemem_close(h1), OS_OK);
    EXPECT_EQ(::shmget(s.key(), 0, 0), -1) << "the key is free at once";
    ASSERT_EQ(s.create(4096, &h2), OS_OK);
    EXPECT_NE(h2, h1);
    char* q = attach(h2);
    EXPECT_TRUE(all_zero(q, 4096));
    EXPECT_EQ(p[0], 1) << "the closed segment lives while attached";
    EXPECT_EQ(os_mem_sharemem_unmap(p), OS_OK);
    EXPECT_EQ(os_mem_sharemem_unmap(p), OS_ERR_SHM_UNMAP) << "no longer attached";
    EXPECT_EQ(os_mem_sharemem_close(h1), OS_ERR_SHM_CLOSE) << "gone with its last attachment";
    os_mem_sharemem_unmap(q);
}

// Same or smaller size opens the segment already there; a larger one finds it too
// small, so it is removed and a new zeroed segment takes the key. The old attachment
// keeps the old memory and shares nothing with the new segment.
TEST(ShareMem, SmallerSizeOpensTheSegmentLargerReplacesIt) {
    TempDir t;
    Segments s{t.file("key")};
    MemMapHandle h1 = -1, h2 = -1, h3 = -1;
    ASSERT_EQ(s.create(8192, &h1), OS_OK);
    ASSERT_EQ(s.create(100, &h2), OS_OK);
    EXPECT_EQ(h2, h1);
    char *a = attach(h1), *b = attach(h2);
    ASSERT_NE(a, b);
    std::strcpy(a + 8000, "shared");
    EXPECT_STREQ(b + 8000, "shared");

    ASSERT_EQ(s.create(3 * 8192, &h3), OS_OK);
    EXPECT_NE(h3, h1);
    EXPECT_EQ(::shmget(s.key(), 0, 0), h3);
    char* c = attach(h3);
    EXPECT_TRUE(all_zero(c, 3 * 8192));
    std::memset(c, 'n', 8192);
    EXPECT_STREQ(a + 8000, "shared");
    for (char* p : {a, b, c}) os_mem_sharemem_unmap(p);
}

TEST(ShareMem, FailuresReportErrnoOrTheirCodes) {
    TempDir t;
    MemMapHandle h = 77;
    EXPECT_EQ(os_mem_sharemem_create(4096, t.file("missing/key").c_str(), &h), ENOENT);
    EXPECT_EQ(h, 77) << "handle not written";
    EXPECT_EQ(os_mem_sharemem_create(4096, t.path().c_str(), &h), EISDIR);

    // Below the system's minimum size the retry fails the same way.
    Segments s{t.file("tiny")};
    EXPECT_EQ(s.create(0, &h), EINVAL);
    EXPECT_EQ(::shmget(s.key(), 0, 0), -1);

    void* p = nullptr;
    EXPECT_EQ(os_mem_sharemem_map(-1, &p), EINVAL);
    EXPECT_EQ(p, reinterpret_cast<void*>(-1));
}

}  // namespace
