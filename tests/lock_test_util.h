// Helpers shared by the cross-process lock tests: a pipe to order events between a
// parent and its forked children, a shared counter page, and a signal handler that
// interrupts blocking calls.
#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace locktest {

// One-way notifications between processes: each notify() wakes one wait().
class Pipe {
public:
    Pipe() {
        if (::pipe(fd_) != 0) fd_[0] = fd_[1] = -1;
    }
    ~Pipe() {
        for (int f : fd_)
            if (f != -1) ::close(f);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void notify() const {
        char c = 'x';
        while (::write(fd_[1], &c, 1) == -1 && errno == EINTR) {
        }
    }
    bool wait() const {
        char c;
        ssize_t n;
        while ((n = ::read(fd_[0], &c, 1)) == -1 && errno == EINTR) {
        }
        return n == 1;
    }

private:
    int fd_[2];
};

// A counter in an anonymous shared page, seen by the forked children.
class SharedCounter {
public:
    SharedCounter() {
        void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        p_ = p == MAP_FAILED ? nullptr : static_cast<volatile long*>(p);
    }
    ~SharedCounter() {
        if (p_) ::munmap(const_cast<long*>(p_), 4096);
    }
    SharedCounter(const SharedCounter&) = delete;
    SharedCounter& operator=(const SharedCounter&) = delete;
    bool ok() const { return p_ != nullptr; }
    // A deliberately split read-modify-write: without the lock, updates get lost.
    void bump() { *p_ = *p_ + 1; }
    long value() const { return *p_; }

private:
    volatile long* p_ = nullptr;
};

// A forked child running fn, which ends with _exit(fn()). A child still running when
// the guard goes (a failed assertion returned early) is killed and reaped, so that
// no test leaves a process behind.
class Child {
public:
    template <class F>
    explicit Child(F fn) : pid_(::fork()) {
        if (pid_ == 0) ::_exit(fn());
    }
    ~Child() {
        if (pid_ > 0) kill();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool started() const { return pid_ > 0; }
    // Waits for the child; true when it exited with status 0.
    bool exited_cleanly() {
        int st = reap();
        return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    void kill() {
        ::kill(pid_, SIGKILL);
        reap();
    }

private:
    int reap() {
        int st = 0;
        while (::waitpid(pid_, &st, 0) == -1 && errno == EINTR) {
        }
        pid_ = -1;
        return st;
    }
    pid_t pid_;
};

// SIGUSR1 with a handler that counts and no SA_RESTART, for the scope.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = [](int) { hits() = hits() + 1; };
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(SIGUSR1, &sa, &old_);
        hits() = 0;
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &old_, nullptr); }
    InterruptingSignal(const InterruptingSignal&) = delete;
    InterruptingSignal& operator=(const InterruptingSignal&) = delete;
    static volatile sig_atomic_t& hits() {
        static volatile sig_atomic_t n = 0;
        return n;
    }

private:
    struct sigaction old_;
};

}  // namespace locktest
