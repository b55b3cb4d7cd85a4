// os_dir.cpp - directory creation, enumeration, emptying and removal, and the path of
// the running executable. No state is shared: an OSDIR belongs to one caller and is
// used by one thread at a time. An enumeration's stream stays open only while the
// find functions return 0; every other result has closed it. Nothing here outlives
// the process.
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os_internal.h"

namespace {

// The deletion buffer holds the path, one separator and an entry name of at most
// 255 bytes with its terminator; 260 leaves room to spare.
constexpr size_t kEntryRoom = 260;

bool is_dot_or_dotdot(const char* name) noexcept {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Reads up to the next entry other than "." and "..". errno is cleared before each
// readdir, since NULL means both the end and a failed read; a stale errno left by
// the caller must not turn the end into an error. Returns the entry, or nullptr
// with the read's errno (0 at the end) in *err.
struct dirent* next_entry(DIR* dir, int* err) noexcept {
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(dir);
        if (e == nullptr) {
            *err = errno;
            return nullptr;
        }
        if (!is_dot_or_dotdot(e->d_name)) return e;
    }
}

}  // namespace

int32 os_dir_create(const char* szPathName) {
    ZU_ASSERT(szPathName != nullptr);
    if (::mkdir(szPathName, 0775) == 0) return OS_OK;
    // Anything already at the path counts as created, directory or not.
    return errno == EEXIST ? OS_OK : OS_ERR_DIR_CREATE;
}

int32 os_dir_find_first_file(const char* szPathName, char* szFileName, OSDIR* pDir) {
    ZU_ASSERT(szPathName != nullptr);
    ZU_ASSERT(szFileName != nullptr);
    ZU_ASSERT(pDir != nullptr);
    if (szPathName[0] == '\0') return OS_ERR_DIR_EMPTY_PATH;

    pDir->pDir = ::opendir(szPathName);
    if (pDir->pDir == nullptr) return OS_ERR_DIR_OPEN;

    int err = 0;
    if (struct dirent* e = next_entry(pDir->pDir, &err)) {
        ::strcpy(szFileName, e->d_name);
        return OS_OK;
    }
    ::closedir(pDir->pDir);
    // The stream is gone; a null field cannot be closed twice by mistake.
    pDir->pDir = nullptr;
    return err == 0 ? OS_ERR_DIR_NO_MORE_FILES : OS_ERR_DIR_OPEN;
}

int32 os_dir_find_next_file(char* szFileName, const OSDIR* pDir) {
    ZU_ASSERT(szFileName != nullptr);
    ZU_ASSERT(pDir != nullptr);
    ZU_ASSERT(pDir->pDir != nullptr);

    int err = 0;
    if (struct dirent* e = next_entry(pDir->pDir, &err)) {
        ::strcpy(szFileName, e->d_name);
        return OS_OK;
    }
    // err was taken before closedir, which may change errno.
    ::closedir(pDir->pDir);
    return err == 0 ? OS_ERR_DIR_NO_MORE_FILES : err;
}

int32 os_dir_delete_files(const char* szPathName) {
    ZU_ASSERT(szPathName != nullptr);
    size_t len = ::strlen(szPathName);
    if (len == 0) return OS_ERR_DIR_EMPTY_PATH;

    zu::MallocPtr<char> buf(static_cast<char*>(::malloc(len + kEntryRoom)));
    if (!buf) return OS_ERR_NO_MEMORY;
    char* path = buf.get();
    ::memcpy(path, szPathName, len);
    // A path that already ends in a separator gets no second one.
    size_t prefix = len;
    if (path[len - 1] != '/' && path[len - 1] != '\\') path[prefix++] = '/';

    // Each entry name lands right after the prefix, so path is the entry's full path.
    char* name = path + prefix;
    OSDIR dir{};
    int32 rc = os_dir_find_first_file(szPathName, name, &dir);
    if (rc != OS_OK) return rc == OS_ERR_DIR_NO_MORE_FILES ? OS_OK : rc;
    for (;;) {
        if (::remove(path) != 0) {
            ::closedir(dir.pDir);
            return OS_ERR_FILE_DELETE;
        }
        // Any non-zero result (the end, or a read error) has closed the stream.
        if (os_dir_find_next_file(name, &dir) != OS_OK) return OS_OK;
    }
}

int32 os_dir_remove(const char* szPathName) {
    ZU_ASSERT(szPathName != nullptr);
    // rmdir decides: whatever the emptying left behind makes it fail.
    (void)os_dir_delete_files(szPathName);
    return zu::ok_or(::rmdir(szPathName), OS_ERR_DIR_REMOVE);
}

int32 os_dir_get_curr_process_path(char* szPathName, int32 nSize) {
    ZU_ASSERT(nSize > 0);
    ZU_ASSERT(szPathName != nullptr);
    ssize_t n = ::readlink("/proc/self/exe", szPathName, static_cast<size_t>(nSize));
    if (n == -1) return -1;
    if (n >= nSize) {
        // readlink filled the whole buffer, so the path may be cut short and there is
        // no room for the terminator: report it as a failure and leave an empty string
        // rather than an unterminated prefix.
        szPathName[0] = '\0';
        return -1;
    }
    szPathName[n] = '\0';
    return static_cast<int32>(n);
}
