// One-page file views and segment attachments: the library beside the raw mmap/munmap
// (same flags), msync and shmat/shmdt, in the same run.
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>

#include "os/os.h"

namespace {

constexpr size_t kView = 4096;

struct BenchFile {
    BenchFile() {
        char tmpl[] = "/tmp/zuos-bench-XXXXXX";
        fd = ::mkstemp(tmpl);
        ::unlink(tmpl);
        if (fd < 0 || ::ftruncate(fd, 16 * kView) != 0) std::abort();
    }
    ~BenchFile() { ::close(fd); }
    int fd = -1;
};

struct Segment {
    Segment() {
        id = ::shmget(IPC_PRIVATE, kView, IPC_CREAT | 0600);
        if (id < 0) std::abort();
    }
    ~Segment() { ::shmctl(id, IPC_RMID, nullptr); }
    int id = -1;
};

void BM_Mem_ViewMapUnmap_Lib(benchmark::State& st) {
    BenchFile f;
    for (auto _ : st) {
        void* v = nullptr;
        benchmark::DoNotOptimize(os_mem_fileview_map(f.fd, kView, kView, &v));
        benchmark::DoNotOptimize(os_mem_fileview_unmap(v, kView));
    }
}
void BM_Mem_ViewMapUnmap_Raw(benchmark::State& st) {
    BenchFile f;
    for (auto _ : st) {
        void* v =
            ::mmap(nullptr, kView, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, f.fd, kView);
        benchmark::DoNotOptimize(v);
        benchmark::DoNotOptimize(::munmap(v, kView));
    }
}
void BM_Mem_FlushView_Lib(benchmark::State& st) {
    BenchFile f;
    void* v = nullptr;
    if (os_mem_fileview_map(f.fd, 0, kView, &v) != OS_OK) std::abort();
    for (auto _ : st) benchmark::DoNotOptimize(os_mem_filemap_flushview(v, kView));
    os_mem_fileview_unmap(v, kView);
}
void BM_Mem_FlushView_Raw(benchmark::State& st) {
    BenchFile f;
    void* v = nullptr;
    if (os_mem_fileview_map(f.fd, 0, kView, &v) != OS_OK) std::abort();
    for (auto _ : st) benchmark::DoNotOptimize(::msync(v, kView, MS_ASYNC));
    os_mem_fileview_unmap(v, kView);
}
void BM_Mem_ShareMemAttachDetach_Lib(benchmark::State& st) {
    Segment s;
    for (auto _ : st) {
        void* p = nullptr;
        benchmark::DoNotOptimize(os_mem_sharemem_map(s.id, &p));
        benchmark::DoNotOptimize(os_mem_sharemem_unmap(p));
    }
}
void BM_Mem_ShareMemAttachDetach_Raw(benchmark::State& st) {
    Segment s;
    for (auto _ : st) {
        void* p = ::shmat(s.id, nullptr, 0);
        benchmark::DoNotOptimize(p);
        benchmark::DoNotOptimize(::shmdt(p));
    }
}

BENCHMARK(BM_Mem_ViewMapUnmap_Lib);
BENCHMARK(BM_Mem_ViewMapUnmap_Raw);
BENCHMARK(BM_Mem_FlushView_Lib);
BENCHMARK(BM_Mem_FlushView_Raw);
BENCHMARK(BM_Mem_ShareMemAttachDetach_Lib);
BENCHMARK(BM_Mem_ShareMemAttachDetach_Raw);

}  // namespace
