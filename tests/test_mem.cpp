// File views (shared, writable, full 64-bit offsets) and shared-memory segments
// (create-or-open by key file, replacement of a segment that is too small).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::TempDir;

constexpr size_t kPage = 4096;

class FileView : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::sysconf(_SC_PAGESIZE), static_cast<long>(kPage));
        ASSERT_EQ(os_file_open(dir.file("f").c_str(), O_RDWR | O_CREAT, &fd), OS_OK);
    }
    void TearDown() override {
        if (fd != -1) os_file_close(fd);
    }
    TempDir dir;
    HANDLE fd = -1;
};

TEST_F(FileView, CreateAndCloseOnlyPassTheDescriptorThrough) {
    ASSERT_EQ(os_file_truncate(fd, 123), OS_OK);
    FileMapHandle m = -5;
    EXPECT_EQ(os_mem_filemap_create(fd, 1ULL << 40, nullptr, &m), OS_OK);
    EXPECT_EQ(m, fd);
    EXPECT_EQ(os_mem_filemap_create(fd, 0, "name", &m), OS_OK);
    EXPECT_EQ(m, fd);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 123) << "the file is not resized";
    EXPECT_EQ(os_mem_filemap_close(m), OS_OK);
    int64 size = 0;
    EXPECT_EQ(os_file_get_size(fd, &size), OS_OK) << "the descriptor stays usable";
    EXPECT_EQ(size, 123);
}

TEST_F(FileView, WritesThroughAViewReachTheFile) {
    ASSERT_EQ(os_file_truncate(fd, 2 * kPage), OS_OK);
    int32 n = 0;
    ASSERT_EQ(os_file_seek_write(fd, kPage + 7, "k", 1, &n), OS_OK);
    FileMapHandle m = -1;
    ASSERT_EQ(os_mem_filemap_create(fd, 0, nullptr, &m), OS_OK);
    void* v = nullptr;
    ASSERT_EQ(os_mem_fileview_map(m, kPage, kPage, &v), OS_OK);
    char* p = static_cast<char*>(v);
    EXPECT_EQ(p[7], 'k') << "the view starts at its offset";
    p[100] = 'w';
    EXPECT_EQ(os_mem_filemap_flushview(v, kPage), OS_OK);
    char c = 0;
    EXPECT_EQ(os_file_seek_read(fd, kPage + 100, &c, 1, &n), OS_OK);
    EXPECT_EQ(c, 'w');
    // A second view of the same region shares the bytes.
    void* v2 = nullptr;
    ASSERT_EQ(os_mem_fileview_map(m, kPage, kPage, &v2), OS_OK);
    EXPECT_NE(v2, v);
    static_cast<char*>(v2)[200] = 's';
    EXPECT_EQ(p[200], 's');
    EXPECT_EQ(os_mem_fileview_unmap(v2, kPage), OS_OK);
    EXPECT_EQ(os_mem_fileview_unmap(v, kPage), OS_OK);
    EXPECT_EQ(os_mem_filemap_close(m), OS_OK);
}

// A sparse file larger than 4 GiB: views beyond 2^32 map exactly their own region,
// which a truncated offset would confuse with the start of the file.
TEST_F(FileView, OffsetsOfFourGibibytesAndMoreMapThatVeryRegion) {
    const int64 offsets[] = {int64{1} << 32, (int64{1} << 32) + int64{kPage}, int64{3} << 31,
                             int64{1} << 33};
    if (os_file_truncate(fd, (int64{1} << 33) + int64{kPage}) != OS_OK)
        GTEST_SKIP() << "the file system cannot hold a sparse 8 GiB file";
    int32 n = 0;
    ASSERT_EQ(os_file_seek_write(fd, 16, "low", 3, &n), OS_OK);
    for (int64 off : offsets) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%llx", static_cast<unsigned long long>(off));
        ASSERT_EQ(os_file_seek_write(fd, off + 16, tag, 8, &n), OS_OK);
    }
    for (int64 off : offsets) {
        void* v = nullptr;
        ASSERT_EQ(os_mem_fileview_map(fd, static_cast<uint64>(off), kPage, &v), OS_OK) << off;
        char* p = static_cast<char*>(v);
        char tag[16];
        std::snprintf(tag, sizeof tag, "%llx", static_cast<unsigned long long>(off));
        EXPECT_EQ(std::memcmp(p + 16, tag, 8), 0) << off;
        p[64] = 'Q';
        char c = 0;
        EXPECT_EQ(os_file_seek_read(fd, off + 64, &c, 1, &n), OS_OK);
        EXPECT_EQ(c, 'Q') << off;
        EXPECT_EQ(os_mem_fileview_unmap(v, kPage), OS_OK);
    }
    char low[4] = {};
    EXPECT_EQ(os_file_seek_read(fd, 16, low, 3, &n), OS_OK);
    EXPECT_STREQ(low, "low") << "no view touched the start of the file";
}

TEST_F(FileView, MappingFailuresReturnErrnoAndMapFailed) {
    ASSERT_EQ(os_file_truncate(fd, 2 * kPage), OS_OK);
    HANDLE ro = -1;
    ASSERT_EQ(os_file_open(dir.file("f").c_str(), O_RDONLY, &ro), OS_OK);
    HANDLE wo = -1;
    ASSERT_EQ(os_file_open(dir.file("f").c_str(), O_WRONLY, &wo), OS_OK);

    struct Case {
        const char* what;
        HANDLE h;
        uint64 off;
        size_t len;
        int rc;
    };
    const Case cases[] = {
        {"read-only descriptor", ro, 0, kPage, EACCES},
        {"write-only descriptor", wo, 0, kPage, EACCES},
        {"unaligned offset", fd, 100, kPage, EINVAL},
        {"offset one byte short of a page", fd, kPage - 1, kPage, EINVAL},
        {"zero length", fd, 0, 0, EINVAL},
        {"not a descriptor", 999999, 0, kPage, EBADF},
    };
    for (const Case& c : cases) {
        void* v = nullptr;
        EXPECT_EQ(os_mem_fileview_map(c.h, c.off, c.len, &v), c.rc) << c.what;
        EXPECT_EQ(v, MAP_FAILED) << c.what;
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

// Removes every segment a test touched, whatever the outcome of the test.
class Segments {
public:
    explicit Segments(std::string keyfile) : keyfile_(std::move(keyfile)) {}
    ~Segments() {
        for (int id : ids_) ::shmctl(id, IPC_RMID, nullptr);
        key_t k = key();
        int id = k == -1 ? -1 : ::shmget(k, 0, 0);
        if (id != -1) ::shmctl(id, IPC_RMID, nullptr);
    }
    Segments(const Segments&) = delete;
    Segments& operator=(const Segments&) = delete;
    int32 create(uint32 size, MemMapHandle* h) {
        int32 rc = os_mem_sharemem_create(size, keyfile_.c_str(), h);
        if (rc == OS_OK) ids_.push_back(*h);
        return rc;
    }
    key_t key() const { return ::ftok(keyfile_.c_str(), 0); }
    const char* name() const { return keyfile_.c_str(); }

private:
    std::string keyfile_;
    std::vector<int> ids_;
};

size_t segment_size(int id) {
    struct shmid_ds ds {};
    return ::shmctl(id, IPC_STAT, &ds) == 0 ? ds.shm_segsz : 0;
}

bool all_zero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

TEST(ShareMem, NewNameCreatesTheKeyFileAndAZeroedSegment) {
    TempDir t;
    Segments s(t.file("key"));
    mode_t old = ::umask(022);
    MemMapHandle h = -1;
    int32 rc = s.create(4096, &h);
    ::umask(old);
    ASSERT_EQ(rc, OS_OK);
    struct stat st {};
    ASSERT_EQ(::stat(s.name(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(::shmget(s.key(), 0, 0), h) << "the key is ftok(name, 0)";
    EXPECT_EQ(segment_size(h), 4096u);

    void* p = nullptr;
    ASSERT_EQ(os_mem_sharemem_map(h, &p), OS_OK);
    EXPECT_TRUE(all_zero(p, 4096));
    std::memset(p, 0xA5, 4096);
    EXPECT_EQ(os_mem_sharemem_unmap(p), OS_OK);
    EXPECT_EQ(os_mem_sharemem_unmap(p), OS_ERR_SHM_UNMAP) << "no longer attached";
    EXPECT_EQ(os_mem_sharemem_close(h), OS_OK);
    EXPECT_EQ(os_mem_sharemem_close(h), OS_ERR_SHM_CLOSE) << "already removed";
    EXPECT_TRUE(::access(s.name(), F_OK) == 0) << "the key file stays";
}

TEST(ShareMem, SameOrSmallerSizeOpensTheSameSegment) {
    TempDir t;
    Segments s(t.file("key"));
    MemMapHandle h1 = -1, h2 = -1, h3 = -1;
    ASSERT_EQ(s.create(8192, &h1), OS_OK);
    ASSERT_EQ(s.create(8192, &h2), OS_OK);
    ASSERT_EQ(s.create(100, &h3), OS_OK);
    EXPECT_EQ(h2, h1);
    EXPECT_EQ(h3, h1);
    EXPECT_EQ(segment_size(h1), 8192u);

    void *a = nullptr, *b = nullptr;
    ASSERT_EQ(os_mem_sharemem_map(h1, &a), OS_OK);
    ASSERT_EQ(os_mem_sharemem_map(h3, &b), OS_OK);
    ASSERT_NE(a, b);
    std::strcpy(static_cast<char*>(a) + 8000, "shared");
    EXPECT_STREQ(static_cast<char*>(b) + 8000, "shared");
    os_mem_sharemem_unmap(a);
    os_mem_sharemem_unmap(b);
}

// A larger create finds the old segment too small: it is removed through the
// clean-up command and a new, zero-filled one takes the key. The old attachment
// keeps the old memory and no longer shares anything with the new segment.
TEST(ShareMem, LargerSizeReplacesTheSegment) {
    TempDir t;
    Segments s(t.file("key"));
    MemMapHandle old_id = -1, new_id = -1;
    ASSERT_EQ(s.create(4096, &old_id), OS_OK);
    void* old_p = nullptr;
    ASSERT_EQ(os_mem_sharemem_map(old_id, &old_p), OS_OK);
    std::memset(old_p, 'o', 4096);

    ASSERT_EQ(s.create(3 * 4096, &new_id), OS_OK);
    EXPECT_NE(new_id, old_id);
    EXPECT_EQ(::shmget(s.key(), 0, 0), new_id);
    EXPECT_EQ(segment_size(new_id), 3u * 4096);
    void* new_p = nullptr;
    ASSERT_EQ(os_mem_sharemem_map(new_id, &new_p), OS_OK);
    EXPECT_TRUE(all_zero(new_p, 3 * 4096));
    std::memset(new_p, 'n', 4096);
    EXPECT_EQ(static_cast<char*>(old_p)[0], 'o');
    EXPECT_EQ(static_cast<char*>(old_p)[4095], 'o');
    os_mem_sharemem_unmap(old_p);
    os_mem_sharemem_unmap(new_p);
}

TEST(ShareMem, CloseThenCreateGivesANewSegment) {
    TempDir t;
    Segments s(t.file("key"));
    MemMapHandle h1 = -1, h2 = -1;
    ASSERT_EQ(s.create(4096, &h1), OS_OK);
    void* p = nullptr;
    ASSERT_EQ(os_mem_sharemem_map(h1, &p), OS_OK);
    std::memset(p, 1, 4096);
    EXPECT_EQ(os_mem_sharemem_close(h1), OS_OK);
    EXPECT_EQ(::shmget(s.key(), 0, 0), -1) << "the key is free at once";
    ASSERT_EQ(s.create(4096, &h2), OS_OK);
    EXPECT_NE(h2, h1);
    void* q = nullptr;
    ASSERT_EQ(os_mem_sharemem_map(h2, &q), OS_OK);
    EXPECT_TRUE(all_zero(q, 4096));
    EXPECT_EQ(static_cast<char*>(p)[0], 1) << "the closed segment lives while attached";
    os_mem_sharemem_unmap(p);
    os_mem_sharemem_unmap(q);
}

TEST(ShareMem, AnotherProcessOpensTheSameSegmentByName) {
    TempDir t;
    Segments s(t.file("key"));
    MemMapHandle h = -1;
    ASSERT_EQ(s.create(4096, &h), OS_OK);
    void* p = nullptr;
    ASSERT_EQ(os_mem_sharemem_map(h, &p), OS_OK);
    std::string name = s.name();
    int status = zutest::run_in_child([&] {
        MemMapHandle c = -1;
        if (os_mem_sharemem_create(1024, name.c_str(), &c) != OS_OK) return 1;
        if (c != h) return 2;
        void* q = nullptr;
        if (os_mem_sharemem_map(c, &q) != OS_OK) return 3;
        std::strcpy(static_cast<char*>(q), "from the child");
        return os_mem_sharemem_unmap(q) == OS_OK ? 0 : 4;
    });
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(static_cast<char*>(p), "from the child");
    os_mem_sharemem_unmap(p);
}

TEST(ShareMem, FailuresReportErrnoOrTheirCodes) {
    TempDir t;
    MemMapHandle h = 77;
    EXPECT_EQ(os_mem_sharemem_create(4096, t.file("missing/key").c_str(), &h), ENOENT);
    EXPECT_EQ(h, 77) << "handle not written";
    EXPECT_EQ(os_mem_sharemem_create(4096, t.path().c_str(), &h), EISDIR);

    // Below the system's minimum size the retry fails the same way.
    Segments s(t.file("tiny"));
    EXPECT_EQ(s.create(0, &h), EINVAL);
    EXPECT_EQ(::shmget(s.key(), 0, 0), -1);

    void* p = nullptr;
    int bogus = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    ASSERT_NE(bogus, -1);
    ASSERT_EQ(::shmctl(bogus, IPC_RMID, nullptr), 0);
    EXPECT_EQ(os_mem_sharemem_map(bogus, &p), EINVAL) << "a removed identifier";
    EXPECT_EQ(p, reinterpret_cast<void*>(-1));
    char local[8];
    EXPECT_EQ(os_mem_sharemem_unmap(local), OS_ERR_SHM_UNMAP);
    EXPECT_EQ(os_mem_sharemem_close(bogus), OS_ERR_SHM_CLOSE);
}

}  // namespace
