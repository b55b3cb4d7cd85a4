// Process semaphore: the two-semaphore set under a key file, the user count and the
// removal by the last user, SEM_UNDO after a crash, the reset of a set left behind,
// the creator's window, and the clean-up of a foreign set under the key.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>

#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

using locktest::Pipe;
using zutest::TempDir;

union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

class ProcSema : public ::testing::Test {
protected:
    // Every set made under this test's key goes, whatever the test left.
    void TearDown() override {
        key_t k = key();
        if (k == -1) return;
        int id = ::semget(k, 0, 0);
        if (id != -1) ::semctl(id, 0, IPC_RMID);
    }
    key_t key() const { return ::ftok(name.c_str(), 0); }
    void touch() const { ::close(::open(name.c_str(), O_CREAT | O_RDONLY, 0600)); }
    bool set_exists() const { return ::semget(key(), 0, 0) != -1; }
    static int count(int id) { return ::semctl(id, 0, GETVAL); }
    static int users(int id) { return ::semctl(id, 1, GETVAL); }

    TempDir dir;
    std::string name = dir.file("sema");
};

TEST_F(ProcSema, NewNameMakesATwoSemaphoreSetThatTheLastUserRemoves) {
    SemaHandle a = -1, b = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 3, &a), OS_OK);
    struct stat st {};
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    struct semid_ds ds {};
    semun arg;
    arg.buf = &ds;
    ASSERT_EQ(::semctl(a, 0, IPC_STAT, arg), 0);
    EXPECT_EQ(ds.sem_nsems, 2u);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0777u);
    EXPECT_EQ(::semget(key(), 0, 0), a);
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
}

TEST_F(ProcSema, TryacquireIsBusyAndAcquireWaitsForAnotherProcess) {
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 0, &h), OS_OK);
    EXPECT_EQ(os_proc_sema_tryacquire(h), OS_ERR_SEMA_BUSY);
    Pipe done;
    locktest::Child child([&] {
        ::usleep(50 * 1000);
        int rc = os_proc_sema_release(h);
        done.wait();  // stay alive: SEM_UNDO takes the unit back at exit
        return rc;
    });
    EXPECT_EQ(os_proc_sema_acquire(h), OS_OK);
    done.notify();
    EXPECT_TRUE(child.exited_cleanly());
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

TEST_F(ProcSema, AcquireInterruptedBySignalReturnsEintr) {
    locktest::InterruptingSignal sig;
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 0, &h), OS_OK);
    std::atomic<int> rc{-1};
    std::thread waiter([&] { rc = os_proc_sema_acquire(h); });
    // Keep signalling until the wait ends: a signal sent before the thread blocks
    // would be missed otherwise.
    while (rc == -1) {
        ::pthread_kill(waiter.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    waiter.join();
    EXPECT_EQ(rc, EINTR);
    EXPECT_EQ(count(h), 0);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

TEST_F(ProcSema, HolderKilledGivesItsUnitAndRegistrationBack) {
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &h), OS_OK);
    Pipe holding;
    locktest::Child child([&] {
        SemaHandle c = -1;
        if (os_proc_sema_init(name.c_str(), 1, &c) != OS_OK) return 1;
        if (os_proc_sema_acquire(c) != OS_OK) return 2;
        holding.notify();
        ::pause();
        return 3;
    });
    ASSERT_TRUE(holding.wait());
    EXPECT_EQ(os_proc_sema_tryacquire(h), OS_ERR_SEMA_BUSY);
    EXPECT_EQ(users(h), 2);
    child.kill();
    EXPECT_EQ(count(h), 1);
    EXPECT_EQ(users(h), 1);
    EXPECT_EQ(os_proc_sema_tryacquire(h), OS_OK);
    EXPECT_EQ(os_proc_sema_release(h), OS_OK);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
    EXPECT_FALSE(set_exists());
}

TEST_F(ProcSema, ProcessesIncrementingUnderItLoseNoUpdate) {
    constexpr int kProcs = 4, kRounds = 2000;
    locktest::SharedCounter counter;
    ASSERT_TRUE(counter.ok());
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &h), OS_OK);
    std::deque<locktest::Child> kids;
    for (int p = 0; p < kProcs; ++p) {
        kids.emplace_back([&] {
            SemaHandle c = -1;
            if (os_proc_sema_init(name.c_str(), 1, &c) != OS_OK) return 1;
            for (int i = 0; i < kRounds; ++i) {
                if (os_proc_sema_acquire(c) != OS_OK) return 2;
                counter.bump();
                if (os_proc_sema_release(c) != OS_OK) return 3;
            }
            return os_proc_sema_destroy(c) == OS_OK ? 0 : 4;
        });
    }
    for (auto& child : kids) EXPECT_TRUE(child.exited_cleanly());
    EXPECT_EQ(counter.value(), long{kProcs} * kRounds);
    EXPECT_EQ(count(h), 1);
    EXPECT_EQ(users(h), 1);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
    EXPECT_FALSE(set_exists());
}

TEST_F(ProcSema, ASetLeftBehindStartsWithTheNextOpenersCount) {
    int st = zutest::run_in_child([&] {
        SemaHandle c = -1;
        return os_proc_sema_init(name.c_str(), 1, &c) == OS_OK ? 0 : 1;  // no destroy
    });
    ASSERT_EQ(st, 0);
    int id = ::semget(key(), 0, 0);
    ASSERT_NE(id, -1) << "the set stays after its users ended";
    EXPECT_EQ(users(id), 0);
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 5, &h), OS_OK);
    EXPECT_EQ(h, id);
    EXPECT_EQ(count(h), 5);
    EXPECT_EQ(users(h), 1);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

// The creator sets the values, then registers. An opener arriving in between must
// neither reset the count nor lose its own registration to the creator's SETVAL.
TEST_F(ProcSema, AnOpenerWaitsForACreatorStillAtWork) {
    touch();
    const key_t k = key();
    ASSERT_NE(k, -1);
    Pipe created, acquired, go;
    locktest::Child child([&] {
        int id = ::semget(k, 2, IPC_CREAT | IPC_EXCL | 0777);
        if (id == -1) return 1;
        created.notify();
        ::usleep(200 * 1000);  // the opener arrives now
        semun arg;
        arg.val = 0;
        ::semctl(id, 1, SETVAL, arg);
        arg.val = 4;
        ::semctl(id, 0, SETVAL, arg);
        struct sembuf reg = {1, +1, SEM_UNDO}, take = {0, -1, SEM_UNDO};
        if (::semop(id, &reg, 1) != 0 || ::semop(id, &take, 1) != 0) return 2;
        acquired.notify();
        go.wait();
        return 0;
    });
    ASSERT_TRUE(created.wait());
    SemaHandle h = -1;
    EXPECT_EQ(os_proc_sema_init(name.c_str(), 9, &h), OS_OK);
    ASSERT_TRUE(acquired.wait());
    EXPECT_EQ(count(h), 3) << "the creator's count, less its unit";
    EXPECT_EQ(users(h), 2) << "both registrations count";
    go.notify();
    EXPECT_TRUE(child.exited_cleanly());
    EXPECT_EQ(count(h), 4);
    EXPECT_EQ(users(h), 1);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
    EXPECT_FALSE(set_exists());
}

TEST_F(ProcSema, ASetNobodyEverRegisteredInIsResetAfterTheWait) {
    touch();
    int id = ::semget(key(), 2, IPC_CREAT | IPC_EXCL | 0777);
    ASSERT_NE(id, -1);
    semun arg;
    arg.val = 7;
    ASSERT_EQ(::semctl(id, 0, SETVAL, arg), 0);  // a creator that died before registering
    SemaHandle h = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 2, &h), OS_OK);
    EXPECT_EQ(h, id);
    EXPECT_EQ(count(h), 2);
    EXPECT_EQ(users(h), 1);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

TEST_F(ProcSema, AOneSemaphoreSetUnderTheKeyIsRemovedWithAMessage) {
    touch();
    const key_t k = key();
    ASSERT_NE(::semget(k, 1, IPC_CREAT | IPC_EXCL | 0600), -1);
    SemaHandle h = -1;
    ::testing::internal::CaptureStdout();
    int rc = os_proc_sema_init(name.c_str(), 1, &h);
    ::fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, EINVAL);
    EXPECT_EQ(out, "os_proc_sema_init semget failed szSemaName " + name + "  exe cmd ipcrm -S " +
                       std::to_string(k) + "\n");
    EXPECT_FALSE(set_exists()) << "the command removed it";
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &h), OS_OK) << "the next call starts afresh";
    EXPECT_EQ(users(h), 1);
    EXPECT_EQ(os_proc_sema_destroy(h), OS_OK);
}

TEST_F(ProcSema, BadArgumentsAndPathsReportErrno) {
    SemaHandle h = -1;
    EXPECT_EQ(os_proc_sema_init(name.c_str(), -1, &h), ERANGE);
    EXPECT_FALSE(set_exists()) << "the half-made set is removed";
    EXPECT_EQ(::access(name.c_str(), F_OK), 0) << "the key file stays";
    EXPECT_EQ(os_proc_sema_init(name.c_str(), 32768, &h), ERANGE);
    EXPECT_FALSE(set_exists());
    EXPECT_EQ(os_proc_sema_init(dir.file("no/such").c_str(), 1, &h), ENOENT);
    EXPECT_EQ(os_proc_sema_init(dir.path().c_str(), 1, &h), EISDIR);
}

}  // namespace
