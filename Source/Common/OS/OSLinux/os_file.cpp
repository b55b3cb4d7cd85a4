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
    return zu::status_of(::fsync(fd.get()));
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
    return zu::status_of(fd);
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
    return zu::status_of(::ftruncate64(hFile, nOffset));
}

int os_file_flush(HANDLE hFile) {
    ZU_ASSERT(hFile != -1);
    return zu::status_of(::fsync(hFile));
}

int os_file_datasync(HANDLE hFile) {
    ZU_ASSERT(hFile != -1);
    return zu::status_of(::fdatasync(hFile));
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
    return zu::status_as(::access(szFileName, nMode), ENOENT, OS_ERR_FILE_NOT_FOUND);
}

int os_file_get_size(HANDLE hFile, int64* pnFileSize) {
    ZU_ASSERT(hFile != -1);
    off64_t end = ::lseek64(hFile, 0, SEEK_END);
    *pnFileSize = end;
    return zu::status_of(end);
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
    ZU_RESULT(OS_ERR_AIO_FULL, "the queue already has as many requests in flight as it holds"),
    ZU_RESULT(OS_ERR_AIO_TIMEOUT, "the wait for completions ran out of time"),
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

// ===========================================================================
// Batched and asynchronous positioned I/O
// ===========================================================================
// Two engines with the same results: io_uring, driven through its two system calls
// and the rings it shares with us (no library needed), and the plain pread64 /
// pwrite64 / fdatasync calls. io_uring only gets what it carries out exactly as the
// plain call would: transfers at offsets that are not negative, with counts that are
// not negative, on regular files and block devices (it reads a pipe or an event
// descriptor as a stream where pread64 fails with ESPIPE). Every other request is
// done by the plain call on the spot, so its result is os_file_pread's by
// construction.
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <atomic>
#include <new>

namespace {

enum class Op { Read, Write, Sync };

// The library's one piece of process-wide state: whether io_uring may be tried.
// Constant-initialised, so nothing runs at load; decided on first use from
// ZUOS_IO_URING, and turned off for good when io_uring turns out to be refused.
constexpr int kUndecided = 0, kTryRing = 1, kPlainOnly = 2;
constinit std::atomic<int> g_engine{kUndecided};

bool ring_allowed() noexcept {
    if (g_engine.load(std::memory_order_relaxed) == kUndecided) {
        const char* env = ::getenv("ZUOS_IO_URING");
        int expected = kUndecided;
        g_engine.compare_exchange_strong(
            expected, env != nullptr && ::strcmp(env, "0") == 0 ? kPlainOnly : kTryRing,
            std::memory_order_relaxed);
    }
    return g_engine.load(std::memory_order_relaxed) == kTryRing;
}

// Setup refusals that mean io_uring is not available to this process at all.
bool refused(int err) noexcept {
    return err == ENOSYS || err == EPERM;
}

int short_code(Op op) noexcept {
    return op == Op::Write ? OS_ERR_FILE_SHORT_WRITE : OS_ERR_FILE_SHORT_READ;
}

// Maps a kernel-style outcome (a count, or a negative errno) as transfer_result
// maps a system call's; a data sync wants 0 bytes and so counts 0 on success.
int settle(long res, int32 wanted, Op op, int32* pDone) noexcept {
    if (res < 0) {
        *pDone = -1;
        return static_cast<int>(-res);
    }
    *pDone = static_cast<int32>(res);
    return res == wanted ? OS_OK : short_code(op);
}

// One request by the plain call. A negative offset is refused before the call and
// *pDone left alone, as os_file_pread / os_file_pwrite leave their count.
int plain_transfer(Op op, HANDLE h, int64 off, void* buf, int32 n, int32* pDone) noexcept {
    long res;
    if (op == Op::Sync) {
        res = ::fdatasync(h);
        n = 0;
    } else if (off < 0) {
        return EINVAL;
    } else if (op == Op::Read) {
        res = ::pread64(h, buf, static_cast<size_t>(n), off);
    } else {
        res = ::pwrite64(h, buf, static_cast<size_t>(n), off);
    }
    return settle(res == -1 ? -errno : res, n, op, pDone);
}

// Whether io_uring may carry out transfers on a handle (see above). Remembers the
// last handle asked about, since a batch mostly names one file; -1 never qualifies.
class RingFit {
public:
    bool operator()(HANDLE h) noexcept {
        if (h != fd_) {
            struct stat st;
            fd_ = h;
            ok_ = ::fstat(h, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
        }
        return ok_;
    }

private:
    HANDLE fd_ = -1;
    bool ok_ = false;
};

// One io_uring instance: its descriptor, the shared submission and completion rings
// and the submission entries. Used by one thread at a time.
class Ring {
public:
    // kNoRing: io_uring is unavailable here (remembered for the whole process).
    static constexpr int kNoRing = -1;

    Ring() noexcept = default;
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;
    ~Ring() {
        if (sqes_ != MAP_FAILED) ::munmap(sqes_, sqes_len_);
        if (rings_ != MAP_FAILED) ::munmap(rings_, rings_len_);
    }

    // OS_OK, kNoRing, or the errno of the setup. A kernel without one mapping for
    // both rings, without a completion ring that never drops entries, or without
    // time-outs in the wait (all there from 5.11 on) counts as having no io_uring.
    int open(unsigned entries) noexcept {
        io_uring_params p{};
        const int fd = static_cast<int>(::syscall(__NR_io_uring_setup, entries, &p));
        if (fd == -1 && !refused(errno)) return errno;
        fd_.reset(fd);
        constexpr unsigned kNeeded =
            IORING_FEAT_SINGLE_MMAP | IORING_FEAT_NODROP | IORING_FEAT_EXT_ARG;
        if (fd == -1 || (p.features & kNeeded) != kNeeded) {
            g_engine.store(kPlainOnly, std::memory_order_relaxed);
            return kNoRing;
        }
        const size_t sq_len = p.sq_off.array + p.sq_entries * sizeof(unsigned);
        const size_t cq_len = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
        rings_len_ = sq_len > cq_len ? sq_len : cq_len;
        rings_ =
            ::mmap(nullptr, rings_len_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, IORING_OFF_SQ_RING);
        if (rings_ == MAP_FAILED) return errno;
        sqes_len_ = p.sq_entries * sizeof(io_uring_sqe);
        sqes_ = ::mmap(nullptr, sqes_len_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, IORING_OFF_SQES);
        if (sqes_ == MAP_FAILED) return errno;

        char* base = static_cast<char*>(rings_);
        sq_head_ = reinterpret_cast<unsigned*>(base + p.sq_off.head);
        sq_tail_ = reinterpret_cast<unsigned*>(base + p.sq_off.tail);
        sq_mask_ = *reinterpret_cast<unsigned*>(base + p.sq_off.ring_mask);
        cq_head_ = reinterpret_cast<unsigned*>(base + p.cq_off.head);
        cq_tail_ = reinterpret_cast<unsigned*>(base + p.cq_off.tail);
        cq_mask_ = *reinterpret_cast<unsigned*>(base + p.cq_off.ring_mask);
        cqes_ = reinterpret_cast<io_uring_cqe*>(base + p.cq_off.cqes);
        // Entry i of the submission ring is always submission entry i.
        unsigned* array = reinterpret_cast<unsigned*>(base + p.sq_off.array);
        for (unsigned i = 0; i < p.sq_entries; ++i) array[i] = i;
        entries_ = p.sq_entries;
        tail_ = *sq_tail_;
        return OS_OK;
    }

    unsigned entries() const noexcept { return entries_; }

    // Queues one request for the next enter(); `data` comes back in its completion.
    void push(Op op, HANDLE h, int64 off, const void* buf, int32 n, uint64 data) noexcept {
        static constexpr __u8 kOpcode[] = {IORING_OP_READ, IORING_OP_WRITE, IORING_OP_FSYNC};
        io_uring_sqe* s = &static_cast<io_uring_sqe*>(sqes_)[tail_ & sq_mask_];
        ::memset(s, 0, sizeof *s);
        s->opcode = kOpcode[static_cast<int>(op)];
        s->fd = h;
        s->off = static_cast<__u64>(off);
        s->addr = reinterpret_cast<uintptr_t>(buf);
        s->len = static_cast<__u32>(n);
        if (op == Op::Sync) s->fsync_flags = IORING_FSYNC_DATASYNC;
        s->user_data = data;
        __atomic_store_n(sq_tail_, ++tail_, __ATOMIC_RELEASE);
    }

    // Requests queued that the kernel has not taken yet.
    unsigned unsubmitted() const noexcept {
        return tail_ - __atomic_load_n(sq_head_, __ATOMIC_ACQUIRE);
    }

    // Takes back what the kernel has not taken yet (only enter() takes entries),
    // calling f with each one's data; returns how many.
    template <class F>
    unsigned withdraw(F f) noexcept {
        const unsigned head = __atomic_load_n(sq_head_, __ATOMIC_ACQUIRE);
        for (unsigned i = head; i != tail_; ++i) {
            f(static_cast<io_uring_sqe*>(sqes_)[i & sq_mask_].user_data);
        }
        const unsigned n = tail_ - head;
        tail_ = head;
        __atomic_store_n(sq_tail_, tail_, __ATOMIC_RELEASE);
        return n;
    }

    // Submits `submit` entries and waits until `wait` completions are there, or the
    // relative time-out ts (null: none) runs out. 0 or more, or a negative errno.
    int enter(unsigned submit, unsigned wait, const __kernel_timespec* ts) noexcept {
        io_uring_getevents_arg arg{};
        arg.ts = reinterpret_cast<uintptr_t>(ts);
        unsigned flags = IORING_ENTER_EXT_ARG;
        if (wait > 0) flags |= IORING_ENTER_GETEVENTS;
        long r = ::syscall(__NR_io_uring_enter, fd_.get(), submit, wait, flags, &arg, sizeof arg);
        return r == -1 ? -errno : static_cast<int>(r);
    }

    // Hands at most `max` completions to f, oldest first; returns how many.
    template <class F>
    unsigned reap(unsigned max, F f) noexcept {
        unsigned head = *cq_head_;
        const unsigned tail = __atomic_load_n(cq_tail_, __ATOMIC_ACQUIRE);
        unsigned n = 0;
        for (; head != tail && n < max; ++head, ++n) f(cqes_[head & cq_mask_]);
        __atomic_store_n(cq_head_, head, __ATOMIC_RELEASE);
        return n;
    }

private:
    zu::UniqueFd fd_;
    void* rings_ = MAP_FAILED;
    size_t rings_len_ = 0;
    void* sqes_ = MAP_FAILED;
    size_t sqes_len_ = 0;
    unsigned* sq_head_ = nullptr;
    unsigned* sq_tail_ = nullptr;
    unsigned sq_mask_ = 0;
    unsigned* cq_head_ = nullptr;
    unsigned* cq_tail_ = nullptr;
    unsigned cq_mask_ = 0;
    io_uring_cqe* cqes_ = nullptr;
    unsigned entries_ = 0;
    unsigned tail_ = 0;  // our copy of the submission tail
};

// The most requests a batch keeps in flight on its own ring: enough to keep a fast
// device busy, while setting the ring up stays cheap (its cost climbs steeply with
// more entries) next to the transfers.
constexpr unsigned kBatchRing = 64;

// A batch on its own ring: keeps up to kBatchRing requests in flight, refilling as
// they complete. After a failure to submit, whatever the kernel took is still waited
// for, and the rest gets the failure's errno. Should that wait fail as well, the call
// ends with what is done collected and the rest failed alike; requests on the ring
// read EINPROGRESS until then, which no transfer returns.
int ring_batch(Ring& ring, OS_IO_REQUEST* reqs, int32 count, Op op) noexcept {
    RingFit fit;
    int32 next = 0;
    unsigned inflight = 0;
    int err = OS_OK;
    auto fail = [&](uint64 i) {
        reqs[i].nResult = err;
        reqs[i].nDone = -1;
    };
    auto collect = [&] {
        inflight -= ring.reap(inflight, [&](const io_uring_cqe& c) {
            OS_IO_REQUEST& q = reqs[c.user_data];
            q.nResult = settle(c.res, q.nBytes, op, &q.nDone);
        });
    };
    for (;;) {
        for (; next < count && inflight < ring.entries(); ++next) {
            OS_IO_REQUEST& q = reqs[next];
            if (q.nOffset < 0 || q.nBytes < 0 || !fit(q.hFile)) {
                q.nResult = plain_transfer(op, q.hFile, q.nOffset, q.pBuf, q.nBytes, &q.nDone);
            } else {
                q.nResult = EINPROGRESS;
                ring.push(op, q.hFile, q.nOffset, q.pBuf, q.nBytes, static_cast<uint64>(next));
                ++inflight;
            }
        }
        if (inflight == 0) return err;
        const int r = ring.enter(ring.unsubmitted(), next < count ? 1 : inflight, nullptr);
        if (r < 0 && r != -EINTR && err != OS_OK) {
            collect();
            for (int32 i = 0; i < count; ++i) {
                if (reqs[i].nResult == EINPROGRESS) fail(static_cast<uint64>(i));
            }
            return err;
        }
        if (r < 0 && r != -EINTR) {
            err = -r;
            inflight -= ring.withdraw(fail);
            for (; next < count; ++next) fail(static_cast<uint64>(next));
        }
        collect();
    }
}

// Each call sets up a ring of its own and tears it down, so that calls share nothing
// and any number of threads may batch at once. That costs tens of microseconds: little
// next to device reads, and a ring kept between calls would be state the library does
// not keep (a caller who wants one opens a queue). One request needs no ring.
int batch(OS_IO_REQUEST* reqs, int32 count, Op op) noexcept {
    ZU_ASSERT(count <= 0 || reqs != nullptr);
    if (count < 0) return EINVAL;
    if (count > 1 && ring_allowed()) {
        Ring ring;
        const int rc = ring.open(count < static_cast<int32>(kBatchRing) ? count : kBatchRing);
        if (rc == OS_OK) return ring_batch(ring, reqs, count, op);
        if (rc != Ring::kNoRing) {
            for (int32 i = 0; i < count; ++i) {
                reqs[i].nResult = rc;
                reqs[i].nDone = -1;
            }
            return rc;
        }
    }
    for (int32 i = 0; i < count; ++i) {
        OS_IO_REQUEST& q = reqs[i];
        q.nResult = plain_transfer(op, q.hFile, q.nOffset, q.pBuf, q.nBytes, &q.nDone);
    }
    return OS_OK;
}

// What a queue remembers of a request on the ring, found by its completion's data.
struct Slot {
    uint64 tag;
    int32 wanted;
    Op op;
};

}  // namespace

// A queue: the ring (io_uring engine only), the slots of requests on it with a
// stack of free ones, and a FIFO of completions of requests carried out at
// submission (every request on the plain engine). One allocation holds it all.
struct _OS_AIO {
    explicit _OS_AIO(int32 depth) noexcept
        : depth(depth),
          slots(reinterpret_cast<Slot*>(this + 1)),
          local(reinterpret_cast<OS_AIO_DONE*>(slots + depth)),
          free_slots(reinterpret_cast<int32*>(local + depth)) {
        for (int32 i = 0; i < depth; ++i) free_slots[i] = i;
    }
    static size_t bytes(int32 depth) noexcept {
        return sizeof(_OS_AIO) +
               static_cast<size_t>(depth) * (sizeof(Slot) + sizeof(OS_AIO_DONE) + sizeof(int32));
    }

    Ring ring;
    bool uring = false;
    const int32 depth;
    int32 inflight = 0;  // submitted and not yet collected
    Slot* const slots;
    OS_AIO_DONE* const local;
    int32* const free_slots;
    int32 nfree = depth;
    int32 local_head = 0;
    int32 local_count = 0;
};

namespace {

int submit(AioHandle q, Op op, HANDLE h, int64 off, const void* buf, int32 n, uint64 tag) noexcept {
    ZU_ASSERT(q != nullptr);
    if (n < 0) return EINVAL;
    if (q->inflight == q->depth) return OS_ERR_AIO_FULL;
    if (q->uring && (op == Op::Sync || (off >= 0 && RingFit{}(h)))) {
        const int32 slot = q->free_slots[--q->nfree];
        q->slots[slot] = {tag, n, op};
        q->ring.push(op, h, off, buf, n, static_cast<uint64>(slot));
        const int r = q->ring.enter(1, 0, nullptr);
        if (r < 0) {
            q->ring.withdraw([](uint64) {});
            q->free_slots[q->nfree++] = slot;
            return -r;
        }
    } else {
        int32 at = q->local_head + q->local_count++;
        if (at >= q->depth) at -= q->depth;  // a ring of depth records
        OS_AIO_DONE& d = q->local[at];
        d.nTag = tag;
        d.nDone = -1;
        d.nResult = plain_transfer(op, h, off, const_cast<void*>(buf), n, &d.nDone);
    }
    ++q->inflight;
    return OS_OK;
}

// Completions from the ring into out[got..max) until `need` are there or the time
// (milliseconds, -1 none) runs out.
int ring_collect(AioHandle q, int32 need, int32 msec, OS_AIO_DONE* out, int32 max,
                 int32* got) noexcept {
    timespec now{}, deadline{};
    if (msec > 0) {
        (void)::clock_gettime(CLOCK_MONOTONIC, &now);
        deadline = zu::after_msec(now, msec);
    }
    for (;;) {
        q->ring.reap(static_cast<unsigned>(max - *got), [&](const io_uring_cqe& c) {
            const Slot& s = q->slots[c.user_data];
            OS_AIO_DONE& d = out[(*got)++];
            d.nTag = s.tag;
            d.nResult = settle(c.res, s.wanted, s.op, &d.nDone);
            q->free_slots[q->nfree++] = static_cast<int32>(c.user_data);
        });
        if (*got >= need) return OS_OK;
        __kernel_timespec left{};
        if (msec >= 0) {
            (void)::clock_gettime(CLOCK_MONOTONIC, &now);
            const timespec l = zu::time_left(deadline, now);
            if (l.tv_sec == 0 && l.tv_nsec == 0) return OS_ERR_AIO_TIMEOUT;
            left = {l.tv_sec, l.tv_nsec};
        }
        const int r =
            q->ring.enter(0, static_cast<unsigned>(need - *got), msec >= 0 ? &left : nullptr);
        if (r < 0 && r != -ETIME && r != -EINTR) return -r;
    }
}

}  // namespace

int os_file_pread_batch(OS_IO_REQUEST* pReqs, int32 nCount) {
    return batch(pReqs, nCount, Op::Read);
}

int os_file_pwrite_batch(OS_IO_REQUEST* pReqs, int32 nCount) {
    return batch(pReqs, nCount, Op::Write);
}

int os_aio_open(int32 nDepth, uint32 nFlags, AioHandle* pAio) {
    ZU_ASSERT(pAio != nullptr);
    *pAio = nullptr;
    if (nDepth < 1 || nDepth > 4096 || (nFlags & ~uint32{OS_AIO_FALLBACK}) != 0) return EINVAL;
    zu::MallocPtr<void> mem(::malloc(_OS_AIO::bytes(nDepth)));
    if (!mem) return OS_ERR_NO_MEMORY;
    AioHandle q = new (mem.get()) _OS_AIO(nDepth);
    if ((nFlags & OS_AIO_FALLBACK) == 0 && ring_allowed()) {
        const int rc = q->ring.open(static_cast<unsigned>(nDepth));
        if (rc != OS_OK && rc != Ring::kNoRing) {
            q->~_OS_AIO();
            return rc;
        }
        q->uring = rc == OS_OK;
    }
    *pAio = q;
    mem.release();
    return OS_OK;
}

int os_aio_read(AioHandle hAio, HANDLE hFile, int64 nOffset, void* pBuf, int32 nBytes,
                uint64 nTag) {
    return submit(hAio, Op::Read, hFile, nOffset, pBuf, nBytes, nTag);
}

int os_aio_write(AioHandle hAio, HANDLE hFile, int64 nOffset, const void* pBuf, int32 nBytes,
                 uint64 nTag) {
    return submit(hAio, Op::Write, hFile, nOffset, pBuf, nBytes, nTag);
}

int os_aio_datasync(AioHandle hAio, HANDLE hFile, uint64 nTag) {
    return submit(hAio, Op::Sync, hFile, 0, nullptr, 0, nTag);
}

int os_aio_wait(AioHandle hAio, int32 nMin, int32 nMSecTimeout, OS_AIO_DONE* pDone, int32 nMax,
                int32* pnGot) {
    ZU_ASSERT(hAio != nullptr);
    ZU_ASSERT(pnGot != nullptr);
    ZU_ASSERT(nMax <= 0 || pDone != nullptr);
    *pnGot = 0;
    if (nMin < 0 || nMin > nMax || nMSecTimeout < -1) return EINVAL;
    const int32 need = nMin < hAio->inflight ? nMin : hAio->inflight;
    int32 got = 0;
    for (; got < nMax && hAio->local_count > 0; ++got, --hAio->local_count) {
        pDone[got] = hAio->local[hAio->local_head];
        if (++hAio->local_head == hAio->depth) hAio->local_head = 0;
    }
    // Everything on the plain engine is done at submission, so it always has `need`.
    const int rc = hAio->uring ? ring_collect(hAio, need, nMSecTimeout, pDone, nMax, &got) : OS_OK;
    hAio->inflight -= got;
    *pnGot = got;
    return rc;
}

int os_aio_close(AioHandle hAio) {
    ZU_ASSERT(hAio != nullptr);
    zu::MallocPtr<_OS_AIO> mem(hAio);  // freed whatever the result
    int rc = OS_OK;
    unsigned left = static_cast<unsigned>(hAio->inflight - hAio->local_count);
    while (left > 0) {
        left -= hAio->ring.reap(left, [](const io_uring_cqe&) {});
        if (left == 0) break;
        const int r = hAio->ring.enter(0, left, nullptr);
        if (r < 0 && r != -EINTR) {
            rc = -r;
            break;
        }
    }
    hAio->~_OS_AIO();
    return rc;
}

int os_aio_engine(AioHandle hAio) {
    ZU_ASSERT(hAio != nullptr);
    return hAio->uring ? 1 : 0;
}
