// Thread creation with join, and process start with wait: the library beside the raw
// pthread_create/pthread_join and fork/execl/_exit/waitpid, in the same run.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/os.h"

namespace {

void* nothing(void*) {
    return nullptr;
}

void BM_Thread_CreateJoin_Lib(benchmark::State& st) {
    for (auto _ : st) {
        ThreadHandle h;
        if (os_thread_create(&h, nothing, nullptr) != OS_OK) st.SkipWithError("create");
        benchmark::DoNotOptimize(os_thread_join(h));
    }
}
void BM_Thread_CreateJoin_Raw(benchmark::State& st) {
    for (auto _ : st) {
        pthread_t h;
        if (::pthread_create(&h, nullptr, nothing, nullptr) != 0) st.SkipWithError("create");
        benchmark::DoNotOptimize(::pthread_join(h, nullptr));
    }
}

void BM_Process_SpawnWait_Lib(benchmark::State& st) {
    for (auto _ : st) {
        ProcessHandle p;
        if (os_process_spawn("/bin/true", "true", &p) != OS_OK) st.SkipWithError("spawn");
        benchmark::DoNotOptimize(os_process_wait(p));
    }
}
void BM_Process_SpawnWait_Raw(benchmark::State& st) {
    for (auto _ : st) {
        pid_t p = ::fork();
        if (p == 0) {
            ::execl("/bin/true", "true", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        benchmark::DoNotOptimize(::waitpid(p, nullptr, 0));
    }
}

BENCHMARK(BM_Thread_CreateJoin_Lib);
BENCHMARK(BM_Thread_CreateJoin_Raw);
BENCHMARK(BM_Process_SpawnWait_Lib)->Iterations(300);
BENCHMARK(BM_Process_SpawnWait_Raw)->Iterations(300);

}  // namespace
