// Process mutex: one robust, process-shared mutex per key in a segment of its own
// size; exclusion across processes, recovery after a holder's death, the removal
// mark of every destroy, and openers that never lock before the creator is done.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <deque>
#include <string>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace {

using locktest::Pipe;
using zutest::TempDir;

class ProcMutexTest : public ::testing::Test {
protected:
    // Whatever segment the test left under its key goes.
    void TearDown() override {
        key_t k = key();
        if (k == -1) return;
        int id = ::shmget(k, 0, 0);
        if (id != -1) ::shmctl(id, IPC_RMID, nullptr);
    }
    key_t key() const { return ::ftok(name.c_str(), 0); }
    void touch() const { ::close(::open(name.c_str(), O_CREAT | O_RDONLY, 0600)); }
    int segment() const { return ::shmget(key(), 0, 0); }
    static bool all_zero(const ProcMutex* m) {
        const auto* b = reinterpret_cast<const unsigned char*>(m);
        for (size_t i = 0; i < sizeof(ProcMutex); ++i)
            if (b[i] != 0) return false;
        return true;
    }

    TempDir dir;
    std::string name = dir.file("mutex");
};

TEST_F(ProcMutexTest, FirstInitMakesOneSharedMutexThatExcludesOtherProcesses) {
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(::access(name.c_str(), F_OK), 0) << "the key file is created";
    struct shmid_ds ds {};
    ASSERT_EQ(::shmctl(h->shmid, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, sizeof(ProcMutex));
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
    EXPECT_EQ(segment(), h->shmid);

    Pipe holding, go;
    locktest::Child child([&] {
        ProcMutexHandle c = nullptr;
        if (os_proc_mutex_init(name.c_str(), &c) != OS_OK) return 1;
        if (c->shmid != h->shmid) return 2;
        os_proc_mutex_acquire(c);
        holding.notify();
        go.wait();
        os_proc_mutex_release(c);
        return 0;
    });
    ASSERT_TRUE(holding.wait());
    EXPECT_EQ(::pthread_mutex_trylock(h->pMutex), EBUSY) << "held by the other process";
    go.notify();
    EXPECT_EQ(os_proc_mutex_acquire(h), OS_OK);
    EXPECT_EQ(os_proc_mutex_release(h), OS_OK);
    EXPECT_TRUE(child.exited_cleanly());
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
    EXPECT_EQ(segment(), -1) << "the last destroy leaves no segment";
}

TEST_F(ProcMutexTest, NullHandleIsReportedNotAsserted) {
    EXPECT_EQ(os_proc_mutex_acquire(nullptr), OS_ERR_PROC_MUTEX_NULL);
    EXPECT_EQ(os_proc_mutex_release(nullptr), OS_ERR_PROC_MUTEX_NULL);
    EXPECT_EQ(os_proc_mutex_destroy(nullptr), OS_ERR_PROC_MUTEX_NULL);
}

TEST_F(ProcMutexTest, ProcessesIncrementingUnderItLoseNoUpdate) {
    constexpr int kProcs = 4, kRounds = 2000;
    locktest::SharedCounter counter;
    ASSERT_TRUE(counter.ok());
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    std::deque<locktest::Child> kids;
    for (int p = 0; p < kProcs; ++p) {
        kids.emplace_back([&] {
            // No destroy here: it would mark the segment while the others use it.
            ProcMutexHandle c = nullptr;
            if (os_proc_mutex_init(name.c_str(), &c) != OS_OK) return 1;
            for (int i = 0; i < kRounds; ++i) {
                os_proc_mutex_acquire(c);
                counter.bump();
                os_proc_mutex_release(c);
            }
            return 0;
        });
    }
    for (auto& child : kids) EXPECT_TRUE(child.exited_cleanly());
    EXPECT_EQ(counter.value(), long{kProcs} * kRounds);
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

TEST_F(ProcMutexTest, AHolderKilledDoesNotHangTheOthers) {
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    for (int round = 0; round < 2; ++round) {  // recovered twice: it stays recoverable
        Pipe holding;
        locktest::Child child([&] {
            ProcMutexHandle c = nullptr;
            if (os_proc_mutex_init(name.c_str(), &c) != OS_OK) return 1;
            os_proc_mutex_acquire(c);
            holding.notify();
            ::pause();
            return 0;
        });
        ASSERT_TRUE(holding.wait());
        child.kill();
        EXPECT_EQ(os_proc_mutex_acquire(h), OS_OK);
        EXPECT_EQ(os_proc_mutex_release(h), OS_OK);
        EXPECT_EQ(::pthread_mutex_trylock(h->pMutex), 0) << "consistent again";
        EXPECT_EQ(::pthread_mutex_unlock(h->pMutex), 0);
    }
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

TEST_F(ProcMutexTest, DestroyMarksTheSegmentSoANewInitGetsANewMutex) {
    ProcMutexHandle a = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &a), OS_OK);
    const int old_id = a->shmid;
    Pipe attached, destroyed, holding, go;
    locktest::Child child([&] {
        ProcMutexHandle c = nullptr;
        if (os_proc_mutex_init(name.c_str(), &c) != OS_OK) return 1;
        attached.notify();
        destroyed.wait();
        os_proc_mutex_acquire(c);  // the old mutex still works for its users
        holding.notify();
        go.wait();
        os_proc_mutex_release(c);
        return os_proc_mutex_destroy(c) == OS_OK ? 0 : 2;
    });
    ASSERT_TRUE(attached.wait());
    EXPECT_EQ(os_proc_mutex_destroy(a), OS_OK);
    EXPECT_EQ(segment(), -1) << "marked: no longer found under the key";
    destroyed.notify();
    ASSERT_TRUE(holding.wait());

    ProcMutexHandle b = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &b), OS_OK);
    EXPECT_NE(b->shmid, old_id);
    EXPECT_EQ(::pthread_mutex_trylock(b->pMutex), 0) << "not excluded by the old mutex";
    EXPECT_EQ(::pthread_mutex_unlock(b->pMutex), 0);
    go.notify();
    EXPECT_TRUE(child.exited_cleanly());
    EXPECT_EQ(os_proc_mutex_destroy(b), OS_OK);
    struct shmid_ds ds {};
    EXPECT_EQ(::shmctl(old_id, IPC_STAT, &ds), -1) << "freed after its last detach";
}

TEST_F(ProcMutexTest, ASmallerSegmentUnderTheKeyIsAnInitFailure) {
    touch();
    int id = ::shmget(key(), 8, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(id, -1);
    ProcMutexHandle h = reinterpret_cast<ProcMutexHandle>(0x1);
    EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_ERR_PROC_MUTEX_INIT);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(os_proc_mutex_init(dir.file("no/such").c_str(), &h), ENOENT);
}

// A creator that attached but has not initialised yet: the opener's init returns
// only once the creator is done.
TEST_F(ProcMutexTest, AnOpenerWaitsForTheCreatorToInitialise) {
    touch();
    const key_t k = key();
    locktest::SharedCounter initialised;
    ASSERT_TRUE(initialised.ok());
    Pipe created, go;
    locktest::Child child([&] {
        int id = ::shmget(k, sizeof(ProcMutex), IPC_CREAT | IPC_EXCL | 0666);
        if (id == -1) return 1;
        void* p = ::shmat(id, nullptr, 0);
        if (p == reinterpret_cast<void*>(-1)) return 2;
        created.notify();
        ::usleep(200 * 1000);
        pthread_mutexattr_t attr;
        ::pthread_mutexattr_init(&attr);
        ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        initialised.bump();
        ::pthread_mutex_init(static_cast<pthread_mutex_t*>(p), &attr);
        go.wait();
        return 0;
    });
    ASSERT_TRUE(created.wait());
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    EXPECT_EQ(initialised.value(), 1);
    EXPECT_EQ(os_proc_mutex_acquire(h), OS_OK);
    EXPECT_EQ(os_proc_mutex_release(h), OS_OK);
    go.notify();
    EXPECT_TRUE(child.exited_cleanly());
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

TEST_F(ProcMutexTest, ASegmentWhoseCreatorDiedBeforeInitialisingIsReplaced) {
    touch();
    const key_t k = key();
    ASSERT_EQ(zutest::run_in_child([&] {
                  return ::shmget(k, sizeof(ProcMutex), IPC_CREAT | IPC_EXCL | 0666) == -1;
              }),
              0);
    ProcMutexHandle h = nullptr;
    EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_ERR_PROC_MUTEX_INIT);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(segment(), -1) << "marked for removal";
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    EXPECT_FALSE(all_zero(h->pMutex));
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

TEST_F(ProcMutexTest, AnUninitialisedSegmentOfThisProcessIsInitialisedHere) {
    touch();
    int id = ::shmget(key(), sizeof(ProcMutex), IPC_CREAT | IPC_EXCL | 0666);
    ASSERT_NE(id, -1);
    ProcMutexHandle h = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
    EXPECT_EQ(h->shmid, id);
    EXPECT_FALSE(all_zero(h->pMutex));
    EXPECT_EQ(os_proc_mutex_acquire(h), OS_OK);
    EXPECT_EQ(os_proc_mutex_release(h), OS_OK);
    EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
}

}  // namespace
