// Failure paths of the batched and queued I/O: io_uring refused or too old (the plain
// engine takes over, for good), its setup, mappings, submissions and waits failing,
// and the allocation of a queue: results, every request accounted for, nothing left
// open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/io_uring.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "aio_held_file.h"
#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

extern fi::Point fi_mmap;

// Hand-written: syscall is variadic. io_uring_setup and io_uring_enter fail on their
// own points; enter also after the kernel has taken the submissions (it then does
// not wait, as if the wait had failed); setup can hide features the kernel reports.
// FI_WRAP(long, syscall
fi::Point fi_uring_setup, fi_uring_enter, fi_uring_enter_after;
unsigned g_hidden_features = 0;
extern "C" long __real_syscall(long nr, ...);
extern "C" long __wrap_syscall(long nr, ...) {
    va_list ap;
    va_start(ap, nr);
    long a[6];
    for (long& x : a) x = va_arg(ap, long);
    va_end(ap);
    fi::Point& before = nr == __NR_io_uring_setup ? fi_uring_setup : fi_uring_enter;
    if ((nr == __NR_io_uring_setup || nr == __NR_io_uring_enter) && before.hit()) {
        errno = before.err;
        return -1;
    }
    const bool after = nr == __NR_io_uring_enter && fi_uring_enter_after.hit();
    if (after) {
        a[2] = 0;
        a[3] &= ~long{IORING_ENTER_GETEVENTS};
    }
    long r = __real_syscall(nr, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (after && r >= 0) {
        r = -1;
        errno = fi_uring_enter_after.err;
    }
    if (nr == __NR_io_uring_setup && r >= 0)
        reinterpret_cast<io_uring_params*>(a[1])->features &= ~g_hidden_features;
    return r;
}

namespace {

constexpr int32 kBlock = 4096;

// A file of `blocks` blocks, block i filled with the byte i, and read requests for all
// of them into one buffer.
class AioFault : public ::testing::Test {
protected:
    void make(int blocks) {
        h = ::open(t.file("f").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        bufs.assign(size_t(blocks) * kBlock, 0);
        for (int i = 0; i < blocks; ++i) ::memset(&bufs[size_t(i) * kBlock], i, kBlock);
        ASSERT_EQ(::pwrite(h, bufs.data(), bufs.size(), 0), ssize_t(bufs.size()));
        bufs.assign(bufs.size(), '\xEE');
        reqs.clear();
        for (int i = 0; i < blocks; ++i)
            reqs.push_back({h, kBlock, int64{i} * kBlock, &bufs[size_t(i) * kBlock], -5, -5});
    }
    // Batches reads of all blocks: each was either read whole or failed with `err`.
    // Returns how many were read.
    int batch_expecting(int rc, int err) {
        EXPECT_EQ(os_file_pread_batch(reqs.data(), int32(reqs.size())), rc);
        int read = 0;
        for (const OS_IO_REQUEST& r : reqs) {
            const bool whole = r.nResult == OS_OK && r.nDone == kBlock &&
                               static_cast<char*>(r.pBuf)[0] == char(r.nOffset / kBlock);
            EXPECT_TRUE(whole || (r.nResult == err && r.nDone == -1))
                << r.nOffset << ": " << r.nResult << ", " << r.nDone;
            read += whole;
        }
        return read;
    }
    void TearDown() override { ::close(h); }

    zutest::TempDir t;
    HANDLE h = -1;
    std::vector<char> bufs;
    std::vector<OS_IO_REQUEST> reqs;
};

int engine_of_new_queue() {
    AioHandle q = nullptr;
    EXPECT_EQ(os_aio_open(4, 0, &q), OS_OK);
    const int engine = os_aio_engine(q);
    EXPECT_EQ(os_aio_close(q), OS_OK);
    return engine;
}

// ENOSYS or EPERM from the setup, or a kernel without what the ring needs: both
// interfaces carry on with plain calls, and the setup is not tried again. In a child
// each, as the process remembers the refusal.
TEST_F(AioFault, RefusedOrTooOldIoUringFallsBackForGood) {
    make(3);
    const std::tuple<int, unsigned, bool> cases[] = {{ENOSYS, 0, false},
                                                     {EPERM, 0, true},
                                                     {0, IORING_FEAT_EXT_ARG, false},
                                                     {0, IORING_FEAT_SINGLE_MMAP, true}};
    for (auto [err, hidden, queue_first] : cases) {
        const int rc = zutest::run_in_child([&, err = err, hidden = hidden, q = queue_first] {
            g_hidden_features = hidden;
            {
                fi::Armed a(fi_uring_setup, err != 0 ? 1 : 1000, err);
                EXPECT_EQ(q ? engine_of_new_queue() : batch_expecting(OS_OK, 0), q ? 0 : 3);
                EXPECT_EQ(a.calls(), 1);
            }
            fi::Armed counting(fi_uring_setup, 1000, 0);
            EXPECT_EQ(engine_of_new_queue(), 0);
            EXPECT_EQ(batch_expecting(OS_OK, 0), 3);
            EXPECT_EQ(counting.calls(), 0) << "refused once, not tried again";
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        EXPECT_EQ(rc, 0) << "error " << err << ", hidden features " << hidden;
    }
}

// Other setup failures are the call's result, for every request, and leave nothing
// open; they are not remembered.
TEST_F(AioFault, SetupFailuresAreReturned) {
    make(3);
    const int fds = zutest::open_fd_count();
    const std::tuple<fi::Point&, long, int> cases[] = {
        {fi_uring_setup, 1, EMFILE}, {fi_mmap, 1, ENOMEM}, {fi_mmap, 2, EAGAIN}};
    for (auto& [point, nth, err] : cases) {
        {
            fi::Armed a(point, nth, err);
            EXPECT_EQ(batch_expecting(err, err), 0);
        }
        {
            fi::Armed a(point, nth, err);
            AioHandle q = reinterpret_cast<AioHandle>(8);
            EXPECT_EQ(os_aio_open(4, 0, &q), err);
            EXPECT_EQ(q, nullptr);
        }
        EXPECT_EQ(zutest::open_fd_count(), fds) << err;
    }
    fi::Armed a(fi_malloc, 1, ENOMEM);
    AioHandle q = reinterpret_cast<AioHandle>(8);
    EXPECT_EQ(os_aio_open(4, OS_AIO_FALLBACK, &q), OS_ERR_NO_MEMORY);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(engine_of_new_queue(), 1);
}

// A failed submission: what the kernel did not take fails with its errno, what it
// took is still waited for and read, and an interrupted enter is repeated. More
// requests than a batch keeps in flight, so that a second enter refills.
TEST_F(AioFault, BatchSubmitFailures) {
    struct Case {
        fi::Point& point;
        long nth;
        int err;
        int read;  // how many requests were read
    };
    const Case cases[] = {
        {fi_uring_enter, 1, EAGAIN, 0},        // nothing taken
        {fi_uring_enter, 2, EBUSY, 64},        // the refill
        {fi_uring_enter_after, 1, EBUSY, 64},  // all taken, the rest refused
        {fi_uring_enter, 1, EINTR, 100},       // repeated
    };
    for (const Case& c : cases) {
        make(100);
        fi::Armed a(c.point, c.nth, c.err);
        EXPECT_EQ(batch_expecting(c.err == EINTR ? OS_OK : c.err, c.err), c.read) << c.err;
    }
}

// Failures of waits with a read held in flight (a FUSE file): a batch whose wait
// fails after a failed submission ends with the held read failed alike; a queue's
// failed wait loses nothing; a failed close still frees everything. A failed queue
// submission queues nothing. Each in a file system of its own, so that the read the
// batch leaves behind holds up nothing else.
TEST_F(AioFault, FailedWaitsWithAReadInFlight) {
    make(1);
    char buf[4096];
    const bool ran = aiotest::with_held_file([&](powercut::Mount&, HANDLE held) {
        OS_IO_REQUEST rs[2] = {{held, 4096, 0, buf, -5, -5}, reqs[0]};
        fi::Armed a(fi_uring_enter_after, 1, EBUSY), b(fi_uring_enter, 2, EIO);
        EXPECT_EQ(os_file_pread_batch(rs, 2), EBUSY);
        EXPECT_EQ(rs[0].nResult, EBUSY);
        EXPECT_EQ(rs[0].nDone, -1);
        EXPECT_EQ(rs[1].nResult, OS_OK) << "read before the wait failed";
    });
    aiotest::with_held_file([&](powercut::Mount&, HANDLE held) {
        AioHandle q = nullptr;
        EXPECT_EQ(os_aio_open(2, 0, &q), OS_OK);
        {
            fi::Armed a(fi_uring_enter, 1, EAGAIN);
            EXPECT_EQ(os_aio_read(q, h, 0, buf, kBlock, 1), EAGAIN);
        }
        EXPECT_EQ(os_aio_read(q, held, 0, buf, 4096, 2), OS_OK);
        EXPECT_EQ(os_aio_read(q, h, 0, buf + 100, 100, 3), OS_OK);
        OS_AIO_DONE d[2];
        int32 got = -1;
        {
            fi::Armed a(fi_uring_enter, 1, EIO);
            EXPECT_EQ(os_aio_wait(q, 2, -1, d, 2, &got), EIO);
        }
        EXPECT_EQ(got, 1) << "what was done is collected";
        EXPECT_EQ(d[0].nTag, 3u);
        EXPECT_EQ(os_aio_read(q, h, 0, buf, 100, 4), OS_OK) << "the held read still counts";
        EXPECT_EQ(os_aio_read(q, h, 0, buf, 100, 5), OS_ERR_AIO_FULL);
        const int fds = zutest::open_fd_count();
        fi::Armed a(fi_uring_enter, 1, EIO);
        EXPECT_EQ(os_aio_close(q), EIO);
        EXPECT_EQ(zutest::open_fd_count(), fds - 1) << "the ring is closed all the same";
    });
    if (!ran) GTEST_SKIP() << "needs root, /dev/fuse and powercut_fs (libfuse3)";
}

}  // namespace
