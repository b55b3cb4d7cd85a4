// os_lock.cpp - thread locks, the process semaphore and the process mutex.
// Thread locks are the platform's pthread objects; the library adds allocation and
// result codes, no locking of its own. The process semaphore (a System V set of two
// semaphores) and the process mutex (a robust pthread mutex in a System V segment)
// are found through a key file; both outlive the processes that use them until the
// last os_proc_sema_destroy, or until a segment marked by os_proc_mutex_destroy loses
// its last attachment. Key files are never removed. Setting either object up is the
// one place that takes a lock of the library's own: an flock on the key file, held
// only while one init runs, so that processes opening the same name at once cannot
// interleave their steps.
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include "os_internal.h"

#if defined(__SANITIZE_THREAD__)
#define ZU_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZU_TSAN 1
#endif
#endif
#ifndef ZU_TSAN
#define ZU_TSAN 0
#endif
#if ZU_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// ---------------------------------------------------------------------------
// Process semaphore
// ---------------------------------------------------------------------------

constexpr unsigned short kCount = OS_PROC_SEMA_COUNT;  // the semaphore proper
constexpr unsigned short kUsers = OS_PROC_SEMA_USERS;  // processes that have the set open
constexpr int kSetMode = 0777;

// Who resets a set nobody has open, and who removes one.
//
// Every init runs under the key-file lock, so openers never interleave: the creator
// sets both values and registers before the next opener looks, and an opener that
// finds the user count at 0 resets the count and registers before any other opener
// reads it. Destroy gets only the set identifier, not the key file, so it cannot take
// the lock. So a plain registration (+1) is made only under the lock, in a set that
// this call created or that nobody can be removing (below), and every other change
// of the user count decides about 0 atomically, as a pair of operations applied
// together or not at all (semop):
// - An opener joins a set in use with {-1, +2}: the -1 fails (IPC_NOWAIT) at 0, so
//   it never registers into a set that its last user is removing.
// - A destroyer leaves with {-1, wait for 0}, which succeeds only for the call that
//   takes the count from 1 to 0; that call alone removes the set. Any other leaves
//   with {-2, +1}, which succeeds only while another user remains.
// So a set reaches 0 by one destroyer's hand or by the undo of ending processes,
// and the kernel records which process it was: GETPID on the user count names the
// last process that changed it (by an operation, by SETVAL or by its undo at exit).
// An opener that finds 0 asks whether that process has ended. If it has, nobody is
// removing the set: its users ended without destroy, or a creator or destroyer died
// half-way, and the opener resets the count and registers in the same set.
// Otherwise (the last user is removing it, or is stopped before doing so, or its
// pid was reused or lies in another pid namespace) the opener removes the set
// itself and creates a new one; the destroyer's own removal of the old identifier
// then fails harmlessly. No set that someone may still remove is ever reused, and no
// extra object is left behind.

// How often one init starts again after the set it found vanished or was replaced;
// under the key-file lock only a program outside the library can interfere, so the
// second attempt is normally the last.
constexpr int kInitAttempts = 3;
// open_set's result when the set is gone and the init must start again.
constexpr int kStartAgain = -1;

int sem_apply(int id, unsigned short num, short op, short flags) noexcept {
    struct sembuf b = {num, op, flags};
    return ::semop(id, &b, 1);
}

int sem_set(int id, unsigned short num, int value) noexcept {
    zu::semun arg;
    arg.val = value;
    return ::semctl(id, num, SETVAL, arg);
}

int sem_get(int id, unsigned short num) noexcept {
    return ::semctl(id, num, GETVAL);
}

// Two operations on the user count, applied together or not at all.
int users_apply(int id, short op1, short flags1, short op2, short flags2) noexcept {
    struct sembuf b[2] = {{kUsers, op1, flags1}, {kUsers, op2, flags2}};
    return ::semop(id, b, 2);
}

int register_user(int id) noexcept {
    return sem_apply(id, kUsers, +1, SEM_UNDO);
}

// +1, only while somebody has the set open (EAGAIN at 0).
int join_set_in_use(int id) noexcept {
    return users_apply(id, -1, SEM_UNDO | IPC_NOWAIT, +2, SEM_UNDO);
}

// -1, only for the last user (EAGAIN otherwise).
int leave_as_last(int id) noexcept {
    return users_apply(id, -1, SEM_UNDO | IPC_NOWAIT, 0, IPC_NOWAIT);
}

// -1, only while another user remains (EAGAIN otherwise).
int leave_not_last(int id) noexcept {
    return users_apply(id, -2, SEM_UNDO | IPC_NOWAIT, +1, SEM_UNDO);
}

// A set this call created: both values, then the registration. A half-made set is
// removed; one that is fully set up stays even if the registration fails.
int make_set(int id, int nInitCount) noexcept {
    zu::ScopeExit unmake([id] { (void)::semctl(id, 0, IPC_RMID); });
    if (sem_set(id, kUsers, 0) == -1) return errno;
    if (sem_set(id, kCount, nInitCount) == -1) return errno;
    unmake.dismiss();
    return zu::status_of(register_user(id));
}

// True when the process that last changed the user count has ended, so that nobody
// is about to remove the set.
bool last_user_gone(int id) noexcept {
    const pid_t last = ::semctl(id, kUsers, GETPID);
    return last > 0 && ::kill(last, 0) == -1 && errno == ESRCH;
}

// Registers in a set that already exists: OS_OK, errno, or kStartAgain when the set
// is gone (removed by its last user, or here to be replaced).
int open_set(int id, int nInitCount) noexcept {
    if (join_set_in_use(id) == 0) return OS_OK;
    const int err = errno;
    if (err == EIDRM || err == EINVAL) return kStartAgain;
    if (err != EAGAIN) return err;
    // Nobody has it open.
    if (!last_user_gone(id)) {
        if (::semctl(id, 0, IPC_RMID) == 0 || errno != EPERM) return kStartAgain;
        // Someone else's set, which this process may not remove: reset it in place,
        // as before. A last user with the right to remove it does so right after
        // taking the count to 0, so only one stopped in between could still do it.
    }
    // Left behind: the count starts afresh.
    if (sem_set(id, kCount, nInitCount) == -1) return errno;
    return zu::status_of(register_user(id));
}

// A set under the key with fewer than two semaphores is not ours to use: remove it
// so that the next init creates a proper one.
void remove_foreign_set(const char* szSemaName, key_t key) noexcept {
    const zu::IpcrmCommand cmd('S', key);
    zu::say("os_proc_sema_init semget failed szSemaName %s  exe cmd %s\n", szSemaName, cmd.text());
    cmd.run();
}

// ---------------------------------------------------------------------------
// Process mutex
// ---------------------------------------------------------------------------

// How long an init waits for another one on the same name, in 1 ms steps: whoever
// initialises a mutex holds the key-file lock until it is done, and a creator still
// at it after this long (stopped, say) is not overtaken.
constexpr int kMutexInitWaitSteps = 1000;

// The kernel hands out a new segment filled with zero bytes, and a pthread mutex
// initialised for sharing between processes is never all zeros (its kind records
// the shared and robust attributes, and glibc stores the kind last). So a mutex
// that still is all zeros was never initialised. Acquire loads pair with the
// initialiser's stores through the shared page.
bool mutex_looks_initialised(const ProcMutex* pMutex) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(pMutex);
    for (size_t i = 0; i < sizeof(ProcMutex); ++i) {
        if (__atomic_load_n(bytes + i, __ATOMIC_ACQUIRE) != 0) return true;
    }
    return false;
}

// Robust, so that a holder that dies does not hang the other processes. The
// results are not examined: a failure shows in the lock calls.
void init_shared_mutex(ProcMutexInfo* rec) noexcept {
    (void)::pthread_mutexattr_init(&rec->attr);
    (void)::pthread_mutexattr_setpshared(&rec->attr, PTHREAD_PROCESS_SHARED);
    (void)::pthread_mutexattr_setrobust(&rec->attr, PTHREAD_MUTEX_ROBUST);
    (void)::pthread_mutex_init(rec->pMutex, &rec->attr);
}

// The record is zero-filled at allocation and only the process that initialises
// the mutex initialises attr, after which the process-shared flag makes it non-zero.
bool attr_initialised(const pthread_mutexattr_t& attr) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&attr);
    for (size_t i = 0; i < sizeof attr; ++i) {
        if (bytes[i] != 0) return true;
    }
    return false;
}

// The result of a lock call once a dead holder is dealt with. EOWNERDEAD: the previous
// holder died holding it, and the data it guarded may be half-updated, but the lock is
// ours now, so mark it usable again instead of failing everyone after us (0). Any
// other result is passed on.
int settle_lock(ProcMutex* pMutex, int rc) noexcept {
    if (rc != EOWNERDEAD) return rc;
    (void)::pthread_mutex_consistent(pMutex);
    return 0;
}

// pthread_mutex_clocklock with its result as a lock call gives it. ThreadSanitizer
// (of gcc 12 and clang 14) does not intercept it, so in such a build the lock is
// announced by hand; otherwise a later unlock would be reported as one of an
// unlocked mutex.
int clocklock(ProcMutex* pMutex, const timespec& at) noexcept {
#if ZU_TSAN
    __tsan_mutex_pre_lock(pMutex, __tsan_mutex_try_lock);
    const int rc = ::pthread_mutex_clocklock(pMutex, CLOCK_MONOTONIC, &at);
    const bool held = rc == 0 || rc == EOWNERDEAD;
    __tsan_mutex_post_lock(pMutex,
                           __tsan_mutex_try_lock | (held ? 0 : __tsan_mutex_try_lock_failed), 0);
    return rc;
#else
    return ::pthread_mutex_clocklock(pMutex, CLOCK_MONOTONIC, &at);
#endif
}

}  // namespace

// ---------------------------------------------------------------------------
// Thread locks
// ---------------------------------------------------------------------------

namespace {

// Both heap locks: allocate, initialise with default attributes, and hand the object
// to the caller only when that succeeded; the caller's variable is untouched otherwise.
template <class T, class Attr>
int heap_init(T** pHandle, int (*init)(T*, const Attr*) noexcept) noexcept {
    zu::MallocPtr<T> obj(static_cast<T*>(::malloc(sizeof(T))));
    if (!obj) return OS_ERR_NO_MEMORY;
    int rc = init(obj.get(), nullptr);
    if (rc != 0) return rc;
    *pHandle = obj.release();
    return OS_OK;
}

}  // namespace

int32 os_spinlock_init(SPINLOCK* pSpinLock) {
    return ::pthread_spin_init(pSpinLock, PTHREAD_PROCESS_PRIVATE);
}

int32 os_spinlock_destroy(SPINLOCK* pSpinLock) {
    return ::pthread_spin_destroy(pSpinLock);
}

int32 os_spinlock_acquire(SPINLOCK* pSpinLock) {
    return ::pthread_spin_lock(pSpinLock);
}

int32 os_spinlock_release(SPINLOCK* pSpinLock) {
    return ::pthread_spin_unlock(pSpinLock);
}

int os_mutex_init(MutexHandle* pMutexHandle) {
    return heap_init(pMutexHandle, ::pthread_mutex_init);
}

void os_mutex_destroy(MutexHandle hMutex) {
    ZU_ASSERT(hMutex != nullptr);
    (void)::pthread_mutex_destroy(hMutex);
    ::free(hMutex);
}

int os_mutex_acquire(MutexHandle hMutex) {
    ZU_ASSERT(hMutex != nullptr);
    return ::pthread_mutex_lock(hMutex);
}

int os_mutex_release(MutexHandle hMutex) {
    ZU_ASSERT(hMutex != nullptr);
    return ::pthread_mutex_unlock(hMutex);
}

int os_rwmutex_init(RwMutexHandle* pRwMutexHandle) {
    return heap_init(pRwMutexHandle, ::pthread_rwlock_init);
}

void os_rwmutex_destroy(RwMutexHandle hRwMutex) {
    ZU_ASSERT(hRwMutex != nullptr);
    (void)::pthread_rwlock_destroy(hRwMutex);
    ::free(hRwMutex);
}

int os_rwmutex_acquire_read(RwMutexHandle hRwMutex) {
    ZU_ASSERT(hRwMutex != nullptr);
    return zu::ok_or(::pthread_rwlock_rdlock(hRwMutex), OS_ERR_RWLOCK_READ);
}

int os_rwmutex_acquire_write(RwMutexHandle hRwMutex) {
    ZU_ASSERT(hRwMutex != nullptr);
    return zu::ok_or(::pthread_rwlock_wrlock(hRwMutex), OS_ERR_RWLOCK_WRITE);
}

int os_rwmutex_release(RwMutexHandle hRwMutex) {
    ZU_ASSERT(hRwMutex != nullptr);
    return ::pthread_rwlock_unlock(hRwMutex);
}

// ---------------------------------------------------------------------------
// Process semaphore
// ---------------------------------------------------------------------------

int os_proc_sema_init(const char* szSemaName, int nInitCount, SemaHandle* pSemaHandle) {
    ZU_ASSERT(pSemaHandle != nullptr);
    zu::KeyFile keyfile;
    int rc = keyfile.open(szSemaName);
    if (rc != OS_OK) return rc;
    const key_t key = keyfile.key();
    if (key == -1) return errno;
    if ((rc = keyfile.lock()) != OS_OK) return rc;

    for (int attempt = 1;; ++attempt) {
        // The exclusive create decides who initialises the set.
        int id = ::semget(key, OS_PROC_SEMA_NSEMS, IPC_CREAT | IPC_EXCL | kSetMode);
        *pSemaHandle = id;
        if (id != -1) return make_set(id, nInitCount);
        if (errno != EEXIST) return errno;
        id = ::semget(key, OS_PROC_SEMA_NSEMS, IPC_CREAT | kSetMode);
        *pSemaHandle = id;
        if (id == -1) {
            const int err = errno;
            if (err == EINVAL) remove_foreign_set(szSemaName, key);
            return err;
        }
        rc = open_set(id, nInitCount);
        if (rc != kStartAgain) return rc;
        if (attempt == kInitAttempts) return EIDRM;
    }
}

int os_proc_sema_destroy(SemaHandle hSema) {
    // Each attempt fails only when the user count moved between the two (another
    // user came or went); the loop ends once it is seen at 0, with nothing left to
    // unregister.
    for (;;) {
        if (leave_as_last(hSema) == 0) {
            // A set this process may not remove stays; one an opener has already
            // replaced is gone. Either way the result does not matter.
            (void)::semctl(hSema, 0, IPC_RMID);
            return OS_OK;
        }
        if (errno != EAGAIN) return errno;
        if (leave_not_last(hSema) == 0) return OS_OK;
        if (errno != EAGAIN) return errno;
        const int users = sem_get(hSema, kUsers);
        if (users == 0) return EAGAIN;
        if (users == -1) return errno;
    }
}

int os_proc_sema_acquire(SemaHandle hSema) {
    // EINTR is the caller's to handle: no retry.
    return zu::status_of(sem_apply(hSema, kCount, -1, SEM_UNDO));
}

int os_proc_sema_release(SemaHandle hSema) {
    return zu::status_of(sem_apply(hSema, kCount, +1, SEM_UNDO));
}

int os_proc_sema_tryacquire(SemaHandle hSema) {
    return zu::status_as(sem_apply(hSema, kCount, -1, SEM_UNDO | IPC_NOWAIT), EAGAIN,
                         OS_ERR_SEMA_BUSY);
}

int os_proc_sema_timedacquire(SemaHandle hSema, int32 nMSecTimeout) {
    if (nMSecTimeout < 0) return EINVAL;
    // semtimedop counts its time-out afresh on every call, so the deadline is fixed
    // once here and a wait resumed after a signal gets only what remains of it: the
    // whole wait is never shorter than asked, and signals do not stretch it either.
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return errno;
    const timespec at = zu::after_msec(now, nMSecTimeout);
    timespec left = zu::time_left(at, now);
    struct sembuf b = {kCount, -1, SEM_UNDO};
    while (::semtimedop(hSema, &b, 1, &left) == -1) {
        const int err = zu::errno_as(EAGAIN, OS_ERR_SEMA_BUSY);
        if (err != EINTR) return err;
        if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return errno;
        left = zu::time_left(at, now);  // {0, 0}: one last try without waiting
    }
    return OS_OK;
}

// ---------------------------------------------------------------------------
// Process mutex
// ---------------------------------------------------------------------------

int32 os_proc_mutex_init(const char* szMutexName, ProcMutexHandle* phMutex) {
    *phMutex = nullptr;
    zu::MallocPtr<ProcMutexInfo> rec(static_cast<ProcMutexInfo*>(::malloc(sizeof(ProcMutexInfo))));
    if (!rec) return OS_ERR_NO_MEMORY;
    // Field by field: a whole-record memset right after malloc would be folded into
    // calloc, out of reach of the allocation fault tests.
    ProcMutexInfo* info = rec.get();
    info->pMutex = nullptr;
    ::memset(&info->attr, 0, sizeof info->attr);  // zeros: not initialised here
    info->shmid = -1;

    zu::KeyFile keyfile;
    int rc = keyfile.open(szMutexName);
    if (rc != OS_OK) return rc;
    const key_t key = keyfile.key();
    if (key == -1) return OS_ERR_PROC_MUTEX_INIT;
    if (!keyfile.lock_within(kMutexInitWaitSteps)) return OS_ERR_PROC_MUTEX_INIT;

    // The exclusive create tells a new segment from one already there; either way,
    // the mutex is initialised below if it is not yet. A segment made here stays in
    // the system if a later step fails.
    int shmid = ::shmget(key, sizeof(ProcMutex), IPC_CREAT | IPC_EXCL | 0666);
    if (shmid == -1) {
        if (errno != EEXIST) return OS_ERR_PROC_MUTEX_INIT;
        shmid = ::shmget(key, sizeof(ProcMutex), IPC_CREAT | 0666);
        if (shmid == -1) return OS_ERR_PROC_MUTEX_INIT;
    }
    void* addr = ::shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) return OS_ERR_PROC_MUTEX_INIT;
    info->pMutex = static_cast<ProcMutex*>(addr);
    info->shmid = shmid;

    // Every initialiser holds the key-file lock until it is done, so a mutex found
    // uninitialised under the lock is either new or was abandoned by a creator that
    // ended half-way, whatever became of its pid (a zombie, or reused): either way
    // this process initialises it. The same holds for a segment that the second
    // shmget created because the key fell free in between.
    if (!mutex_looks_initialised(info->pMutex)) init_shared_mutex(info);
    *phMutex = rec.release();
    return OS_OK;
}

int32 os_proc_mutex_acquire(ProcMutexHandle hMutex) {
    if (hMutex == nullptr) return OS_ERR_PROC_MUTEX_NULL;
    // Other lock results are not reported.
    (void)settle_lock(hMutex->pMutex, ::pthread_mutex_lock(hMutex->pMutex));
    return OS_OK;
}

int32 os_proc_mutex_timedacquire(ProcMutexHandle hMutex, int32 nMSecTimeout) {
    if (hMutex == nullptr) return OS_ERR_PROC_MUTEX_NULL;
    if (nMSecTimeout < 0) return EINVAL;
    // An absolute deadline on the monotonic clock: setting the system time neither
    // shortens nor stretches the wait.
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return errno;
    const timespec at = zu::after_msec(now, nMSecTimeout);
    return zu::renamed(settle_lock(hMutex->pMutex, clocklock(hMutex->pMutex, at)), ETIMEDOUT,
                       OS_ERR_PROC_MUTEX_TIMEOUT);
}

int32 os_proc_mutex_release(ProcMutexHandle hMutex) {
    if (hMutex == nullptr) return OS_ERR_PROC_MUTEX_NULL;
    (void)::pthread_mutex_unlock(hMutex->pMutex);
    return OS_OK;
}

int32 os_proc_mutex_destroy(ProcMutexHandle hMutex) {
    if (hMutex == nullptr) return OS_ERR_PROC_MUTEX_NULL;
    zu::MallocPtr<ProcMutexInfo> rec(hMutex);  // freed on every path

    struct shmid_ds ds {};
    if (::shmctl(hMutex->shmid, IPC_STAT, &ds) == -1) return OS_ERR_PROC_MUTEX_DESTROY;
    // Every destroy marks the segment: the key is free for a new mutex at once, and
    // the system frees this one after its last detach.
    if (::shmctl(hMutex->shmid, IPC_RMID, nullptr) == -1) return OS_ERR_PROC_MUTEX_DESTROY;
    if (ds.shm_nattch == 1) {
        if (attr_initialised(hMutex->attr)) (void)::pthread_mutexattr_destroy(&hMutex->attr);
        (void)::pthread_mutex_destroy(hMutex->pMutex);
    }
    if (::shmdt(hMutex->pMutex) == -1) return OS_ERR_PROC_MUTEX_DESTROY;
    return OS_OK;
}
