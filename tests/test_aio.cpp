// Batched and queued positioned I/O on both engines: every request's result, count
// and bytes against the same transfers made one by one with os_file_pread /
// os_file_pwrite. Queues take their engine as a parameter; ctest runs the batch and
// engine tests a second time with ZUOS_IO_URING=0, which the batch follows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/io_uring.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "aio_held_file.h"
#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

char pattern(int64 at) {
    return static_cast<char>(at % 251);
}

constexpr int64 kSize = 3 * 4096 + 100;          // data at the start of the file
constexpr int64 kFar = (int64{1} << 32) + 8192;  // and beyond 4 GiB, up to its end
constexpr int64 kEnd = kFar + 8192;
constexpr int64 kLane = 65536;  // writes: one region per request

enum Kind { kFile, kDirect, kReadOnly, kWriteOnly, kClosed, kMinusOne, kPipe, kKinds };
using Case = std::tuple<Kind, int64, int32>;  // handle, offset, count
const Case kCases[] = {
    {kFile, 0, 4096},       {kFile, 100, 5000},       {kFile, kEnd - 10, 100},
    {kFile, kEnd, 10},      {kFile, kEnd + 4096, 10}, {kFile, 5, 0},
    {kFile, kFar + 3, 300}, {kFile, -4096, 10},       {kFile, 0, -1},
    {kDirect, 4096, 4096},  {kDirect, kFar, 4096},    {kDirect, kEnd - 4096, 8192},
    {kReadOnly, 0, 10},     {kWriteOnly, 0, 10},      {kClosed, 0, 10},
    {kMinusOne, 0, 10},     {kPipe, 0, 10},
};

// A data file and a handle of every kind on it (kDirect is -1 where O_DIRECT is
// refused; its cases are then left out).
struct Side {
    Side(const std::string& path, bool write) {
        const int flags[] = {O_RDWR | O_CREAT, O_RDWR | O_DIRECT, O_RDONLY, O_WRONLY};
        for (int k : {kFile, kDirect, kReadOnly, kWriteOnly})
            fd[k] = ::open(path.c_str(), flags[k], 0644);
        for (int64 at : {int64{0}, kFar}) {
            std::string data(at == 0 ? kSize : kEnd - kFar, 0);
            for (size_t i = 0; i < data.size(); ++i) data[i] = pattern(at + int64(i));
            EXPECT_EQ(::pwrite(fd[kFile], data.data(), data.size(), at), ssize_t(data.size()));
        }
        fd[kClosed] = ::fcntl(fd[kFile], F_DUPFD, 1000);  // far above what opens reuse
        ::close(fd[kClosed]);
        fd[kMinusOne] = -1;
        EXPECT_EQ(::pipe(pipe_), 0);
        fd[kPipe] = pipe_[write ? 1 : 0];
    }
    ~Side() {
        for (int k : {kFile, kDirect, kReadOnly, kWriteOnly}) ::close(fd[k]);
        for (int p : pipe_) ::close(p);
    }
    HANDLE fd[kKinds];
    int pipe_[2];
};

// Page-aligned buffers, one per request, freed at scope exit.
struct Buffers {
    std::vector<std::unique_ptr<char, decltype(&::free)>> bufs;
    char* add(char fill, size_t size = 8192) {
        bufs.emplace_back(static_cast<char*>(::aligned_alloc(4096, size)), &::free);
        return static_cast<char*>(::memset(bufs.back().get(), fill, size));
    }
};

// Carries out requests in one batch, or on a queue opened with `flags`, filling in
// nResult and nDone.
void carry_out(bool write, std::optional<uint32> flags, std::vector<OS_IO_REQUEST>& rs) {
    const int32 size = static_cast<int32>(rs.size());
    if (!flags) {
        const auto batch = write ? os_file_pwrite_batch : os_file_pread_batch;
        EXPECT_EQ(batch(rs.data(), size), OS_OK);
        return;
    }
    AioHandle q = nullptr;
    ASSERT_EQ(os_aio_open(size, *flags, &q), OS_OK);
    int32 queued = 0;
    for (size_t i = 0; i < rs.size(); ++i) {
        OS_IO_REQUEST& r = rs[i];
        const int rc = write ? os_aio_write(q, r.hFile, r.nOffset, r.pBuf, r.nBytes, i)
                             : os_aio_read(q, r.hFile, r.nOffset, r.pBuf, r.nBytes, i);
        EXPECT_EQ(rc, r.nBytes < 0 ? EINVAL : OS_OK) << "only a negative count is refused";
        queued += rc == OS_OK;
        if (rc != OS_OK) r = {r.hFile, r.nBytes, r.nOffset, r.pBuf, rc, -1};
    }
    std::vector<OS_AIO_DONE> done(rs.size());
    int32 got = 0, n = 0;
    do {  // seven at most at a time, while more are done
        ASSERT_EQ(os_aio_wait(q, 1, -1, &done[got], std::min(7, queued - got), &n), OS_OK);
        got += n;
    } while (n > 0 && got < queued);
    EXPECT_EQ(got, queued);
    for (int32 i = 0; i < got; ++i) {
        rs[done[i].nTag].nResult = done[i].nResult;
        rs[done[i].nTag].nDone = done[i].nDone;
    }
    EXPECT_EQ(os_aio_close(q), OS_OK);
}

// Makes every case five times (more than a batch keeps in flight) on two identical
// files, carries side a's out with `engine` and side b's one by one, and compares
// results, counts, buffers and written bytes. With a queue, a refused negative
// count and a negative offset's count read -1 (a completion has no count to keep).
void compare(bool write, std::optional<uint32> queue) {
    zutest::TempDir t;
    Side a(t.file("a"), write), b(t.file("b"), write);
    Buffers bufs;
    std::vector<OS_IO_REQUEST> ra, rb;
    for (int rep = 0; rep < 5; ++rep) {
        for (auto [kind, at, n] : kCases) {
            if (a.fd[kind] == -1 && kind != kMinusOne) continue;
            const int64 off = at < 0 || !write ? at : at + kLane * int64(ra.size());
            const char fill = write ? pattern(ra.size()) : '\xEE';
            ra.push_back({a.fd[kind], n, off, bufs.add(fill), -5, 77});
            rb.push_back({b.fd[kind], n, off, bufs.add(fill), -5, 77});
        }
    }
    ASSERT_EQ(::lseek(a.fd[kFile], 7, SEEK_SET), 7);
    carry_out(write, queue, ra);
    EXPECT_EQ(::lseek(a.fd[kFile], 0, SEEK_CUR), 7) << "no position moves";
    for (size_t i = 0; i < rb.size(); ++i) {
        OS_IO_REQUEST& r = rb[i];
        // os_file_pread asserts against -1, where the kernel says EBADF
        r.nResult = r.hFile == -1 ? EBADF
                    : write       ? os_file_pwrite(r.hFile, r.nOffset, r.pBuf, r.nBytes, &r.nDone)
                                  : os_file_pread(r.hFile, r.nOffset, r.pBuf, r.nBytes, &r.nDone);
        if (r.hFile == -1 || (queue && (r.nOffset < 0 || r.nBytes < 0))) r.nDone = -1;
        if (queue && r.nBytes < 0) r.nResult = EINVAL;
        const std::string what = "request " + std::to_string(i) + " at " +
                                 std::to_string(r.nOffset) + " of " + std::to_string(r.nBytes);
        EXPECT_EQ(ra[i].nResult, r.nResult) << what;
        EXPECT_EQ(ra[i].nDone, r.nDone) << what;
        EXPECT_EQ(::memcmp(ra[i].pBuf, r.pBuf, 8192), 0) << what;
        if (write && r.nResult == OS_OK) {
            std::string got(r.nDone, 0), want(r.nDone, 0);
            EXPECT_EQ(::pread(a.fd[kFile], got.data(), r.nDone, r.nOffset), r.nDone);
            EXPECT_EQ(::pread(b.fd[kFile], want.data(), r.nDone, r.nOffset), r.nDone);
            EXPECT_EQ(got, want) << what;
        }
    }
}

TEST(AioBatch, MatchesOneByOne) {
    for (bool write : {false, true}) compare(write, std::nullopt);
}

TEST(AioBatchCalls, CountsAndSingleRequests) {
    EXPECT_EQ(os_file_pread_batch(nullptr, 0), OS_OK);
    OS_IO_REQUEST r{-1, 1, 0, nullptr, 0, 0};
    EXPECT_EQ(os_file_pwrite_batch(&r, -1), EINVAL);
    EXPECT_EQ(os_file_pwrite_batch(&r, 1), OS_OK) << "one request is one plain call";
    EXPECT_EQ(r.nResult, EBADF);
    EXPECT_EQ(r.nDone, -1);
    EXPECT_DEATH(os_file_pread_batch(nullptr, 1), "");
}

// Threads share handles with no lock, one of them O_DIRECT: each writes its own
// blocks one by one and reads them back one by one and in batches longer than a
// batch's ring (so it refills), interleaved with the others, and nobody moves the
// shared position.
TEST(AioBatchCalls, ThreadsSharingHandlesTransferExactBytes) {
    zutest::TempDir t;
    const Side s(t.file("d"), false);
    constexpr int kThreads = 8, kBlocks = 80;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k) {
        threads.emplace_back([&, k] {
            Buffers bufs;  // each read into the first half, written from the second
            std::vector<OS_IO_REQUEST> rs;
            for (int i = 0; i < kBlocks; ++i) {
                const HANDLE h = s.fd[i % 2 && s.fd[kDirect] != -1 ? kDirect : kFile];
                rs.push_back({h, 4096, int64{k * kBlocks + i} * 4096, bufs.add(0), 0, 0});
            }
            for (int round = 0; round < 4; ++round) {
                for (OS_IO_REQUEST& r : rs) {
                    char *in = static_cast<char*>(r.pBuf), *out = in + 4096;
                    ::memset(out, pattern(r.nOffset / 4096 + round), 4096);
                    bad += os_file_pwrite(r.hFile, r.nOffset, out, 4096, &r.nDone) != OS_OK;
                    bad += os_file_pread(r.hFile, r.nOffset, in, 4096, &r.nDone) != OS_OK ||
                           ::memcmp(in, out, 4096) != 0;
                    ::memset(in, 0, 4096);
                }
                bad += os_file_pread_batch(rs.data(), kBlocks) != OS_OK;
                for (const OS_IO_REQUEST& r : rs)
                    bad += r.nResult != OS_OK ||
                           ::memcmp(r.pBuf, static_cast<char*>(r.pBuf) + 4096, 4096) != 0;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(::lseek(s.fd[kFile], 0, SEEK_CUR), 0);
}

// Without io_uring in the kernel, a queue falls back to plain calls by itself.
TEST(AioEngine, FollowsTheEnvironmentAndTheFlag) {
    const char* env = ::getenv("ZUOS_IO_URING");
    io_uring_params p{};
    const long ring = ::syscall(__NR_io_uring_setup, 1, &p);
    const bool off = (env != nullptr && std::string(env) == "0") || ring < 0;
    if (ring >= 0) ::close(static_cast<int>(ring));
    for (uint32 flags : {0u, uint32{OS_AIO_FALLBACK}}) {
        AioHandle q = nullptr;
        ASSERT_EQ(os_aio_open(1, flags, &q), OS_OK);
        EXPECT_EQ(os_aio_engine(q), flags == 0 && !off ? 1 : 0) << "flags " << flags;
        EXPECT_EQ(os_aio_close(q), OS_OK);
    }
}

class AioQueue : public ::testing::TestWithParam<uint32> {};

TEST_P(AioQueue, MatchesOneByOne) {
    for (bool write : {false, true}) compare(write, GetParam());
}

// A full queue and bad arguments are refused with nothing queued; bad handles are
// accepted and complete with their error; a wait never waits for more than is in
// flight.
TEST_P(AioQueue, ChecksOnlyItsOwnState) {
    AioHandle q = reinterpret_cast<AioHandle>(8);
    for (auto [depth, flags] : {std::pair{0, 0u}, {4097, 0u}, {1, 2u}}) {
        EXPECT_EQ(os_aio_open(depth, flags, &q), EINVAL);
        EXPECT_EQ(q, nullptr);
    }
    ASSERT_EQ(os_aio_open(2, GetParam(), &q), OS_OK);
    zutest::TempDir t;
    const Side s(t.file("f"), false);
    const HANDLE h = s.fd[kFile];
    OS_AIO_DONE d[3];
    int32 got = -1;
    EXPECT_EQ(os_aio_read(q, h, 0, d, -1, 9), EINVAL);
    EXPECT_EQ(os_aio_wait(q, 2, -1, d, 2, &got), OS_OK) << "nothing in flight, nothing to wait for";
    EXPECT_EQ(got, 0);
    for (auto [min, msec, max] : {std::tuple{-1, 0, 1}, {2, 0, 1}, {0, -2, 1}})
        EXPECT_EQ(os_aio_wait(q, min, msec, d, max, &got), EINVAL);
    for (auto [kind, result, count] :
         {std::tuple{kFile, OS_OK, 0}, {kPipe, EINVAL, -1}, {kMinusOne, EBADF, -1}}) {
        EXPECT_EQ(os_aio_datasync(q, s.fd[kind], 5), OS_OK);
        EXPECT_EQ(os_aio_write(q, h, 0, "ab", 2, 6), OS_OK);
        EXPECT_EQ(os_aio_write(q, h, 0, "ab", 2, 7), OS_ERR_AIO_FULL);
        EXPECT_EQ(os_aio_wait(q, 1, -1, d, 1, &got), OS_OK);
        EXPECT_EQ(os_aio_write(q, h, 0, "ab", 2, 7), OS_OK) << "room again once one is collected";
        EXPECT_EQ(os_aio_wait(q, 2, -1, d + 1, 2, &got), OS_OK);
        ASSERT_EQ(got, 2);
        const OS_AIO_DONE& sync = *std::find_if(d, d + 3, [](auto& x) { return x.nTag == 5; });
        EXPECT_EQ(sync.nResult, result) << "data sync of kind " << kind;
        EXPECT_EQ(sync.nDone, count) << "data sync of kind " << kind;
    }
    EXPECT_EQ(os_aio_close(q), OS_OK);
}

// What a process holds that a queue or a batch could leave behind.
std::pair<int, int> holdings() {
    std::ifstream maps("/proc/self/maps");
    int rings = 0;
    for (std::string line; std::getline(maps, line);) rings += line.find("io_uring") != line.npos;
    return {zutest::open_fd_count(), rings};
}

TEST_P(AioQueue, OpenCloseCyclesLeaveNothingBehind) {
    zutest::TempDir t;
    const Side s(t.file("f"), false);
    const HANDLE h = s.fd[kFile];
    const auto before = holdings();
    char buf[4096];
    OS_IO_REQUEST rs[2] = {{h, 4096, 0, buf, 0, 0}, {h, 4096, 4096, buf, 0, 0}};
    for (int i = 0; i < 10000; ++i) {
        AioHandle q = nullptr;
        ASSERT_EQ(os_aio_open(8, GetParam(), &q), OS_OK);
        ASSERT_EQ(os_aio_read(q, h, 0, buf, 4096, 1), OS_OK);
        if (i % 2) {  // closed with the read in flight or collected
            OS_AIO_DONE d;
            int32 got = 0;
            ASSERT_EQ(os_aio_wait(q, 1, -1, &d, 1, &got), OS_OK);
        }
        ASSERT_EQ(os_aio_close(q), OS_OK);
        ASSERT_EQ(os_file_pread_batch(rs, 2), OS_OK);
    }
    EXPECT_EQ(holdings(), before) << "descriptors, and mappings of rings";
}

INSTANTIATE_TEST_SUITE_P(Engines, AioQueue, ::testing::Values(0u, uint32{OS_AIO_FALLBACK}),
                         [](const auto& info) { return info.param ? "Plain" : "Ring"; });

// On io_uring a read can stay in flight: a wait for it times out (also while signals
// keep interrupting it), a full queue refuses more, and close waits for it, so that
// its buffer is filled when close returns.
TEST(AioQueueHeld, WaitTimesOutAndCloseWaitsForTheRead) {
#ifdef RUNNING_ON_VALGRIND
    if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind does not carry io_uring's reads in flight";
#endif
    AioHandle q = nullptr;
    ASSERT_EQ(os_aio_open(2, 0, &q), OS_OK);
    const bool ran =
        os_aio_engine(q) == 1 && aiotest::with_held_file([&](powercut::Mount& fs, HANDLE held) {
            HANDLE disk = ::open("/proc/self/exe", O_RDONLY);
            char buf[4096] = {}, other[16];
            EXPECT_EQ(os_aio_read(q, held, 0, buf, 4096, 1), OS_OK);
            EXPECT_EQ(os_aio_read(q, disk, 0, other, 16, 2), OS_OK);
            EXPECT_EQ(os_aio_read(q, disk, 0, other, 16, 3), OS_ERR_AIO_FULL);
            OS_AIO_DONE d[2];
            int32 got = -1;
            EXPECT_EQ(os_aio_wait(q, 2, 300, d, 2, &got), OS_ERR_AIO_TIMEOUT);
            EXPECT_EQ(got, 1);
            EXPECT_EQ(d[0].nTag, 2u);
            locktest::expect_waits_out([&] { return os_aio_wait(q, 1, 200, d, 2, &got); },
                                       OS_ERR_AIO_TIMEOUT, std::chrono::milliseconds(200));
            EXPECT_EQ(os_aio_wait(q, 1, 0, d, 2, &got), OS_ERR_AIO_TIMEOUT);
            std::thread later([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                fs.release();
            });
            const locktest::Timed closed = locktest::timed([&] { return os_aio_close(q); });
            q = nullptr;
            EXPECT_EQ(closed.rc, OS_OK);
            EXPECT_GE(closed.took, std::chrono::milliseconds(150));
            EXPECT_EQ(buf[4095], 'z') << "the read finished before close returned";
            later.join();
            ::close(disk);
        });
    if (q != nullptr) {
        EXPECT_EQ(os_aio_close(q), OS_OK);
    }
    if (!ran) GTEST_SKIP() << "needs io_uring, root, /dev/fuse and powercut_fs (libfuse3)";
}

}  // namespace
