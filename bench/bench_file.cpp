// Positioned 4 KiB transfers: the library's two pairs (lseek64 + read/write, and the
// single-call pread/pwrite) beside the same raw calls, in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "os/os.h"

namespace {

constexpr int32 kBlock = 4096;
constexpr int64 kBlocks = 256;

struct BenchFile {
    BenchFile() {
        char tmpl[] = "/tmp/zuos-bench-XXXXXX";
        fd = ::mkstemp(tmpl);
        ::unlink(tmpl);
        std::vector<char> zero(kBlock * kBlocks);
        if (::write(fd, zero.data(), zero.size()) < 0) std::abort();
    }
    ~BenchFile() { ::close(fd); }
    int fd = -1;
};

int64 offset_of(int64 i) {
    return (i % kBlocks) * kBlock;
}

void BM_File_SeekRead_Lib(benchmark::State& st) {
    BenchFile f;
    char buf[kBlock];
    int64 i = 0;
    for (auto _ : st) {
        int32 n;
        benchmark::DoNotOptimize(os_file_seek_read(f.fd, offset_of(i++), buf, kBlock, &n));
    }
}
void BM_File_SeekRead_RawLseekRead(benchmark::State& st) {
    BenchFile f;
    char buf[kBlock];
    int64 i = 0;
    for (auto _ : st) {
        ::lseek64(f.fd, offset_of(i++), SEEK_SET);
        benchmark::DoNotOptimize(::read(f.fd, buf, kBlock));
    }
}
void BM_File_SeekRead_RawPread(benchmark::State& st) {
    BenchFile f;
    char buf[kBlock];
    int64 i = 0;
    for (auto _ : st) benchmark::DoNotOptimize(::pread64(f.fd, buf, kBlock, offset_of(i++)));
}
void BM_File_Pread_Lib(benchmark::State& st) {
    BenchFile f;
    char buf[kBlock];
    int64 i = 0;
    for (auto _ : st) {
        int32 n;
        benchmark::DoNotOptimize(os_file_pread(f.fd, offset_of(i++), buf, kBlock, &n));
    }
}
void BM_File_SeekWrite_Lib(benchmark::State& st) {
    BenchFile f;
    char buf[kBlock] = {};
    int64 i = 0;
    for (auto _ : st) {
        int32 n;
        benchmark::DoNotOptimize(os_file_seek_write(f.fd, offset_of(i++), buf, kBlock, &n));
    }
}
void BM_File_SeekWrite_RawLseekWrite(benchmark::State& st) {
    BenchFile f;
    char buf[kBlock] = {};
    int64 i = 0;
    for (auto _ : st) {
        ::lseek64(f.fd, offset_of(i++), SEEK_SET);
        benchmark::DoNotOptimize(::write(f.fd, buf, kBlock));
    }
}
void BM_File_SeekWrite_RawPwrite(benchmark::State& st) {
    BenchFile f;
    char buf[kBlock] = {};
    int64 i = 0;
    for (auto _ : st) benchmark::DoNotOptimize(::pwrite64(f.fd, buf, kBlock, offset_of(i++)));
}
void BM_File_Pwrite_Lib(benchmark::State& st) {
    BenchFile f;
    char buf[kBlock] = {};
    int64 i = 0;
    for (auto _ : st) {
        int32 n;
        benchmark::DoNotOptimize(os_file_pwrite(f.fd, offset_of(i++), buf, kBlock, &n));
    }
}

BENCHMARK(BM_File_SeekRead_Lib);
BENCHMARK(BM_File_Pread_Lib);
BENCHMARK(BM_File_SeekRead_RawLseekRead);
BENCHMARK(BM_File_SeekRead_RawPread);
BENCHMARK(BM_File_SeekWrite_Lib);
BENCHMARK(BM_File_Pwrite_Lib);
BENCHMARK(BM_File_SeekWrite_RawLseekWrite);
BENCHMARK(BM_File_SeekWrite_RawPwrite);

}  // namespace
