// os_process.cpp - starting, waiting for and killing child processes.
// No state: a process is its id, owned by the caller from os_process_spawn until
// os_process_wait collects it; any thread may call these functions. A child that is
// never waited for stays a zombie until the caller's process ends.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os_internal.h"

#ifdef ZU_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace {

// Ends the child whose program could not be run. A coverage build first writes the
// child's counters, which _exit would drop.
[[noreturn]] void exit_child(int status) noexcept {
#ifdef ZU_COVERAGE
    __gcov_dump();
#endif
    ::_exit(status);  // GCOVR_EXCL_LINE: runs after the counters are written
}

// The status a child reports when its program could not be run, as shells do.
constexpr int kExecFailedStatus = 127;

// Only a positive id names one process. The system gives 0 and negative ids other
// meanings (a process group, every process the caller may signal, any child), and
// -1 is what a failed spawn leaves in the handle, so such an id never reaches it.
constexpr bool names_one_process(ProcessHandle hProcess) noexcept {
    return hProcess > 0;
}

}  // namespace

int32 os_process_spawn(const char* szFileName, const char* argv, ProcessHandle* pProcess) {
    ZU_ASSERT(szFileName != nullptr);
    ZU_ASSERT(pProcess != nullptr);

    // A name without any '/' is run from the current directory, never looked up on
    // the search path. The path is built before fork: allocating in the child of a
    // threaded program can deadlock on a lock held by a thread that was not copied.
    const bool bAbsolutePath = ::strchr(szFileName, '/') != nullptr;
    const size_t len = bAbsolutePath ? 0 : ::strlen(szFileName);
    zu::MallocPtr<char> relative(bAbsolutePath ? nullptr : static_cast<char*>(::malloc(len + 3)));
    if (!bAbsolutePath && !relative) {
        // Treated like a failed fork: no child exists.
        *pProcess = -1;
        return OS_ERR_PROCESS_SPAWN;
    }
    const char* path = szFileName;
    if (!bAbsolutePath) {
        ::memcpy(relative.get(), "./", 2);
        ::memcpy(relative.get() + 2, szFileName, len + 1);
        path = relative.get();
    }

    const pid_t pid = ::fork();
    *pProcess = pid;
    if (pid < 0) return OS_ERR_PROCESS_SPAWN;
    if (pid == 0) {
        // Only async-signal-safe calls from here on. argv is the one argument string,
        // passed as argument zero. If exec fails the child ends here: it must never
        // return into the caller's code as a second copy of the caller.
        // execv with the same vector: a null argv must become an empty vector, which
        // execl cannot be handed without breaking its non-null contract.
        char* const args[2] = {const_cast<char*>(argv), nullptr};
        ::execv(path, args);
        exit_child(kExecFailedStatus);
    }
    return OS_OK;
}

int32 os_process_wait(ProcessHandle hProcess) {
    if (!names_one_process(hProcess)) return OS_ERR_PROCESS_WAIT;
    // Not retried after EINTR: every failure, a signal included, is the one code.
    return ::waitpid(hProcess, nullptr, 0) < 0 ? OS_ERR_PROCESS_WAIT : OS_OK;
}

int32 os_process_terminate(ProcessHandle hProcess) {
    if (!names_one_process(hProcess)) return ESRCH;
    return zu::status_of(::kill(hProcess, SIGKILL));
}

int32 os_process_get_curr_id(void) {
    return ::getpid();
}
