// Conversions of a 32-byte and a 4 KiB string: the library's per-call functions (GBK
// <-> UTF-8 chosen from LANG, and the fixed GB18030 selector) and its reusable
// converter opened once with the same selectors, beside a raw
// iconv_open/iconv/iconv_close per call and a raw reused descriptor.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"

namespace {

// n bytes of UTF-8 text: U+4E2D repeated, padded with ASCII.
std::string utf8_text(size_t n) {
    std::string s;
    while (s.size() + 3 <= n) s += "\xE4\xB8\xAD";
    s.append(n - s.size(), 'a');
    return s;
}

std::string convert_once(const char* from, const char* to, const std::string& in) {
    iconv_t cd = ::iconv_open(to, from);
    std::vector<char> out(in.size() * 2 + 16);
    char* ip = const_cast<char*>(in.data());
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    if (cd == reinterpret_cast<iconv_t>(-1) || ::iconv(cd, &ip, &il, &op, &ol) == size_t(-1))
        std::abort();
    ::iconv_close(cd);
    return std::string(out.data(), out.size() - ol);
}

struct Input {
    const char* from;  // iconv names of the raw runs
    const char* to;
    std::string text;
};

// 0: GBK -> UTF-8, 1: UTF-8 -> GBK, 2: UTF-8 -> GB18030 (the ANSI selector).
Input input(int kind, size_t n) {
    const std::string u = utf8_text(n);
    switch (kind) {
        case 0:
            return {"gbk", "utf8", convert_once("utf8", "gbk", u)};
        case 1:
            return {"utf8", "gbk", u};
        default:
            return {"utf8", "GB18030", u};
    }
}

void BM_Conv_Lib(benchmark::State& st) {
    const int kind = static_cast<int>(st.range(0));
    const Input in = input(kind, static_cast<size_t>(st.range(1)));
    ::setenv("LANG", "zh_CN.GBK", 1);
    std::vector<char> out(in.text.size() * 2 + 16);
    const int n = static_cast<int>(out.size());
    for (auto _ : st) {
        int32 rc = kind == 0   ? os_lang_conv_sys_to_utf8(in.text.c_str(), out.data(), n)
                   : kind == 1 ? os_lang_conv_utf8_to_sys(in.text.c_str(), out.data(), n)
                               : os_lang_conv_unicode_to_given(ZU_OS_CHARSET_ANSI, in.text.c_str(),
                                                               out.data(), n);
        if (rc != OS_OK) st.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(st.iterations() * static_cast<int64_t>(in.text.size()));
}

// A converter for the same selectors as BM_Conv_Lib (LANG set first).
LangConvHandle open_like_lib(int kind) {
    ::setenv("LANG", "zh_CN.GBK", 1);
    const ZU_OS_CHARSET from = kind == 0 ? ZU_OS_CHARSET_SYS : ZU_OS_CHARSET_UNICODE;
    const ZU_OS_CHARSET to = kind == 0   ? ZU_OS_CHARSET_UNICODE
                             : kind == 1 ? ZU_OS_CHARSET_SYS
                                         : ZU_OS_CHARSET_ANSI;
    LangConvHandle h = nullptr;
    if (os_lang_converter_open_given(from, to, &h) != OS_OK) std::abort();
    return h;
}

// The same selectors as BM_Conv_Lib, resolved once.
void BM_Conv_LibConverter(benchmark::State& st) {
    const int kind = static_cast<int>(st.range(0));
    const Input in = input(kind, static_cast<size_t>(st.range(1)));
    LangConvHandle h = open_like_lib(kind);
    std::vector<char> out(in.text.size() * 2 + 16);
    const int inlen = static_cast<int>(in.text.size());
    const int outlen = static_cast<int>(out.size()) - 1;
    for (auto _ : st) {
        if (os_lang_converter_convert(h, in.text.data(), inlen, out.data(), outlen) != OS_OK)
            st.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(out.data());
    }
    os_lang_converter_close(h);
    st.SetBytesProcessed(st.iterations() * static_cast<int64_t>(in.text.size()));
}

// What a converter costs when it is used once: open, one conversion that fills the
// table rows it needs, close.
void BM_Conv_LibConverterOnce(benchmark::State& st) {
    const int kind = static_cast<int>(st.range(0));
    const Input in = input(kind, static_cast<size_t>(st.range(1)));
    std::vector<char> out(in.text.size() * 2 + 16);
    const int inlen = static_cast<int>(in.text.size());
    const int outlen = static_cast<int>(out.size()) - 1;
    for (auto _ : st) {
        LangConvHandle h = open_like_lib(kind);
        if (os_lang_converter_convert(h, in.text.data(), inlen, out.data(), outlen) != OS_OK)
            st.SkipWithError("conversion failed");
        os_lang_converter_close(h);
    }
}

// One iconv call over the whole input and a terminator, as the library does.
void raw_convert(iconv_t cd, const Input& in, std::vector<char>& out) {
    char* ip = const_cast<char*>(in.text.data());
    char* op = out.data();
    size_t il = in.text.size(), ol = out.size() - 1;
    benchmark::DoNotOptimize(::iconv(cd, &ip, &il, &op, &ol));
    *op = '\0';
}

void BM_Conv_RawOpenPerCall(benchmark::State& st) {
    const Input in = input(static_cast<int>(st.range(0)), static_cast<size_t>(st.range(1)));
    std::vector<char> out(in.text.size() * 2 + 16);
    for (auto _ : st) {
        iconv_t cd = ::iconv_open(in.to, in.from);
        raw_convert(cd, in, out);
        ::iconv_close(cd);
    }
    st.SetBytesProcessed(st.iterations() * static_cast<int64_t>(in.text.size()));
}

void BM_Conv_RawReused(benchmark::State& st) {
    const Input in = input(static_cast<int>(st.range(0)), static_cast<size_t>(st.range(1)));
    std::vector<char> out(in.text.size() * 2 + 16);
    iconv_t cd = ::iconv_open(in.to, in.from);
    for (auto _ : st) {
        raw_convert(cd, in, out);
    }
    ::iconv_close(cd);
    st.SetBytesProcessed(st.iterations() * static_cast<int64_t>(in.text.size()));
}

// Arguments: {kind, bytes}.
void conv_args(benchmark::internal::Benchmark* b) {
    for (int kind : {0, 1, 2})
        for (int bytes : {32, 4096}) b->Args({kind, bytes});
    b->ArgNames({"kind", "bytes"});
}

BENCHMARK(BM_Conv_Lib)->Apply(conv_args);
BENCHMARK(BM_Conv_LibConverter)->Apply(conv_args);
BENCHMARK(BM_Conv_LibConverterOnce)->Apply(conv_args);
BENCHMARK(BM_Conv_RawOpenPerCall)->Apply(conv_args);
BENCHMARK(BM_Conv_RawReused)->Apply(conv_args);

}  // namespace
