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

FI_WRAP(int, semget, -1, (key_t k, int n, int f), (k, n, f))
FI_WRAP(int, semop, -1, (int id, struct sembuf* b, size_t n), (id, b, n))
FI_WRAP(int, kill, -1, (pid_t pid, int sig), (pid, sig))
FI_WRAP(int, flock, -1, (int fd, int op), (fd, op))

// shmget and ftok are wrapped by the segment tests (fault_mem.cpp), clock_gettime by
// the event tests.
extern fi::Point fi_shmget;
extern fi::Point fi_ftok;
extern fi::Point fi_clock_gettime;

// Hand-written, being variadic. Only calls of the command fi_semctl_cmd count towards
// the armed failure; with fi_semctl_sticky every later one fails too. A process that
// sets fi_semctl_stop_at stops itself (SIGSTOP) on its first call of that command,
// before the call is made.
// FI_WRAP(int, semctl
fi::Point fi_semctl;
int fi_semctl_cmd = -1;
bool fi_semctl_sticky = false;
int fi_semctl_stop_at = -1;
extern "C" int __real_semctl(int id, int num, int cmd, ...);
extern "C" int __wrap_semctl(int id, int num, int cmd, ...) {
    if (cmd == fi_semctl_stop_at) {
        fi_semctl_stop_at = -1;
        ::raise(SIGSTOP);
    }
    if (cmd == fi_semctl_cmd && fi_semctl.hit()) {
        if (fi_semctl_sticky) fi_semctl.fail_at = fi_semctl.calls + 1;
        errno = fi_semctl.err;
        return -1;
    }
    if (cmd == GETVAL || cmd == GETPID || cmd == IPC_RMID) return __real_semctl(id, num, cmd);
    va_list ap;
    va_start(ap, cmd);
    zu::semun arg = va_arg(ap, zu::semun);
    va_end(ap);
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

// What an init finds under the key: nothing; a set this process has open; one that
// nobody has open, its last user (this process) living on; one another program made,
// nobody ever registered; one whose users all ended, one of them holding a unit.
enum class Before { kNothing, kInUse, kNobody, kForeign, kLeftBehind };

// A failure injected into the nth call through `point` (for semctl, of command cmd;
// sticky: that call and every later one).
struct Fault {
    fi::Point* point;
    long nth;
    int err;
    int cmd = -1;
    bool sticky = false;
};
fi::Point no_fault;  // armed, but nothing calls it

// Arms a fault for the scope.
fi::Armed arm(const Fault& f) {
    fi_semctl_cmd = f.cmd;
    fi_semctl_sticky = f.sticky;
    return {*f.point, f.nth, f.err};
}

class SemaFault : public IpcFault {
protected:
    // Makes `before` under the key, its one unit free: the set's identifier, or -1.
    int prepare(Before before) const {
        SemaHandle h = -1;
        if (before == Before::kLeftBehind) {
            zutest::run_in_child(
                [&] { return os_proc_sema_init(name.c_str(), 1, &h) + os_proc_sema_acquire(h); });
            return set_id();
        }
        if (before == Before::kForeign) {
            make_key_file();
            h = ::semget(key(), OS_PROC_SEMA_NSEMS, IPC_CREAT | 0777);
            ::semctl(h, OS_PROC_SEMA_COUNT, SETVAL, zu::semun{.val = 1});
        } else if (before != Before::kNothing) {
            os_proc_sema_init(name.c_str(), 1, &h);
        }
        struct sembuf leave = {OS_PROC_SEMA_USERS, -1, SEM_UNDO | IPC_NOWAIT};  // as destroy
        if (before == Before::kNobody) ::semop(h, &leave, 1);
        return h;
    }
};

// An init joins a set in use; resets one nobody has open in place when nobody can
// still remove it (its users ended, or its removal is refused), and replaces it
// otherwise (a last user living on or that cannot be signalled, another program's);
// looks up a set that vanished before the join again, up to three times; and gives
// the errno of a step that fails, removing a set it made itself.
TEST_F(SemaFault, AnInitGivesAUsableSetOrTheErrnoOfTheStepThatFailed) {
    const struct {
        Before before;
        Fault fault;
        int rc;
        bool same = false;  // the set found, not a new one
    } cases[] = {
        {Before::kLeftBehind, {&no_fault, 1, 0}, OS_OK, true},
        {Before::kNobody, {&no_fault, 1, 0}, OS_OK},
        {Before::kForeign, {&no_fault, 1, 0}, OS_OK},
        {Before::kInUse, {&fi_semop, 1, EIDRM}, OS_OK, true},
        {Before::kInUse, {&fi_semop, 1, EINVAL}, OS_OK, true},
        {Before::kNobody, {&fi_semctl, 1, EPERM, IPC_RMID}, OS_OK, true},
        {Before::kNobody, {&fi_semctl, 1, EIDRM, IPC_RMID}, OS_OK},
        {Before::kLeftBehind, {&fi_kill, 1, EPERM}, OS_OK},
        {Before::kNobody, {&fi_semctl, 1, EINVAL, IPC_RMID, true}, EIDRM},
        {Before::kNothing, {&fi_ftok, 1, ENOENT}, ENOENT},
        {Before::kNothing, {&fi_flock, 1, ENOLCK}, ENOLCK},
        {Before::kNothing, {&fi_semget, 1, ENOSPC}, ENOSPC},
        {Before::kNothing, {&fi_semctl, 1, EIO, SETVAL}, EIO},  // the user count
        {Before::kNothing, {&fi_semctl, 2, EIO, SETVAL}, EIO},  // the count
        {Before::kInUse, {&fi_semget, 2, ENOMEM}, ENOMEM},
        {Before::kInUse, {&fi_semop, 1, ENOMEM}, ENOMEM},
        {Before::kLeftBehind, {&fi_semctl, 1, EIO, SETVAL}, EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(c.before) << " " << c.fault.err);
        const int id = prepare(c.before);
        if (c.before != Before::kNothing) {
            EXPECT_EQ(count(id), 1) << "a holder's unit comes back at its end";
        }
        if (c.before != Before::kNothing && c.before != Before::kInUse) {
            EXPECT_EQ(os_proc_sema_destroy(id), EAGAIN) << "nobody is registered to leave";
        }
        SemaHandle h = -1;
        const int rc = [&] {
            const auto armed = arm(c.fault);
            return os_proc_sema_init(name.c_str(), 5, &h);
        }();
        EXPECT_EQ(rc, c.rc);
        if (rc == OS_OK) {
            EXPECT_EQ(h == id, c.same);
            EXPECT_EQ(count(id) != -1, c.same) << "a replaced set is gone";
            EXPECT_EQ(count(h), c.before == Before::kInUse ? 1 : 5);
            EXPECT_EQ(users(h), c.before == Before::kInUse ? 2 : 1);
        } else if (c.before == Before::kNothing) {
            EXPECT_EQ(set_id(), -1) << "a set made here is removed";
        }
        locktest::remove_ipc_under(name);
    }
}

// Destroy leaves again while the user count moves between its two tries, and passes
// on any other failure.
TEST_F(SemaFault, SemaDestroyStartsOverOnlyWhileTheUserCountMoves) {
    SemaHandle a = -1, b = -1;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &a), OS_OK);
    EXPECT_EQ(fi::failing(fi_semop, 1, EAGAIN, [&] { return os_proc_sema_destroy(a); }), OS_OK);
    EXPECT_EQ(set_id(), -1) << "the second round removed it";
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &a), OS_OK);
    {
        const auto user_count = arm({&fi_semctl, 1, EIO, GETVAL});
        EXPECT_EQ(fi::failing(fi_semop, 1, EAGAIN, [&] { return os_proc_sema_destroy(a); }), EIO);
    }
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 1, &b), OS_OK);
    EXPECT_EQ(fi::failing(fi_semop, 2, EIDRM, [&] { return os_proc_sema_destroy(a); }), EIDRM);
    locktest::remove_ipc_under(name);
}

// The deadline needs the clock: a timed acquire that cannot read it gives errno, also
// when it reads it again after a signal.
TEST_F(IpcFault, ATimedAcquireThatCannotReadTheClockGivesErrno) {
    SemaHandle s = -1;
    ProcMutexHandle m = nullptr;
    ASSERT_EQ(os_proc_sema_init(name.c_str(), 0, &s), OS_OK);
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &m), OS_OK);
    auto sema = [&] { return os_proc_sema_timedacquire(s, 10000); };
    EXPECT_EQ(fi::failing(fi_clock_gettime, 1, EINVAL, sema), EINVAL);
    EXPECT_EQ(
        fi::failing(fi_clock_gettime, 1, EINVAL, [&] { return os_proc_mutex_timedacquire(m, 0); }),
        EINVAL);
    EXPECT_EQ(fi::failing(fi_clock_gettime, 2, EINVAL,
                          [&] { return locktest::call_while_signalled(sema); }),
              EINVAL);
    EXPECT_EQ(os_proc_sema_destroy(s), OS_OK);
    EXPECT_EQ(os_proc_mutex_destroy(m), OS_OK);
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
    const struct {
        fi::Point* point;
        int err, rc;
    } steps[] = {
        {&fi_malloc, ENOMEM, OS_ERR_NO_MEMORY},      {&fi_ftok, ENOENT, OS_ERR_PROC_MUTEX_INIT},
        {&fi_flock, ENOLCK, OS_ERR_PROC_MUTEX_INIT}, {&fi_shmget, ENOSPC, OS_ERR_PROC_MUTEX_INIT},
        {&fi_shmat, ENOMEM, OS_ERR_PROC_MUTEX_INIT},  // the last: its segment stays
    };
    for (const auto& s : steps) {
        h = reinterpret_cast<ProcMutexHandle>(0x1);
        EXPECT_EQ(fi::failing(*s.point, 1, s.err, init), s.rc) << s.err;
        EXPECT_EQ(h, nullptr) << s.err;
    }
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
