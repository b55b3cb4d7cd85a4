// os_internal.h - helpers shared by the libzuOS sources: assertions that stay on in
// every build type, errno capture, the EINTR helper, deadline arithmetic for the
// timed waits and RAII guards. It holds no state; everything here is inline or a
// template with internal use only (the library is built with -fvisibility=hidden,
// so none of it is exported).
#pragma once

#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

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

// Status of a call that reports failure as -1 with errno: 0 or the errno value,
// read straight after the call.
template <class T>
inline int status_of(T ret) noexcept {
    return ret == static_cast<T>(-1) ? errno : OS_OK;
}

template <class F>
inline auto retry_eintr(F&& call) noexcept {
    auto r = call();
    while (r == -1 && errno == EINTR) r = call();
    return r;
}

// Runs a shell command whose exit status the caller has no use for (what follows
// checks the outcome). The fortified headers insist that system()'s result be taken.
inline void run_command(const char* szCmd) noexcept {
    [[maybe_unused]] const int status = ::system(szCmd);
}

constexpr long kNsPerSec = 1000000000L;

// The instant nMSec milliseconds (not negative) after `now`, on now's clock. 64-bit
// throughout and carried exactly once, which is enough to keep the nanoseconds in
// range: both addends are below a second. Any count a caller can pass (int32
// seconds and milliseconds together) fits.
inline timespec after_msec(const timespec& now, int64 nMSec) noexcept {
    timespec at;
    at.tv_sec = now.tv_sec + static_cast<time_t>(nMSec / 1000);
    long ns = now.tv_nsec + static_cast<long>(nMSec % 1000) * 1000000L;
    if (ns >= kNsPerSec) {
        ns -= kNsPerSec;
        at.tv_sec += 1;
    }
    at.tv_nsec = ns;
    return at;
}

// What remains from `now` to the deadline `at` (same clock), {0, 0} once it has
// passed: for the calls that take a relative time-out, so that a wait resumed after
// a signal still ends when the first one would have.
inline timespec time_left(const timespec& at, const timespec& now) noexcept {
    timespec left{0, 0};
    if (at.tv_sec < now.tv_sec || (at.tv_sec == now.tv_sec && at.tv_nsec <= now.tv_nsec)) {
        return left;
    }
    left.tv_sec = at.tv_sec - now.tv_sec;
    left.tv_nsec = at.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_nsec += kNsPerSec;
        left.tv_sec -= 1;
    }
    return left;
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

}  // namespace zu
