// Fault injection for the library's own objects, linked into this test binary with
// -Wl,--wrap=NAME. FI_WRAP(ret, name, failval, (params), (args)) defines
// __wrap_name, which forwards to the real function until the point is armed; the
// armed point makes its nth call fail with the chosen errno and then passes again.
// CMake collects the wrapped names from the FI_WRAP uses in tests/fault/*.cpp.
// Variadic functions (open, semctl, fcntl, ioctl) need a hand-written __wrap_ that
// uses fi::Point the same way and names itself in a `// FI_WRAP(int, name` comment.
#pragma once

#include <atomic>
#include <cerrno>

namespace fi {

struct Point {
    std::atomic<long> calls{0};
    std::atomic<long> fail_at{0};  // 0: never fail
    int err = 0;

    void arm(long nth, int e) {
        err = e;
        calls = 0;
        fail_at = nth;
    }
    void disarm() { fail_at = 0; }
    // True exactly for the armed call.
    bool hit() {
        long at = fail_at.load();
        if (at == 0) return false;
        return ++calls == at;
    }
};

// Arms a point for one scope: the nth call of the function from now fails with err.
class Armed {
public:
    Armed(Point& p, long nth, int err) : p_(p) { p_.arm(nth, err); }
    ~Armed() { p_.disarm(); }
    Armed(const Armed&) = delete;
    Armed& operator=(const Armed&) = delete;
    long calls() const { return p_.calls.load(); }

private:
    Point& p_;
};

}  // namespace fi

// malloc and strdup are wrapped once for the whole binary (fault_common.cpp).
extern fi::Point fi_malloc;
extern fi::Point fi_strdup;

#define FI_WRAP(ret, name, failval, params, args) \
    extern "C" ret __real_##name params;          \
    fi::Point fi_##name;                          \
    extern "C" ret __wrap_##name params {         \
        if (fi_##name.hit()) {                    \
            errno = fi_##name.err;                \
            return failval;                       \
        }                                         \
        return __real_##name args;                \
    }

// The same for a call that must still do its work when it fails (a close that
// releases the object, as Linux's does): the real call runs, then an armed point
// turns its result into failval with the chosen errno.
#define FI_WRAP_AFTER(ret, name, failval, params, args) \
    extern "C" ret __real_##name params;                \
    fi::Point fi_##name;                                \
    extern "C" ret __wrap_##name params {               \
        const ret rc = __real_##name args;              \
        if (!fi_##name.hit()) return rc;                \
        errno = fi_##name.err;                          \
        return failval;                                 \
    }

namespace fi {

// fn's result with the nth call through point failing with err.
template <class F>
auto failing(Point& point, long nth, int err, F fn) {
    Armed a(point, nth, err);
    return fn();
}

}  // namespace fi
