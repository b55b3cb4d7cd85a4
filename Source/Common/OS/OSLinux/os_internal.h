// os_internal.h - helpers shared by the libzuOS sources: assertions that stay on in
// every build type, result mapping, the EINTR helper, deadline arithmetic for the
// timed waits, RAII guards, the System V key-file protocol and the two outlets of
// the library's side effects (diagnostic lines and shell commands). It holds no
// state; everything here is inline or a template with internal use only (the
// library is built with -fvisibility=hidden, so none of it is exported).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "os/os.h"

// The ABI the headers promise.
static_assert(sizeof(bool) == 1, "bool crosses the interface as one byte");
static_assert(sizeof(int32) == 4 && sizeof(uint32) == 4 && sizeof(uint16) == 2);
static_assert(sizeof(int64) == 8 && sizeof(uint64) == 8);
static_assert(sizeof(time_t) == 8 && sizeof(off_t) == 8, "64-bit time and offsets");
static_assert(sizeof(ZUTimeStamp) == 8 * sizeof(int32));

extern "C" [[noreturn]] void __assert_fail(const char* assertion, const char* file,
                                           unsigned int line, const char* function) noexcept;

// Preconditions are checked in every build type, Release included: a violation is
// the caller's programming error and must not turn into undefined behaviour.
#define ZU_ASSERT(cond)                           \
    (__builtin_expect(static_cast<bool>(cond), 1) \
         ? static_cast<void>(0)                   \
         : __assert_fail(#cond, __FILE__, __LINE__, __PRETTY_FUNCTION__))

namespace zu {

// A C caller may pass any non-zero byte as true (2, -1, ...). C++ assumes a bool
// holds 0 or 1, so read the byte itself before trusting it.
inline bool as_flag(const bool& b) noexcept {
    return *reinterpret_cast<const volatile unsigned char*>(&b) != 0;
}

// The result of a call that reports failure through errno: OS_OK, or errno read
// straight after the call. `failed` is the call's failure value: -1 by default,
// MAP_FAILED, the all-ones address of shmat, SEM_FAILED or a null pointer.
template <class T, class F = T>
inline int status_of(T ret, F failed = static_cast<F>(-1)) noexcept {
    return ret == failed ? errno : OS_OK;
}

// err, unless it is `from`, which the library reports as its own code `to`.
constexpr int renamed(int err, int from, int to) noexcept {
    return err == from ? to : err;
}

// errno, read at once, with the one value `from` reported as the code `to`.
inline int errno_as(int from, int to) noexcept {
    return renamed(errno, from, to);
}

// status_of for a call failing with -1 whose errno `from` has a code `to` of its own
// (ETIMEDOUT as a time-out code, EAGAIN as "busy", ENOENT as "not found").
template <class T>
inline int status_as(T ret, int from, int to) noexcept {
    return ret == static_cast<T>(-1) ? errno_as(from, to) : OS_OK;
}

// OS_OK when the call returned 0, otherwise the one code that stands for any of its
// failures (whatever errno or error number it gave is not passed on).
inline int ok_or(int ret, int code) noexcept {
    return ret == 0 ? OS_OK : code;
}

template <class F>
inline auto retry_eintr(F&& call) noexcept {
    auto r = call();
    while (r == -1 && errno == EINTR) r = call();
    return r;
}

// ---------------------------------------------------------------------------
// Deadlines: timespec on the clock the wait uses, nanoseconds kept in range
// ---------------------------------------------------------------------------

constexpr long kNsPerSec = 1000000000L;

// sec seconds and ns nanoseconds, carried exactly once into the seconds: ns from 0
// to just under two seconds' worth (two addends each below a second) comes out
// normalised; any other count keeps what one carry leaves.
constexpr timespec carry_once(time_t sec, long ns) noexcept {
    return ns >= kNsPerSec ? timespec{sec + 1, ns - kNsPerSec} : timespec{sec, ns};
}

// The instant `span` (normalised, not negative) after `now`, on now's clock.
constexpr timespec after(const timespec& now, const timespec& span) noexcept {
    return carry_once(now.tv_sec + span.tv_sec, now.tv_nsec + span.tv_nsec);
}

// nMSec milliseconds (not negative) as a normalised span. Any count a caller can
// pass (int32 seconds and milliseconds together) fits.
constexpr timespec msec_span(int64 nMSec) noexcept {
    return {static_cast<time_t>(nMSec / 1000), static_cast<long>(nMSec % 1000) * 1000000L};
}

// The instant nMSec milliseconds (not negative) after `now`, on now's clock.
constexpr timespec after_msec(const timespec& now, int64 nMSec) noexcept {
    return after(now, msec_span(nMSec));
}

// The longest span a select-style time-out stands for: what 64-bit nanoseconds hold
// (about 292 years), so that adding it to any clock reading cannot overflow.
constexpr timespec kLongestSpan{INT64_MAX / kNsPerSec, INT64_MAX % kNsPerSec};

// A select-style time-out (fields not negative) as a normalised span: microseconds
// of a million or more carry into the seconds, as the kernel's select does, and a
// time-out beyond kLongestSpan becomes kLongestSpan. Tested before any sum is
// formed, so that no signed arithmetic can overflow.
constexpr timespec timeval_span(const timeval& tv) noexcept {
    constexpr int64 kMaxSec = kLongestSpan.tv_sec - 1;
    const int64 usec_sec = tv.tv_usec / 1000000;
    if (tv.tv_sec >= kMaxSec || usec_sec >= kMaxSec || tv.tv_sec + usec_sec >= kMaxSec) {
        return kLongestSpan;
    }
    return {static_cast<time_t>(tv.tv_sec + usec_sec),
            static_cast<long>(tv.tv_usec % 1000000) * 1000L};
}

// What remains from `now` to the deadline `at` (same clock), {0, 0} once it has
// passed: for the calls that take a relative time-out, so that a wait resumed after
// a signal still ends when the first one would have.
constexpr timespec time_left(const timespec& at, const timespec& now) noexcept {
    if (at.tv_sec < now.tv_sec || (at.tv_sec == now.tv_sec && at.tv_nsec <= now.tv_nsec)) {
        return {0, 0};
    }
    if (at.tv_nsec < now.tv_nsec)
        return {at.tv_sec - now.tv_sec - 1, at.tv_nsec - now.tv_nsec + kNsPerSec};
    return {at.tv_sec - now.tv_sec, at.tv_nsec - now.tv_nsec};
}

// Move-only owner of a handle-like value with a close function.
template <typename T, T Invalid, int (*Close)(T)>
class Owned {
public:
    Owned() noexcept = default;
    explicit Owned(T v) noexcept : v_(v) {}
    Owned(Owned&& o) noexcept : v_(o.release()) {}
    Owned& operator=(Owned&& o) noexcept {
        reset(o.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }
    T get() const noexcept { return v_; }
    bool valid() const noexcept { return v_ != Invalid; }
    T release() noexcept {
        T v = v_;
        v_ = Invalid;
        return v;
    }
    // close() is never retried: on Linux the descriptor is gone even after EINTR.
    void reset(T v = Invalid) noexcept {
        if (v_ != Invalid) (void)Close(v_);
        v_ = v;
    }

private:
    T v_ = Invalid;
};

using UniqueFd = Owned<int, -1, ::close>;

// Runs a clean-up step on scope exit unless dismissed; for undo steps that are not
// resources (removing an IPC object made earlier in the same call).
template <class F>
class ScopeExit {
public:
    explicit ScopeExit(F f) noexcept : f_(std::move(f)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        if (armed_) f_();
    }
    void dismiss() noexcept { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

// Frees memory from malloc/strdup on scope exit unless released.
template <class T>
class MallocPtr {
public:
    explicit MallocPtr(T* p = nullptr) noexcept : p_(p) {}
    MallocPtr(const MallocPtr&) = delete;
    MallocPtr& operator=(const MallocPtr&) = delete;
    ~MallocPtr() { ::free(p_); }
    T* get() const noexcept { return p_; }
    T* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    T* p_;
};

// ---------------------------------------------------------------------------
// Side effects that callers see outside their results
// ---------------------------------------------------------------------------

// The library has no log: the few paths that tell the operator something print one
// line to standard output, all through here.
[[gnu::format(printf, 1, 2)]] inline void say(const char* szFormat, ...) noexcept {
    va_list ap;
    va_start(ap, szFormat);
    (void)::vprintf(szFormat, ap);
    va_end(ap);
}

// The system's ipcrm run through the shell on the object under a System V key: 'S'
// removes a semaphore set, 'M' a shared-memory segment, for everyone, if the caller
// may. The command is formatted into a fixed, zero-filled buffer. Neither its output
// nor its exit status matters: what the caller does next shows whether it worked.
class IpcrmCommand {
public:
    IpcrmCommand(char kind, key_t key) noexcept {
        (void)::snprintf(text_, sizeof text_, "ipcrm -%c %d", kind, static_cast<int>(key));
    }
    const char* text() const noexcept { return text_; }
    void run() const noexcept {
        // The fortified headers insist that system()'s result be taken.
        [[maybe_unused]] const int status = ::system(text_);
    }

private:
    char text_[256] = {};
};

// ---------------------------------------------------------------------------
// System V objects named by a key file
// ---------------------------------------------------------------------------

// glibc leaves the declaration of semctl's fourth argument to the caller.
union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// The file whose identity (device and inode, not the path's text) gives the System
// V key of a process semaphore, process mutex or shared-memory segment: created if
// missing (0777 less the umask), never removed, its contents never read.
//
// It stays open until close() or scope exit, and lock() takes an exclusive flock on
// it meanwhile, so that one process at a time sets up the object of that name; the
// kernel drops the lock when its holder dies, so a crash cannot wedge it. O_CLOEXEC:
// a program that another thread execs meanwhile must not carry the descriptor, and
// the lock with it, away. The lock is dropped explicitly before the close: a child
// that another thread forks meanwhile shares the open file and would otherwise keep
// it locked for as long as it lives. The close result does not matter.
class KeyFile {
public:
    KeyFile() noexcept = default;
    KeyFile(const KeyFile&) = delete;
    KeyFile& operator=(const KeyFile&) = delete;
    ~KeyFile() { close(); }

    // OS_OK or the result of os_file_open.
    int open(const char* szName) noexcept {
        name_ = szName;
        return os_file_open(szName, O_CREAT | O_CLOEXEC, &fd_);
    }
    // The object's key: ftok with the project id that every user of the file shares.
    // -1 with errno when the file cannot be examined.
    key_t key() const noexcept { return ::ftok(name_, OS_IPC_KEY_PROJECT_ID); }
    // Waits as long as another init holds it; a signal does not end the wait. OS_OK
    // or errno.
    int lock() noexcept {
        if (retry_eintr([this] { return ::flock(fd_, LOCK_EX); }) == -1) return errno;
        locked_ = true;
        return OS_OK;
    }
    // Tries every millisecond, giving up after about `steps` of them.
    bool lock_within(int steps) noexcept {
        for (int step = 0;; ++step) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return locked_ = true;
            if (errno != EWOULDBLOCK || step == steps) return false;
            ::usleep(1000);
        }
    }
    void close() noexcept {
        if (fd_ == -1) return;
        if (locked_) (void)::flock(fd_, LOCK_UN);
        (void)os_file_close(fd_);
        fd_ = -1;
        locked_ = false;
    }

private:
    const char* name_ = nullptr;
    HANDLE fd_ = -1;
    bool locked_ = false;
};

}  // namespace zu
