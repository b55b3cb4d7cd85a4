// Failure paths of the locks: allocation failures, a semaphore set whose
// initialisation fails, segments that cannot be made, attached or released; and
// processes stopped or ended half-way through setting up or removing a process
// semaphore or mutex. Each checks the result, that nothing is left allocated
// (LeakSanitizer in the asan build), open or in the system.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <functional>
#include <string>

#include "fault_injection.h"
#include "lock_test_util.h"
#include "os/os.h"
#include "os_internal.h"
#include "test_support.h"

FI_WRAP(int, pthread_mutex_init, EAGAIN, (pthread_mutex_t * m, const pthread_mutexattr_t* a),
        (m, a))
FI_WRAP(int, pthread_rwlock_init, EAGAIN, (pthread_rwlock_t * l, const pthread_rwlockattr_t* a),
        (l, a))
FI_WRAP(void*, shmat, reinterpret_cast<void*>(-1), (int id, const void* a, int f), (id, a, f))
FI_WRAP(int, shmctl, -1, (int id, int cmd, struct shmid_ds* b), (id, cmd, b))
FI_WRAP(int, shmdt, -1, (const void* a), (a))

// shmget is wrapped by the segment tests (fault_mem.cpp).
extern fi::Point fi_shmget;

// Hand-written, being variadic; the library's commands without an argument pass
// straight on. Only SETVAL calls count towards the armed failure, so a test names
// "the nth SETVAL". A process that sets fi_semctl_stop_at stops itself (SIGSTOP) on
// its first call of that command, before the call is made.
// FI_WRAP(int, semctl
fi::Point fi_semctl_setval;
int fi_semctl_stop_at = -1;
extern "C" int __real_semctl(int id, int num, int cmd, ...);
extern "C" int __wrap_semctl(int id, int num, int cmd, ...) {
    if (cmd == fi_semctl_stop_at) {
        fi_semctl_stop_at = -1;
        ::raise(SIGSTOP);
    }
    if (cmd == GETVAL || cmd == GETPID || cmd == IPC_RMID) return __real_semctl(id, num, cmd);
    va_list ap;
    va_start(ap, cmd);
    zu::semun arg = va_arg(ap, zu::semun);
    va_end(ap);
    if (cmd == SETVAL && fi_semctl_setval.hit()) {
        errno = fi_semctl_setval.err;
        return -1;
    }
    return __real_semctl(id, num, cmd, arg);
}

// Runs in the middle of a process mutex's initialisation, after its segment is made
// and attached and before the mutex is written, in a process that sets it.
// FI_WRAP(int, pthread_mutexattr_init
std::function<void()> fi_mutex_init_hook;
extern "C" int __real_pthread_mutexattr_init(pthread_mutexattr_t* a);
extern "C" int __wrap_pthread_mutexattr_init(pthread_mutexattr_t* a) {
    if (fi_mutex_init_hook) fi_mutex_init_hook();
    return __real_pthread_mutexattr_init(a);
}

namespace {

TEST(LockFault, AFailedThreadLockInitLeavesTheCallersHandleAlone) {
    MutexHandle m = reinterpret_cast<MutexHandle>(0x10);
    RwMutexHandle rw = reinterpret_cast<RwMutexHandle>(0x10);
    auto mutex = [&] { return os_mutex_init(&m); };
    auto rwmutex = [&] { return os_rwmutex_init(&rw); };
    EXPECT_EQ(fi::failing(fi_malloc, 1, ENOMEM, mutex), OS_ERR_NO_MEMORY);
    EXPECT_EQ(fi::failing(fi_pthread_mutex_init, 1, 0, mutex), EAGAIN);
    EXPECT_EQ(fi::failing(fi_malloc, 1, ENOMEM, rwmutex), OS_ERR_NO_MEMORY);
    EXPECT_EQ(fi::failing(fi_pthread_rwlock_init, 1, 0, rwmutex), EAGAIN);
    EXPECT_EQ(m, reinterpret_cast<MutexHandle>(0x10)) << "left as it was";
    EXPECT_EQ(rw, reinterpret_cast<RwMutexHandle>(0x10));
}

class IpcFault : public locktest::KeyFileTest {
protected:
    void TearDown() override {
        EXPECT_EQ(zutest::open_fd_count(), fds) << "no descriptor left open";
        EXPECT_EQ(set_id(), -1) << "no semaphore set left";
        EXPECT_EQ(segment(), -1) << "no segment left";
        KeyFileTest::TearDown();
    }
    void remove_segment() const { ::shmctl(segment(), IPC_RMID, nullptr); }

    int fds = zutest::open_fd_count();
};

TEST_F(IpcFault, AFailedSetvalRemovesTheHalfMadeSet) {
    for (int nth : {1, 2}) {  // the user count, then the count
        SemaHandle h = -1;
        fi::Armed a(fi_semctl_setval, nth, EIO);
        EXPECT_EQ(os_proc_sema_init(name.c_str(), 1, &h), EIO) << nth;
        EXPECT_EQ(a.calls(), nth);
        EXPECT_EQ(set_id(), -1) << nth;
    }
}

// Waits until the child has stopped itself.
bool stopped(pid_t pid) {
    int st = 0;
    int r;
    while ((r = ::waitpid(pid, &st, WUNTRACED)) == -1 && errno == EINTR) {
    }
    return r == pid && WIFSTOPPED(st);
}

// A last user stopped between taking the user count to 0 and removing the set, then
// going on after an opener came, or killed before: the opener never joins a set that
// is being removed, so the unit it takes is the only one.
TEST_F(IpcFault, AnOpenerNeverJoinsASetItsLastUserIsRemoving) {
    for (int resume : {SIGCONT, SIGKILL}) {
        pid_t last = locktest::fork_child([&] {
            SemaHandle h = -1;
            if (os_proc_sema_init(name.c_str(), 1, &h) != OS_OK) return 1;
            fi_semctl_stop_at = IPC_RMID;
            return os_proc_sema_destroy(h);
        });
        ASSERT_TRUE(stopped(last));
        if (resume == SIGKILL) locktest::reap(last, /*kill=*/true);
        SemaHandle a = -1, b = -1;
        ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &a), OS_OK);
        ASSERT_EQ(os_proc_sema_acquire(a), OS_OK);
        if (resume == SIGCONT) {
            ::kill(last, SIGCONT);
            EXPECT_TRUE(locktest::reap(last));
        }
        ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &b), OS_OK);
        EXPECT_EQ(a, b) << resume;
        EXPECT_EQ(os_proc_sema_tryacquire(b), OS_ERR_SEMA_BUSY) << "a second holder " << resume;
        EXPECT_EQ(os_proc_sema_release(a), OS_OK);
        EXPECT_EQ(os_proc_sema_destroy(a), OS_OK);
        EXPECT_EQ(os_proc_sema_destroy(b), OS_OK);
    }
}

// Two openers of a set left behind, the first stopped just before it resets the
// count: the second neither resets it again behind the first's back nor joins before
// the first has registered, so exactly one of them gets the unit.
TEST_F(IpcFault, OpenersOfASetLeftBehindResetItOnce) {
    ASSERT_EQ(zutest::run_in_child([&] {
                  SemaHandle c = -1;
                  return os_proc_sema_init(name.c_str(), 1, &c);  // and ends: left behind
              }),
              0);
    locktest::Pipe tried, done;
    auto opener = [&](bool stop) {
        return locktest::fork_child([&, stop] {
            SemaHandle h = -1;
            if (stop) fi_semctl_stop_at = SETVAL;
            if (os_proc_sema_init(name.c_str(), 1, &h) != OS_OK) return 2;
            const int rc = os_proc_sema_tryacquire(h);
            tried.notify();
            return done.wait() && rc == OS_OK ? 0 : 1;  // 0: it got the unit
        });
    };
    const pid_t first = opener(true);
    ASSERT_TRUE(stopped(first));
    const pid_t second = opener(false);
    ::usleep(100 * 1000);  // time enough for the second to get through, were it let
    ::kill(first, SIGCONT);
    EXPECT_TRUE(tried.wait() && tried.wait());
    EXPECT_TRUE(done.notify() && done.notify());
    EXPECT_EQ(locktest::reap(first) + locktest::reap(second), 1) << "holders of the one unit";
    locktest::remove_ipc_under(name);  // left behind by the openers
}

TEST_F(IpcFault, ProcMutexInitFailuresFreeTheRecord) {
    ProcMutexHandle h = nullptr;
    auto init = [&] { return os_proc_mutex_init(name.c_str(), &h); };
    EXPECT_EQ(fi::failing(fi_malloc, 1, ENOMEM, init), OS_ERR_NO_MEMORY);
    EXPECT_EQ(fi::failing(fi_shmget, 1, ENOSPC, init), OS_ERR_PROC_MUTEX_INIT);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(fi::failing(fi_shmat, 1, ENOMEM, init), OS_ERR_PROC_MUTEX_INIT);
    EXPECT_EQ(h, nullptr);
    struct shmid_ds ds {};
    ASSERT_EQ(::shmctl(segment(), IPC_STAT, &ds), 0) << "the segment made stays";
    EXPECT_EQ(ds.shm_nattch, 0u);
    remove_segment();

    // An opener whose reopen fails.
    ProcMutexHandle first = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &first), OS_OK);
    EXPECT_EQ(fi::failing(fi_shmget, 2, ENOMEM, init), OS_ERR_PROC_MUTEX_INIT);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(os_proc_mutex_destroy(first), OS_OK);
}

TEST_F(IpcFault, ProcMutexDestroyFailuresStillFreeTheRecord) {
    // IPC_STAT, then IPC_RMID, then shmdt fail in turn.
    for (auto [point, nth] : {std::pair{&fi_shmctl, 1}, {&fi_shmctl, 2}, {&fi_shmdt, 1}}) {
        ProcMutexHandle h = nullptr;
        ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
        void* addr = h->pMutex;
        EXPECT_EQ(fi::failing(*point, nth, EIO, [&] { return os_proc_mutex_destroy(h); }),
                  OS_ERR_PROC_MUTEX_DESTROY);
        ::shmdt(addr);  // the failed destroy left it attached
        remove_segment();
    }
}

// A process-mutex creator that ends half-way, after making the segment and before
// writing the mutex, whatever becomes of its pid (a zombie not yet collected, or a
// process now running another program), is taken over by the next init. One that is
// only stopped has not ended and is not overtaken: the init gives up after its wait,
// and succeeds once the creator has gone on.
TEST_F(IpcFault, AProcMutexCreatorIsTakenOverOnceItHasEnded) {
    const struct {
        const char* creator;
        void (*act)();
        int rc;
    } cases[] = {
        {"killed, a zombie", [] { ::raise(SIGKILL); }, OS_OK},
        {"running another program", [] { ::execl("/bin/sleep", "sleep", "60", nullptr); }, OS_OK},
        {"stopped", [] { ::raise(SIGSTOP); }, OS_ERR_PROC_MUTEX_INIT},
    };
    for (const auto& c : cases) {
        locktest::Pipe reached;
        // The creator keeps its record to the end, reachable through its copy of h.
        ProcMutexHandle h = nullptr;
        const pid_t creator = locktest::fork_child([&] {
            fi_mutex_init_hook = [&] {
                reached.notify();
                c.act();
            };
            return os_proc_mutex_init(name.c_str(), &h);
        });
        ASSERT_TRUE(reached.wait()) << c.creator;
        EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), c.rc) << c.creator;
        if (c.rc != OS_OK) {
            ::kill(creator, SIGCONT);
            EXPECT_TRUE(locktest::reap(creator)) << c.creator;
            ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK) << c.creator;
        } else {
            locktest::reap(creator, /*kill=*/true);
        }
        EXPECT_EQ(os_proc_mutex_acquire(h), OS_OK);
        EXPECT_EQ(os_proc_mutex_release(h), OS_OK);
        EXPECT_EQ(os_proc_mutex_destroy(h), OS_OK);
        remove_segment();  // were the destroy to fail, the next case starts clean all the same
    }
}

}  // namespace
