// os_event.cpp - events: waitable POSIX semaphores that start at 0, unnamed
// (private to the process) or named (shared by every process opening the name).
// The record behind a handle is not locked: any number of threads may wait or post
// at once, but destroy must not overlap them. A named semaphore, with its value,
// outlives every process until its name is removed (os_event_remove).
#include <fcntl.h>
#include <semaphore.h>
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
    const auto ms_ns = static_cast<int32>(static_cast<int64>(nMSecTimeout) * 1000000);
    return zu::carry_once(now.tv_sec + nSecTimeout, now.tv_nsec + ms_ns);
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
    if (const int err = zu::status_of(s, SEM_FAILED); err != OS_OK) {
        // Where the unlink succeeds, the next init creates the semaphore afresh.
        (void)::sem_unlink(name.get());
        zu::say("#SEM_FAILED#[%s]\n\n", name.get());
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
    return zu::status_of(name ? ::sem_close(hEvent->pSema) : ::sem_destroy(&hEvent->sema));
}

int32 os_event_timedwait(EventHandle hEvent, int32 nSecTimeout, int32 nMSecTimeout) {
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return OS_ERR_EVENT_CLOCK;
    const timespec at = deadline_after(now, nSecTimeout, nMSecTimeout);
    return zu::status_as(zu::retry_eintr([&] { return ::sem_timedwait(hEvent->pSema, &at); }),
                         ETIMEDOUT, OS_ERR_EVENT_TIMEOUT);
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
    return zu::status_as(zu::retry_eintr(wait), ETIMEDOUT, OS_ERR_EVENT_TIMEOUT);
}

int32 os_event_set(EventHandle hEvent) {
    ZU_ASSERT(hEvent != nullptr);
    return zu::status_of(::sem_post(hEvent->pSema));
}

int32 os_event_remove(const char* szEventName) {
    ZU_ASSERT(szEventName != nullptr);
    return zu::status_of(::sem_unlink(szEventName));
}
