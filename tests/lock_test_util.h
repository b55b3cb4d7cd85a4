// Helpers shared by the lock and event tests: round counts for stress tests, memory
// shared with forked children, a pipe to order events between processes, forked
// children, a call made while signals keep interrupting it, timed calls, what a call
// prints, and the System V objects under a key file, found as the library finds them.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>
#include <vector>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include "os/os.h"
#include "test_support.h"

namespace locktest {

// Rounds of a stress test: fewer where every process runs many times slower (under
// valgrind or a sanitizer, or writing coverage counters at every exit), where the
// plain build has already done the full count.
inline int scaled(int rounds) {
    if (zutest::__gcov_dump != nullptr) return rounds / 10;
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
struct Shared {
    T* p =
        new (::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))
            T();
    ~Shared() {
        p->~T();
        ::munmap(p, sizeof(T));
    }
    T* operator->() const { return p; }
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

// A forked child ending with _exit(fn()), its coverage counters written first. The
// tests reach its reap() on every path (no assertion returns in between), so that no
// test leaves a process behind.
template <class F>
pid_t fork_child(F fn) {
    pid_t pid = ::fork();
    if (pid == 0) {
        const int rc = fn();
        if (zutest::__gcov_dump != nullptr) zutest::__gcov_dump();
        ::_exit(rc);
    }
    return pid;
}

// Waits for the child, killing it first if asked; true when it exited with 0.
inline bool reap(pid_t pid, bool kill = false) {
    if (pid <= 0) return false;
    if (kill) ::kill(pid, SIGKILL);
    return zutest::reap(pid) == 0;
}

// Runs fn in n children forked together; true when every one returned 0.
template <class F>
bool in_processes(int n, F fn) {
    std::vector<pid_t> kids;
    for (int p = 0; p < n; ++p) kids.push_back(fork_child(fn));
    bool ok = true;
    for (pid_t kid : kids) ok = reap(kid) && ok;
    return ok;
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

// What fn prints on standard output; its result goes to *rc.
template <class F>
std::string printed_by(F fn, int* rc) {
    ::testing::internal::CaptureStdout();
    *rc = fn();
    ::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// The System V key the library derives from a key file; -1 while the file does not
// exist.
inline key_t ipc_key(const std::string& keyfile) {
    return ::ftok(keyfile.c_str(), OS_IPC_KEY_PROJECT_ID);
}

// Removes whatever semaphore set and segment are under a key file's key.
inline void remove_ipc_under(const std::string& keyfile) {
    const key_t key = ipc_key(keyfile);
    if (key == -1) return;
    ::semctl(::semget(key, 0, 0), 0, IPC_RMID);
    ::shmctl(::shmget(key, 0, 0), IPC_RMID, nullptr);
}

// A key file in a directory of the test's own, and the System V objects under its
// key: whatever set or segment is left there goes when the test ends.
class KeyFileTest : public ::testing::Test {
public:
    // A process semaphore's free units and registered users.
    static int count(int id) { return ::semctl(id, OS_PROC_SEMA_COUNT, GETVAL); }
    static int users(int id) { return ::semctl(id, OS_PROC_SEMA_USERS, GETVAL); }

protected:
    void TearDown() override { remove_ipc_under(name); }
    key_t key() const { return ipc_key(name); }
    int set_id() const { return ::semget(key(), 0, 0); }
    int segment() const { return ::shmget(key(), 0, 0); }
    // Creates the key file as another program would, so that key() is defined.
    void make_key_file() const { ::close(::open(name.c_str(), O_CREAT | O_RDONLY, 0600)); }

    zutest::TempDir dir;
    std::string name = dir.file("key");
};

}  // namespace locktest
