// Locks: the thread locks, the process semaphore and the process mutex. Each kind
// excludes the others of its kind; the read-write lock names its refusals. The two
// process locks share what a test of each runs once: another process's hold lasts
// until it lets go or dies, and a timed acquire waits out its time-out unless the
// lock comes free first. Then what each has of its own: the semaphore's set, user
// count and the sets it finds under its key (left behind, being removed, foreign),
// and the mutex's segment, removal mark and unusable segments.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lock_test_util.h"
#include "os/os.h"
#include "os_internal.h"

namespace {

using locktest::KeyFileTest;
using locktest::Pipe;
using ::testing::AnyOf;
using namespace std::chrono_literals;

// ---------------------------------------------------------------- thread locks

// Increments a plain counter under lock/unlock from 4 threads, 20000 times each; a
// lost update shows as a total below the exact one.
template <class Lock, class Unlock>
long hammer(Lock lock, Unlock unlock) {
    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                lock();
                long v = counter;
                counter = v + 1;
                unlock();
            }
        });
    }
    for (auto& t : ts) t.join();
    return counter;
}

TEST(ThreadLocks, EachLockExcludesTheOtherThreads) {
    SPINLOCK spin;
    MutexHandle m = nullptr;
    RwMutexHandle rw = nullptr;
    ASSERT_EQ(os_spinlock_init(&spin), 0);
    ASSERT_EQ(os_mutex_init(&m), OS_OK);
    ASSERT_EQ(os_rwmutex_init(&rw), OS_OK);
    EXPECT_EQ(hammer([&] { os_spinlock_acquire(&spin); }, [&] { os_spinlock_release(&spin); }),
              80000);
    EXPECT_EQ(hammer([&] { os_mutex_acquire(m); }, [&] { os_mutex_release(m); }), 80000);
    EXPECT_EQ(hammer([&] { os_rwmutex_acquire_write(rw); }, [&] { os_rwmutex_release(rw); }),
              80000);
    EXPECT_EQ(os_spinlock_destroy(&spin), 0);
    os_mutex_destroy(m);
    os_rwmutex_destroy(rw);
}

// The platform refuses the writer's own lock calls with EDEADLK instead of hanging;
// the library names the refusal, which leaves nothing held. A read lock is shared,
// even with itself.
TEST(ThreadLocks, TheRwlockNamesTheRefusalsOfItsWritersOwnCalls) {
    RwMutexHandle rw = nullptr;
    ASSERT_EQ(os_rwmutex_init(&rw), OS_OK);
    ASSERT_EQ(os_rwmutex_acquire_write(rw), OS_OK);
    EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_ERR_RWLOCK_READ);
    EXPECT_EQ(os_rwmutex_acquire_write(rw), OS_ERR_RWLOCK_WRITE);
    EXPECT_EQ(os_rwmutex_release(rw), 0);
    EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_OK);
    EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_OK);
    EXPECT_EQ(os_rwmutex_release(rw), 0);
    EXPECT_EQ(os_rwmutex_release(rw), 0);
    os_rwmutex_destroy(rw);
}

// ---------------------------------------------------- both process locks alike

// The process semaphore with one unit and the process mutex behind one interface.
struct ProcSemaLock {
    using Handle = SemaHandle;
    static constexpr int kBusy = OS_ERR_SEMA_BUSY;
    static int init(const std::string& name, Handle* h) {
        return os_proc_sema_init(name.c_str(), 1, h);
    }
    static int acquire(Handle h) { return os_proc_sema_acquire(h); }
    static int try_acquire(Handle h) { return os_proc_sema_tryacquire(h); }
    static int timed(Handle h, int32 ms) { return os_proc_sema_timedacquire(h, ms); }
    static int release(Handle h) { return os_proc_sema_release(h); }
    static int destroy(Handle h) { return os_proc_sema_destroy(h); }
    static int free_units(Handle h) { return KeyFileTest::count(h); }
    static int users(Handle h) { return KeyFileTest::users(h); }
};

struct ProcMutexLock {
    using Handle = ProcMutexHandle;
    static constexpr int kBusy = OS_ERR_PROC_MUTEX_TIMEOUT;
    static int init(const std::string& name, Handle* h) {
        return os_proc_mutex_init(name.c_str(), h);
    }
    static int acquire(Handle h) { return os_proc_mutex_acquire(h); }
    static int try_acquire(Handle h) { return os_proc_mutex_timedacquire(h, 0); }
    static int timed(Handle h, int32 ms) { return os_proc_mutex_timedacquire(h, ms); }
    static int release(Handle h) { return os_proc_mutex_release(h); }
    static int destroy(Handle h) { return os_proc_mutex_destroy(h); }
    // 1 when the mutex can be taken and is consistent (not left by a dead holder).
    static int free_units(Handle h) {
        return ::pthread_mutex_trylock(h->pMutex) == 0 && ::pthread_mutex_unlock(h->pMutex) == 0;
    }
};

// One lock of the kind, open for the whole test. Children never destroy it: they let
// go by ending (SEM_UNDO), and a process mutex's destroy would mark the segment while
// others use it. A child's record stays reachable through its copy of `child` until
// it ends, so that a leak checker does not count it as lost.
template <class L>
class ProcLock : public KeyFileTest {
protected:
    void SetUp() override { ASSERT_EQ(L::init(name, &h), OS_OK); }
    void TearDown() override {
        EXPECT_EQ(L::destroy(h), OS_OK);
        KeyFileTest::TearDown();
    }
    // The semaphore counts the processes that have it open; the mutex does not.
    void expect_users(int n) const {
        if constexpr (requires { L::users(h); }) {
            EXPECT_EQ(L::users(h), n);
        }
    }
    typename L::Handle h{};
    typename L::Handle child{};
};

using ProcLocks = ::testing::Types<ProcSemaLock, ProcMutexLock>;
TYPED_TEST_SUITE(ProcLock, ProcLocks);

// Each child increments a shared counter in a deliberately split read-modify-write
// under the lock, so that a lock that does not exclude loses updates.
TYPED_TEST(ProcLock, ProcessesIncrementingUnderItLoseNoUpdate) {
    using L = TypeParam;
    locktest::Shared<long> shared;
    volatile long* counter = shared.p;
    EXPECT_TRUE(locktest::in_processes(4, [&] {
        if (L::init(this->name, &this->child) != OS_OK) return 1;
        for (int i = 0; i < 2000; ++i) {
            if (L::acquire(this->child) != OS_OK) return 2;
            *counter = *counter + 1;
            if (L::release(this->child) != OS_OK) return 3;
        }
        return 0;
    }));
    EXPECT_EQ(*counter, 4 * 2000);
    EXPECT_EQ(L::free_units(this->h), 1);
    this->expect_users(1);
}

// While another process holds it, a timed acquire waits out its time-out, never
// less, also while signals keep interrupting it. The holder letting go during a wait
// (releasing it, or dying with it) ends the wait with the lock taken, long before its
// time-out; after a death the lock is whole again, for a plain acquire too.
TYPED_TEST(ProcLock, AnotherProcessHoldsItUntilItLetsGo) {
    using L = TypeParam;
    const struct { bool dies, timed; } ways[] = {{false, true}, {true, true}, {true, false}};
    for (const auto& w : ways) {
        SCOPED_TRACE(std::string(w.dies ? "dies" : "releases") + (w.timed ? ", timed" : ""));
        Pipe holding, waiting;
        // The child takes it as the parent will: its way must give it back at its death.
        auto take = [&](auto h) { return w.timed ? L::timed(h, 10000) : L::acquire(h); };
        const pid_t child = locktest::fork_child([&] {
            if (L::init(this->name, &this->child) != OS_OK || take(this->child) != OS_OK) return 1;
            holding.notify();
            if (waiting.wait()) ::usleep(100 * 1000);
            if (w.dies) ::raise(SIGKILL);
            return L::release(this->child);
        });
        EXPECT_TRUE(holding.wait());
        this->expect_users(2);
        EXPECT_EQ(L::try_acquire(this->h), L::kBusy);
        locktest::expect_waits_out([&] { return L::timed(this->h, 200); }, L::kBusy, 200ms);
        waiting.notify();
        const auto t = locktest::timed([&] { return take(this->h); });
        EXPECT_EQ(t.rc, OS_OK);
        EXPECT_LT(t.took, 10s);
        EXPECT_EQ(locktest::reap(child), !w.dies);
        EXPECT_EQ(L::release(this->h), OS_OK);
        EXPECT_EQ(L::free_units(this->h), 1);
        this->expect_users(1);
    }
}

TYPED_TEST(ProcLock, TimedAcquireTimeOuts) {
    using L = TypeParam;
    const struct {
        int32 ms;
        int rc;
    } cases[] = {
        {-1, EINVAL},  // refused before anything is taken: the next case finds it free
        {INT_MIN, EINVAL},
        {0, OS_OK},
        {0, L::kBusy},  // this caller holds it (a mutex is not error-checking)
    };
    for (const auto& c : cases) EXPECT_EQ(L::timed(this->h, c.ms), c.rc) << c.ms;
    EXPECT_EQ(L::release(this->h), OS_OK);
    EXPECT_EQ(L::try_acquire(this->h), OS_OK);
    EXPECT_EQ(L::free_units(this->h), 0);
    EXPECT_EQ(L::release(this->h), OS_OK);
}

// ----------------------------------------------------------- process semaphore

// Processes started together, counting in memory shared with the parent how many of
// them hold a unit at once.
struct Crowd {
    std::atomic<int> ready{0}, now{0}, most{0};

    // Runs body in n forked children that start together, each after a jitter of
    // its own; true when every one returned 0.
    template <class F>
    bool run(int n, F body) {
        ready = 0;
        return locktest::in_processes(n, [&] {
            for (++ready; ready < n;) ::sched_yield();
            jitter();
            return body();
        });
    }
    // Acquires, stays counted among the holders for a moment, releases: 0, or the
    // step that failed.
    int hold(SemaHandle h) {
        if (os_proc_sema_acquire(h) != OS_OK) return 10;
        const int n = ++now;
        for (int m = most; n > m && !most.compare_exchange_weak(m, n);) {
        }
        ::sched_yield();
        --now;
        return os_proc_sema_release(h) == OS_OK ? 0 : 11;
    }
    // Up to 5 microseconds of busy waiting, different in each process and call, so
    // that the steps of processes started together interleave in every order.
    static void jitter() {
        thread_local unsigned seed = static_cast<unsigned>(::getpid());
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::nanoseconds(::rand_r(&seed) % 5000);
        while (std::chrono::steady_clock::now() < until) {
        }
    }
};

using ProcSema = KeyFileTest;

TEST_F(ProcSema, ANameMakesATwoSemaphoreSetThatTheLastUserRemoves) {
    SemaHandle a = -1, b = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 3, &a), OS_OK);
    struct semid_ds ds {};
    ASSERT_EQ(::semctl(a, 0, IPC_STAT, zu::semun{.buf = &ds}), 0);
    EXPECT_EQ(ds.sem_nsems, unsigned{OS_PROC_SEMA_NSEMS});
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0777u);

    ASSERT_EQ(os_proc_sema_init(name.c_str(), 9, &b), OS_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(os_proc_sema_destroy(a), OS_OK);
    EXPECT_NE(set_id(), -1);
    EXPECT_EQ(os_proc_sema_destroy(b), OS_OK);
    EXPECT_EQ(set_id(), -1);
    EXPECT_THAT(os_proc_sema_destroy(a), AnyOf(EINVAL, EIDRM));
    EXPECT_THAT(os_proc_sema_timedacquire(a, 0), AnyOf(EINVAL, EIDRM));

    EXPECT_EQ(os_proc_sema_init(name.c_str(), -1, &a), ERANGE);
    EXPECT_EQ(set_id(), -1) << "the half-made set is removed";
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 32767, &a), OS_OK);
    EXPECT_EQ(os_proc_sema_release(a), ERANGE) << "beyond the maximum";
    EXPECT_EQ(count(a), 32767);
    EXPECT_EQ(os_proc_sema_destroy(a), OS_OK);
    EXPECT_EQ(os_proc_sema_init(dir.file("no/such").c_str(), 1, &a), ENOENT);
    EXPECT_EQ(os_proc_sema_init(dir.path().c_str(), 1, &a), EISDIR);
}

TEST_F(ProcSema, AcquireInterruptedBySignalReturnsEintr) {
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 0, &h), OS_OK);
    EXPECT_EQ(locktest::call_while_signalled([&] { return os_proc_sema_acquire(h); }), EINTR);
    EXPECT_EQ(count(h), 0);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

// Rounds of 2 to 8 processes opening the semaphore (count 1) at once: a set whose
// users all ended, and every seventh round no set at all. The first opener resets
// or creates it and registers before another one looks, so no more than one ever
// holds the unit and the count is whole again when they have all ended.
TEST_F(ProcSema, ProcessesOpeningALeftBehindSetAtOnceNeverExceedItsCount) {
    locktest::Shared<Crowd> crowd;
    for (int round = 0; round < locktest::scaled(2000); ++round) {
        const int n = 2 + round % 7;
        if (n == 2) locktest::remove_ipc_under(name);
        const bool ok = crowd->run(n, [&] {
            SemaHandle h = -1;
            if (os_proc_sema_init(name.c_str(), 1, &h) != OS_OK) return 1;
            return crowd->hold(h);  // and no destroy: the set is left behind
        });
        const int id = set_id();
        ASSERT_TRUE(ok && crowd->most <= 1 && count(id) == 1 && users(id) == 0)
            << "round " << round << " of " << n << " processes: all ended well " << ok
            << ", most holders " << crowd->most << ", count " << count(id) << ", users "
            << users(id);
    }
}

// Processes that open, hold and destroy the semaphore over and over: a last user's
// removal never strands a process that has just opened it, so no call fails, no two
// hold the unit, and the last destroy leaves nothing behind.
TEST_F(ProcSema, LastUsersRemovingItWhileOthersOpenItNeverLetTwoHoldIt) {
    locktest::Shared<Crowd> crowd;
    EXPECT_TRUE(crowd->run(2, [&] {
        for (int i = 0; i < locktest::scaled(2000); ++i) {
            SemaHandle h = -1;
            if (os_proc_sema_init(name.c_str(), 1, &h) != OS_OK) return 1;
            if (const int rc = crowd->hold(h)) return rc;
            Crowd::jitter();
            if (os_proc_sema_destroy(h) != OS_OK) return 2;
            Crowd::jitter();
        }
        return 0;
    }));
    EXPECT_LE(crowd->most, 1);
    EXPECT_EQ(set_id(), -1);
}

TEST_F(ProcSema, AOneSemaphoreSetUnderTheKeyIsRemovedWithAMessage) {
    make_key_file();
    ASSERT_NE(::semget(key(), 1, IPC_CREAT | 0600), -1);
    SemaHandle h = -1;
    int rc = -1;
    EXPECT_EQ(locktest::printed_by([&] { return os_proc_sema_init(name.c_str(), 1, &h); }, &rc),
              "os_proc_sema_init semget failed szSemaName " + name + "  exe cmd ipcrm -S " +
                  std::to_string(key()) + "\n");
    EXPECT_EQ(rc, EINVAL);
    EXPECT_EQ(set_id(), -1) << "the command removed it, so the next init starts afresh";
}

// --------------------------------------------------------------- process mutex

using ProcMutexTest = KeyFileTest;

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
    EXPECT_EQ(os_proc_mutex_timedacquire(nullptr, 0), OS_ERR_PROC_MUTEX_NULL);
    EXPECT_EQ(os_proc_mutex_release(nullptr), OS_ERR_PROC_MUTEX_NULL);
    EXPECT_EQ(os_proc_mutex_destroy(nullptr), OS_ERR_PROC_MUTEX_NULL);
}

// Segments under the key that hold no usable mutex: a smaller one is an init
// failure; one that its maker, now ended, never initialised gets its mutex from the
// next init.
TEST_F(ProcMutexTest, ASegmentWithoutAMutexIsAnInitFailureOrGetsOne) {
    ProcMutexHandle h = reinterpret_cast<ProcMutexHandle>(0x1);
    make_key_file();
    ASSERT_NE(::shmget(key(), 8, IPC_CREAT | 0666), -1);
    EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_ERR_PROC_MUTEX_INIT);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(os_proc_mutex_init(dir.file("no/such").c_str(), &h), ENOENT);
    ::shmctl(segment(), IPC_RMID, nullptr);

    ASSERT_EQ(zutest::run_in_child(
                  [&] { return ::shmget(key(), sizeof(ProcMutex), IPC_CREAT | 0666) < 0; }),
              0);
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    EXPECT_EQ(h->shmid, segment());
    const ProcMutex zero{};  // the kernel's fill of a new segment
    EXPECT_NE(std::memcmp(h->pMutex, &zero, sizeof zero), 0) << "initialised";
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

// A lock result other than a time-out or a dead holder is passed on: here a mutex
// that a thread ended holding and whose recovery was released without making it
// consistent, as only code outside the library does.
TEST_F(ProcMutexTest, TimedAcquirePassesOnAnUnrecoverableMutex) {
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    std::thread([&] { ::pthread_mutex_lock(h->pMutex); }).join();
    EXPECT_EQ(::pthread_mutex_lock(h->pMutex), EOWNERDEAD);
    EXPECT_EQ(::pthread_mutex_unlock(h->pMutex), 0);
    EXPECT_EQ(os_proc_mutex_timedacquire(h, 0), ENOTRECOVERABLE);
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

}  // namespace
