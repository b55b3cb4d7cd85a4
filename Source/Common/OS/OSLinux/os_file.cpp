// os_file.cpp - unbuffered file access through descriptors.
// Nothing is kept per handle, so every function is as thread-safe as the system
// call it makes; the file position belongs to the descriptor and is shared by all
// of its holders (os_file_pread / os_file_pwrite neither read nor move it, so threads
// sharing a descriptor can use those without a lock). Transfers are never repeated:
// a partial transfer is reported as short at once, and EINTR is returned like any
// other errno. The durable calls (os_file_replace and its kin) are the exception:
// they write everything they are given, and a crash between their steps can leave
// a temporary file, which nothing removes later.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "os_internal.h"

namespace {

// The shared result mapping of reads and writes: -1 is errno, any other count
// that is not the full one is the short-transfer code.
int transfer_result(ssize_t n, int32 wanted, int32* pCount, int shortCode) noexcept {
    *pCount = static_cast<int32>(n);
    if (n == -1) return errno;
    return n == wanted ? OS_OK : shortCode;
}

int do_read(HANDLE hFile, void* pBuf, int32 nBytesToRead, int32* pBytesRead) noexcept {
    ssize_t n = ::read(hFile, pBuf, static_cast<size_t>(nBytesToRead));
    return transfer_result(n, nBytesToRead, pBytesRead, OS_ERR_FILE_SHORT_READ);
}

int do_write(HANDLE hFile, const void* pBuf, int32 nBytesToWrite, int32* pBytesWritten) noexcept {
    ssize_t n = ::write(hFile, pBuf, static_cast<size_t>(nBytesToWrite));
    return transfer_result(n, nBytesToWrite, pBytesWritten, OS_ERR_FILE_SHORT_WRITE);
}

// The durable calls below, unlike the transfers above, finish what they start:
// every byte is written, short writes and EINTR are continued.
int write_all(int fd, const char* p, uint64 n) noexcept {
    while (n > 0) {
        ssize_t w = zu::retry_eintr([&] { return ::write(fd, p, n); });
        if (w == -1) return errno;
        // A regular file never takes 0 of a positive count; if one does, give up
        // rather than spin.
        if (w == 0) return EIO;
        p += w;
        n -= static_cast<uint64>(w);
    }
    return OS_OK;
}

// fsync of whatever the path names (a file or a directory), opened read-only.
int sync_path(const char* path, int flags = 0) noexcept {
    zu::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | flags));
    if (!fd.valid()) return errno;
    return ::fsync(fd.get()) != 0 ? errno : OS_OK;
}

int sync_dir(const char* path) noexcept {
    return sync_path(path, O_DIRECTORY);
}

// Where the last component of a path starts; trailing slashes are not a component.
// (No substr: the library links no C++ runtime to throw its out_of_range.)
size_t base_start(std::string_view path) noexcept {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    while (end > 0 && path[end - 1] != '/') --end;
    return end;
}

// The directory that holds the last component of path ("." for a bare name),
// copied into a buffer on the caller's stack: a directory longer than PATH_MAX
// could not be opened anyway.
using PathBuf = char[PATH_MAX];
int parent_of(std::string_view path, PathBuf& out) noexcept {
    size_t n = base_start(path);
    if (n == 0) {
        ::strcpy(out, ".");
        return OS_OK;
    }
    if (n >= PATH_MAX) return ENAMETOOLONG;
    ::memcpy(out, path.data(), n);
    out[n] = '\0';
    return OS_OK;
}

// 48 bits for a temporary name; the clock and pid stand in when the kernel's
// generator cannot answer at once.
uint64 name_bits(int attempt) noexcept {
    uint64 v = 0;
    if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        v = static_cast<uint64>(ts.tv_nsec) ^ (static_cast<uint64>(::getpid()) << 30) ^
            (static_cast<uint64>(attempt) << 20) ^ static_cast<uint64>(ts.tv_sec);
    }
    return v & 0xFFFFFFFFFFFFULL;
}

constexpr int kTempAttempts = 100;
constexpr size_t kTempSuffix = 13;  // "." and 12 hex digits

// Creates ".<name>.<12 hex digits>" beside path, exclusively, trying another name
// when one is taken. The name is cut so that the component stays within NAME_MAX.
// 0666 lets the umask decide the bits of a file that did not exist before.
int create_temp(std::string_view path, PathBuf& tmp, zu::UniqueFd& fd) noexcept {
    size_t base = base_start(path);
    const char* name = path.data() + base;
    size_t keep = std::min(path.size() - base, static_cast<size_t>(NAME_MAX) - 1 - kTempSuffix);
    if (base + 1 + keep + kTempSuffix >= PATH_MAX) return ENAMETOOLONG;
    for (int attempt = 1;; ++attempt) {
        ::snprintf(tmp, PATH_MAX, "%.*s.%.*s.%012llx", static_cast<int>(base), path.data(),
                   static_cast<int>(keep), name,
                   static_cast<unsigned long long>(name_bits(attempt)));
        fd.reset(::open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.valid()) return OS_OK;
        if (errno != EEXIST || attempt == kTempAttempts) return errno;
    }
}

}  // namespace

int os_file_open(const char* szFileName, int nMode, HANDLE* pFile) {
    // Only O_CREAT needs the third argument; 0777 lets the umask decide.
    int fd = (nMode & O_CREAT) ? ::open(szFileName, nMode, 0777) : ::open(szFileName, nMode);
    *pFile = fd;
    return fd == -1 ? errno : OS_OK;
}

int os_file_close(HANDLE hFile) {
    ZU_ASSERT(hFile != -1);
    return zu::status_of(::close(hFile));
}

int os_file_seek64(HANDLE hFile, int64 nOffset, uint32 nRelative) {
    ZU_ASSERT(hFile != -1);
    return zu::status_of(::lseek64(hFile, nOffset, static_cast<int>(nRelative)));
}

int os_file_write(HANDLE hFile, const void* pBuf, int32 nBytesToWrite, int32* pBytesWritten) {
    ZU_ASSERT(hFile != -1);
    ZU_ASSERT(pBuf != nullptr);
    ZU_ASSERT(pBytesWritten != nullptr);
    return do_write(hFile, pBuf, nBytesToWrite, pBytesWritten);
}

int os_file_read(HANDLE hFile, void* pBuf, int32 nBytesToRead, int32* pBytesRead) {
    ZU_ASSERT(hFile != -1);
    ZU_ASSERT(pBuf != nullptr);
    ZU_ASSERT(pBytesRead != nullptr);
    return do_read(hFile, pBuf, nBytesToRead, pBytesRead);
}

int os_file_seek_read(HANDLE hFile, int64 nOffset, void* pBuf, int32 nBytesToRead,
                      int32* pBytesRead) {
    ZU_ASSERT(hFile != -1);
    ZU_ASSERT(pBuf != nullptr);
    ZU_ASSERT(pBytesRead != nullptr);
    // A failed seek returns before the count is written.
    if (::lseek64(hFile, nOffset, SEEK_SET) == -1) return errno;
    return do_read(hFile, pBuf, nBytesToRead, pBytesRead);
}

int os_file_seek_write(HANDLE hFile, int64 nOffset, const void* pBuf, int32 nBytesToWrite,
                       int32* pBytesWritten) {
    ZU_ASSERT(hFile != -1);
    ZU_ASSERT(pBuf != nullptr);
    ZU_ASSERT(pBytesWritten != nullptr);
    if (::lseek64(hFile, nOffset, SEEK_SET) == -1) return errno;
    return do_write(hFile, pBuf, nBytesToWrite, pBytesWritten);
}

// One pread64 / pwrite64. A negative offset is refused before the call, as the seek
// of the pair above refuses it, so that the count stays untouched in both.
int os_file_pread(HANDLE hFile, int64 nOffset, void* pBuf, int32 nBytesToRead, int32* pBytesRead) {
    ZU_ASSERT(hFile != -1);
    ZU_ASSERT(pBuf != nullptr);
    ZU_ASSERT(pBytesRead != nullptr);
    if (nOffset < 0) return EINVAL;
    ssize_t n = ::pread64(hFile, pBuf, static_cast<size_t>(nBytesToRead), nOffset);
    return transfer_result(n, nBytesToRead, pBytesRead, OS_ERR_FILE_SHORT_READ);
}

int os_file_pwrite(HANDLE hFile, int64 nOffset, const void* pBuf, int32 nBytesToWrite,
                   int32* pBytesWritten) {
    ZU_ASSERT(hFile != -1);
    ZU_ASSERT(pBuf != nullptr);
    ZU_ASSERT(pBytesWritten != nullptr);
    if (nOffset < 0) return EINVAL;
    ssize_t n = ::pwrite64(hFile, pBuf, static_cast<size_t>(nBytesToWrite), nOffset);
    return transfer_result(n, nBytesToWrite, pBytesWritten, OS_ERR_FILE_SHORT_WRITE);
}

int os_file_truncate(HANDLE hFile, int64 nOffset) {
    ZU_ASSERT(hFile != -1);
    return ::ftruncate64(hFile, nOffset) != 0 ? errno : OS_OK;
}

int os_file_flush(HANDLE hFile) {
    ZU_ASSERT(hFile != -1);
    return ::fsync(hFile) != 0 ? errno : OS_OK;
}

int os_file_datasync(HANDLE hFile) {
    ZU_ASSERT(hFile != -1);
    return ::fdatasync(hFile) != 0 ? errno : OS_OK;
}

int os_dir_sync(const char* szDirName) {
    ZU_ASSERT(szDirName != nullptr);
    return sync_dir(szDirName);
}

// Both parents are worked out before anything changes, so that a path error leaves
// the old name in place. Both directories are synced even when the first fails.
int os_file_rename_durable(const char* szOldName, const char* szNewName) {
    ZU_ASSERT(szOldName != nullptr);
    ZU_ASSERT(szNewName != nullptr);
    PathBuf oldDir, newDir;
    int rc = parent_of(szOldName, oldDir);
    if (rc == OS_OK) rc = parent_of(szNewName, newDir);
    if (rc == OS_OK) rc = sync_path(szOldName);
    if (rc != OS_OK) return rc;
    if (::rename(szOldName, szNewName) != 0) return errno;
    rc = sync_dir(newDir);
    if (::strcmp(oldDir, newDir) != 0) {
        int other = sync_dir(oldDir);
        if (rc == OS_OK) rc = other;
    }
    return rc;
}

// Until the rename, every failure removes the temporary (the guard runs after the
// errno of the failing call has been read). After it, the new content is in place
// and only the directory sync is left to fail.
int os_file_replace(const char* szFileName, const void* pBuf, int64 nLen) {
    ZU_ASSERT(szFileName != nullptr);
    ZU_ASSERT(pBuf != nullptr);
    if (nLen < 0) return EINVAL;
    const std::string_view path(szFileName);
    // What open(O_CREAT) says of a trailing slash; the temporary's name needs a file name.
    if (!path.empty() && path.back() == '/') return EISDIR;
    PathBuf dir, tmp;
    int rc = parent_of(path, dir);
    if (rc != OS_OK) return rc;
    struct stat st;
    const bool existed = ::stat(szFileName, &st) == 0;
    if (!existed && errno != ENOENT) return errno;

    zu::UniqueFd fd;
    if ((rc = create_temp(path, tmp, fd)) != OS_OK) return rc;
    zu::ScopeExit drop([&] { ::unlink(tmp); });
    if (existed && ::fchmod(fd.get(), st.st_mode & 07777) != 0) return errno;
    rc = write_all(fd.get(), static_cast<const char*>(pBuf), static_cast<uint64>(nLen));
    if (rc != OS_OK) return rc;
    if (::fsync(fd.get()) != 0) return errno;
    if (::close(fd.release()) != 0) return errno;
    if (::rename(tmp, szFileName) != 0) return errno;
    drop.dismiss();
    return sync_dir(dir);
}

// fallocate reserves blocks where the file system can; posix_fallocate writes a
// zero into each block that is not yet allocated where it cannot, and returns its
// error number instead of setting errno.
int os_file_allocate(HANDLE hFile, int64 nOffset, int64 nLen) {
    ZU_ASSERT(hFile != -1);
    if (nOffset < 0 || nLen < 0) return EINVAL;
    if (nLen == 0) return OS_OK;
    if (::fallocate(hFile, 0, nOffset, nLen) == 0) return OS_OK;
    int err = errno;
    if (err != EOPNOTSUPP) return err;
    return ::posix_fallocate(hFile, nOffset, nLen);
}

int os_file_access(const char* szFileName, int nMode) {
    if (::access(szFileName, nMode) == 0) return OS_OK;
    int err = errno;
    return err == ENOENT ? OS_ERR_FILE_NOT_FOUND : err;
}

int os_file_get_size(HANDLE hFile, int64* pnFileSize) {
    ZU_ASSERT(hFile != -1);
    off64_t end = ::lseek64(hFile, 0, SEEK_END);
    *pnFileSize = end;
    return end == -1 ? errno : OS_OK;
}

// ---------------------------------------------------------------------------
// Result texts and version
// ---------------------------------------------------------------------------

namespace {

struct ResultText {
    int code;
    const char* text;  // "NAME: meaning"
};

// One row per library code: a new code is one line here.
#define ZU_RESULT(code, meaning) \
    { code, #code ": " meaning }
constexpr ResultText kResultTexts[] = {
    ZU_RESULT(OS_OK, "success"),
    ZU_RESULT(OS_ERR_FILE_NOT_FOUND, "the path does not exist"),
    ZU_RESULT(OS_ERR_INVALID_ARG, "a required string or result pointer is null"),
    ZU_RESULT(OS_ERR_TIME_NULL_ARG, "a required record or result pointer is null"),
    ZU_RESULT(OS_ERR_TIME_NEGATIVE_SEC, "the seconds argument is negative"),
    ZU_RESULT(OS_ERR_TIME_LOCALTIME, "the seconds value cannot be broken down into local time"),
    ZU_RESULT(OS_ERR_TIME_PARSE, "a time expression does not match any accepted form"),
    ZU_RESULT(OS_ERR_FILE_DELETE, "removing a directory entry failed"),
    ZU_RESULT(OS_ERR_FILE_SHORT_READ, "a read returned fewer bytes than requested"),
    ZU_RESULT(OS_ERR_FILE_SHORT_WRITE, "a write stored fewer bytes than requested"),
    ZU_RESULT(OS_ERR_MEM_UNMAP_VIEW, "unmapping a file view failed"),
    ZU_RESULT(OS_ERR_DIR_EMPTY_PATH, "the directory path is the empty string"),
    ZU_RESULT(OS_ERR_DIR_CREATE,
              "creating a directory failed for a reason other than its existence"),
    ZU_RESULT(OS_ERR_DIR_REMOVE, "removing a directory failed"),
    ZU_RESULT(OS_ERR_DIR_OPEN, "the directory cannot be opened or its first read failed"),
    ZU_RESULT(OS_ERR_DIR_NO_MORE_FILES, "the enumeration has no further entry"),
    ZU_RESULT(OS_ERR_NO_MEMORY, "a heap allocation failed"),
    ZU_RESULT(OS_ERR_SHM_CLOSE, "removing a shared-memory segment failed"),
    ZU_RESULT(OS_ERR_SHM_UNMAP, "detaching a shared-memory segment failed"),
    ZU_RESULT(OS_ERR_THREAD_CREATE, "creating a thread failed"),
    ZU_RESULT(OS_ERR_THREAD_JOIN, "joining a thread failed"),
    ZU_RESULT(OS_ERR_THREAD_INVALID, "the thread handle is not valid"),
    ZU_RESULT(OS_ERR_RWLOCK_READ, "taking a read lock failed"),
    ZU_RESULT(OS_ERR_RWLOCK_WRITE, "taking a write lock failed"),
    ZU_RESULT(OS_ERR_SEMA_BUSY, "the semaphore was not available at once or within the time-out"),
    ZU_RESULT(OS_ERR_PROC_MUTEX_INIT,
              "the key of a process mutex cannot be derived, or its shared "
              "memory cannot be created, opened or attached"),
    ZU_RESULT(OS_ERR_PROC_MUTEX_DESTROY, "releasing the shared memory of a process mutex failed"),
    ZU_RESULT(OS_ERR_PROC_MUTEX_TIMEOUT, "a timed wait for a process mutex expired"),
    ZU_RESULT(OS_ERR_PROC_MUTEX_NULL, "the process-mutex handle is null"),
    ZU_RESULT(OS_ERR_PROCESS_SPAWN, "starting a child process failed"),
    ZU_RESULT(OS_ERR_PROCESS_WAIT, "waiting for a child process failed"),
    ZU_RESULT(OS_ERR_CONV_OPEN, "the requested character-set conversion is not available"),
    ZU_RESULT(OS_ERR_CONV_FAILED, "the text cannot be converted or does not fit"),
    ZU_RESULT(OS_ERR_CONV_BAD_ARG,
              "a conversion argument is null, a destination size is not positive, "
              "or text to be copied unchanged does not fit"),
    ZU_RESULT(OS_ERR_EVENT_TIMEOUT, "a timed wait expired"),
    ZU_RESULT(OS_ERR_EVENT_CLOCK, "reading the clock for a deadline failed"),
    ZU_RESULT(OS_ERR_NET_NULL_ARG, "a required result buffer is null"),
    ZU_RESULT(OS_ERR_NET_DOWN, "sending failed because the network is down"),
    ZU_RESULT(OS_ERR_NET_CONNECT_TIMEOUT, "a connection did not complete within the time-out"),
    ZU_RESULT(OS_ERR_NET_NO_MAC, "no usable hardware address was found"),
    ZU_RESULT(OS_ERR_NET_RESOLVE, "host-name resolution failed"),
    ZU_RESULT(OS_ERR_NET_BAD_IP, "the text is not a dotted IPv4 address"),
    ZU_RESULT(OS_ERR_TIME_MKTIME, "a broken-down time cannot be turned into seconds"),
};
#undef ZU_RESULT

constexpr bool result_codes_unique() {
    for (const ResultText& a : kResultTexts)
        for (const ResultText& b : kResultTexts)
            if (&a != &b && a.code == b.code) return false;
    return true;
}
static_assert(result_codes_unique(), "a result code may have only one text");

}  // namespace

const char* os_result_text(int nResult) {
    // Library codes lie far above every errno value: a table hit shadows none.
    for (const ResultText& r : kResultTexts)
        if (r.code == nResult) return r.text;
    // glibc's own table: static, untranslated, and never written, unlike strerror's
    // buffer. Null for a value it does not know.
    const char* desc = nResult > 0 ? ::strerrordesc_np(nResult) : nullptr;
    return desc != nullptr ? desc : "unknown result";
}

int os_version(void) {
    return ZUOS_VERSION;
}
