// Process semaphore: the two-semaphore set under a key file, the user count and the
// removal by the last user, SEM_UNDO after a crash, the reset of a set left behind,
// processes opening and removing it at once, the clean-up of a foreign set under the
// key, and the timed acquire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/sem.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

using locktest::Pipe;
using namespace std::chrono_literals;

union semun {
    int val;
    struct semid_ds* buf;
};

// Processes started together, counting in memory shared with the parent how many of
// them hold a unit at once.
struct Crowd {
    std::atomic<int> now{0}, most{0};
    std::atomic<bool> go{false};

    // Runs body in n forked children that start together, each after a jitter of
    // its own; true when every one returned 0.
    template <class F>
    bool run(int n, F body) {
        go = false;
        std::vector<pid_t> kids;
        for (int i = 0; i < n; ++i) {
            kids.push_back(locktest::fork_child([&] {
                while (!go) ::sched_yield();
                jitter();
                return body();
            }));
        }
        go = true;
        bool ok = true;
        for (pid_t kid : kids) ok = locktest::reap(kid) && ok;
        return ok;
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

class ProcSema : public ::testing::Test {
protected:
    // Every set made under this test's key goes, whatever the test left.
    void TearDown() override { remove_set(); }
    void remove_set() const {
        if (key() != -1) ::semctl(::semget(key(), 0, 0), 0, IPC_RMID);
    }
    key_t key() const { return ::ftok(name.c_str(), 0); }
    bool set_exists() const { return ::semget(key(), 0, 0) != -1; }
    // A raw set of n semaphores under the key, as another program (or a creator
    // that has not finished) would leave it.
    int make_raw_set(int n, int mode) const {
        ::close(::open(name.c_str(), O_CREAT | O_RDONLY, 0600));
        return ::semget(key(), n, IPC_CREAT | IPC_EXCL | mode);
    }
    static int count(int id) { return ::semctl(id, 0, GETVAL); }
    // A child that opens the set, takes a unit, says so on `holding` and keeps it
    // until killed.
    pid_t holder(const Pipe& holding) const {
        return locktest::fork_child([&] {
            SemaHandle c = -1;
            if (os_proc_sema_init(name.c_str(), 1, &c) != OS_OK) return 1;
            if (os_proc_sema_acquire(c) != OS_OK) return 2;
            holding.notify();
            return ::pause();
        });
    }
    static int users(int id) { return ::semctl(id, 1, GETVAL); }
    static void set_val(int id, int num, int v) { ::semctl(id, num, SETVAL, semun{.val = v}); }

    zutest::TempDir dir;
    std::string name = dir.file("sema");
};

TEST_F(ProcSema, ANameMakesATwoSemaphoreSetThatTheLastUserRemoves) {
    SemaHandle a = -1, b = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 3, &a), OS_OK);
    struct semid_ds ds {};
    ASSERT_EQ(::semctl(a, 0, IPC_STAT, semun{.buf = &ds}), 0);
    EXPECT_EQ(ds.sem_nsems, 2u);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0777u);
    EXPECT_EQ(count(a), 3);
    EXPECT_EQ(users(a), 1);

    ASSERT_EQ(os_proc_sema_init(name.c_str(), 9, &b), OS_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(count(a), 3) << "a registered user keeps the count";
    EXPECT_EQ(users(a), 2);
    EXPECT_EQ(os_proc_sema_destroy(a), OS_OK);
    EXPECT_TRUE(set_exists());
    EXPECT_EQ(os_proc_sema_destroy(b), OS_OK);
    EXPECT_FALSE(set_exists());
    int rc = os_proc_sema_destroy(a);
    EXPECT_TRUE(rc == EINVAL || rc == EIDRM) << rc;

    EXPECT_EQ(os_proc_sema_init(name.c_str(), -1, &a), ERANGE);
    EXPECT_FALSE(set_exists()) << "the half-made set is removed";
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

TEST_F(ProcSema, HolderKilledGivesItsUnitAndRegistrationBack) {
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &h), OS_OK);
    Pipe holding;
    pid_t child = holder(holding);
    EXPECT_TRUE(holding.wait());
    EXPECT_EQ(os_proc_sema_tryacquire(h), OS_ERR_SEMA_BUSY);
    EXPECT_EQ(users(h), 2);
    locktest::reap(child, /*kill=*/true);
    EXPECT_EQ(count(h), 1);
    EXPECT_EQ(users(h), 1);
    EXPECT_EQ(os_proc_sema_tryacquire(h), OS_OK);
    EXPECT_EQ(os_proc_sema_release(h), OS_OK);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
    EXPECT_FALSE(set_exists());
}

// Blocking acquires from several processes at once; SEM_UNDO at their exit leaves
// the count and the user count as they were.
TEST_F(ProcSema, ProcessesIncrementingUnderItLoseNoUpdate) {
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &h), OS_OK);
    auto open = [&] {
        SemaHandle c = -1;
        os_proc_sema_init(name.c_str(), 1, &c);
        return c;
    };
    EXPECT_EQ(
        locktest::count_in_processes(4, 2000, open, os_proc_sema_acquire, os_proc_sema_release),
        4 * 2000);
    EXPECT_EQ(count(h), 1);
    EXPECT_EQ(users(h), 1);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

// A set nobody has open starts with the next opener's count: reset in place when
// its users all ended without destroy; replaced by a new set while the process that
// took its user count to 0 lives on (a last user that has not removed it yet), or
// when nobody ever registered in it.
TEST_F(ProcSema, ASetNobodyHasOpenStartsWithTheNextOpenersCount) {
    const struct {
        const char* left_by;
        std::function<int()> leave;  // makes the set and gives its identifier
        bool same_set;
    } cases[] = {
        {"users that ended without destroy",
         [&] {
             zutest::run_in_child([&] {
                 SemaHandle c = -1;
                 return os_proc_sema_init(name.c_str(), 7, &c) + os_proc_sema_acquire(c);
             });
             return ::semget(key(), 0, 0);
         },
         true},
        {"a live last user that has not removed it yet",
         [&] {
             SemaHandle id = -1;
             os_proc_sema_init(name.c_str(), 7, &id);
             struct sembuf leave = {1, -1, SEM_UNDO | IPC_NOWAIT};  // as destroy does
             ::semop(id, &leave, 1);
             return id;
         },
         false},
        {"another program, nobody registered",
         [&] {
             const int id = make_raw_set(2, 0777);
             set_val(id, 0, 7);
             return id;
         },
         false},
    };
    for (const auto& c : cases) {
        const int id = c.leave();
        ASSERT_NE(id, -1) << c.left_by;
        ASSERT_EQ(count(id), 7) << c.left_by;
        ASSERT_EQ(users(id), 0) << c.left_by;
        SemaHandle h = -1;
        ASSERT_EQ(os_proc_sema_init(name.c_str(), 5, &h), OS_OK) << c.left_by;
        EXPECT_EQ(h == id, c.same_set) << c.left_by;
        EXPECT_EQ(count(id) != -1, c.same_set) << c.left_by << ": a replaced set is gone";
        EXPECT_EQ(count(h), 5) << c.left_by;
        EXPECT_EQ(users(h), 1) << c.left_by;
        EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
    }
}

// Rounds of 2 to 8 processes opening the semaphore (count 1) at once: a set whose
// users all ended, and every seventh round no set at all. The first opener resets
// or creates it and registers before another one looks, so no more than one ever
// holds the unit and the count is whole again when they have all ended.
TEST_F(ProcSema, ProcessesOpeningALeftBehindSetAtOnceNeverExceedItsCount) {
    locktest::Shared<Crowd> crowd;
    for (int round = 0; round < locktest::scaled(2000); ++round) {
        const int n = 2 + round % 7;
        if (n == 2) remove_set();
        const bool ok = crowd->run(n, [&] {
            SemaHandle h = -1;
            if (os_proc_sema_init(name.c_str(), 1, &h) != OS_OK) return 1;
            return crowd->hold(h);  // and no destroy: the set is left behind
        });
        const int id = ::semget(key(), 0, 0);
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
    EXPECT_FALSE(set_exists());
}

TEST_F(ProcSema, AOneSemaphoreSetUnderTheKeyIsRemovedWithAMessage) {
    ASSERT_NE(make_raw_set(1, 0600), -1);
    SemaHandle h = -1;
    ::testing::internal::CaptureStdout();
    int rc = os_proc_sema_init(name.c_str(), 1, &h);
    ::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "os_proc_sema_init semget failed szSemaName " + name + "  exe cmd ipcrm -S " +
                  std::to_string(key()) + "\n");
    EXPECT_EQ(rc, EINVAL);
    EXPECT_FALSE(set_exists()) << "the command removed it, so the next init starts afresh";
}

// A unit another process holds until it is killed: the timed acquire fails after its
// time-out, never before, also while signals keep interrupting the wait.
TEST_F(ProcSema, TimedAcquireWaitsOutTheTimeOutWhileAnotherProcessHolds) {
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &h), OS_OK);
    Pipe holding;
    pid_t child = holder(holding);
    EXPECT_TRUE(holding.wait());
    locktest::expect_waits_out([&] { return os_proc_sema_timedacquire(h, 200); }, OS_ERR_SEMA_BUSY,
                               200ms);
    EXPECT_EQ(os_proc_sema_timedacquire(h, 0), OS_ERR_SEMA_BUSY);
    locktest::reap(child, /*kill=*/true);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

// The releasing process stays until the waiter is done: at its exit SEM_UNDO would
// take the released unit back.
TEST_F(ProcSema, TimedAcquireTakesAUnitReleasedDuringTheWait) {
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 0, &h), OS_OK);
    Pipe waiting, done;
    pid_t child = locktest::fork_child([&] {
        SemaHandle c = -1;
        if (os_proc_sema_init(name.c_str(), 0, &c) != OS_OK || !waiting.wait()) return 1;
        ::usleep(100 * 1000);
        if (os_proc_sema_release(c) != OS_OK) return 2;
        return done.wait() ? 0 : 3;
    });
    waiting.notify();
    auto t = locktest::timed([&] { return os_proc_sema_timedacquire(h, 10000); });
    done.notify();
    EXPECT_EQ(t.rc, OS_OK);
    EXPECT_LT(t.took, 10s);
    EXPECT_TRUE(locktest::reap(child));
    EXPECT_EQ(os_proc_sema_release(h), OS_OK);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

TEST_F(ProcSema, TimedAcquireTimeOutsAndARemovedSet) {
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &h), OS_OK);
    const struct {
        int32 ms;
        int rc;
        int count_after;
    } cases[] = {
        {-1, EINVAL, 1},  // refused before anything is taken
        {INT_MIN, EINVAL, 1},
        {0, OS_OK, 0},
        {0, OS_ERR_SEMA_BUSY, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(os_proc_sema_timedacquire(h, c.ms), c.rc) << c.ms;
        EXPECT_EQ(count(h), c.count_after) << c.ms;
    }
    EXPECT_EQ(os_proc_sema_release(h), OS_OK);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
    int rc = os_proc_sema_timedacquire(h, 0);
    EXPECT_TRUE(rc == EINVAL || rc == EIDRM) << rc;
}

}  // namespace
