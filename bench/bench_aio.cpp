// Batched and queued 4 KiB reads beside loops of single reads, in the same run:
// random O_DIRECT reads on a file of at least 1 GiB on disk (ZUOS_AIO_FILE names it;
// otherwise a temporary one is written under TMPDIR or /tmp), and page-cached reads of
// a small file. bench/aio_vs_fio.sh runs these next to fio and prints the ratios.
// Rates are items (reads) per second: of real time for the reads that wait on the
// device, of CPU time for the cached ones.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"

namespace {

constexpr int32 kBlock = 4096;
constexpr int kDepth = 32;
constexpr int64 kGiB = int64{1} << 30;
constexpr int64 kCachedSize = int64{16} << 20;

// The big file: the one ZUOS_AIO_FILE names, or one written here once per run and
// removed at exit (random data, so that no layer can skip the reads).
struct BigFile {
    BigFile() {
        if (const char* given = ::getenv("ZUOS_AIO_FILE")) {
            path = given;
        } else {
            const char* dir = ::getenv("TMPDIR");
            path = std::string(dir != nullptr ? dir : "/tmp") + "/zuos-aio-bench-XXXXXX";
            const int fd = ::mkstemp(path.data());
            std::vector<char> chunk(1 << 20);
            for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 7919 >> 3);
            for (int64 at = 0; fd >= 0 && at < kGiB; at += int64(chunk.size())) {
                chunk[0] = static_cast<char>(at >> 20);
                if (::pwrite(fd, chunk.data(), chunk.size(), at) != ssize_t(chunk.size())) break;
            }
            ::close(fd);
            owned = true;
        }
        struct stat st {};
        size = ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
    }
    ~BigFile() {
        if (owned) ::unlink(path.c_str());
    }
    std::string path;
    int64 size = 0;
    bool owned = false;
};

const BigFile& big_file() {
    static const BigFile f;
    return f;
}

// A small page-cached file, read once so that every page is in memory.
struct CachedFile {
    CachedFile() {
        char tmpl[] = "/tmp/zuos-aio-cached-XXXXXX";
        fd = ::mkstemp(tmpl);
        ::unlink(tmpl);
        std::vector<char> data(kCachedSize, 'c');
        if (::pwrite(fd, data.data(), data.size(), 0) != ssize_t(data.size())) ::abort();
        if (::pread(fd, data.data(), data.size(), 0) != ssize_t(data.size())) ::abort();
    }
    ~CachedFile() { ::close(fd); }
    int fd = -1;
};

int cached_fd() {
    static const CachedFile f;
    return f.fd;
}

// The file and handle a benchmark reads, random block offsets in it, and 32 aligned
// buffers. Skips the benchmark when the big file cannot be used.
struct Reads {
    Reads(benchmark::State& st, bool direct) {
        if (direct) {
            const BigFile& f = big_file();
            fd = ::open(f.path.c_str(), O_RDONLY | O_DIRECT);
            blocks = f.size / kBlock;
            if (fd < 0 || f.size < kGiB)
                st.SkipWithError("no file of 1 GiB that O_DIRECT can read");
        } else {
            fd = cached_fd();
            blocks = kCachedSize / kBlock;
        }
        void* p = nullptr;
        if (::posix_memalign(&p, kBlock, size_t(kBlock) * kDepth) != 0) ::abort();
        bufs = static_cast<char*>(p);
    }
    ~Reads() {
        if (fd != cached_fd()) ::close(fd);
        ::free(bufs);
    }
    int64 next_offset() {  // xorshift64
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return int64(seed % uint64(blocks)) * kBlock;
    }
    char* buf(int i) { return bufs + size_t(i) * kBlock; }

    int fd = -1;
    int64 blocks = 1;
    uint64 seed = 88172645463325252ull;
    char* bufs = nullptr;
};

void batch32(benchmark::State& st, bool direct) {
    Reads r(st, direct);
    OS_IO_REQUEST reqs[kDepth];
    for (auto _ : st) {
        for (int i = 0; i < kDepth; ++i) reqs[i] = {r.fd, kBlock, r.next_offset(), r.buf(i), 0, 0};
        if (os_file_pread_batch(reqs, kDepth) != OS_OK) st.SkipWithError("batch failed");
    }
    st.SetItemsProcessed(st.iterations() * kDepth);
}

// Keeps 32 reads in flight: each iteration collects what is done (at least one) and
// submits as many new reads.
void queue32(benchmark::State& st, bool direct, uint32 flags) {
    Reads r(st, direct);
    AioHandle q = nullptr;
    if (os_aio_open(kDepth, flags, &q) != OS_OK) return st.SkipWithError("no queue");
    for (int i = 0; i < kDepth; ++i) os_aio_read(q, r.fd, r.next_offset(), r.buf(i), kBlock, i);
    OS_AIO_DONE done[kDepth];
    int64 reads = 0;
    for (auto _ : st) {
        int32 got = 0;
        os_aio_wait(q, 1, -1, done, kDepth, &got);
        reads += got;
        for (int32 i = 0; i < got; ++i) {
            const int slot = int(done[i].nTag);
            os_aio_read(q, r.fd, r.next_offset(), r.buf(slot), kBlock, done[i].nTag);
        }
    }
    st.SetItemsProcessed(reads);
    os_aio_close(q);
}

// 32 reads one after the other per iteration, through the library or raw.
void loop32(benchmark::State& st, bool direct, bool lib) {
    Reads r(st, direct);
    for (auto _ : st) {
        for (int i = 0; i < kDepth; ++i) {
            int32 n = 0;
            if (lib) {
                benchmark::DoNotOptimize(
                    os_file_pread(r.fd, r.next_offset(), r.buf(i), kBlock, &n));
            } else {
                benchmark::DoNotOptimize(::pread(r.fd, r.buf(i), kBlock, r.next_offset()));
            }
        }
    }
    st.SetItemsProcessed(st.iterations() * kDepth);
}

void BM_Aio_Direct_Batch32(benchmark::State& st) {
    batch32(st, true);
}
void BM_Aio_Direct_Queue32(benchmark::State& st) {
    queue32(st, true, 0);
}
void BM_Aio_Direct_FallbackQueue32(benchmark::State& st) {
    queue32(st, true, OS_AIO_FALLBACK);
}
void BM_Aio_Direct_LibPreadLoop(benchmark::State& st) {
    loop32(st, true, true);
}
void BM_Aio_Direct_RawPreadLoop(benchmark::State& st) {
    loop32(st, true, false);
}
void BM_Aio_Cached_Batch32(benchmark::State& st) {
    batch32(st, false);
}
void BM_Aio_Cached_Queue32(benchmark::State& st) {
    queue32(st, false, 0);
}
void BM_Aio_Cached_FallbackQueue32(benchmark::State& st) {
    queue32(st, false, OS_AIO_FALLBACK);
}
void BM_Aio_Cached_RawPreadLoop(benchmark::State& st) {
    loop32(st, false, false);
}

BENCHMARK(BM_Aio_Direct_Batch32)->UseRealTime();
BENCHMARK(BM_Aio_Direct_Queue32)->UseRealTime();
BENCHMARK(BM_Aio_Direct_FallbackQueue32)->UseRealTime();
BENCHMARK(BM_Aio_Direct_LibPreadLoop)->UseRealTime();
BENCHMARK(BM_Aio_Direct_RawPreadLoop)->UseRealTime();
// Nothing waits on a device here: CPU time, which other load on the machine disturbs
// less than real time.
BENCHMARK(BM_Aio_Cached_Batch32);
BENCHMARK(BM_Aio_Cached_Queue32);
BENCHMARK(BM_Aio_Cached_FallbackQueue32);
BENCHMARK(BM_Aio_Cached_RawPreadLoop);

}  // namespace
