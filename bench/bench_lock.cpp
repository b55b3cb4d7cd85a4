// Uncontended acquire + release of every lock, and an event post + timed wait round
// trip: each library call beside the raw calls it wraps, on the same object, in the
// same run.
#include <benchmark/benchmark.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sem.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "os/os.h"

namespace {

// A key file in a private directory, removed with the directory at the end.
struct KeyFile {
    KeyFile() {
        char tmpl[] = "/tmp/zuos-bench-lock-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) std::abort();
        dir = tmpl;
        path = dir + "/key";
    }
    ~KeyFile() {
        ::unlink(path.c_str());
        ::rmdir(dir.c_str());
    }
    std::string dir, path;
};

struct Sema {
    Sema() {
        if (os_proc_sema_init(key.path.c_str(), 1, &h) != OS_OK) std::abort();
    }
    ~Sema() { os_proc_sema_destroy(h); }
    KeyFile key;
    SemaHandle h = -1;
};

void BM_ProcSema_Lib(benchmark::State& st) {
    Sema s;
    for (auto _ : st) {
        benchmark::DoNotOptimize(os_proc_sema_acquire(s.h));
        benchmark::DoNotOptimize(os_proc_sema_release(s.h));
    }
}
void BM_ProcSema_RawSemop(benchmark::State& st) {
    Sema s;
    struct sembuf take = {0, -1, SEM_UNDO}, give = {0, +1, SEM_UNDO};
    for (auto _ : st) {
        benchmark::DoNotOptimize(::semop(s.h, &take, 1));
        benchmark::DoNotOptimize(::semop(s.h, &give, 1));
    }
}

struct ProcMutexFixture {
    ProcMutexFixture() {
        if (os_proc_mutex_init(key.path.c_str(), &h) != OS_OK) std::abort();
    }
    ~ProcMutexFixture() { os_proc_mutex_destroy(h); }
    KeyFile key;
    ProcMutexHandle h = nullptr;
};

void BM_ProcMutex_Lib(benchmark::State& st) {
    ProcMutexFixture m;
    for (auto _ : st) {
        benchmark::DoNotOptimize(os_proc_mutex_acquire(m.h));
        benchmark::DoNotOptimize(os_proc_mutex_release(m.h));
    }
}
// The same robust, process-shared mutex in the same segment, locked directly.
void BM_ProcMutex_RawPthread(benchmark::State& st) {
    ProcMutexFixture m;
    for (auto _ : st) {
        benchmark::DoNotOptimize(::pthread_mutex_lock(m.h->pMutex));
        benchmark::DoNotOptimize(::pthread_mutex_unlock(m.h->pMutex));
    }
}

void BM_Mutex_Lib(benchmark::State& st) {
    MutexHandle m = nullptr;
    if (os_mutex_init(&m) != OS_OK) std::abort();
    for (auto _ : st) {
        benchmark::DoNotOptimize(os_mutex_acquire(m));
        benchmark::DoNotOptimize(os_mutex_release(m));
    }
    os_mutex_destroy(m);
}
void BM_Mutex_RawPthread(benchmark::State& st) {
    MutexHandle m = nullptr;
    if (os_mutex_init(&m) != OS_OK) std::abort();
    for (auto _ : st) {
        benchmark::DoNotOptimize(::pthread_mutex_lock(m));
        benchmark::DoNotOptimize(::pthread_mutex_unlock(m));
    }
    os_mutex_destroy(m);
}

void BM_RwlockWrite_Lib(benchmark::State& st) {
    RwMutexHandle l = nullptr;
    if (os_rwmutex_init(&l) != OS_OK) std::abort();
    for (auto _ : st) {
        benchmark::DoNotOptimize(os_rwmutex_acquire_write(l));
        benchmark::DoNotOptimize(os_rwmutex_release(l));
    }
    os_rwmutex_destroy(l);
}
void BM_RwlockWrite_RawPthread(benchmark::State& st) {
    RwMutexHandle l = nullptr;
    if (os_rwmutex_init(&l) != OS_OK) std::abort();
    for (auto _ : st) {
        benchmark::DoNotOptimize(::pthread_rwlock_wrlock(l));
        benchmark::DoNotOptimize(::pthread_rwlock_unlock(l));
    }
    os_rwmutex_destroy(l);
}
void BM_RwlockRead_Lib(benchmark::State& st) {
    RwMutexHandle l = nullptr;
    if (os_rwmutex_init(&l) != OS_OK) std::abort();
    for (auto _ : st) {
        benchmark::DoNotOptimize(os_rwmutex_acquire_read(l));
        benchmark::DoNotOptimize(os_rwmutex_release(l));
    }
    os_rwmutex_destroy(l);
}
void BM_RwlockRead_RawPthread(benchmark::State& st) {
    RwMutexHandle l = nullptr;
    if (os_rwmutex_init(&l) != OS_OK) std::abort();
    for (auto _ : st) {
        benchmark::DoNotOptimize(::pthread_rwlock_rdlock(l));
        benchmark::DoNotOptimize(::pthread_rwlock_unlock(l));
    }
    os_rwmutex_destroy(l);
}

void BM_Spinlock_Lib(benchmark::State& st) {
    SPINLOCK s;
    os_spinlock_init(&s);
    for (auto _ : st) {
        benchmark::DoNotOptimize(os_spinlock_acquire(&s));
        benchmark::DoNotOptimize(os_spinlock_release(&s));
    }
    os_spinlock_destroy(&s);
}
void BM_Spinlock_RawPthread(benchmark::State& st) {
    pthread_spinlock_t s;
    ::pthread_spin_init(&s, PTHREAD_PROCESS_PRIVATE);
    for (auto _ : st) {
        benchmark::DoNotOptimize(::pthread_spin_lock(&s));
        benchmark::DoNotOptimize(::pthread_spin_unlock(&s));
    }
    ::pthread_spin_destroy(&s);
}

// A post, then a wait that finds the unit at once. The raw side reads the clock for
// its deadline too, as any timed wait must.
void BM_EventRoundTrip_Lib(benchmark::State& st) {
    EventHandle e = nullptr;
    if (os_event_init(&e, nullptr) != OS_OK) std::abort();
    for (auto _ : st) {
        benchmark::DoNotOptimize(os_event_set(e));
        benchmark::DoNotOptimize(os_event_timedwait(e, 1, 0));
    }
    os_event_destroy(e);
}
void BM_EventRoundTrip_RawSem(benchmark::State& st) {
    sem_t s;
    ::sem_init(&s, 0, 0);
    for (auto _ : st) {
        benchmark::DoNotOptimize(::sem_post(&s));
        timespec at{};
        ::clock_gettime(CLOCK_REALTIME, &at);
        at.tv_sec += 1;
        benchmark::DoNotOptimize(::sem_timedwait(&s, &at));
    }
    ::sem_destroy(&s);
}

}  // namespace

BENCHMARK(BM_ProcSema_Lib);
BENCHMARK(BM_ProcSema_RawSemop);
BENCHMARK(BM_ProcMutex_Lib);
BENCHMARK(BM_ProcMutex_RawPthread);
BENCHMARK(BM_Mutex_Lib);
BENCHMARK(BM_Mutex_RawPthread);
BENCHMARK(BM_RwlockWrite_Lib);
BENCHMARK(BM_RwlockWrite_RawPthread);
BENCHMARK(BM_RwlockRead_Lib);
BENCHMARK(BM_RwlockRead_RawPthread);
BENCHMARK(BM_Spinlock_Lib);
BENCHMARK(BM_Spinlock_RawPthread);
BENCHMARK(BM_EventRoundTrip_Lib);
BENCHMARK(BM_EventRoundTrip_RawSem);
