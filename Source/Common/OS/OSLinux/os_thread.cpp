// os_thread.cpp - creating, joining, cancelling and testing threads of this process.
// No state: a thread is its pthread_t, owned by the caller from os_thread_create until
// a join releases it. Any thread may call these; a thread is joined by one other
// thread only. Nothing outlives the process.
#include <pthread.h>
#include <signal.h>

#include "os_internal.h"

int os_thread_create(ThreadHandle* pThreadHandle, THR_FUNC thrFunc, void* pArg) {
    // pthread_* return the error number; it is not passed on, only the one code.
    return zu::ok_or(::pthread_create(pThreadHandle, nullptr, thrFunc, pArg), OS_ERR_THREAD_CREATE);
}

int os_thread_join(ThreadHandle hThread) {
    return zu::ok_or(::pthread_join(hThread, nullptr), OS_ERR_THREAD_JOIN);
}

int os_thread_join_with_msgwait(ThreadHandle hThread) {
    return os_thread_join(hThread);
}

int os_thread_terminate(ThreadHandle hThread) {
    // Only a request: the thread ends at its next cancellation point (or never, if it
    // disabled cancellation). A failure, such as an already ended thread, is ignored.
    (void)::pthread_cancel(hThread);
    return OS_OK;
}

int os_thread_test_active(ThreadHandle hThread, bool* pActive) {
    // Signal 0 sends nothing; it only asks whether the thread still exists.
    const int r = ::pthread_kill(hThread, 0);
    if (r == EINVAL) return OS_ERR_THREAD_INVALID;
    *pActive = r != ESRCH;
    return OS_OK;
}

ThreadID os_thread_get_id(void) {
    return ::pthread_self();
}
