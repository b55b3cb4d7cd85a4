/**
 * \file
 * \brief Lock types of libzuOS: spinlock, read-write lock, process semaphore and
 * process mutex.
 *
 * The functions are declared in os/os.h.
 */
#ifndef ZU_OS_LOCK_H
#define ZU_OS_LOCK_H

#include <pthread.h>

#include "../data_types.h"

/** A spinlock stored in the caller's memory (not a pointer). */
typedef pthread_spinlock_t SPINLOCK;

/** Heap-allocated read-write lock (os_rwmutex_init / os_rwmutex_destroy); NULL is
 * invalid. */
typedef pthread_rwlock_t* RwMutexHandle;

/** System V semaphore-set identifier, valid in every process of the host. */
typedef int SemaHandle;

/** The project id with which the process semaphore, the process mutex and the
 *  shared-memory segment derive their System V key from a key file:
 *  ftok(path, OS_IPC_KEY_PROJECT_ID). */
#define OS_IPC_KEY_PROJECT_ID 0

/** The number of semaphores in a process semaphore's System V set. */
#define OS_PROC_SEMA_NSEMS 2

/** Index of the count (the semaphore proper) in a process semaphore's set. */
#define OS_PROC_SEMA_COUNT 0

/** Index of the user count (processes that have the set open) in a process
 *  semaphore's set. */
#define OS_PROC_SEMA_USERS 1

/** The process-shared, robust mutex as it lies at the start of its shared-memory
 * segment (the segment is exactly this size). */
typedef pthread_mutex_t ProcMutex;

/** Per-process record of one process mutex (os_proc_mutex_init /
 * os_proc_mutex_destroy). */
typedef struct ProcMutexInfo {
    ProcMutex* pMutex;        /**< where the shared segment is attached in this process */
    pthread_mutexattr_t attr; /**< zeros unless this process initialised the mutex */
    int shmid;                /**< System V identifier of the segment */
} ProcMutexInfo;
/** A process mutex: a pointer to its per-process record; NULL is invalid. */
typedef ProcMutexInfo* ProcMutexHandle;

#endif /* ZU_OS_LOCK_H */
