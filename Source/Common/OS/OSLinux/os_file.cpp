// os_file.cpp - unbuffered file access through descriptors.
// Nothing is kept per handle, so every function is as thread-safe as the system
// call it makes; the file position belongs to the descriptor and is shared by all
// of its holders (os_file_pread / os_file_pwrite neither read nor move it, so threads
// sharing a descriptor can use those without a lock). Transfers are never repeated:
// a partial transfer is reported as short at once, and EINTR is returned like any
// other errno.
#include <fcntl.h>
#include <unistd.h>

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
