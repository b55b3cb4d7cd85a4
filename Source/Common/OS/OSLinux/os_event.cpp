// os_event.cpp - events: waitable POSIX semaphores that start at 0, unnamed
// (private to the process) or named (shared by every process opening the name).
// The record behind a handle is not locked: any number of threads may wait or post
// at once, but destroy must not overlap them. A named semaphore, with its value,
// outlives every process until its name is removed (os_event_remove).
#include <fcntl.h>
#include <semaphore.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "os_internal.h"

namespace {

// The deadline is now plus the time-out, made once so that a wait resumed after a
// signal still ends when the first one would have. The milliseconds become
// nanoseconds in 32-bit arithmetic, wrapping as such (made explicit here, since a
// signed overflow would be undefined), and exactly one carry is made: time-outs
// outside 0..999 ms can leave the nanoseconds out of range, which sem_timedwait
// reports as EINVAL.
timespec deadline_after(const timespec& now, int32 nSecTimeout, int32 nMSecTimeout) noexcept {
    timespec at = now;
    at.tv_sec += nSecTimeout;
    auto ms_ns = static_cast<int32>(static_cast<int64>(nMSecTimeout) * 1000000);
    long ns = at.tv_nsec + ms_ns;
    if (ns > zu::kNsPerSec - 1) {
        at.tv_nsec = ns - zu::kNsPerSec;
        at.tv_sec += 1;
    } else {
        at.tv_nsec = ns;
    }
    return at;
}

}  // namespace

int32 os_event_init(EventHandle* pEvent, const char* szEventName) {
    ZU_ASSERT(pEvent != nullptr);
    *pEvent = nullptr;
    zu::MallocPtr<EventInfo> rec(static_cast<EventInfo*>(::malloc(sizeof(EventInfo))));
    if (!rec) return OS_ERR_NO_MEMORY;
    // Zero-filled field by field (a whole-record memset would be folded into calloc,
    // out of reach of the allocation fault tests).
    EventInfo* ev = rec.get();
    ::memset(&ev->sema, 0, sizeof ev->sema);
    ev->pSema = nullptr;
    ev->szName = nullptr;

    if (szEventName == nullptr) {
        if (::sem_init(&ev->sema, 0, 0) == -1) return errno;
        ev->pSema = &ev->sema;
        *pEvent = rec.release();
        return OS_OK;
    }

    size_t len = ::strlen(szEventName);
    zu::MallocPtr<char> name(static_cast<char*>(::malloc(len + 1)));
    if (!name) return OS_ERR_NO_MEMORY;
    ::memcpy(name.get(), szEventName, len + 1);

    // Created at 0 if the name is new, otherwise opened with its current value.
    sem_t* s = ::sem_open(name.get(), O_CREAT, 0644, 0);
    if (s == SEM_FAILED) {
        int err = errno;
        // Where the unlink succeeds, the next init creates the semaphore afresh.
        (void)::sem_unlink(name.get());
        ::printf("#SEM_FAILED#[%s]\n\n", name.get());
        return err;
    }
    ev->pSema = s;
    ev->szName = name.release();
    *pEvent = rec.release();
    return OS_OK;
}

int32 os_event_destroy(EventHandle hEvent) {
    ZU_ASSERT(hEvent != nullptr);
    zu::MallocPtr<EventInfo> rec(hEvent);  // freed whatever the result
    zu::MallocPtr<char> name(hEvent->szName);
    // A named semaphore is only closed: its name and value stay in the system.
    int r = name ? ::sem_close(hEvent->pSema) : ::sem_destroy(&hEvent->sema);
    return r == -1 ? errno : OS_OK;
}

int32 os_event_timedwait(EventHandle hEvent, int32 nSecTimeout, int32 nMSecTimeout) {
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return OS_ERR_EVENT_CLOCK;
    const timespec at = deadline_after(now, nSecTimeout, nMSecTimeout);
    if (zu::retry_eintr([&] { return ::sem_timedwait(hEvent->pSema, &at); }) == 0) return OS_OK;
    int err = errno;
    return err == ETIMEDOUT ? OS_ERR_EVENT_TIMEOUT : err;
}

int32 os_event_timedwait_monotonic(EventHandle hEvent, int32 nSecTimeout, int32 nMSecTimeout) {
    ZU_ASSERT(hEvent != nullptr);
    if (nSecTimeout < 0 || nMSecTimeout < 0) return EINVAL;
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return OS_ERR_EVENT_CLOCK;
    // One deadline for the wait and every resumption after a signal; unlike
    // deadline_after's, it is fully normalised, so any millisecond count is valid.
    const timespec at = zu::after_msec(now, static_cast<int64>(nSecTimeout) * 1000 + nMSecTimeout);
    auto wait = [&] { return ::sem_clockwait(hEvent->pSema, CLOCK_MONOTONIC, &at); };
    if (zu::retry_eintr(wait) == 0) return OS_OK;
    int err = errno;
    return err == ETIMEDOUT ? OS_ERR_EVENT_TIMEOUT : err;
}

int32 os_event_set(EventHandle hEvent) {
    ZU_ASSERT(hEvent != nullptr);
    return ::sem_post(hEvent->pSema) == -1 ? errno : OS_OK;
}

int32 os_event_remove(const char* szEventName) {
    ZU_ASSERT(szEventName != nullptr);
    return ::sem_unlink(szEventName) == -1 ? errno : OS_OK;
}
