// Helpers shared by the cross-process lock tests: round counts for stress tests,
// memory shared with forked children, a pipe to order events between a parent and
// its children, forked children, a stress run of several processes on one counter,
// a call made while signals keep interrupting it, and timed calls.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

namespace locktest {

// Rounds of a stress test: fewer where every process runs many times slower (under
// valgrind or a sanitizer), where the plain build has already done the full count.
inline int scaled(int rounds) {
#if defined(ZUOS_SANITIZED) && ZUOS_SANITIZED
    return rounds / 10;
#elif __has_include(<valgrind/valgrind.h>)
    return RUNNING_ON_VALGRIND ? rounds / 20 : rounds;
#else
    return rounds;
#endif
}

// A T in memory that the process shares with the children it forks, for its scope.
template <class T>
class Shared {
public:
    Shared()
        : p_(::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1,
                    0)) {
        if (p_ == MAP_FAILED) std::abort();
        new (p_) T();
    }
    ~Shared() {
        get()->~T();
        ::munmap(p_, sizeof(T));
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    T* get() const { return static_cast<T*>(p_); }
    T* operator->() const { return get(); }

private:
    void* p_;
};

// One-way notifications between processes: each notify() wakes one wait().
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (::pipe(fd) != 0) fd[0] = fd[1] = -1;
    }
    ~Pipe() {
        for (int f : fd) ::close(f);
    }
    bool notify() const { return ::write(fd[1], "x", 1) == 1; }
    bool wait() const {
        char c;
        return ::read(fd[0], &c, 1) == 1;
    }
};

// A forked child ending with _exit(fn()). The tests reach its reap() on every path
// (no assertion returns in between), so that no test leaves a process behind.
template <class F>
pid_t fork_child(F fn) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(fn());
    return pid;
}

// Waits for the child, killing it first if asked; true when it exited with 0.
inline bool reap(pid_t pid, bool kill = false) {
    int st = -1;
    if (pid > 0 && kill) ::kill(pid, SIGKILL);
    return pid > 0 && ::waitpid(pid, &st, 0) == pid && st == 0;
}

// Runs n children incrementing a shared counter `rounds` times each, the increment
// being a deliberately split read-modify-write inside lock()/unlock() so that a lock
// that does not exclude loses updates. open() runs first in each child and returns its
// handle; lock and unlock return 0 on success. Gives the total, or -1 if a child failed.
template <class Open, class Lock, class Unlock>
long count_in_processes(int n, int rounds, Open open, Lock lock, Unlock unlock) {
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return -1;
    volatile long* counter = static_cast<volatile long*>(page);
    std::vector<pid_t> kids;
    for (int p = 0; p < n; ++p) {
        kids.push_back(fork_child([&] {
            auto h = open();
            for (int i = 0; i < rounds; ++i) {
                if (lock(h) != 0) return 1;
                *counter = *counter + 1;
                if (unlock(h) != 0) return 2;
            }
            return 0;
        }));
    }
    bool ok = true;
    for (pid_t kid : kids) ok = reap(kid) && ok;
    long total = ok ? *counter : -1;
    ::munmap(page, 4096);
    return total;
}

// Runs fn in a thread that gets SIGUSR1 every 10 ms until fn returns, and gives fn's
// result. The handler counts and has no SA_RESTART, so blocking calls see EINTR; it
// stays for the rest of the test (each test runs in its own process).
inline volatile sig_atomic_t usr1_hits = 0;
template <class F>
int call_while_signalled(F fn) {
    struct sigaction sa = {};
    sa.sa_handler = [](int) { usr1_hits = usr1_hits + 1; };
    ::sigaction(SIGUSR1, &sa, nullptr);
    std::atomic<bool> done{false};
    int rc = -1;
    std::thread t([&] {
        rc = fn();
        done = true;
    });
    // Until the wait ends: a signal sent before the thread blocks is not enough.
    while (!done) {
        ::pthread_kill(t.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    t.join();
    return rc;
}

// The result of fn and how long it took on the steady clock; with `signalled`, fn
// runs under call_while_signalled.
struct Timed {
    int rc = -1;
    std::chrono::steady_clock::duration took{};
};
template <class F>
Timed timed(F fn, bool signalled = false) {
    Timed t;
    auto run = [&] {
        auto t0 = std::chrono::steady_clock::now();
        int rc = fn();
        t.took = std::chrono::steady_clock::now() - t0;
        return rc;
    };
    t.rc = signalled ? call_while_signalled(run) : run();
    return t;
}

// How much later than its time-out a timed wait may end on a loaded machine.
constexpr std::chrono::milliseconds kLateBy{1500};

// A timed call on an object nobody will give it: `expiry` after `timeout`, never
// earlier and not much later, both plainly and while signals keep interrupting it.
template <class F>
void expect_waits_out(F call, int expiry, std::chrono::milliseconds timeout) {
    for (bool signalled : {false, true}) {
        const Timed t = timed(call, signalled);
        EXPECT_EQ(t.rc, expiry) << "signalled " << signalled;
        EXPECT_GE(t.took, timeout) << "signalled " << signalled;
        EXPECT_LT(t.took, timeout + kLateBy) << "signalled " << signalled;
    }
    EXPECT_GT(usr1_hits, 0);
}

}  // namespace locktest
