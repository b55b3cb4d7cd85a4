// Positioned 4 KiB transfers: the library's two pairs (lseek64 + read/write, and the
// single-call pread/pwrite) beside the same raw calls, in the same run. Durable
// writes: a log of 4 KiB records synced one by one, and a 4 KiB whole-file replace.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
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

// Durable writes go to the real disk (/tmp is ext4 here; on tmpfs a sync costs nothing).
struct BenchDir {
    BenchDir() {
        char tmpl[] = "/tmp/zuos-bench-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) std::abort();
        path = tmpl;
    }
    ~BenchDir() {
        for (const char* name : {"/log", "/f", "/.f.tmp"}) ::unlink((path + name).c_str());
        ::rmdir(path.c_str());
    }
    std::string path;
};

// A log of kBlocks records written in order and synced one by one. Each segment
// starts (outside the timing) empty, so that every record extends the file; reserved
// with fallocate, so that every record lands in allocated blocks never written; or
// recycled, already written once, so that a record changes no metadata at all.
enum class Segment { kEmpty, kReserved, kRecycled };
void BM_File_Log(benchmark::State& st, Segment seg, bool lib, int (*sync)(int)) {
    BenchDir d;
    const int fd = ::open((d.path + "/log").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    char rec[kBlock] = {};
    const std::vector<char> zeros(kBlocks * kBlock);
    int64 i = 0;
    for (auto _ : st) {
        if (i % kBlocks == 0) {
            st.PauseTiming();
            bool ok = seg == Segment::kRecycled || ::ftruncate(fd, 0) == 0;
            if (seg == Segment::kReserved) ok = ok && ::fallocate(fd, 0, 0, kBlocks * kBlock) == 0;
            if (seg == Segment::kRecycled && i == 0)
                ok = ::pwrite64(fd, zeros.data(), zeros.size(), 0) == ssize_t(zeros.size());
            if (!ok || ::fsync(fd) != 0) std::abort();
            st.ResumeTiming();
        }
        int32 n;
        if (lib)
            os_file_pwrite(fd, offset_of(i++), rec, kBlock, &n);
        else
            benchmark::DoNotOptimize(::pwrite64(fd, rec, kBlock, offset_of(i++)));
        benchmark::DoNotOptimize(sync(fd));
    }
    ::close(fd);
}

void BM_File_Replace_Lib(benchmark::State& st) {
    BenchDir d;
    const std::string f = d.path + "/f";
    char buf[kBlock] = {};
    for (auto _ : st) benchmark::DoNotOptimize(os_file_replace(f.c_str(), buf, kBlock));
}
// What os_file_replace does, spelled out with a fixed temporary name.
void BM_File_Replace_RawSequence(benchmark::State& st) {
    BenchDir d;
    const std::string f = d.path + "/f", tmp = d.path + "/.f.tmp";
    char buf[kBlock] = {};
    for (auto _ : st) {
        struct stat s;
        const bool existed = ::stat(f.c_str(), &s) == 0;
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (existed) ::fchmod(fd, s.st_mode & 07777);
        benchmark::DoNotOptimize(::write(fd, buf, kBlock));
        ::fsync(fd);
        ::close(fd);
        ::rename(tmp.c_str(), f.c_str());
        int dfd = ::open(d.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fsync(dfd);
        ::close(dfd);
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
BENCHMARK_CAPTURE(BM_File_Log, AppendFlush_Lib, Segment::kEmpty, true, os_file_flush)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_File_Log, AppendFlush_RawFsync, Segment::kEmpty, false, ::fsync)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_File_Log, AppendDatasync_RawFdatasync, Segment::kEmpty, false, ::fdatasync)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_File_Log, ReservedDatasync_Lib, Segment::kReserved, true, os_file_datasync)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_File_Log, ReservedDatasync_RawFdatasync, Segment::kReserved, false,
                  ::fdatasync)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_File_Log, RecycledDatasync_RawFdatasync, Segment::kRecycled, false,
                  ::fdatasync)
    ->UseRealTime();
BENCHMARK(BM_File_Replace_Lib)->UseRealTime();
BENCHMARK(BM_File_Replace_RawSequence)->UseRealTime();

}  // namespace
