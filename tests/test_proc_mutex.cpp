// Process mutex: one robust, process-shared mutex per key in a segment of its own
// size; exclusion across processes, recovery after a holder's death, the removal
// mark of every destroy, segments whose mutex nobody initialised, and the timed
// acquire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/shm.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

using locktest::Pipe;
using namespace std::chrono_literals;

const ProcMutex kZero{};  // the kernel's fill of a new segment

class ProcMutexTest : public ::testing::Test {
protected:
    // Whatever segment the test left under its key goes.
    void TearDown() override {
        if (key() != -1) ::shmctl(segment(), IPC_RMID, nullptr);
    }
    key_t key() const { return ::ftok(name.c_str(), 0); }
    int segment() const { return ::shmget(key(), 0, 0); }
    // A bare segment under the key, as a creator that has not initialised it leaves it.
    int make_raw_segment(size_t size) const {
        ::close(::open(name.c_str(), O_CREAT | O_RDONLY, 0600));
        return ::shmget(key(), size, IPC_CREAT | IPC_EXCL | 0666);
    }
    static bool initialised(const ProcMutex* m) { return std::memcmp(m, &kZero, sizeof kZero); }
    // A child that opens and locks the mutex, says so on `holding` and keeps it until
    // killed; with die_after_ms it kills itself that much later, still holding it.
    pid_t holder(const Pipe& holding, int die_after_ms = -1) const {
        return locktest::fork_child([&] {
            ProcMutexHandle c = nullptr;
            if (os_proc_mutex_init(name.c_str(), &c) != OS_OK) return 1;
            os_proc_mutex_acquire(c);
            holding.notify();
            if (die_after_ms >= 0) {
                ::usleep(die_after_ms * 1000);
                ::kill(::getpid(), SIGKILL);
            }
            return ::pause();
        });
    }

    zutest::TempDir dir;
    std::string name = dir.file("mutex");
};

// Every destroy marks the segment: the key is free for a new mutex at once, while
// the old one keeps working for the handles still attached until the last detach.
TEST_F(ProcMutexTest, EachKeyHasOneSegmentThatEveryDestroyMarks) {
    ProcMutexHandle a = nullptr, still = nullptr, b = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &a), OS_OK);
    EXPECT_EQ(::access(name.c_str(), F_OK), 0) << "the key file is created";
    const int old_id = a->shmid;
    struct shmid_ds ds {};
    ASSERT_EQ(::shmctl(old_id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, sizeof(ProcMutex));
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &still), OS_OK);
    EXPECT_EQ(still->shmid, old_id);
    EXPECT_EQ(os_proc_mutex_destroy(a), OS_OK);
    EXPECT_EQ(segment(), -1) << "marked: no longer found under the key";

    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &b), OS_OK);
    EXPECT_NE(b->shmid, old_id);
    EXPECT_EQ(os_proc_mutex_acquire(still), OS_OK) << "the old mutex still works";
    EXPECT_EQ(os_proc_mutex_release(still), OS_OK);
    EXPECT_EQ(os_proc_mutex_destroy(still), OS_OK);
    EXPECT_EQ(::shmctl(old_id, IPC_STAT, &ds), -1) << "freed after its last detach";
    EXPECT_EQ(os_proc_mutex_destroy(b), OS_OK);
    EXPECT_EQ(os_proc_mutex_acquire(nullptr), OS_ERR_PROC_MUTEX_NULL);
    EXPECT_EQ(os_proc_mutex_release(nullptr), OS_ERR_PROC_MUTEX_NULL);
    EXPECT_EQ(os_proc_mutex_destroy(nullptr), OS_ERR_PROC_MUTEX_NULL);
}

TEST_F(ProcMutexTest, ProcessesIncrementingUnderItLoseNoUpdate) {
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    // No destroy in the children: it would mark the segment while the others use it.
    // Each child's record stays reachable through its copy of this variable, so a
    // leak checker does not count the deliberately kept record as lost.
    ProcMutexHandle child = nullptr;
    auto open = [&] {
        os_proc_mutex_init(name.c_str(), &child);
        return child;
    };
    EXPECT_EQ(
        locktest::count_in_processes(4, 2000, open, os_proc_mutex_acquire, os_proc_mutex_release),
        4 * 2000);
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

TEST_F(ProcMutexTest, AHolderKilledDoesNotHangTheOthers) {
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    Pipe holding;
    pid_t child = locktest::fork_child([&] {
        ProcMutexHandle c = nullptr;
        if (os_proc_mutex_init(name.c_str(), &c) != OS_OK) return 1;
        os_proc_mutex_acquire(c);
        holding.notify();
        return ::pause();
    });
    EXPECT_TRUE(holding.wait());
    locktest::reap(child, /*kill=*/true);
    EXPECT_EQ(os_proc_mutex_acquire(h), OS_OK);
    EXPECT_EQ(os_proc_mutex_release(h), OS_OK);
    EXPECT_EQ(::pthread_mutex_trylock(h->pMutex), 0) << "consistent again";
    EXPECT_EQ(::pthread_mutex_unlock(h->pMutex), 0);
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

// Segments under the key that hold no usable mutex: a smaller one is an init
// failure; one that its maker, now ended, never initialised gets its mutex from the
// next init.
TEST_F(ProcMutexTest, ASegmentWithoutAMutexIsAnInitFailureOrGetsOne) {
    ProcMutexHandle h = reinterpret_cast<ProcMutexHandle>(0x1);
    ASSERT_NE(make_raw_segment(8), -1);
    EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_ERR_PROC_MUTEX_INIT);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(os_proc_mutex_init(dir.file("no/such").c_str(), &h), ENOENT);
    ::shmctl(segment(), IPC_RMID, nullptr);

    ASSERT_EQ(zutest::run_in_child([&] { return make_raw_segment(sizeof(ProcMutex)) == -1; }), 0);
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    EXPECT_EQ(h->shmid, segment());
    EXPECT_TRUE(initialised(h->pMutex));
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

TEST_F(ProcMutexTest, TimedAcquireWaitsOutTheTimeOutWhileAnotherProcessHolds) {
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    Pipe holding;
    pid_t child = holder(holding);
    EXPECT_TRUE(holding.wait());
    locktest::expect_waits_out([&] { return os_proc_mutex_timedacquire(h, 200); },
                               OS_ERR_PROC_MUTEX_TIMEOUT, 200ms);
    EXPECT_EQ(os_proc_mutex_timedacquire(h, 0), OS_ERR_PROC_MUTEX_TIMEOUT);
    locktest::reap(child, /*kill=*/true);
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

// The holder releasing it, or dying with it, during the wait ends the wait with the
// lock taken, long before the time-out; after a death it is consistent again.
TEST_F(ProcMutexTest, TimedAcquireGetsTheLockWhenTheHolderReleasesOrDies) {
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    // No destroy in the child that releases: it would mark the segment while this
    // process still uses it. Its record stays reachable through its copy of c.
    ProcMutexHandle c = nullptr;
    for (bool dies : {false, true}) {
        Pipe holding, waiting, done;
        pid_t child = dies ? holder(holding, 200) : locktest::fork_child([&] {
            if (os_proc_mutex_init(name.c_str(), &c) != OS_OK) return 1;
            os_proc_mutex_acquire(c);
            holding.notify();
            if (!waiting.wait()) return 2;
            ::usleep(100 * 1000);
            os_proc_mutex_release(c);
            return done.wait() ? 0 : 3;
        });
        EXPECT_TRUE(holding.wait());
        waiting.notify();
        auto t = locktest::timed([&] { return os_proc_mutex_timedacquire(h, 10000); });
        done.notify();
        EXPECT_EQ(t.rc, OS_OK) << "dies " << dies;
        EXPECT_LT(t.took, 10s) << "dies " << dies;
        EXPECT_EQ(locktest::reap(child), !dies);
        EXPECT_EQ(os_proc_mutex_release(h), OS_OK);
        EXPECT_EQ(::pthread_mutex_trylock(h->pMutex), 0) << "consistent, dies " << dies;
        EXPECT_EQ(::pthread_mutex_unlock(h->pMutex), 0);
    }
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

// The mutex is not error-checking: its holder asking again waits the time-out out.
// A lock result other than a time-out or a dead holder is passed on.
TEST_F(ProcMutexTest, TimedAcquireTimeOutsAndOtherLockResults) {
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    EXPECT_EQ(os_proc_mutex_timedacquire(nullptr, 0), OS_ERR_PROC_MUTEX_NULL);
    const struct {
        int32 ms;
        int rc;
    } cases[] = {
        {-1, EINVAL},  // refused before locking: the next case finds it free
        {INT_MIN, EINVAL},
        {0, OS_OK},
        {0, OS_ERR_PROC_MUTEX_TIMEOUT},  // this thread holds it
    };
    for (const auto& c : cases) EXPECT_EQ(os_proc_mutex_timedacquire(h, c.ms), c.rc) << c.ms;
    EXPECT_EQ(os_proc_mutex_release(h), OS_OK);

    // A thread that ended holding it, and a recovery released without making the
    // mutex consistent, as only code outside the library does.
    std::thread([&] { ::pthread_mutex_lock(h->pMutex); }).join();
    EXPECT_EQ(::pthread_mutex_lock(h->pMutex), EOWNERDEAD);
    EXPECT_EQ(::pthread_mutex_unlock(h->pMutex), 0);
    EXPECT_EQ(os_proc_mutex_timedacquire(h, 0), ENOTRECOVERABLE);
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

}  // namespace
