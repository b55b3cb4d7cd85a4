/*
 * os/os.h - the interface of libzuOS, the operating-system layer of the product.
 *
 * Including this header alone gives every type, every result code and every
 * function of the library. Results: 0 (OS_OK) on success, an OS_ERR_* code for a
 * failure the library detects itself (all between 110002 and 119606), or else the
 * unchanged errno value of the system call that failed. Functions whose result is
 * data say so.
 *
 * Preconditions marked "asserted" abort the process when violated, in every build
 * type; they are programming errors of the caller, not reported failures.
 *
 * Open and seek modes are the platform's own values, passed through unchanged: use
 * O_RDONLY, O_WRONLY, O_RDWR, O_CREAT, ... from <fcntl.h> for nMode of os_file_open,
 * F_OK/R_OK/W_OK/X_OK for os_file_access, and SEEK_SET/SEEK_CUR/SEEK_END for
 * os_file_seek64. This header includes <fcntl.h> and <unistd.h> so they are visible.
 *
 * The header needs POSIX 2008 declarations. gcc and clang give them by default
 * (gnu11, gnu++); under a strict -std=c11 either include os/os.h before any system
 * header or define _POSIX_C_SOURCE=200809L yourself.
 */
#ifndef ZU_OS_H
#define ZU_OS_H

#if !defined(_POSIX_C_SOURCE) && !defined(_XOPEN_SOURCE) && !defined(_GNU_SOURCE) && \
    !defined(_DEFAULT_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <stddef.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "../data_types.h"
#include "../zu_public.h"
#include "os_language.h"
#include "os_lock.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZU_API __attribute__((visibility("default")))
#else
#define ZU_API
#endif

/* ------------------------------------------------------------------------ */
/* Result codes                                                              */
/* ------------------------------------------------------------------------ */
#define OS_OK 0
#define OS_ERR_FILE_NOT_FOUND 110002
#define OS_ERR_INVALID_ARG 110003
#define OS_ERR_TIME_NULL_ARG 110191
#define OS_ERR_TIME_NEGATIVE_SEC 110192
#define OS_ERR_TIME_LOCALTIME 110193
#define OS_ERR_TIME_PARSE 110194
#define OS_ERR_FILE_DELETE 110204
#define OS_ERR_FILE_SHORT_READ 110206
#define OS_ERR_FILE_SHORT_WRITE 110207
#define OS_ERR_MEM_UNMAP_VIEW 110213
#define OS_ERR_DIR_EMPTY_PATH 110221
#define OS_ERR_DIR_CREATE 110222
#define OS_ERR_DIR_REMOVE 110223
#define OS_ERR_DIR_OPEN 110224
#define OS_ERR_DIR_NO_MORE_FILES 110225
#define OS_ERR_NO_MEMORY 110241
#define OS_ERR_SHM_CLOSE 110243
#define OS_ERR_SHM_UNMAP 110245
#define OS_ERR_THREAD_CREATE 110261
#define OS_ERR_THREAD_JOIN 110262
#define OS_ERR_THREAD_INVALID 110263
#define OS_ERR_RWLOCK_READ 110283
#define OS_ERR_RWLOCK_WRITE 110284
#define OS_ERR_SEMA_BUSY 110289
#define OS_ERR_PROC_MUTEX_INIT 110290
#define OS_ERR_PROC_MUTEX_DESTROY 110291
#define OS_ERR_PROC_MUTEX_NULL 110294
#define OS_ERR_PROCESS_SPAWN 110301
#define OS_ERR_PROCESS_WAIT 110303
#define OS_ERR_CONV_OPEN 110311
#define OS_ERR_CONV_FAILED 110312
#define OS_ERR_CONV_BAD_ARG 110313
#define OS_ERR_EVENT_TIMEOUT 110323
#define OS_ERR_EVENT_CLOCK 110325
#define OS_ERR_NET_NULL_ARG 110342
#define OS_ERR_NET_DOWN 110344
#define OS_ERR_NET_CONNECT_TIMEOUT 110348
#define OS_ERR_NET_NO_MAC 110359
#define OS_ERR_NET_RESOLVE 110361
#define OS_ERR_NET_BAD_IP 119504
#define OS_ERR_TIME_MKTIME 119606

/* ------------------------------------------------------------------------ */
/* Handle types                                                              */
/* ------------------------------------------------------------------------ */

/* A file descriptor; -1 is invalid. */
typedef int HANDLE;

/* One directory enumeration; pDir is NULL after a failed open. */
typedef struct OSDIR {
    DIR* pDir;
} OSDIR;

/* The record behind an EventHandle. */
typedef struct EventInfo {
    sem_t sema;   /* the semaphore of an unnamed event; zeros for a named one */
    sem_t* pSema; /* the semaphore waits operate on */
    char* szName; /* heap copy of the name, NULL for an unnamed event */
} EventInfo;
typedef EventInfo* EventHandle;

/* Heap-allocated thread mutex with default attributes; NULL is invalid. */
typedef pthread_mutex_t* MutexHandle;

/* The descriptor of a mapped file (0 is asserted against). */
typedef int FileMapHandle;

/* A System V shared-memory identifier. */
typedef int MemMapHandle;

typedef pid_t ProcessHandle;
typedef pthread_t ThreadHandle;
typedef pthread_t ThreadID;
typedef void* (*THR_FUNC)(void* pArg);

/* ------------------------------------------------------------------------ */
/* Files                                                                     */
/* ------------------------------------------------------------------------ */
/* Unbuffered access through a descriptor. Nothing is kept per handle; the file
 * position is the descriptor's and is shared by all its holders. A positioned
 * transfer is lseek64 then read/write (two calls, not atomic). Transfers are never
 * repeated: a partial transfer is reported as short, EINTR as 4. */

/* open(2) with nMode passed unchanged; with O_CREAT a new file gets 0777 less the
 * umask. *pFile receives open's result, so it is -1 after a failure. 0 or errno. */
ZU_API int os_file_open(const char* szFileName, int nMode, HANDLE* pFile);
/* 0 or errno of close; the handle is gone either way. hFile != -1 asserted. */
ZU_API int os_file_close(HANDLE hFile);
/* lseek64 with nRelative as whence (0 set, 1 cur, 2 end). 0 or errno. */
ZU_API int os_file_seek64(HANDLE hFile, int64 nOffset, uint32 nRelative);
/* One write at the current position. *pBytesWritten = write's result (-1 on
 * failure). 0, OS_ERR_FILE_SHORT_WRITE or errno. hFile, pBuf, pBytesWritten asserted. */
ZU_API int os_file_write(HANDLE hFile, const void* pBuf, int32 nBytesToWrite,
                         int32* pBytesWritten);
/* One read at the current position; end of file gives OS_ERR_FILE_SHORT_READ with
 * the count read. 0, OS_ERR_FILE_SHORT_READ or errno. */
ZU_API int os_file_read(HANDLE hFile, void* pBuf, int32 nBytesToRead, int32* pBytesRead);
/* Read at absolute offset nOffset; if the seek fails its errno is returned and the
 * count is not written. */
ZU_API int os_file_seek_read(HANDLE hFile, int64 nOffset, void* pBuf, int32 nBytesToRead,
                             int32* pBytesRead);
/* Write at absolute offset nOffset; as os_file_seek_read. */
ZU_API int os_file_seek_write(HANDLE hFile, int64 nOffset, const void* pBuf,
                              int32 nBytesToWrite, int32* pBytesWritten);
/* ftruncate: cuts or extends (with zeros); the position does not move. */
ZU_API int os_file_truncate(HANDLE hFile, int64 nOffset);
/* fsync. */
ZU_API int os_file_flush(HANDLE hFile);
/* access(2): 0, OS_ERR_FILE_NOT_FOUND for ENOENT, else errno. */
ZU_API int os_file_access(const char* szFileName, int nMode);
/* Size via lseek64(0, SEEK_END): leaves the position at the end of the file.
 * *pnFileSize is -1 after a failure. */
ZU_API int os_file_get_size(HANDLE hFile, int64* pnFileSize);

/* ------------------------------------------------------------------------ */
/* Directories                                                              */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Clock, intervals and sleep                                               */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Calendar conversions                                                     */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Time expressions                                                         */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Thread locks                                                             */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Process semaphore                                                        */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Process mutex                                                            */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Events                                                                   */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* File mapping                                                             */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Shared-memory segments                                                   */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Network: addresses and name resolution                                   */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Network: sockets                                                         */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Network: local interfaces                                                */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Character sets                                                           */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Processes                                                                */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Threads                                                                  */
/* ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------ */
/* Console                                                                  */
/* ------------------------------------------------------------------------ */

#ifdef __cplusplus
}
#endif

#endif /* ZU_OS_H */
