/**
 * \file
 * \brief The interface of libzuOS, the operating-system layer of the product.
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
 * Threads: the library takes no lock of its own, so any function may be called from
 * any thread unless its comment says otherwise. A handle may be used by several
 * threads at once only when it stands for a synchronisation object (locks, process
 * semaphore and mutex, events), and even then not while it is destroyed; the others
 * (descriptors, directory enumerations, sockets, converters, queues) are serialised
 * by their callers. Calls that read the environment (LANG, TZ, ZUOS_IO_URING) need
 * it left unchanged by other threads meanwhile.
 *
 * Open and seek modes are the platform's own values, passed through unchanged: use
 * O_RDONLY, O_WRONLY, O_RDWR, O_CREAT, ... from `<fcntl.h>` for nMode of os_file_open,
 * F_OK/R_OK/W_OK/X_OK for os_file_access, and SEEK_SET/SEEK_CUR/SEEK_END for
 * os_file_seek64. This header includes `<fcntl.h>` and `<unistd.h>` so they are
 * visible.
 *
 * The header needs POSIX 2008 declarations. gcc and clang give them by default
 * (gnu11, gnu++); under a strict -std=c11 either include os/os.h before any system
 * header or define _POSIX_C_SOURCE=200809L yourself.
 */
#ifndef ZU_OS_H
#define ZU_OS_H

#if !defined(_POSIX_C_SOURCE) && !defined(_XOPEN_SOURCE) && !defined(_GNU_SOURCE) && \
    !defined(_DEFAULT_SOURCE)
/** POSIX 2008 declarations, asked for when the includer chose no feature set. */
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

/** Marks the functions the library exports (default visibility under gcc and clang). */
#if defined(__GNUC__)
#define ZU_API __attribute__((visibility("default")))
#else
#define ZU_API
#endif

/* ------------------------------------------------------------------------ */
/* Result codes                                                              */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup results Result codes
 * 0 for success and the library's own failure codes; any other non-zero result is
 * the errno of the system call that failed. os_result_text names each of them.
 * @{
 */
#define OS_OK 0                           /**< success */
#define OS_ERR_FILE_NOT_FOUND 110002      /**< the path does not exist */
#define OS_ERR_INVALID_ARG 110003         /**< a required string or result pointer is null */
#define OS_ERR_TIME_NULL_ARG 110191       /**< a required record or result pointer is null */
#define OS_ERR_TIME_NEGATIVE_SEC 110192   /**< the seconds argument is negative */
#define OS_ERR_TIME_LOCALTIME 110193      /**< seconds that localtime cannot break down */
#define OS_ERR_TIME_PARSE 110194          /**< a time expression does not match any accepted form */
#define OS_ERR_FILE_DELETE 110204         /**< removing a directory entry failed */
#define OS_ERR_FILE_SHORT_READ 110206     /**< a read returned fewer bytes than requested */
#define OS_ERR_FILE_SHORT_WRITE 110207    /**< a write stored fewer bytes than requested */
#define OS_ERR_MEM_UNMAP_VIEW 110213      /**< unmapping a file view failed */
#define OS_ERR_DIR_EMPTY_PATH 110221      /**< the directory path is the empty string */
#define OS_ERR_DIR_CREATE 110222          /**< mkdir failed, other than for an existing path */
#define OS_ERR_DIR_REMOVE 110223          /**< removing a directory failed */
#define OS_ERR_DIR_OPEN 110224            /**< opendir, or the first read, failed */
#define OS_ERR_DIR_NO_MORE_FILES 110225   /**< the enumeration has no further entry */
#define OS_ERR_NO_MEMORY 110241           /**< a heap allocation failed */
#define OS_ERR_SHM_CLOSE 110243           /**< removing a shared-memory segment failed */
#define OS_ERR_SHM_UNMAP 110245           /**< detaching a shared-memory segment failed */
#define OS_ERR_AIO_FULL 110251            /**< the queue already holds nDepth requests in flight */
#define OS_ERR_AIO_TIMEOUT 110252         /**< the wait for completions ran out of time */
#define OS_ERR_THREAD_CREATE 110261       /**< creating a thread failed */
#define OS_ERR_THREAD_JOIN 110262         /**< joining a thread failed */
#define OS_ERR_THREAD_INVALID 110263      /**< the thread handle is not valid */
#define OS_ERR_RWLOCK_READ 110283         /**< taking a read lock failed */
#define OS_ERR_RWLOCK_WRITE 110284        /**< taking a write lock failed */
#define OS_ERR_SEMA_BUSY 110289           /**< no unit free at once or within the time-out */
#define OS_ERR_PROC_MUTEX_INIT 110290     /**< ftok/shmget/shmat failed or the init wait ran out */
#define OS_ERR_PROC_MUTEX_DESTROY 110291  /**< releasing a process mutex's shared memory failed */
#define OS_ERR_PROC_MUTEX_TIMEOUT 110292  /**< a timed wait for a process mutex expired */
#define OS_ERR_PROC_MUTEX_NULL 110294     /**< the process-mutex handle is null */
#define OS_ERR_PROCESS_SPAWN 110301       /**< starting a child process failed */
#define OS_ERR_PROCESS_WAIT 110303        /**< waiting for a child process failed */
#define OS_ERR_CONV_OPEN 110311           /**< the pair of character sets is not available */
#define OS_ERR_CONV_FAILED 110312         /**< the text cannot be converted or does not fit */
#define OS_ERR_CONV_BAD_ARG 110313        /**< null pointer, size below 1, or a copy too long */
#define OS_ERR_EVENT_TIMEOUT 110323       /**< a timed wait expired */
#define OS_ERR_EVENT_CLOCK 110325         /**< reading the clock for a deadline failed */
#define OS_ERR_NET_NULL_ARG 110342        /**< a required result buffer is null */
#define OS_ERR_NET_DOWN 110344            /**< sending failed because the network is down */
#define OS_ERR_NET_CONNECT_TIMEOUT 110348 /**< no connection within the time-out */
#define OS_ERR_NET_NO_MAC 110359          /**< no usable hardware address was found */
#define OS_ERR_NET_RESOLVE 110361         /**< host-name resolution failed */
#define OS_ERR_NET_BAD_IP 119504          /**< the text is not a dotted IPv4 address */
#define OS_ERR_TIME_MKTIME 119606         /**< a broken-down time cannot be turned into seconds */
/** @} */

/* ------------------------------------------------------------------------ */
/* Result texts and version                                                  */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup version Result texts and version
 * @{
 */

/**
 * Text for any result: "OS_OK: success" for 0, "OS_ERR_...: <meaning>" for a library
 * code (the constant's name, a colon and a short meaning), the standard description
 * for an errno value ("No such file or directory" for 2; English whatever the
 * locale), and "unknown result" for anything else. Any thread may call this.
 * \param nResult any result of the library, or any other number
 * \return the text; never NULL. It is static, so it may be kept.
 */
ZU_API const char* os_result_text(int nResult);

#define ZUOS_VERSION_MAJOR 1 /**< major version of these headers */
#define ZUOS_VERSION_MINOR 0 /**< minor version of these headers */
#define ZUOS_VERSION_PATCH 0 /**< patch level of these headers */
/** One number for a version, major * 10000 + minor * 100 + patch (10000 for 1.0.0).
 * \param major the major version
 * \param minor the minor version
 * \param patch the patch level */
#define ZUOS_VERSION_NUMBER(major, minor, patch) ((major)*10000 + (minor)*100 + (patch))
/** The version of these headers as one number (ZUOS_VERSION_NUMBER). */
#define ZUOS_VERSION ZUOS_VERSION_NUMBER(ZUOS_VERSION_MAJOR, ZUOS_VERSION_MINOR, ZUOS_VERSION_PATCH)
/**
 * The version of the library actually loaded, which may differ from that of the
 * headers. Any thread.
 * \return one number, major * 10000 + minor * 100 + patch (10000 for 1.0.0): the
 *   encoding of ZUOS_VERSION_NUMBER and ZUOS_VERSION, so the two compare directly.
 *   os_version() / 10000 == ZUOS_VERSION_MAJOR tests the major version, and
 *   os_version() >= ZUOS_VERSION that the library is at least as new as the headers.
 */
ZU_API int os_version(void);
/** @} */

/* ------------------------------------------------------------------------ */
/* Handle types                                                              */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup handles Handle types
 * The library keeps no table of live handles: a handle is valid from the call that
 * creates it to the call that releases it, and its holder owns it in between.
 * @{
 */

/** A file descriptor; -1 is invalid. */
typedef int HANDLE;

/** One directory enumeration; pDir is NULL after a failed open. One thread at a time. */
typedef struct OSDIR {
    DIR* pDir; /**< the open directory stream, NULL when there is none */
} OSDIR;

/** The record behind an EventHandle. */
typedef struct EventInfo {
    sem_t sema;   /**< the semaphore of an unnamed event; zeros for a named one */
    sem_t* pSema; /**< the semaphore waits operate on */
    char* szName; /**< heap copy of the name, NULL for an unnamed event */
} EventInfo;
/** An event: a pointer to its heap record; NULL is invalid. */
typedef EventInfo* EventHandle;

/** Heap-allocated thread mutex with default attributes; NULL is invalid. */
typedef pthread_mutex_t* MutexHandle;

/** The descriptor of a mapped file (0 is asserted against). */
typedef int FileMapHandle;

/** A System V shared-memory identifier. */
typedef int MemMapHandle;

/** A process: its id. */
typedef pid_t ProcessHandle;
/** A thread: its pthread_t. */
typedef pthread_t ThreadHandle;
/** A thread's id, as os_thread_get_id returns it. */
typedef pthread_t ThreadID;
/** A thread's entry function: takes the argument given to os_thread_create and
 * returns the thread's result. */
typedef void* (*THR_FUNC)(void* pArg);
/** @} */

/* ------------------------------------------------------------------------ */
/* Files                                                                     */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup files Files
 * Unbuffered access through a descriptor. Nothing is kept per handle; the file
 * position is the descriptor's and is shared by all its holders. os_file_seek_read
 * and os_file_seek_write are lseek64 then read/write (two calls, not atomic);
 * os_file_pread and os_file_pwrite are one call that leaves the position alone, for
 * threads sharing a descriptor. Transfers are never repeated: a partial transfer is
 * reported as short, EINTR as 4.
 *
 * Threads sharing a descriptor serialise the calls that use its position (read,
 * write, seek, seek_read, seek_write, get_size); os_file_close must not overlap any
 * other use of the handle.
 * @{
 */

/**
 * open(2) with nMode passed unchanged; with O_CREAT a new file gets 0777 less the
 * umask.
 * \param szFileName path of the file
 * \param nMode      open flags (O_RDONLY, O_RDWR, O_CREAT, ...)
 * \param pFile      receives open's result, so it is -1 after a failure
 * \return 0 or errno.
 */
ZU_API int os_file_open(const char* szFileName, int nMode, HANDLE* pFile);
/**
 * Closes the descriptor; the handle is gone either way.
 * \param hFile the descriptor; hFile != -1 asserted
 * \return 0 or errno of close.
 */
ZU_API int os_file_close(HANDLE hFile);
/**
 * lseek64 with nRelative as whence.
 * \param hFile     the descriptor
 * \param nOffset   the offset
 * \param nRelative whence: 0 set, 1 cur, 2 end
 * \return 0 or errno.
 */
ZU_API int os_file_seek64(HANDLE hFile, int64 nOffset, uint32 nRelative);
/**
 * One write at the current position.
 * \param hFile         the descriptor; asserted
 * \param pBuf          the bytes to write; asserted
 * \param nBytesToWrite their number
 * \param pBytesWritten receives write's result (-1 on failure); asserted
 * \return 0, OS_ERR_FILE_SHORT_WRITE or errno.
 */
ZU_API int os_file_write(HANDLE hFile, const void* pBuf, int32 nBytesToWrite, int32* pBytesWritten);
/**
 * One read at the current position; end of file gives OS_ERR_FILE_SHORT_READ with
 * the count read.
 * \param hFile        the descriptor
 * \param pBuf         receives the bytes read
 * \param nBytesToRead the number of bytes wanted
 * \param pBytesRead   receives the number of bytes read
 * \return 0, OS_ERR_FILE_SHORT_READ or errno.
 */
ZU_API int os_file_read(HANDLE hFile, void* pBuf, int32 nBytesToRead, int32* pBytesRead);
/**
 * Read at absolute offset nOffset: the seek, then the read.
 * \param hFile        the descriptor
 * \param nOffset      absolute offset
 * \param pBuf         receives the bytes read
 * \param nBytesToRead the number of bytes wanted
 * \param pBytesRead   receives the number of bytes read; if the seek fails it is not
 *                     written
 * \return as os_file_read; if the seek fails, its errno.
 */
ZU_API int os_file_seek_read(HANDLE hFile, int64 nOffset, void* pBuf, int32 nBytesToRead,
                             int32* pBytesRead);
/**
 * Write at absolute offset nOffset; as os_file_seek_read.
 * \param hFile         the descriptor
 * \param nOffset       absolute offset
 * \param pBuf          the bytes to write
 * \param nBytesToWrite their number
 * \param pBytesWritten receives the number of bytes written; if the seek fails it is
 *                      not written
 * \return as os_file_write; if the seek fails, its errno.
 */
ZU_API int os_file_seek_write(HANDLE hFile, int64 nOffset, const void* pBuf, int32 nBytesToWrite,
                              int32* pBytesWritten);
/**
 * Extension: positioned read in one pread64 call. The descriptor's position is
 * neither read nor moved, so threads sharing hFile need no lock of their own.
 * Preconditions, results and count rules as os_file_seek_read (a negative offset
 * gives EINVAL with the count untouched), with one difference: a descriptor that
 * cannot be positioned (ESPIPE) or is not open (EBADF) fails in the transfer itself,
 * so the count is -1 where os_file_seek_read leaves it untouched. Writes opened with
 * O_APPEND go to the end of the file whatever nOffset says (a Linux rule).
 * \param hFile        the descriptor
 * \param nOffset      absolute offset
 * \param pBuf         receives the bytes read
 * \param nBytesToRead the number of bytes wanted
 * \param pBytesRead   receives the number of bytes read
 * \return 0, OS_ERR_FILE_SHORT_READ or errno.
 */
ZU_API int os_file_pread(HANDLE hFile, int64 nOffset, void* pBuf, int32 nBytesToRead,
                         int32* pBytesRead);
/**
 * Extension: positioned write in one pwrite64 call; as os_file_pread.
 * \param hFile         the descriptor
 * \param nOffset       absolute offset
 * \param pBuf          the bytes to write
 * \param nBytesToWrite their number
 * \param pBytesWritten receives the number of bytes written
 * \return 0, OS_ERR_FILE_SHORT_WRITE or errno.
 */
ZU_API int os_file_pwrite(HANDLE hFile, int64 nOffset, const void* pBuf, int32 nBytesToWrite,
                          int32* pBytesWritten);
/**
 * ftruncate: cuts or extends (with zeros); the position does not move.
 * \param hFile   the descriptor
 * \param nOffset the new size
 * \return 0 or errno.
 */
ZU_API int os_file_truncate(HANDLE hFile, int64 nOffset);
/**
 * fsync: returns once the file's data and metadata (size included) are on the
 * device. Its name is durable only once its directory is synced too (os_dir_sync).
 *
 * A failed sync: after any sync call reports an error, treat everything written to
 * the file since the last successful sync as lost. The kernel may already have
 * dropped those pages and marked them clean, so a retried sync can succeed without
 * writing them: retrying is not a recovery. Write the data again from your own copy
 * (or re-open and recover from what is durable), then sync again.
 * \param hFile the descriptor
 * \return 0 or errno.
 */
ZU_API int os_file_flush(HANDLE hFile);
/**
 * Extension: fdatasync. As os_file_flush, but metadata that is not needed to read
 * the data back (times) is not forced; a size change, or the first write into a
 * reserved block, still is. Appending therefore costs a metadata write per call;
 * overwriting blocks written once before (a recycled log segment) does not. A
 * failure loses the data written since the last successful sync (see
 * os_file_flush): a retry that succeeds does not bring it back.
 * \param hFile the descriptor; hFile != -1 asserted
 * \return 0 or errno.
 */
ZU_API int os_file_datasync(HANDLE hFile);
/**
 * Extension: makes the entries of a directory durable (names created, renamed or
 * removed in it): open(O_RDONLY | O_DIRECTORY | O_CLOEXEC), fsync, close. A failure
 * means those names may be lost at a crash, whatever a retry says (see
 * os_file_flush).
 * \param szDirName the directory; asserted
 * \return 0 or the errno of open or fsync: 2 for a missing directory, 20 for a path
 *   that is not a directory.
 */
ZU_API int os_dir_sync(const char* szDirName);
/**
 * Extension: a rename that survives a crash. Syncs the file under szOldName (opened
 * read-only, so it must be readable), renames it, then syncs the directory of
 * szNewName and, when it is another directory, that of szOldName (both are synced
 * even if the first fails; the first errno is returned). A failure before or in the
 * rename changes nothing. A failed directory sync comes after the rename: the new
 * name is in place but may not survive a crash, and its errno is returned (see
 * os_file_flush for what a failed sync means).
 * \param szOldName the file's present name; asserted
 * \param szNewName its new name; asserted
 * \return 0 or the errno of the first call that failed.
 */
ZU_API int os_file_rename_durable(const char* szOldName, const char* szNewName);
/**
 * Extension: replaces the whole content of szFileName so that a crash at any moment
 * leaves either the old content or the new, never a mix or an empty file. Writes the
 * nLen bytes of pBuf (all of them, continuing short writes and EINTR) to a new file
 * ".<name>.<12 hex digits>" in the same directory, created with O_EXCL (another name
 * is drawn if one is taken), syncs it, renames it over szFileName and syncs the
 * directory. An existing file's permission bits are kept (not its owner, nor its
 * links: a symbolic link or an extra hard link at szFileName is replaced, not written
 * through); a new file gets 0666 less the umask. On a failure before the rename the
 * temporary file is removed and szFileName is untouched. A failed directory sync
 * comes after the rename: the new content is in place but its name may not survive
 * a crash (see os_file_flush). A temporary left by a crash is never reused nor
 * removed by a later replace (it may belong to a replace still running in another
 * process); remove stale ones at start-up if they matter. Concurrent replaces of one
 * file are safe: the last rename wins.
 * \param szFileName the file; asserted
 * \param pBuf       the new content; asserted
 * \param nLen       its length in bytes: 0 makes an empty file; a negative nLen
 *                   gives 22
 * \return 0, or the first failing call's errno.
 */
ZU_API int os_file_replace(const char* szFileName, const void* pBuf, int64 nLen);
/**
 * Extension: reserves the blocks of [nOffset, nOffset + nLen) so that later writes
 * there cannot fail for lack of space: fallocate(mode 0), or posix_fallocate where the
 * file system does not support it (EOPNOTSUPP). The size becomes at least nOffset +
 * nLen; existing bytes are unchanged, new ones read as zeros. The new size and blocks
 * are durable after the next os_file_flush, and later writes inside the range then
 * change no size. It reserves space, it does not make syncs cheap: ext4 and XFS mark
 * the blocks unwritten, and the first write into each one is a metadata change that
 * os_file_datasync must still make.
 * \param hFile   the descriptor; hFile != -1 asserted
 * \param nOffset start of the range; negative gives 22
 * \param nLen    length of the range; negative gives 22, 0 reserves nothing and
 *                gives 0
 * \return 0 or errno (posix_fallocate's error number on the fallback).
 */
ZU_API int os_file_allocate(HANDLE hFile, int64 nOffset, int64 nLen);
/**
 * access(2).
 * \param szFileName the path
 * \param nMode      F_OK, or any of R_OK, W_OK, X_OK
 * \return 0, OS_ERR_FILE_NOT_FOUND for ENOENT, else errno.
 */
ZU_API int os_file_access(const char* szFileName, int nMode);
/**
 * Size via lseek64(0, SEEK_END): leaves the position at the end of the file.
 * \param hFile      the descriptor
 * \param pnFileSize receives the size; -1 after a failure
 * \return 0 or errno.
 */
ZU_API int os_file_get_size(HANDLE hFile, int64* pnFileSize);
/** @} */

/* ------------------------------------------------------------------------ */
/* Batched and asynchronous positioned I/O                                  */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup aio Batched and asynchronous positioned I/O
 * Extensions: many positioned transfers for one wait. Two engines give identical
 * results: Linux io_uring (kernel 5.11 or later), and plain pread64 / pwrite64 /
 * fdatasync calls, used where io_uring is refused (ENOSYS or EPERM from its setup:
 * an old kernel, a seccomp profile, kernel.io_uring_disabled), when OS_AIO_FALLBACK
 * is given, or for the whole process when the environment has ZUOS_IO_URING=0.
 *
 * Each transfer's result and count are exactly os_file_pread's / os_file_pwrite's:
 * 0 with the full count; OS_ERR_FILE_SHORT_READ / OS_ERR_FILE_SHORT_WRITE with the
 * count transferred (end of file); an errno with -1 (EBADF for a closed or -1
 * handle, EFAULT for a null buffer, ESPIPE for a pipe or socket; a negative count is
 * passed on as os_file_pread passes it, and Linux answers EFAULT). A negative offset
 * gives EINVAL without any transfer. Nothing is retried and no descriptor's position
 * moves. Only regular files and block devices go to io_uring; other descriptors are
 * always served by the plain calls.
 *
 * Process-wide state: the library keeps one atomic flag, set on first use, holding
 * what ZUOS_IO_URING says (read once; only "0" counts) and whether io_uring was
 * refused, so that a refused setup is not tried again on every call. Nothing else
 * outlives a call except the queues below, which the caller owns.
 * @{
 */

/** One transfer of a batch. */
typedef struct _OS_IO_REQUEST {
    HANDLE hFile;  /**< in: the descriptor */
    int32 nBytes;  /**< in: bytes to transfer */
    int64 nOffset; /**< in: absolute offset */
    void* pBuf;    /**< in: the buffer read into or written from */
    int32 nResult; /**< out: this request's result */
    int32 nDone;   /**< out: bytes transferred, -1 when the transfer failed */
} OS_IO_REQUEST;

/** \name Batches
 * @{ */
/**
 * Carries out nCount requests, reading into (os_file_pread_batch) or writing from
 * (os_file_pwrite_batch) each pBuf, and returns when all have finished. Requests may
 * name different handles and run in no set order (overlapping writes have no defined
 * winner). When the call fails to set up or submit the transfers, every request not
 * carried out holds that errno with nDone -1 (the call still waits for those the
 * kernel took; should even that wait fail, they are counted as not carried out,
 * though the kernel may yet finish them). A request with a negative offset gets
 * EINVAL and keeps its nDone, as os_file_pread keeps its count. Each call sets up its
 * own io_uring instance (a single request is one plain call), so any number of
 * threads may batch at once, on shared handles too. A batch ends with its slowest
 * transfer, so the device idles at the end of each call: a program that wants the
 * device's full rate keeps a queue (os_aio_open) topped up instead.
 * \param pReqs  the requests; asserted when nCount > 0
 * \param nCount their number
 * \return 0 when every request was carried out, whatever its own result; EINVAL for a
 *   negative nCount; or the errno of a failure to set up or submit the transfers
 *   (ENOMEM, EMFILE, EAGAIN).
 */
ZU_API int os_file_pread_batch(OS_IO_REQUEST* pReqs, int32 nCount);
ZU_API int os_file_pwrite_batch(OS_IO_REQUEST* pReqs, int32 nCount);
/** @} */

/** An asynchronous queue: submit now, collect the completions later. One thread at a
 * time per queue; any number of queues. NULL is invalid. */
typedef struct _OS_AIO* AioHandle;
/** One completion collected from a queue. */
typedef struct _OS_AIO_DONE {
    uint64 nTag;   /**< the tag given at submission */
    int32 nResult; /**< as a batch request's */
    int32 nDone;   /**< as a batch request's; 0 for a data sync that succeeded */
} OS_AIO_DONE;
#define OS_AIO_FALLBACK 1 /**< flag of os_aio_open: plain system calls, no io_uring */

/**
 * Opens a queue on which up to nDepth requests may be in flight, that is submitted
 * and not yet collected. It holds its own io_uring instance unless the plain engine
 * applies (see above).
 * \param nDepth the most requests in flight, 1 to 4096
 * \param nFlags 0 or OS_AIO_FALLBACK
 * \param pAio   receives the queue; NULL after a failure; asserted
 * \return OS_OK; EINVAL for nDepth out of range or an unknown flag; OS_ERR_NO_MEMORY;
 *   or the errno of the io_uring setup (ENOMEM, EMFILE).
 */
ZU_API int os_aio_open(int32 nDepth, uint32 nFlags, AioHandle* pAio);
/** \name Queued transfers
 * @{ */
/**
 * Submits one positioned transfer tagged nTag: a read into pBuf (os_aio_read) or a
 * write from it (os_aio_write). Only the queue's own state is checked; a bad handle
 * or offset is accepted and completes with the error a batch would give it (nDone
 * -1). On io_uring the transfer starts at once (a file system that ignores
 * non-blocking attempts, FUSE for one, can make this call wait), and a failure to
 * submit it is returned as its errno (nothing queued); the plain engine carries it
 * out within this call and queues its completion.
 * \param hAio    the queue; asserted
 * \param hFile   the descriptor
 * \param nOffset absolute offset
 * \param pBuf    the buffer; it must stay valid until the completion is collected or
 *                the queue closed
 * \param nBytes  bytes to transfer; negative gives EINVAL
 * \param nTag    returned with the completion
 * \return 0; OS_ERR_AIO_FULL when nDepth requests are in flight, EINVAL for a
 *   negative nBytes (nothing is queued then); or the errno of a failed submission.
 */
ZU_API int os_aio_read(AioHandle hAio, HANDLE hFile, int64 nOffset, void* pBuf, int32 nBytes,
                       uint64 nTag);
ZU_API int os_aio_write(AioHandle hAio, HANDLE hFile, int64 nOffset, const void* pBuf, int32 nBytes,
                        uint64 nTag);
/** @} */
/**
 * Submits an fdatasync of hFile tagged nTag: it completes with 0 and nDone 0, or the
 * errno with nDone -1. As os_aio_read otherwise.
 * \param hAio  the queue; asserted
 * \param hFile the descriptor
 * \param nTag  returned with the completion
 * \return as os_aio_read.
 */
ZU_API int os_aio_datasync(AioHandle hAio, HANDLE hFile, uint64 nTag);
/**
 * Collects completions, in no set order. It returns once it holds at least nMin,
 * where nMin is lowered to the number in flight (it never waits for requests not
 * submitted). A signal does not end the wait.
 * \param hAio         the queue; asserted
 * \param nMin         the fewest completions to wait for
 * \param nMSecTimeout -1 waits without limit, 0 only collects what is done
 * \param pDone        receives the completions, pDone[0..nMax); asserted when
 *                     nMax > 0
 * \param nMax         room in pDone
 * \param pnGot        receives the number collected; asserted
 * \return 0 once it holds at least nMin; OS_ERR_AIO_TIMEOUT when the time runs out
 *   first, with what was collected; EINVAL (nothing collected) unless 0 <= nMin <=
 *   nMax and nMSecTimeout >= -1; the errno of a failed wait, with what was collected.
 */
ZU_API int os_aio_wait(AioHandle hAio, int32 nMin, int32 nMSecTimeout, OS_AIO_DONE* pDone,
                       int32 nMax, int32* pnGot);
/**
 * Waits for every request still in flight (their completions are dropped), then
 * frees the queue, also when that wait fails.
 * \param hAio the queue; asserted
 * \return 0, or the errno of a failed wait.
 */
ZU_API int os_aio_close(AioHandle hAio);
/**
 * The engine of a queue.
 * \param hAio the queue; asserted
 * \return 1 when the queue runs on io_uring, 0 on plain system calls.
 */
ZU_API int os_aio_engine(AioHandle hAio);
/** @} */

/* ------------------------------------------------------------------------ */
/* Directories                                                              */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup dirs Directories
 * Creation, enumeration, emptying and removal of directories, and the running
 * program's own path. An enumeration (OSDIR) is used by one thread at a time.
 * @{
 */

/**
 * Makes the last component of szPathName with mkdir(path, 0775), less the umask.
 * \param szPathName the directory to make; asserted
 * \return OS_OK, also when anything (directory or not) already exists at the path;
 *   OS_ERR_DIR_CREATE for any other failure (errno is not passed on).
 */
ZU_API int32 os_dir_create(const char* szPathName);
/**
 * Opens the directory szPathName and copies its first entry other than "." and ".."
 * (names starting with a dot included, in the system's order) into szFileName.
 * Whenever this call closes the stream it also sets pDir->pDir to NULL.
 * \param szPathName the directory; asserted
 * \param szFileName receives the entry's name; must hold 256 bytes; asserted
 * \param pDir       receives the enumeration; asserted
 * \retval OS_OK                    the stream stays open in pDir->pDir
 * \retval OS_ERR_DIR_EMPTY_PATH    szPathName is "": *pDir is not written
 * \retval OS_ERR_DIR_OPEN          opendir failed (pDir->pDir is NULL), or the first
 *                                  read failed (stream closed)
 * \retval OS_ERR_DIR_NO_MORE_FILES nothing but "." and "..": stream closed
 */
ZU_API int32 os_dir_find_first_file(const char* szPathName, char* szFileName, OSDIR* pDir);
/**
 * Copies the next entry other than "." and ".." into szFileName; the record is not
 * changed. On any non-zero result the stream is already closed and the record must
 * not be used again. errno left over from the caller's own calls does not end an
 * enumeration. A caller that stops before the end closes pDir->pDir with closedir.
 * \param szFileName receives the entry's name (256 bytes); asserted
 * \param pDir       the enumeration os_dir_find_first_file opened; pDir and
 *                   pDir->pDir asserted
 * \return OS_OK (stream still open), OS_ERR_DIR_NO_MORE_FILES, or the errno of a
 *   failed read.
 */
ZU_API int32 os_dir_find_next_file(char* szFileName, const OSDIR* pDir);
/**
 * Empties szPathName with remove() on each entry found by the enumeration above:
 * files, links and other non-directories, and empty subdirectories; it does not
 * descend, and the directory itself stays. Entry paths are the path, a '/' unless
 * the path already ends in '/' or '\\', and the entry name. A read error after the
 * first entry ends the emptying with OS_OK. The stream and the path buffer are
 * released on every path.
 * \param szPathName the directory; asserted
 * \return OS_OK (an empty directory included); OS_ERR_DIR_EMPTY_PATH;
 *   OS_ERR_NO_MEMORY (nothing removed); OS_ERR_DIR_OPEN; OS_ERR_FILE_DELETE at the
 *   first entry that cannot be removed (a non-empty subdirectory, say): entries
 *   before it are gone, the rest remain.
 */
ZU_API int32 os_dir_delete_files(const char* szPathName);
/**
 * os_dir_delete_files (its result ignored), then rmdir. Entries removed before a
 * failure stay removed.
 * \param szPathName the directory; asserted
 * \return OS_OK or OS_ERR_DIR_REMOVE.
 */
ZU_API int32 os_dir_remove(const char* szPathName);
/**
 * Copies the absolute path of the running executable (file name included, from
 * /proc/self/exe) into szPathName and terminates it. Nothing is written past nSize
 * bytes.
 * \param szPathName receives the path; asserted (after nSize)
 * \param nSize      its size in bytes; nSize > 0 asserted
 * \return the path's length without the terminator (a length, not a result code), or
 *   -1: when readlink fails (buffer not written), and, our choice, when the path does
 *   not fit in nSize bytes with its terminator (szPathName is then the empty string).
 */
ZU_API int32 os_dir_get_curr_process_path(char* szPathName, int32 nSize);
/** @} */

/* ------------------------------------------------------------------------ */
/* Clock, intervals and sleep                                               */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup clock Clock, intervals and sleep
 * The real-time clock (gettimeofday: it jumps when the system time is set; there is
 * no monotonic reading here). None of these returns a result code, the pointers are
 * not checked, and the outcome of gettimeofday is not examined.
 * @{
 */

/**
 * Reads the real-time clock.
 * \param pTimeValue receives the time
 */
ZU_API void os_gettimeofday_high_res(struct timeval* pTimeValue);
/**
 * Reads the real-time clock; the same reading as os_gettimeofday_high_res.
 * \param ptvCurrent receives the time
 */
ZU_API void os_gettimeofday(struct timeval* ptvCurrent);
/**
 * *ptvResult = *ptvEnd - *ptvStart: seconds and microseconds apart, then one borrow
 * when the microseconds are negative. An end before the start gives a negative
 * tv_sec with tv_usec in 0..999999 (5.2 s - 7.5 s = -3 s + 700000 us). Both inputs
 * are read first, so ptvResult may be either of them.
 * \param ptvResult receives the difference
 * \param ptvEnd    the later time
 * \param ptvStart  the earlier time
 */
ZU_API void os_timevalue_sub(struct timeval* ptvResult, struct timeval* ptvEnd,
                             struct timeval* ptvStart);
/**
 * usleep(msec * 1000) with the product in 32-bit unsigned arithmetic. A signal may
 * end it early.
 * \param msec milliseconds; keep it at or below 4294967 (71.6 minutes): more wraps
 *             round
 */
ZU_API void os_sleep(long int msec);
/**
 * The current time as seconds and milliseconds; writes nothing if either pointer is
 * NULL.
 * \param pnSec  receives the seconds, cut to 32 bits
 * \param pnMSec receives the milliseconds, 0..999
 */
ZU_API void os_get_curr_time_sec_and_msec(uint32* pnSec, uint16* pnMSec);
/**
 * The current time in milliseconds.
 * \return milliseconds since the Epoch (microseconds truncated).
 */
ZU_API int64 os_get_curr_time_msec(void);
/** @} */

/* ------------------------------------------------------------------------ */
/* Calendar conversions                                                     */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup calendar Calendar conversions
 * Seconds since the Epoch in int32 (up to 2038-01-19 03:14:07 UTC) against local
 * calendar fields, in the process's time zone (TZ) at the time of the call. Each
 * call breaks time down into its own record (localtime_r): safe from any thread, as
 * long as no thread changes TZ (the environment) meanwhile.
 * Results: OS_OK, OS_ERR_TIME_NULL_ARG, OS_ERR_TIME_NEGATIVE_SEC,
 * OS_ERR_TIME_LOCALTIME, OS_ERR_TIME_MKTIME; on failure nothing is written unless
 * stated.
 * @{
 */

/**
 * Offset of the zone's standard time from UTC, taken from local midnight of
 * 2 January 1970: daylight saving plays no part.
 * \return whole hours, east positive, truncated toward zero (+5:30 and +5:45 give 5,
 *   -3:30 gives -3).
 */
ZU_API int32 get_local_timezone(void);
/**
 * Current time in local seconds (the wall clock counted as if it were UTC): the wall
 * clock read as standard time plus get_local_timezone() hours, so daylight saving is
 * included and a fraction of an hour is dropped (UTC+5:30 adds 5 hours).
 * \param pnCurrTime receives the local seconds; not checked
 * \return 0, or -1 when mktime fails (-1 is then stored); our choice: also -1, with
 *   nothing stored, if the clock cannot be broken down.
 */
ZU_API int32 get_curr_time(int32* pnCurrTime);
/**
 * Epoch seconds to local fields, timezone = get_local_timezone(); mSecond is left as
 * it was.
 * \param nSec    seconds since the Epoch
 * \param pRDTime receives the fields
 * \return OS_OK; OS_ERR_TIME_NEGATIVE_SEC for nSec < 0 (tested before the pointer),
 *   OS_ERR_TIME_NULL_ARG, OS_ERR_TIME_LOCALTIME.
 */
ZU_API int32 convert_sec_to_rdtime(int32 nSec, ZUTimeStamp* pRDTime);
/**
 * Local fields to Epoch seconds; mSecond and timezone are not read, out-of-range
 * fields are normalised (month 13 of 2023 is January 2024). The fields are read as
 * standard time, so inside daylight saving the result is 3600 s later than the
 * instant convert_sec_to_rdtime maps to them; outside it the two are inverses.
 * \param pTime the fields
 * \param pnSec receives mktime's result cut to 32 bits, also when that fails the
 *              check below
 * \return OS_OK; OS_ERR_TIME_MKTIME when the result is negative or 0x7FFFFFFF;
 *   OS_ERR_TIME_NULL_ARG if either pointer is NULL.
 */
ZU_API int32 convert_rdtime_to_sec(const ZUTimeStamp* pTime, int32* pnSec);
/**
 * Local date and time to Epoch seconds, daylight saving decided by the C library
 * (tm_isdst -1). No argument checks; extreme values are reported by mktime, never
 * overflowed.
 * \param year   the full calendar year, e.g. 2024
 * \param month  the month, 1 for January
 * \param day    the day of the month
 * \param hour   the hour
 * \param minute the minute
 * \param second the second
 * \return the seconds (not a result code); -1 when mktime fails.
 */
ZU_API time_t os_time_local_to_utc(int year, int month, int day, int hour, int minute, int second);
/**
 * Local weekday of nSec.
 * \param nSec     seconds since the Epoch
 * \param pWeekDay receives the weekday, Monday 1 .. Sunday 7
 * \return OS_OK; OS_ERR_TIME_NULL_ARG (tested before nSec), OS_ERR_TIME_NEGATIVE_SEC,
 *   OS_ERR_TIME_LOCALTIME.
 */
ZU_API int32 os_get_weekday(int32 nSec, int32* pWeekDay);
/**
 * Local day of the year of nSec.
 * \param nSec     seconds since the Epoch
 * \param pYearDay receives the day, 1 for 1 January (366 on 31 December of a leap
 *                 year)
 * \return as os_get_weekday.
 */
ZU_API int32 os_get_yearday(int32 nSec, int32* pYearDay);
/**
 * Seconds of nSec since local midnight.
 * \param nSec    seconds since the Epoch
 * \param pDaySec receives 0..86399 (86400 in a leap second)
 * \return as os_get_weekday.
 */
ZU_API int32 os_get_daysec(int32 nSec, int32* pDaySec);
/** @} */

/* ------------------------------------------------------------------------ */
/* Time expressions                                                         */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup timeexpr Time expressions
 * Texts such as "-2days", "t-1d", "mon" or "15-jan-24 08:00" turned into seconds.
 * Any thread, as long as no thread changes TZ (the environment) meanwhile.
 * @{
 */

/**
 * Parses a time expression relative to now: a copy of the text with 'A'..'Z' turned
 * to lower case (other bytes unchanged) goes to processTimeOffset with *pnSec set to
 * time(NULL) first.
 * \param timestampStr the expression
 * \param pnSec        receives the result
 * \return OS_OK, OS_ERR_TIME_PARSE, OS_ERR_INVALID_ARG (either pointer NULL; *pnSec
 *   untouched) or OS_ERR_NO_MEMORY (the copy failed; *pnSec untouched).
 */
ZU_API int32 os_relativetime_to_sec(const char* timestampStr, time_t* pnSec);
/**
 * The parser: szTimeStr relative to the base time in *pnSec, the result replacing
 * it. Pointers are not checked. Anchors and month and weekday names must be lower
 * case; unit words may be in any case. All calendar work is local time, and mktime
 * reads fields under the base time's daylight-saving state. Forms, tried in this
 * order; the first whose trigger holds is final:
 * - A "15-jan-24", "15-jan-2024 08:00[:05]": text of 7+ characters with a '-' and a
 *   further '-' from the third character after it on. Scanned
 *   `"%d-%3s-%d %d:%d:%d"`; 3, 5 or 6 items else failure. Years 0..99 are
 *   2000..2099. The result is stored even when the month word is unknown, which then
 *   fails.
 * - B "jan 20": a space and a word followed by a day; day 1..31 and a month name
 *   (whole word) else failure. Base year, 00:00:00.
 * - C "12/25", "5-1": month and day (`"%d/%d"`, else `"%d-%d"`); 1..12 and 1..31 else
 *   failure. Base year, 00:00:00; text after the day is ignored.
 * - D [anchor][offset], split at the first '+', '-' or '/'. Anchors: `"*"` now (month
 *   and year steps still count from the base time's month); "t" the base day's
 *   midnight; "y" that minus 86400 s; a weekday name: midnight of the most recent
 *   such day strictly before the base day; a month name: that month, base day,
 *   00:00:00; 4 digits: that year, base month and day, 00:00:00; other digits
 *   1..31: that day of the base month, 00:00:00. Offset: a number (`"%f"`: sign,
 *   decimal point, exponent) directly followed by a unit word; text after the
 *   letters is ignored. Units: s/second(s), m/minute(s), h/hour(s) (fractions
 *   allowed), d/day(s), w/week(s), mo/month(s), y/year(s) (whole counts only).
 *   Seconds to weeks add count x 60, 3600, 86400, or (86400 x count) x 7, each
 *   product rounded to float and truncated toward zero. Months step one at a time
 *   by the length of the month the step starts in (+1mo from 15 March adds 31
 *   days, -1mo subtracts 31); years by 366 or 365 days after the year the step
 *   starts in. An empty text returns OS_OK with the base time.
 *
 * After OS_ERR_TIME_PARSE *pnSec holds the base time, except when Form A stored its
 * result, or a Form D anchor was applied before the offset failed (the anchor's
 * result stands). Our choices where the grammar leaves them open:
 * - the base time must be one localtime can break down, else failure, untouched;
 * - an anchor longer than 9 characters fails (day numbers may carry leading zeros
 *   up to that length); a month word longer than 3 or a unit word that is not in
 *   the table fails; the offset text itself has no length limit ("+120minutes");
 * - a count that is infinite or not a number, a product outside the 64-bit range,
 *   a result that would overflow time_t, and a month or year count above 10000
 *   fail, with the anchor's result standing;
 * - numbers and blanks are read as in the C locale ('.' is the decimal point),
 *   whatever locale the calling thread uses; its locale is restored before return.
 *
 * \param szTimeStr the expression
 * \param pnSec     the base time in; the result out
 * \return OS_OK or OS_ERR_TIME_PARSE.
 */
ZU_API int32 processTimeOffset(const char* szTimeStr, time_t* pnSec);
/** @} */

/* ------------------------------------------------------------------------ */
/* Thread locks                                                             */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup threadlocks Thread locks
 * The platform's pthread objects with default, process-private attributes, for the
 * threads of one process. Any thread may use a lock; destroy must not run while a
 * thread holds or waits.
 * @{
 */

/** \name Spinlocks
 * @{ */
/**
 * Spinlock in the caller's memory (pthread_spin_*, PTHREAD_PROCESS_PRIVATE): init,
 * destroy, acquire (spins until it is free) and release. Nothing is checked or
 * allocated.
 * \param pSpinLock the spinlock
 * \return the platform's result, unchanged.
 */
ZU_API int32 os_spinlock_init(SPINLOCK* pSpinLock);
ZU_API int32 os_spinlock_destroy(SPINLOCK* pSpinLock);
ZU_API int32 os_spinlock_acquire(SPINLOCK* pSpinLock);
ZU_API int32 os_spinlock_release(SPINLOCK* pSpinLock);
/** @} */
/**
 * Allocates and initialises a mutex (not recursive). Nothing stays allocated after a
 * failure.
 * \param pMutexHandle receives the mutex, only on success; unchecked
 * \return OS_OK, OS_ERR_NO_MEMORY or the error number of pthread_mutex_init.
 */
ZU_API int os_mutex_init(MutexHandle* pMutexHandle);
/**
 * pthread_mutex_destroy (result ignored), then frees the mutex.
 * \param hMutex the mutex; asserted
 */
ZU_API void os_mutex_destroy(MutexHandle hMutex);
/** \name Mutex lock and unlock
 * @{ */
/**
 * Extensions: pthread_mutex_lock (os_mutex_acquire) / pthread_mutex_unlock
 * (os_mutex_release) on the handle. Locking the handle with the pthread calls
 * directly remains equivalent.
 * \param hMutex the mutex; asserted
 * \return OS_OK or the platform's error number.
 */
ZU_API int os_mutex_acquire(MutexHandle hMutex);
ZU_API int os_mutex_release(MutexHandle hMutex);
/** @} */
/**
 * Allocates and initialises a read-write lock; as os_mutex_init.
 * \param pRwMutexHandle receives the lock, only on success; unchecked
 * \return as os_mutex_init (the error number of pthread_rwlock_init).
 */
ZU_API int os_rwmutex_init(RwMutexHandle* pRwMutexHandle);
/**
 * pthread_rwlock_destroy (result ignored), then frees the lock.
 * \param hRwMutex the lock; asserted
 */
ZU_API void os_rwmutex_destroy(RwMutexHandle hRwMutex);
/** \name Read and write holds
 * @{ */
/**
 * Read hold (os_rwmutex_acquire_read) or write hold (os_rwmutex_acquire_write). After
 * a refusal the lock is not held.
 * \param hRwMutex the lock; asserted
 * \return OS_OK, or OS_ERR_RWLOCK_READ / OS_ERR_RWLOCK_WRITE for any refusal (EDEADLK
 *   when this thread already holds it for writing, EAGAIN at the maximum of read
 *   holds).
 */
ZU_API int os_rwmutex_acquire_read(RwMutexHandle hRwMutex);
ZU_API int os_rwmutex_acquire_write(RwMutexHandle hRwMutex);
/** @} */
/**
 * Releases a read or write hold.
 * \param hRwMutex the lock; asserted
 * \return pthread_rwlock_unlock's result, unchanged.
 */
ZU_API int os_rwmutex_release(RwMutexHandle hRwMutex);
/** @} */

/* ------------------------------------------------------------------------ */
/* Process semaphore                                                        */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup procsema Process semaphore
 * A counting semaphore shared by processes that name the same key file. The key file
 * is created if missing (0777 less the umask) and never removed; the key is
 * ftok(file, 0), so it follows the file's identity, not the path text. The object is
 * a System V set of two semaphores, mode 0777: 0 the count, 1 the number of
 * registered users. Every operation carries SEM_UNDO, so a process that ends gives
 * back its units and drops its registration. The handle is the set identifier,
 * valid in every process; there is nothing to free. Callers sharing a name pass the
 * same nInitCount. Any thread may use the handle; the threads that share one
 * registration are done with it before its destroy (the last destroy removes the set).
 * @{
 */

/**
 * Opens the semaphore, creating it with count nInitCount, and registers the caller.
 * - One init per name at a time: each holds an exclusive flock on the key file
 *   (opened O_CLOEXEC) from before its semget until it has registered, and waits
 *   for it as long as another init holds it (signals do not end that wait). The
 *   kernel drops the lock of a process that dies, so a crash cannot wedge it.
 * - The exclusive semget decides the creator, which sets both values, then
 *   registers. An opener joins a set in use (user count above 0) without touching
 *   the count. A set nobody has open is left behind when the process that last
 *   changed its user count has ended (its users ended without destroy, or a
 *   creator or destroyer died half-way): the opener resets the count to its own
 *   nInitCount and registers, same set. If that process is still alive (it is the
 *   last user, removing the set) or cannot be told (another pid namespace), the
 *   opener removes the set and creates a new one instead, so no opener ever joins
 *   a set that is being removed. A process that may not remove another user's set
 *   resets it in place.
 * - A set under the key with fewer than two semaphores: prints
 *   "os_proc_sema_init semget failed szSemaName <name>  exe cmd ipcrm -S <key>",
 *   runs that command to remove it and returns EINVAL; the next call creates anew.
 *   The command runs through system(3): while it runs, SIGINT and SIGQUIT are
 *   ignored in the whole process.
 *
 * \param szSemaName  the key file
 * \param nInitCount  the count of a new set, or of a left-behind one that is reset
 * \param pSemaHandle receives each semget result, so after a failure it may hold -1
 *                    or a removed set's identifier; asserted
 * \return OS_OK; the errno of opening the key file, of ftok, flock, semget, semctl or
 *   semop (ERANGE for nInitCount outside 0..32767: the half-made set is removed). A
 *   set removed by its last user during the call is created anew, not reported.
 */
ZU_API int os_proc_sema_init(const char* szSemaName, int nInitCount, SemaHandle* pSemaHandle);
/**
 * Unregisters one use (IPC_NOWAIT). The one call that takes the user count from 1
 * to 0 (tested and done in one semop, so two last users leaving at once cannot both
 * think so) removes the set; an init running meanwhile never joins it. The removal
 * needs the right to remove the set (its owner, creator or a privileged process);
 * without it the set stays behind for the next init.
 * \param hSema the semaphore
 * \return OS_OK or errno: EAGAIN when the user count is already 0, EINVAL/EIDRM when
 *   the set is gone.
 */
ZU_API int os_proc_sema_destroy(SemaHandle hSema);
/**
 * Takes one unit, waiting while the count is 0.
 * \param hSema the semaphore
 * \return OS_OK or errno: EINTR when a signal interrupts the wait (not retried),
 *   EIDRM when the set is removed meanwhile.
 */
ZU_API int os_proc_sema_acquire(SemaHandle hSema);
/**
 * Gives one unit back. Units released without being acquired are taken away again
 * when the releasing process ends (SEM_UNDO).
 * \param hSema the semaphore
 * \return OS_OK or errno (ERANGE when the count would exceed 32767; it stays as it
 *   was).
 */
ZU_API int os_proc_sema_release(SemaHandle hSema);
/**
 * Takes one unit without waiting.
 * \param hSema the semaphore
 * \return OS_OK, OS_ERR_SEMA_BUSY when the count is 0, or errno.
 */
ZU_API int os_proc_sema_tryacquire(SemaHandle hSema);
/**
 * Extension: takes one unit, waiting at most nMSecTimeout milliseconds while the
 * count is 0 (semtimedop, SEM_UNDO like every operation here). A signal does not end
 * the wait: it resumes with what remains until a deadline on the monotonic clock
 * fixed at the call, so the wait is never shorter than asked and setting the system
 * time does not affect it.
 * \param hSema        the semaphore
 * \param nMSecTimeout milliseconds; 0 takes an available unit or fails at once
 * \return OS_OK, OS_ERR_SEMA_BUSY when the time-out expires, EINVAL for a negative
 *   nMSecTimeout (nothing waited), or errno (EIDRM when the set is removed meanwhile,
 *   EINVAL for a set that does not exist).
 */
ZU_API int os_proc_sema_timedacquire(SemaHandle hSema, int32 nMSecTimeout);
/** @} */

/* ------------------------------------------------------------------------ */
/* Process mutex                                                            */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup procmutex Process mutex
 * A mutex shared by processes that name the same key file (key-file rules as for the
 * process semaphore): a process-shared, robust pthread mutex at the start of a
 * System V segment of exactly one ProcMutex, mode 0666. The handle is a per-process
 * record freed by os_proc_mutex_destroy: any thread of the process may use it, but
 * not while it is destroyed. Do not use the same key file for a shared-memory
 * segment.
 * @{
 */

/**
 * Creates or opens the mutex. One init per name at a time: each holds an exclusive
 * flock on the key file (opened O_CLOEXEC) from before its shmget until the mutex
 * is initialised, and waits for it, trying every millisecond, up to about 1 s. The
 * exclusive shmget decides the creator, which initialises the mutex robust and
 * process-shared; an opener attaches without the 1 ms pause, since the lock already
 * waits for the creator. The kernel zero-fills a new segment and an initialised
 * mutex is never all zero bytes, so a mutex found all zeros under the lock was
 * abandoned by a creator that ended half-way (the kernel dropped its lock, whether
 * it is a zombie or its pid now names another process): the opener initialises it
 * and succeeds. A live creator that is slow (stopped, say) keeps the lock, and the
 * opener gives up after its wait with OS_ERR_PROC_MUTEX_INIT. A segment created by
 * this call stays if attaching it fails.
 * \param szMutexName the key file
 * \param phMutex     receives the handle; NULL after any failure; unchecked
 * \return OS_OK; OS_ERR_NO_MEMORY (checked first); the errno of opening the key
 *   file; OS_ERR_PROC_MUTEX_INIT when ftok, shmget or shmat fail (a smaller segment
 *   under the key included) or another init keeps the lock for the whole wait.
 */
ZU_API int32 os_proc_mutex_init(const char* szMutexName, ProcMutexHandle* phMutex);
/**
 * Locks, waiting while any thread of any attached process holds it. When the holder
 * died holding it (EOWNERDEAD), the lock is made consistent and the new holder gets
 * OS_OK: the data it guards may be half-updated. Other lock results are not
 * reported.
 * \param hMutex the mutex
 * \return OS_OK, or OS_ERR_PROC_MUTEX_NULL for a NULL handle.
 */
ZU_API int32 os_proc_mutex_acquire(ProcMutexHandle hMutex);
/**
 * Extension: locks like os_proc_mutex_acquire, waiting at most nMSecTimeout
 * milliseconds (pthread_mutex_clocklock against a deadline on the monotonic clock
 * fixed at the call: setting the system time does not move it, signals do not end
 * it). A holder that died is dealt with as there: OS_OK, the data it guarded
 * possibly half-updated. Unlike the untimed acquire, other lock results are
 * reported.
 * \param hMutex       the mutex
 * \param nMSecTimeout milliseconds; 0 takes a free mutex or fails at once
 * \return OS_OK; OS_ERR_PROC_MUTEX_NULL for a NULL handle; EINVAL for a negative
 *   nMSecTimeout (nothing waited); OS_ERR_PROC_MUTEX_TIMEOUT when the time-out
 *   expires, also for a thread that already holds the mutex (it is not
 *   error-checking: no EDEADLK, the call waits the time-out out); otherwise the
 *   lock's error number (ENOTRECOVERABLE for a mutex released, after its holder died,
 *   without being made consistent: only code outside this library can leave it so).
 */
ZU_API int32 os_proc_mutex_timedacquire(ProcMutexHandle hMutex, int32 nMSecTimeout);
/**
 * Unlocks (result not examined).
 * \param hMutex the mutex
 * \return OS_OK or OS_ERR_PROC_MUTEX_NULL.
 */
ZU_API int32 os_proc_mutex_release(ProcMutexHandle hMutex);
/**
 * Marks the segment for removal (every destroy does: a later init of the name gets a
 * new mutex while attached processes keep the old one, so a group destroys only
 * when all of it is done), destroys the mutex when this process is the last one
 * attached, detaches and frees the record, also on failure.
 * \param hMutex the mutex
 * \return OS_OK, OS_ERR_PROC_MUTEX_NULL, or OS_ERR_PROC_MUTEX_DESTROY when IPC_STAT,
 *   IPC_RMID or shmdt fail (a failure before shmdt leaves the segment attached).
 */
ZU_API int32 os_proc_mutex_destroy(ProcMutexHandle hMutex);
/** @} */

/* ------------------------------------------------------------------------ */
/* Events                                                                   */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup events Events
 * An event is a POSIX semaphore that starts at 0; a wait takes one unit. Unnamed
 * events are private to the process; a named one is the named semaphore of that name
 * (passed to sem_open as given), shared by every process opening it, and it keeps
 * its value in the system after all users close it, until os_event_remove. Any
 * thread may wait on or set an event. The record is not locked: destroy must not
 * overlap a wait or post on the handle.
 * @{
 */

/**
 * Creates an unnamed event (szEventName NULL: sem_init, not shared, value 0) or
 * opens the named one, creating it with value 0 and mode 0644 less the umask. When
 * sem_open fails the name is unlinked and "#SEM_FAILED#[<name>]" and an empty line
 * are printed. Nothing stays allocated after a failure.
 * \param pEvent      receives the event; NULL after any failure; asserted
 * \param szEventName NULL, or the name of a named event
 * \return OS_OK, OS_ERR_NO_MEMORY, or the errno of sem_init / sem_open.
 */
ZU_API int32 os_event_init(EventHandle* pEvent, const char* szEventName);
/**
 * sem_close (named: the name and value stay) or sem_destroy (unnamed), then frees
 * the record, also on failure.
 * \param hEvent the event; asserted
 * \return OS_OK or errno.
 */
ZU_API int32 os_event_destroy(EventHandle hEvent);
/**
 * Waits for one unit until a deadline on the real-time clock: now + nSecTimeout
 * seconds + nMSecTimeout milliseconds. A signal does not end the wait: it resumes
 * with the same deadline. A deadline in the past takes an available unit or times
 * out at once; moving the clock moves the deadline.
 * \param hEvent       the event; unchecked
 * \param nSecTimeout  seconds
 * \param nMSecTimeout milliseconds: give 0..999; other values can leave the
 *                     nanoseconds out of range and yield EINVAL
 * \return OS_OK, OS_ERR_EVENT_TIMEOUT, OS_ERR_EVENT_CLOCK, or errno.
 */
ZU_API int32 os_event_timedwait(EventHandle hEvent, int32 nSecTimeout, int32 nMSecTimeout);
/**
 * Extension: the same wait against a deadline on the monotonic clock (sem_clockwait),
 * so setting the system time neither shortens nor stretches it. The deadline, now +
 * nSecTimeout s + nMSecTimeout ms, is computed in 64 bits and fully normalised. A
 * signal does not end the wait: it resumes with the same deadline.
 * \param hEvent       the event; asserted
 * \param nSecTimeout  seconds
 * \param nMSecTimeout milliseconds: any count is valid (1500 is 1.5 s)
 * \return OS_OK; OS_ERR_EVENT_TIMEOUT (0, 0 takes an available unit or times out at
 *   once); EINVAL when either time-out is negative (nothing waited);
 *   OS_ERR_EVENT_CLOCK when the clock cannot be read; or errno.
 */
ZU_API int32 os_event_timedwait_monotonic(EventHandle hEvent, int32 nSecTimeout,
                                          int32 nMSecTimeout);
/**
 * Extension: posts one unit (sem_post).
 * \param hEvent the event; asserted
 * \return OS_OK or errno (EOVERFLOW at the maximum).
 */
ZU_API int32 os_event_set(EventHandle hEvent);
/**
 * Extension: removes a named event's name from the system (sem_unlink); processes
 * that have it open keep using it.
 * \param szEventName the name; asserted
 * \return OS_OK or errno (ENOENT for an unknown name).
 */
ZU_API int32 os_event_remove(const char* szEventName);
/** @} */

/* ------------------------------------------------------------------------ */
/* File mapping                                                             */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup filemap File mapping
 * Shared, read-write, locked views of an open file. Usage: open the file O_RDWR,
 * size it to cover every view (os_file_truncate), create, map / flush / unmap views,
 * close, os_file_close. A view may be used from any thread; unmapping must not
 * overlap its use.
 * @{
 */

/**
 * The mapping object is the file descriptor itself. nSize and szMappingName are not
 * used: the file is neither resized nor named. The descriptor stays owned by its
 * opener.
 * \param hFile         the descriptor, open O_RDWR; hFile != -1 asserted
 * \param nSize         not used
 * \param szMappingName not used; may be NULL
 * \param pFileMap      receives hFile; asserted
 * \return OS_OK.
 */
ZU_API int os_mem_filemap_create(HANDLE hFile, uint64 nSize, const char* szMappingName,
                                 FileMapHandle* pFileMap);
/**
 * Maps nNumMapBytes of the file from offset nOffsetPos at an address the system
 * chooses: PROT_READ | PROT_WRITE, MAP_SHARED (writes reach the file and every other
 * view) and MAP_LOCKED (counts against RLIMIT_MEMLOCK). Touching a page past the end
 * of the file raises SIGBUS.
 * \param hFileMapping the mapping; hFileMapping != 0 asserted
 * \param nOffsetPos   offset in the file (full 64 bits; a multiple of the page size)
 * \param nNumMapBytes length of the view
 * \param pMapView     receives the view's address, MAP_FAILED after a failure;
 *                     asserted
 * \return OS_OK, or the errno of mmap: EACCES (file not open read-write), EINVAL
 *   (unaligned offset, zero length), EAGAIN/EPERM (locking refused), ENOMEM.
 */
ZU_API int os_mem_fileview_map(FileMapHandle hFileMapping, uint64 nOffsetPos, size_t nNumMapBytes,
                               void** pMapView);
/**
 * munmap.
 * \param pMapView     the view's address; asserted
 * \param nNumMapBytes its length
 * \return OS_OK or OS_ERR_MEM_UNMAP_VIEW (an unaligned address, say).
 */
ZU_API int os_mem_fileview_unmap(void* pMapView, size_t nNumMapBytes);
/**
 * Schedules the write-back of nBytes from pBaseAddr (msync MS_ASYNC) without waiting.
 * Nothing is checked.
 * \param pBaseAddr start of the range, page-aligned
 * \param nBytes    its length
 * \return OS_OK or the errno of msync (EINVAL unaligned address, ENOMEM range not
 *   mapped).
 */
ZU_API int32 os_mem_filemap_flushview(void* pBaseAddr, int64 nBytes);
/**
 * Does nothing; the descriptor stays open and usable.
 * \param hFileMapping the mapping
 * \return OS_OK.
 */
ZU_API int os_mem_filemap_close(FileMapHandle hFileMapping);
/** @} */

/* ------------------------------------------------------------------------ */
/* Shared-memory segments                                                   */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup sharemem Shared-memory segments
 * System V segments named by a key file. They stay in the system until
 * os_mem_sharemem_close, even when every user has ended.
 * @{
 */

/**
 * Creates or opens the System V segment (mode 0666) of at least nSize bytes whose key
 * is ftok(szShmName, 0); the key file is created if missing (0777 less the umask)
 * and never removed. No exclusivity: an existing segment that is large enough is
 * opened with its contents, a new one is zero-filled. When the first shmget fails
 * for any reason (an existing segment too small, foreign permissions),
 * "ipcrm -M <key>" is run through system() (output and status ignored; while it
 * runs, SIGINT and SIGQUIT are ignored in the whole process) and shmget is tried
 * once more, so a smaller segment is replaced for everyone: processes still attached
 * keep the old memory. Nothing is checked: szShmName and pHandle must be valid.
 * \param nSize     the least size in bytes
 * \param szShmName the key file
 * \param pHandle   receives the segment's identifier on success
 * \return OS_OK; the errno of opening the key file, of ftok, or of the second shmget.
 */
ZU_API int32 os_mem_sharemem_create(uint32 nSize, const char* szShmName, MemMapHandle* pHandle);
/**
 * Attaches a segment read-write at an address the system chooses.
 * \param hMapping  the segment's identifier
 * \param pShareMem receives the address, (void*)-1 after a failure; asserted
 * \return OS_OK, or the errno of shmat.
 */
ZU_API int os_mem_sharemem_map(HANDLE hMapping, void** pShareMem);
/**
 * Detaches a segment.
 * \param pShm the address it is attached at
 * \return OS_OK or OS_ERR_SHM_UNMAP.
 */
ZU_API int os_mem_sharemem_unmap(void* pShm);
/**
 * Marks the segment for removal (IPC_RMID): it leaves its key at once, and attached
 * processes keep its memory until they detach. Called once, by the process that
 * decides it is done.
 * \param hMapping the segment's identifier
 * \return OS_OK or OS_ERR_SHM_CLOSE (no such segment, not permitted).
 */
ZU_API int os_mem_sharemem_close(MemMapHandle hMapping);
/** @} */

/* ------------------------------------------------------------------------ */
/* Network: addresses and name resolution                                   */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup netaddr Network: addresses and name resolution
 * IPv4 integer form: host order, first dotted field in the most significant byte
 * (192.168.1.2 is 0xC0A80102). Dotted text buffers hold at least 16 bytes.
 * Pointers are not checked; outputs are untouched on failure.
 * @{
 */

/**
 * Strict dotted-decimal text, as inet_pton(AF_INET) accepts it (four fields 0-255
 * without leading zeros, nothing before or after), to the integer form.
 * \param szIp  the text
 * \param ipint receives the integer form
 * \return OS_OK, or OS_ERR_NET_BAD_IP for any other text.
 */
ZU_API int32 os_network_ip2int(const char* szIp, uint32* ipint);
/**
 * Integer form to dotted text ("0.0.0.0" for 0).
 * \param ipint the integer form
 * \param szIp  receives the text (16 bytes)
 * \return OS_OK or errno.
 */
ZU_API int32 os_network_int2ip(uint32 ipint, char* szIp);
/**
 * Dotted text of the first IPv4 address getaddrinfo lists for szHostName (IPv4/TCP
 * hints, no service). When the resolver fails, prints
 * "getaddrinfo failed with error: <code>" on stdout and returns OS_ERR_NET_RESOLVE.
 * Entries of other families are skipped with one line each ("AF_INET6 (IPv6)",
 * "getaddrinfo ai_family Unspecified", "Other ai_family [<n>]").
 * \param szHostName a name or numeric text
 * \param szIp       receives the text (16 bytes)
 * \return OS_OK; OS_ERR_NET_RESOLVE when the resolver fails or the list has no IPv4
 *   entry; errno of inet_ntop otherwise.
 */
ZU_API int32 os_network_get_host_by_name(char* szHostName, char* szIp);
/**
 * Server identifier (nIpV4 << 16) + nPort: port in bits 0-15, address in 16-47.
 * \param nIpV4 the address in integer form
 * \param nPort the port
 * \return the identifier (not a result code).
 */
ZU_API uint64 os_network_generate_srvid(uint32 nIpV4, uint16 nPort);
/** @} */

/* ------------------------------------------------------------------------ */
/* Network: sockets                                                         */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup sockets Network: sockets
 * Sockets are plain descriptors, serialised by their callers (os_network_closesocket
 * must not overlap any other use). Results: OS_OK or the unchanged errno of the
 * failing call; outputs are written only on success. Pointers are not checked.
 * Nothing here changes a socket's blocking mode except os_network_setsock_blocking,
 * and nothing closes one except os_network_closesocket.
 * @{
 */

/** \name Start-up and clean-up
 * @{ */
/**
 * Both do nothing; any number of calls, in any order.
 * \return OS_OK.
 */
ZU_API int32 os_network_startup(void);
ZU_API int32 os_network_clean(void);
/** @} */
/**
 * socket(nDomain, nType, nProtocol).
 * \param nDomain   the address family (AF_INET, ...)
 * \param nType     the socket type (SOCK_STREAM, ...)
 * \param nProtocol the protocol, usually 0
 * \param pSocket   receives the new descriptor
 * \return OS_OK or errno.
 */
ZU_API int32 os_network_socket(int32 nDomain, int32 nType, int32 nProtocol, int* pSocket);
/**
 * One recv in the socket's own mode, without waiting first.
 * \param sock       the socket
 * \param pBuf       receives the bytes
 * \param nLen       its size; negative gives EINVAL
 * \param nFlags     recv flags
 * \param pRecvBytes receives the number of bytes received (0 when the peer closed)
 * \return OS_OK or errno.
 */
ZU_API int32 os_network_recv(int sock, void* pBuf, int32 nLen, int32 nFlags, int32* pRecvBytes);
/**
 * select() as is.
 * \param fds      the highest descriptor plus one
 * \param readfds  descriptors to watch for reading, or NULL
 * \param writefds descriptors to watch for writing, or NULL
 * \param errorfds descriptors to watch for exceptional conditions, or NULL
 * \param sock_num receives the number of ready descriptors (0 on time-out, still
 *                 OS_OK)
 * \param timeout  the longest wait, or NULL for no limit
 * \return OS_OK or errno.
 */
ZU_API int32 os_network_select(int32 fds, fd_set* readfds, fd_set* writefds, fd_set* errorfds,
                               int32* sock_num, struct timeval* timeout);
/**
 * shutdown(sock, nHow).
 * \param sock the socket
 * \param nHow 0, 1, 2 are SHUT_RD, SHUT_WR, SHUT_RDWR; other values are passed on
 *             (EINVAL)
 * \return OS_OK or errno.
 */
ZU_API int32 os_network_shutdown(int sock, int32 nHow);
/**
 * close(sock), never retried.
 * \param sock the socket
 * \return OS_OK or errno; a closed descriptor gives EBADF.
 */
ZU_API int32 os_network_closesocket(int sock);
/**
 * Sets the socket blocking or non-blocking. Every other status flag is kept.
 * \param sock      the socket
 * \param bBlocking non-zero (any byte): blocking; zero: non-blocking
 * \return OS_OK or errno of F_SETFL.
 */
ZU_API int32 os_network_setsock_blocking(int sock, bool bBlocking);
/**
 * A plain connect(), in the socket's own mode.
 * \param sock     the socket
 * \param pAddr    the address to connect to
 * \param nAddrLen its length
 * \return OS_OK or errno (EINPROGRESS on a non-blocking socket whose attempt goes
 *   on).
 */
ZU_API int32 os_network_connect(int sock, const struct sockaddr* pAddr, int32 nAddrLen);
/**
 * Connects within *timeout; the limit governs only a socket the caller made
 * non-blocking (a blocking connect waits by itself). A negative field of *timeout
 * gives EINVAL, as select does, once connect has been called (a non-blocking attempt
 * stays pending; a blocking one has ended). The wait uses poll, so any descriptor
 * number works, 1024 and above included.
 * \param sock     the socket
 * \param pAddr    the address to connect to
 * \param nAddrLen its length
 * \param timeout  NULL: no limit; {0,0}: only polls; microseconds of a million or
 *                 more carry into the seconds. A time-out longer than 64-bit
 *                 nanoseconds can count (about 292 years, as {LONG_MAX, LONG_MAX})
 *                 waits that longest time, in effect without limit. The unslept
 *                 remainder is written back into it, as select does.
 * \return OS_OK, OS_ERR_NET_CONNECT_TIMEOUT (the attempt stays pending, the socket
 *   open), the errno of connect or of the wait (EINTR), or the attempt's own error
 *   read from SO_ERROR (ECONNREFUSED...).
 */
ZU_API int32 os_network_connect_timeout(int sock, const struct sockaddr* pAddr, int32 nAddrLen,
                                        struct timeval* timeout);
/**
 * Waits without limit until sock is writable (poll: any descriptor number), then
 * sends once.
 * \param sock       the socket; a negative sock is not waited on (send reports
 *                   EBADF)
 * \param pBuf       the bytes to send
 * \param nLen       their number; negative gives EINVAL
 * \param nFlags     send flags
 * \param pSentBytes receives the number of bytes accepted (may be < nLen: the caller
 *                   sends the rest)
 * \return OS_OK, OS_ERR_NET_DOWN for ENETDOWN, or errno (EAGAIN on a non-blocking
 *   socket another thread filled in between).
 */
ZU_API int32 os_network_send(int sock, const void* pBuf, int32 nLen, int32 nFlags,
                             int32* pSentBytes);
/** @} */

/* ------------------------------------------------------------------------ */
/* Network: local interfaces                                                */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup netlocal Network: local interfaces
 * The host's MAC address, its IPv4 addresses and a socket's peer. Nothing is cached:
 * each call rescans.
 * @{
 */

/**
 * The first acceptable MAC address among `/sys/class/net/<name>/address`, in
 * directory order, skipping lo and names beginning with "br" or "docker". A
 * candidate is the first line, at most 17 characters; it is accepted when it is
 * exactly six ':'-separated pairs of hexadecimal digits.
 * \param szMacAddr receives it as "00-1A-2B-3C-4D-5E" (upper case); at least 18 bytes
 * \return OS_OK, OS_ERR_NET_NULL_ARG for a NULL szMacAddr, or OS_ERR_NET_NO_MAC
 *   (szMacAddr then holds "" or the last rejected candidate).
 */
ZU_API int os_network_get_local_mac_addr(char* szMacAddr);
/**
 * The host's IPv4 addresses (SIOCGIFCONF, room for 16 entries, so at most 16), in
 * the reverse of the kernel's list order, 127.0.0.1 included, as a heap array of
 * integer-form values; release it with os_network_free_localip. Entries whose
 * address cannot be read are left out.
 * \param pIP    receives the array
 * \param pIPNum receives its length
 * \return OS_OK; OS_ERR_NO_MEMORY (*pIP NULL, *pIPNum the number of list entries);
 *   or the errno of socket or of the list request (*pIP NULL, *pIPNum 0).
 */
ZU_API int32 os_network_get_localip(uint32** pIP, int32* pIPNum);
/**
 * Frees an array of os_network_get_localip.
 * \param pIP the array; NULL does nothing
 */
ZU_API void os_network_free_localip(uint32* pIP);
/**
 * The IPv4 address of the peer of a connected socket. The family is not checked:
 * only IPv4 sockets give a meaningful value.
 * \param sock the socket
 * \param pIP  receives the address in integer form; set to 0 first
 * \return OS_OK or errno of getpeername (ENOTCONN when not connected).
 */
ZU_API int32 os_network_get_socket_ip(int sock, uint32* pIP);
/** @} */

/* ------------------------------------------------------------------------ */
/* Character sets                                                           */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup charsets Character sets
 * Conversions of NUL-terminated byte strings between the system character set, UTF-8
 * and a selected set, through iconv. Results: OS_OK, OS_ERR_CONV_OPEN (converter not
 * available), OS_ERR_CONV_FAILED (invalid or incomplete input, a character without
 * equivalent, or output that does not fit), OS_ERR_CONV_BAD_ARG; 0 always means the
 * whole source was converted or copied. Nothing asserts. Lengths are bytes.
 *
 * The system set comes from LANG, read on every call and matched whole and
 * case-sensitively (no other locale variable, and the process locale is untouched):
 * \verbatim
   zh_CN.UTF-8 zh.UTF-8 zh.utf8 zh.utf-8 zh_CN.utf-8 zh_CN.utf8  -> UTF-8 (copy)
   zh_CN.GBK zh.GBK zh_CN.gbk zh.gbk zh_CN.hp15CN                -> "gbk"
   zh_CN.GB18030 zh.GB18030                                      -> "GB18030"
   zh_CN.gb18030            -> "GB18030" from UTF-8 only; to UTF-8 it copies
   zh_CN.GB2312 zh.GB2312                                        -> "GB2312"
   unset or anything else                                        -> UTF-8 (copy)
   \endverbatim
 * A copy does not examine the bytes and never truncates: a source longer than
 * nDesLen - 1 bytes gives OS_ERR_CONV_BAD_ARG with the destination all zero.
 * Each call opens and closes its own converter: safe from any number of threads, as
 * long as no thread changes the environment meanwhile.
 * @{
 */

/**
 * Converts exactly inlen bytes from from_charset to to_charset, in one iconv call
 * with no shift-state flush. Unchecked: valid pointers, inlen and outlen not
 * negative.
 * \param from_charset the source set (an iconv name)
 * \param to_charset   the target set (an iconv name)
 * \param inbuf        the source bytes
 * \param inlen        their number
 * \param outbuf       receives the output; on OS_OK a terminator follows it, so
 *                     outbuf must hold outlen + 1 bytes. On OS_ERR_CONV_FAILED it
 *                     holds the output before the stop and no terminator; on
 *                     OS_ERR_CONV_OPEN it is untouched
 * \param outlen       the room for the output, terminator excluded
 * \return OS_OK, OS_ERR_CONV_OPEN or OS_ERR_CONV_FAILED.
 */
ZU_API int32 code_convert(const char* from_charset, const char* to_charset, const char* inbuf,
                          int inlen, char* outbuf, int outlen);
/** \name System set and UTF-8
 * @{ */
/**
 * System set to UTF-8 (os_lang_conv_sys_to_utf8) and back (os_lang_conv_utf8_to_sys).
 * A null pointer or nDesLen below 1 gives OS_ERR_CONV_BAD_ARG with szDest untouched.
 * Otherwise all nDesLen bytes are cleared first, so szDest is terminated whatever the
 * result: after a failed conversion it holds the prefix converted before the stop.
 * An empty source gives OS_OK without reading LANG or opening a converter.
 * \param szSrc   the NUL-terminated source
 * \param szDest  receives the converted text
 * \param nDesLen the destination size, terminator included
 * \return OS_OK, OS_ERR_CONV_OPEN, OS_ERR_CONV_FAILED or OS_ERR_CONV_BAD_ARG.
 */
ZU_API int32 os_lang_conv_sys_to_utf8(const char* szSrc, char* szDest, int nDesLen);
ZU_API int32 os_lang_conv_utf8_to_sys(const char* szSrc, char* szDest, int nDesLen);
/** @} */
/**
 * Clears all nDesLen bytes, then copies szSrc whole if it fits in nDesLen - 1 bytes.
 * Unchecked: non-null pointers and nDesLen of at least 1.
 * \param szSrc   the NUL-terminated source
 * \param szDest  receives the copy
 * \param nDesLen the destination size, terminator included
 * \return OS_OK, else OS_ERR_CONV_BAD_ARG (szDest stays all zero).
 */
ZU_API int32 _zu_safe_strncpy(const char* szSrc, char* szDest, int nDesLen);
/** \name Selected set and UTF-8
 * @{ */
/**
 * Text in the selected set to UTF-8 (os_lang_conv_given_to_unicode), and back
 * (os_lang_conv_unicode_to_given). ZU_OS_CHARSET_ANSI converts from/to "GB18030"
 * whatever LANG says, without clearing szDest first (after a failure its contents
 * are unspecified) and needing room for the output and its terminator within
 * nDesLen; ZU_OS_CHARSET_UNICODE is _zu_safe_strncpy; ZU_OS_CHARSET_SYS and any
 * other value are the system/UTF-8 pair above.
 * \param charset the selected set
 * \param szSrc   the NUL-terminated source
 * \param szDest  receives the converted text
 * \param nDesLen the destination size, terminator included
 * \return null pointers or nDesLen below 1 give OS_ERR_CONV_BAD_ARG first; then the
 *   result of the conversion chosen.
 */
ZU_API int32 os_lang_conv_given_to_unicode(ZU_OS_CHARSET charset, const char* szSrc, char* szDest,
                                           int nDesLen);
ZU_API int32 os_lang_conv_unicode_to_given(ZU_OS_CHARSET charset, const char* szSrc, char* szDest,
                                           int nDesLen);
/** @} */
/** \name ANSI (here the system set) and UTF-8
 * @{ */
/**
 * Exactly os_lang_conv_sys_to_utf8 (_os_lang_conv_ansi_to_unicode) /
 * os_lang_conv_utf8_to_sys (_os_lang_conv_unicode_to_ansi): here "ANSI" is the
 * system set from LANG, not GB18030.
 * \param szSrc   the NUL-terminated source
 * \param szDest  receives the converted text
 * \param nDesLen the destination size, terminator included
 * \return as os_lang_conv_sys_to_utf8.
 */
ZU_API int32 _os_lang_conv_ansi_to_unicode(const char* szSrc, char* szDest, int nDesLen);
ZU_API int32 _os_lang_conv_unicode_to_ansi(const char* szSrc, char* szDest, int nDesLen);
/** @} */

/**
 * \defgroup converters Reusable converters
 * Extension: reusable converters, for converting many strings between the same two
 * sets without opening a converter per string. A converter is opened once, converts
 * any number of strings, and is closed; it must be used by one thread at a time
 * (any number of converters may work at once).
 *
 * Between a GB set and UTF-8 a converter remembers what iconv made of each character
 * it has met and assembles later strings from that, handing anything else back to
 * iconv; the memory for it is an anonymous mapping of at most 512 KB whose pages are
 * only touched as characters are met, released by close.
 * @{
 */

/**
 * Opens a converter between two sets named as code_convert takes them.
 * \param from_charset the source set: "utf8", "gbk", "GB18030", "GB2312", or any
 *                     other name iconv knows
 * \param to_charset   the target set, likewise
 * \param phConv       receives the converter; NULL after any failure
 * \return OS_OK; OS_ERR_CONV_BAD_ARG (a null pointer; *phConv is set to NULL when
 *   phConv is not null); OS_ERR_NO_MEMORY; OS_ERR_CONV_OPEN (the pair is not
 *   available).
 */
ZU_API int32 os_lang_converter_open(const char* from_charset, const char* to_charset,
                                    LangConvHandle* phConv);
/**
 * Opens a converter between two selectors, resolved once, when it is called:
 * ZU_OS_CHARSET_ANSI is "GB18030", ZU_OS_CHARSET_UNICODE is UTF-8, and
 * ZU_OS_CHARSET_SYS (or any other value) is the system set from LANG as it is at
 * that moment, looked up as a source in the system-to-UTF-8 column and as a target
 * in the UTF-8-to-system column. A selector pair whose two sides both come out as
 * UTF-8 makes a copying converter that, like the per-call copy rule, passes the
 * bytes unchanged.
 * \param from   the source selector
 * \param to     the target selector
 * \param phConv receives the converter; NULL after any failure
 * \return as os_lang_converter_open.
 */
ZU_API int32 os_lang_converter_open_given(ZU_OS_CHARSET from, ZU_OS_CHARSET to,
                                          LangConvHandle* phConv);
/**
 * Converts exactly inlen bytes with the results and destination rules of
 * code_convert. Every call starts from the initial shift state, whatever the
 * previous one left. A copying converter copies the inlen bytes and a terminator, or
 * gives OS_ERR_CONV_FAILED with outbuf untouched when inlen exceeds outlen. Unlike
 * code_convert it checks its arguments.
 * \param hConv  the converter
 * \param inbuf  the source bytes
 * \param inlen  their number
 * \param outbuf receives the output; must hold outlen + 1 bytes
 * \param outlen the room for the output, terminator excluded
 * \return OS_OK with a terminator after the output; OS_ERR_CONV_FAILED (invalid or
 *   incomplete input, no equivalent, output longer than outlen) with the output
 *   before the stop and no terminator; OS_ERR_CONV_BAD_ARG for a null pointer or a
 *   negative length.
 */
ZU_API int32 os_lang_converter_convert(LangConvHandle hConv, const char* inbuf, int inlen,
                                       char* outbuf, int outlen);
/**
 * Closes the converter and frees it, also on failure.
 * \param hConv the converter
 * \return OS_OK, OS_ERR_CONV_BAD_ARG for NULL, or the errno of iconv_close.
 */
ZU_API int32 os_lang_converter_close(LangConvHandle hConv);
/** @} */
/** @} */

/* ------------------------------------------------------------------------ */
/* Processes                                                                */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup processes Processes
 * A process is its id; the library keeps no record. Any thread may call these.
 * @{
 */

/**
 * Forks; the child execs szFileName with argv as its only argument string. A name
 * without any '/' runs "./name" from the current directory; the search path is never
 * used. Environment and open descriptors are inherited. The parent gets OS_OK at
 * once, without learning whether the program started. A child whose exec fails ends
 * at once with _exit(127): it never returns into the caller's code as a copy of the
 * caller; collect it with os_process_wait as usual.
 * \param szFileName the program; asserted
 * \param argv       the child's argument zero, not split at blanks; null gives an
 *                   empty vector
 * \param pProcess   receives the child's id in the parent; asserted
 * \return OS_OK; OS_ERR_PROCESS_SPAWN, with *pProcess = -1 and no child, when fork
 *   fails or when the "./name" path cannot be allocated (it is built before fork).
 */
ZU_API int32 os_process_spawn(const char* szFileName, const char* argv, ProcessHandle* pProcess);
/**
 * waitpid(hProcess, no status, 0): blocks until the child ends and collects it. The
 * exit status is not reported. A child can be collected once: a second wait, from
 * any thread, fails.
 * \param hProcess the child's id; an id that is not positive (the -1 of a failed
 *                 spawn, 0) names no process: it gives OS_ERR_PROCESS_WAIT without
 *                 waiting, and never collects some other child
 * \return OS_OK, or OS_ERR_PROCESS_WAIT for any failure (no such child, already
 *   collected, interrupted by a signal: not retried).
 */
ZU_API int32 os_process_wait(ProcessHandle hProcess);
/**
 * kill(hProcess, SIGKILL). Does not wait; collect the child with os_process_wait
 * afterwards.
 * \param hProcess the process's id; an id that is not positive (the -1 of a failed
 *                 spawn, 0) names no process: it gives ESRCH and nothing is
 *                 signalled, never the caller's process group or every process it
 *                 may signal
 * \return OS_OK or errno (ESRCH, EPERM).
 */
ZU_API int32 os_process_terminate(ProcessHandle hProcess);
/**
 * getpid().
 * \return the caller's process id, not a result code.
 */
ZU_API int32 os_process_get_curr_id(void);
/** @} */

/* ------------------------------------------------------------------------ */
/* Threads                                                                  */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup threads Threads
 * A thread is its pthread_t; the library keeps no record and sets no attribute, so
 * threads are joinable with the default stack and scheduling. No pointer is checked.
 * The platform's error numbers are not passed on. A thread is joined once, by one
 * thread.
 * @{
 */

/**
 * pthread_create with default attributes.
 * \param pThreadHandle receives the new thread's id (meaningless after a failure)
 * \param thrFunc       the thread's entry function
 * \param pArg          its argument
 * \return OS_OK or OS_ERR_THREAD_CREATE.
 */
ZU_API int os_thread_create(ThreadHandle* pThreadHandle, THR_FUNC thrFunc, void* pArg);
/**
 * pthread_join, the thread's return value discarded. The handle is then invalid.
 * \param hThread the thread
 * \return OS_OK or OS_ERR_THREAD_JOIN (not joinable, already being joined, or the
 *   caller itself).
 */
ZU_API int os_thread_join(ThreadHandle hThread);
/**
 * The same call as os_thread_join.
 * \param hThread the thread
 * \return as os_thread_join.
 */
ZU_API int os_thread_join_with_msgwait(ThreadHandle hThread);
/**
 * pthread_cancel, its result ignored. The thread ends at a cancellation point its
 * own settings allow; join it afterwards to release it.
 * \param hThread the thread
 * \return OS_OK, always.
 */
ZU_API int os_thread_terminate(ThreadHandle hThread);
/**
 * pthread_kill(hThread, 0), which sends nothing. For handles not yet joined.
 * \param hThread the thread
 * \param pActive receives 1 when it runs, 0 when it has ended
 * \return EINVAL gives OS_ERR_THREAD_INVALID with *pActive unwritten; ESRCH gives
 *   OS_OK with *pActive = 0; any other answer, success included, OS_OK with
 *   *pActive = 1.
 */
ZU_API int os_thread_test_active(ThreadHandle hThread, bool* pActive);
/**
 * pthread_self().
 * \return the calling thread's id.
 */
ZU_API ThreadID os_thread_get_id(void);
/** @} */

/* ------------------------------------------------------------------------ */
/* Console                                                                  */
/* ------------------------------------------------------------------------ */
/**
 * \defgroup console Console
 * @{
 */

/**
 * Key probe on standard input. A character read is pushed back with ungetc, so the
 * next read of stdin returns it; one already buffered in stdin counts at once. When
 * descriptor 0 is a terminal, its settings are switched for the one read (every
 * local mode off, VMIN 0, VTIME 1; nothing else changed) and restored straight after
 * it; otherwise the stream is read as it is (at once from a file, waiting on an
 * empty pipe). Terminal-setting failures are not reported and no signal handler is
 * installed. After a probe that read nothing, the end-of-file and error indicators
 * of stdin are cleared (clearerr), so that a later probe or read waits again. No
 * other thread may use stdin or its terminal settings meanwhile.
 * \return 1 when a character is available within a tenth of a second, else 0 (also
 *   at end of file); a flag, not a result code.
 */
ZU_API int os_kb_hit(void);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /* ZU_OS_H */
