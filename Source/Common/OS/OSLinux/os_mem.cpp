// os_mem.cpp - views of files in memory and System V shared-memory segments.
// Nothing is kept per handle: a file mapping is the caller's descriptor, a segment is
// its kernel identifier. Every function is as thread-safe as its system call; callers
// coordinate access to the shared bytes themselves. Segments outlive the process until
// os_mem_sharemem_close (or another creator's clean-up) removes them; key files are
// never removed.
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

#include "os_internal.h"

namespace {

int shm_create_or_open(key_t key, uint32 nSize) noexcept {
    // No IPC_EXCL: concurrent creators of one name end up with the same segment.
    return ::shmget(key, nSize, IPC_CREAT | 0666);
}

}  // namespace

int os_mem_filemap_create(HANDLE hFile, uint64 nSize, const char* szMappingName,
                          FileMapHandle* pFileMap) {
    ZU_ASSERT(hFile != -1);
    ZU_ASSERT(pFileMap != nullptr);
    // The descriptor itself is the mapping object; the size and name have no meaning
    // on this platform.
    (void)nSize;
    (void)szMappingName;
    *pFileMap = hFile;
    return OS_OK;
}

int os_mem_fileview_map(FileMapHandle hFileMapping, uint64 nOffsetPos, size_t nNumMapBytes,
                        void** pMapView) {
    ZU_ASSERT(hFileMapping != 0);
    ZU_ASSERT(pMapView != nullptr);
    // off_t is 64 bits wide, so the whole offset reaches the kernel.
    void* p = ::mmap(nullptr, nNumMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED,
                     hFileMapping, static_cast<off_t>(nOffsetPos));
    *pMapView = p;
    return zu::status_of(p, MAP_FAILED);
}

int os_mem_fileview_unmap(void* pMapView, size_t nNumMapBytes) {
    ZU_ASSERT(pMapView != nullptr);
    return zu::ok_or(::munmap(pMapView, nNumMapBytes), OS_ERR_MEM_UNMAP_VIEW);
}

int32 os_mem_filemap_flushview(void* pBaseAddr, int64 nBytes) {
    // MS_ASYNC only schedules the write-back; durability is the file's fsync.
    return zu::status_of(::msync(pBaseAddr, static_cast<size_t>(nBytes), MS_ASYNC));
}

int os_mem_filemap_close(FileMapHandle hFileMapping) {
    // The descriptor belongs to whoever opened the file.
    (void)hFileMapping;
    return OS_OK;
}

int32 os_mem_sharemem_create(uint32 nSize, const char* szShmName, MemMapHandle* pHandle) {
    // The key file only has to exist: its identity, not its contents, makes the key.
    zu::KeyFile keyfile;
    int rc = keyfile.open(szShmName);
    if (rc != OS_OK) return rc;
    keyfile.close();
    const key_t key = keyfile.key();
    if (key == -1) return errno;

    int id = shm_create_or_open(key, nSize);
    if (id == -1) {
        // A segment under the key that cannot be opened (too small, foreign
        // permissions) is removed for everyone and made afresh, once: the second
        // shmget decides.
        zu::IpcrmCommand('M', key).run();
        id = shm_create_or_open(key, nSize);
        if (id == -1) return errno;
    }
    *pHandle = id;
    return OS_OK;
}

int os_mem_sharemem_map(HANDLE hMapping, void** pShareMem) {
    ZU_ASSERT(pShareMem != nullptr);
    void* p = ::shmat(hMapping, nullptr, 0);
    *pShareMem = p;
    return zu::status_of(p, reinterpret_cast<void*>(-1));
}

int os_mem_sharemem_unmap(void* pShm) {
    return zu::ok_or(::shmdt(pShm), OS_ERR_SHM_UNMAP);
}

int os_mem_sharemem_close(MemMapHandle hMapping) {
    return zu::ok_or(::shmctl(hMapping, IPC_RMID, nullptr), OS_ERR_SHM_CLOSE);
}
