// IPv4 conversion: the library beside inet_pton / inet_ntop (plus the byte swap
// the integer form needs) in the same run, over a spread of addresses.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>

#include "os/os.h"

namespace {

constexpr size_t kCount = 64;

struct Texts {
    Texts() {
        for (size_t i = 0; i < kCount; ++i) {
            const uint32 v = static_cast<uint32>(i * 2654435761u);
            std::snprintf(text[i].data(), text[i].size(), "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF,
                          (v >> 8) & 0xFF, v & 0xFF);
            value[i] = v;
        }
    }
    std::array<std::array<char, 16>, kCount> text{};
    std::array<uint32, kCount> value{};
};

const Texts& texts() {
    static const Texts t;
    return t;
}

void BM_Net_Ip2Int_Lib(benchmark::State& st) {
    const Texts& t = texts();
    size_t i = 0;
    for (auto _ : st) {
        uint32 v;
        benchmark::DoNotOptimize(os_network_ip2int(t.text[i++ % kCount].data(), &v));
        benchmark::DoNotOptimize(v);
    }
}
void BM_Net_Ip2Int_RawInetPton(benchmark::State& st) {
    const Texts& t = texts();
    size_t i = 0;
    for (auto _ : st) {
        in_addr a;
        benchmark::DoNotOptimize(::inet_pton(AF_INET, t.text[i++ % kCount].data(), &a));
        uint32 v = ntohl(a.s_addr);
        benchmark::DoNotOptimize(v);
    }
}
void BM_Net_Int2Ip_Lib(benchmark::State& st) {
    const Texts& t = texts();
    size_t i = 0;
    char buf[16];
    for (auto _ : st) {
        benchmark::DoNotOptimize(os_network_int2ip(t.value[i++ % kCount], buf));
        benchmark::ClobberMemory();
    }
}
void BM_Net_Int2Ip_RawInetNtop(benchmark::State& st) {
    const Texts& t = texts();
    size_t i = 0;
    char buf[16];
    for (auto _ : st) {
        const in_addr a{htonl(t.value[i++ % kCount])};
        benchmark::DoNotOptimize(::inet_ntop(AF_INET, &a, buf, sizeof buf));
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_Net_Ip2Int_Lib);
BENCHMARK(BM_Net_Ip2Int_RawInetPton);
BENCHMARK(BM_Net_Int2Ip_Lib);
BENCHMARK(BM_Net_Int2Ip_RawInetNtop);

}  // namespace
