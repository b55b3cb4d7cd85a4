// Failure paths of the locks and events: allocation failures, a semaphore set whose
// initialisation fails, segments that cannot be made, attached or released, and
// semaphores that cannot be made or closed. Each checks the result, that nothing is
// left allocated (LeakSanitizer in the asan build), open or in the system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <stdarg.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <string>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(int, pthread_mutex_init, EAGAIN, (pthread_mutex_t * m, const pthread_mutexattr_t* a),
        (m, a))
FI_WRAP(int, pthread_rwlock_init, EAGAIN, (pthread_rwlock_t * l, const pthread_rwlockattr_t* a),
        (l, a))
FI_WRAP(void*, shmat, reinterpret_cast<void*>(-1), (int id, const void* a, int f), (id, a, f))
FI_WRAP(int, shmctl, -1, (int id, int cmd, struct shmid_ds* b), (id, cmd, b))
FI_WRAP(int, shmdt, -1, (const void* a), (a))
FI_WRAP(int, sem_init, -1, (sem_t * s, int shared, unsigned v), (s, shared, v))
FI_WRAP(int, sem_destroy, -1, (sem_t * s), (s))
FI_WRAP(int, sem_close, -1, (sem_t * s), (s))

// shmget is wrapped by the segment tests (fault_memdir.cpp).
extern fi::Point fi_shmget;

union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// Hand-written, being variadic. Only SETVAL calls count towards the armed failure,
// so a test names "the nth SETVAL".
// FI_WRAP(int, semctl
fi::Point fi_semctl_setval;
extern "C" int __real_semctl(int id, int num, int cmd, ...);
extern "C" int __wrap_semctl(int id, int num, int cmd, ...) {
    switch (cmd) {
        case SETVAL:
        case IPC_STAT:
        case IPC_SET:
        case GETALL:
        case SETALL: {
            va_list ap;
            va_start(ap, cmd);
            semun arg = va_arg(ap, semun);
            va_end(ap);
            if (cmd == SETVAL && fi_semctl_setval.hit()) {
                errno = fi_semctl_setval.err;
                return -1;
            }
            return __real_semctl(id, num, cmd, arg);
        }
        default:
            return __real_semctl(id, num, cmd);
    }
}

// FI_WRAP(sem_t*, sem_open
fi::Point fi_sem_open;
extern "C" sem_t* __real_sem_open(const char* name, int oflag, ...);
extern "C" sem_t* __wrap_sem_open(const char* name, int oflag, ...) {
    if (fi_sem_open.hit()) {
        errno = fi_sem_open.err;
        return SEM_FAILED;
    }
    if ((oflag & O_CREAT) == 0) return __real_sem_open(name, oflag);
    va_list ap;
    va_start(ap, oflag);
    mode_t mode = va_arg(ap, mode_t);
    unsigned value = va_arg(ap, unsigned);
    va_end(ap);
    return __real_sem_open(name, oflag, mode, value);
}

namespace {

using zutest::TempDir;

TEST(LockFault, ThreadLockInitFailuresLeaveTheHandleAndNothingAllocated) {
    auto* const sentinel = reinterpret_cast<pthread_mutex_t*>(0x10);
    MutexHandle m = sentinel;
    {
        fi::Armed a(fi_malloc, 1, ENOMEM);
        EXPECT_EQ(os_mutex_init(&m), OS_ERR_NO_MEMORY);
    }
    {
        fi::Armed a(fi_pthread_mutex_init, 1, 0);
        EXPECT_EQ(os_mutex_init(&m), EAGAIN);
    }
    EXPECT_EQ(m, sentinel);

    auto* const rw_sentinel = reinterpret_cast<pthread_rwlock_t*>(0x10);
    RwMutexHandle rw = rw_sentinel;
    {
        fi::Armed a(fi_malloc, 1, ENOMEM);
        EXPECT_EQ(os_rwmutex_init(&rw), OS_ERR_NO_MEMORY);
    }
    {
        fi::Armed a(fi_pthread_rwlock_init, 1, 0);
        EXPECT_EQ(os_rwmutex_init(&rw), EAGAIN);
    }
    EXPECT_EQ(rw, rw_sentinel);
}

class IpcFault : public ::testing::Test {
protected:
    void SetUp() override { fds = zutest::open_fd_count(); }
    void TearDown() override {
        EXPECT_EQ(zutest::open_fd_count(), fds) << "no descriptor left open";
        key_t k = ::ftok(name.c_str(), 0);
        if (k == -1) return;
        EXPECT_EQ(::semget(k, 0, 0), -1) << "no semaphore set left";
        EXPECT_EQ(::shmget(k, 0, 0), -1) << "no segment left";
    }
    key_t key() const { return ::ftok(name.c_str(), 0); }
    void remove_segment() const {
        int id = ::shmget(key(), 0, 0);
        if (id != -1) ::shmctl(id, IPC_RMID, nullptr);
    }

    TempDir dir;
    std::string name = dir.file("key");
    int fds = 0;
};

TEST_F(IpcFault, AFailedSetvalRemovesTheHalfMadeSet) {
    for (int nth : {1, 2}) {  // the user count, then the count
        SemaHandle h = -1;
        fi::Armed a(fi_semctl_setval, nth, EIO);
        EXPECT_EQ(os_proc_sema_init(name.c_str(), 1, &h), EIO) << nth;
        EXPECT_EQ(a.calls(), nth);
        EXPECT_EQ(::semget(key(), 0, 0), -1) << nth;
    }
}

TEST_F(IpcFault, ProcMutexInitFailuresFreeTheRecord) {
    ProcMutexHandle h = nullptr;
    {
        fi::Armed a(fi_malloc, 1, ENOMEM);
        EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_ERR_NO_MEMORY);
    }
    EXPECT_EQ(::access(name.c_str(), F_OK), -1) << "allocation comes before the key file";
    {
        fi::Armed a(fi_shmget, 1, ENOSPC);
        EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_ERR_PROC_MUTEX_INIT);
    }
    EXPECT_EQ(h, nullptr);
    {
        fi::Armed a(fi_shmat, 1, ENOMEM);
        EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_ERR_PROC_MUTEX_INIT);
    }
    EXPECT_EQ(h, nullptr);
    int id = ::shmget(key(), 0, 0);
    ASSERT_NE(id, -1) << "a segment made by the failed call stays";
    struct shmid_ds ds {};
    ASSERT_EQ(::shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_nattch, 0u);
    remove_segment();

    // An opener whose reopen fails.
    ProcMutexHandle first = nullptr;
    ASSERT_EQ(os_proc_mutex_init(name.c_str(), &first), OS_OK);
    {
        fi::Armed a(fi_shmget, 2, ENOMEM);
        EXPECT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_ERR_PROC_MUTEX_INIT);
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(os_proc_mutex_destroy(first), OS_OK);
}

TEST_F(IpcFault, ProcMutexDestroyFailuresStillFreeTheRecord) {
    // IPC_STAT, then IPC_RMID, then shmdt fail in turn.
    for (int step = 1; step <= 3; ++step) {
        ProcMutexHandle h = nullptr;
        ASSERT_EQ(os_proc_mutex_init(name.c_str(), &h), OS_OK);
        void* addr = h->pMutex;
        int rc;
        if (step < 3) {
            fi::Armed a(fi_shmctl, step, EIO);
            rc = os_proc_mutex_destroy(h);
        } else {
            fi::Armed a(fi_shmdt, 1, EINVAL);
            rc = os_proc_mutex_destroy(h);
        }
        EXPECT_EQ(rc, OS_ERR_PROC_MUTEX_DESTROY) << step;
        ::shmdt(addr);  // the failed destroy left it attached
        remove_segment();
    }
}

TEST_F(IpcFault, EventInitFailuresFreeTheRecordAndName) {
    const std::string sem_name = "/zuos-fault-event-" + std::to_string(::getpid());
    EventHandle e = nullptr;
    {
        fi::Armed a(fi_malloc, 1, ENOMEM);
        EXPECT_EQ(os_event_init(&e, nullptr), OS_ERR_NO_MEMORY);
    }
    {
        fi::Armed a(fi_malloc, 2, ENOMEM);  // the copy of the name
        EXPECT_EQ(os_event_init(&e, sem_name.c_str()), OS_ERR_NO_MEMORY);
    }
    {
        fi::Armed a(fi_sem_init, 1, ENOSYS);
        EXPECT_EQ(os_event_init(&e, nullptr), ENOSYS);
    }
    {
        fi::Armed a(fi_sem_open, 1, EMFILE);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(os_event_init(&e, sem_name.c_str()), EMFILE);
        ::fflush(stdout);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "#SEM_FAILED#[" + sem_name + "]\n\n");
    }
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(::sem_unlink(sem_name.c_str()), -1) << "no name left";
}

TEST_F(IpcFault, EventDestroyFailuresStillFreeTheRecord) {
    EventHandle e = nullptr;
    ASSERT_EQ(os_event_init(&e, nullptr), OS_OK);
    {
        fi::Armed a(fi_sem_destroy, 1, EINVAL);
        EXPECT_EQ(os_event_destroy(e), EINVAL);
    }
    const std::string sem_name = "/zuos-fault-event-" + std::to_string(::getpid());
    ASSERT_EQ(os_event_init(&e, sem_name.c_str()), OS_OK);
    sem_t* s = e->pSema;
    {
        fi::Armed a(fi_sem_close, 1, EINVAL);
        EXPECT_EQ(os_event_destroy(e), EINVAL);
    }
    ::sem_close(s);
    EXPECT_EQ(os_event_remove(sem_name.c_str()), OS_OK);
}

}  // namespace
