// Reusable converters: the same results and bytes as the per-call functions on valid
// and ill-formed text, a clean shift state for every string, selectors resolved when
// opened, and the argument checks the per-call code_convert does not make.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::ScopedEnv;

// Valid and ill-formed text in the sets under test; the order matters, since one
// converter runs through all of it and must not carry a state from one to the next.
const std::vector<std::string> kCorpus = {
    "", "abc",
    "\xE4\xB8\xAD",      // U+4E2D in UTF-8
    "\xE4\xB8\x82",      // U+4E02 (not in GB2312)
    "\xF0\x9F\x98\x80",  // U+1F600, a four-byte form (GB18030 only)
    "\xD6\xD0",          // U+4E2D in the GB sets
    "\x81\x40",          // U+4E02 in GBK and GB18030
    "\x94\x39\xFC\x36",  // U+1F600 in GB18030
    // UTF-8 over-long forms (of U+0000, U+007F, U+07FF, U+FFFF), surrogates, a code
    // point past U+10FFFF, lone continuation bytes and a lead byte without them.
    "a\xE0\x80\x80z", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
    "\xED\xBF\xBF", "\xF4\x90\x80\x80", "a\x80z", "\xBF\xBF", "\xE4z",
    // GB text: invalid bytes, a trail byte out of range, a four-byte GB18030 form begun.
    "\xFF\xFE", "\x81\x7F", "\x81\x30\x81", std::string("ab") + std::string(30, '\xD6') + "\xD0",
    "\x1b$BF|",  // ISO-2022-JP: shift to JIS X 0208, one character
    "F|",        // the same two bytes, plain ASCII from a clean state
};

constexpr char kFill = 'x';
constexpr int kGuard = 8;

// The whole buffer after a call, so that bytes written past the terminator show too.
struct Result {
    int32 rc;
    std::string buf;
    bool operator==(const Result&) const = default;
};

void PrintTo(const Result& r, std::ostream* os) {
    *os << r.rc << " " << testing::PrintToString(r.buf);
}

template <class Fn>
Result call(int outlen, Fn fn) {
    std::string buf(static_cast<size_t>(outlen) + 1 + kGuard, kFill);
    const int32 rc = fn(buf.data());
    return {rc, buf};
}

// The converter against code_convert on inlen bytes at in (what follows them must
// not be read): code_convert's result when the two agree, else -1.
int32 same(LangConvHandle h, const char* from, const char* to, const char* in, int inlen,
           int outlen) {
    const Result want =
        call(outlen, [&](char* out) { return code_convert(from, to, in, inlen, out, outlen); });
    const Result got = call(
        outlen, [&](char* out) { return os_lang_converter_convert(h, in, inlen, out, outlen); });
    EXPECT_EQ(got, want) << from << " -> " << to << ", outlen " << outlen << ", "
                         << testing::PrintToString(std::string(in, static_cast<size_t>(inlen)));
    return got == want ? want.rc : -1;
}

// Every string of the corpus cut at every length, with the rest of it right behind.
TEST(LangConverter, NamedPairsGiveCodeConvertsBytesStringAfterString) {
    const std::pair<const char*, const char*> kPairs[] = {
        {"gbk", "utf8"},         {"utf8", "gbk"},         {"GB18030", "utf8"}, {"utf8", "GB18030"},
        {"GB2312", "utf8"},      {"utf8", "GB2312"},      {"utf8", "utf8"},    {"GB18030", "gbk"},
        {"utf8", "ISO-2022-JP"}, {"ISO-2022-JP", "utf8"},
    };
    for (const auto& [from, to] : kPairs) {
        LangConvHandle h = nullptr;
        ASSERT_EQ(os_lang_converter_open(from, to, &h), OS_OK) << from << " -> " << to;
        for (int outlen : {64, 4, 1, 0})
            for (const std::string& in : kCorpus)
                for (size_t n = 0; n <= in.size(); ++n)
                    same(h, from, to, in.data(), static_cast<int>(n), outlen);
        EXPECT_EQ(os_lang_converter_close(h), OS_OK);
    }
}

// Every single byte and double-byte code of each GB set, and every code point of the
// Basic Multilingual Plane, converts exactly as code_convert converts it, each alone
// and all of them in one long string.
TEST(LangConverter, EveryCharacterOfTheGbSetsConvertsAsCodeConvertDoes) {
    std::vector<std::string> gb_chars, utf8_chars;
    for (unsigned b = 0; b < 256; ++b) gb_chars.emplace_back(1, static_cast<char>(b));
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead)
        for (unsigned trail = 0x30; trail <= 0xFF; ++trail)
            gb_chars.push_back({static_cast<char>(lead), static_cast<char>(trail)});
    for (unsigned cp = 0; cp < 0x10000; ++cp) {
        std::string u;
        if (cp < 0x80) {
            u = {static_cast<char>(cp)};
        } else if (cp < 0x800) {
            u = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        } else {
            u = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
        }
        utf8_chars.push_back(u);
    }
    for (const char* gb : {"gbk", "GB18030", "GB2312"}) {
        for (bool decode : {true, false}) {
            const char* from = decode ? gb : "utf8";
            const char* to = decode ? "utf8" : gb;
            LangConvHandle h = nullptr;
            ASSERT_EQ(os_lang_converter_open(from, to, &h), OS_OK);
            int mismatches = 0;
            std::string all;
            for (const std::string& c : decode ? gb_chars : utf8_chars) {
                const int n = static_cast<int>(c.size());
                const int32 rc = same(h, from, to, c.data(), n, 8);
                if (rc == -1 && ++mismatches == 5) break;
                if (rc == OS_OK && c[0] != 0) all += c;  // NUL would end strlen below
            }
            // Every convertible character at once, with exactly enough room and one short.
            const int n = static_cast<int>(all.size());
            std::string whole(4 * all.size() + 1, '\0');
            ASSERT_EQ(code_convert(from, to, all.data(), n, whole.data(), 4 * n), OS_OK);
            const int need = static_cast<int>(std::strlen(whole.c_str()));
            for (int room : {need, need - 1}) same(h, from, to, all.data(), n, room);
            EXPECT_EQ(os_lang_converter_close(h), OS_OK);
        }
    }
}

// Selectors resolve as the selector-driven pair does: against text ending in UTF-8
// and text starting from it, the converter agrees with those functions wherever the
// text fits, in every LANG row kind (copy, both ways, one way).
// A C caller passes selectors as plain 32-bit integers, any value allowed; call the
// way it does, so that no out-of-range enum exists on this side.
TEST(LangConverter, SelectorPairsAgreeWithTheSelectorFunctions) {
    using SelectorFn = int32 (*)(int32, const char*, char*, int);
    const auto open_given =
        reinterpret_cast<int32 (*)(int32, int32, LangConvHandle*)>(&os_lang_converter_open_given);
    for (const char* lang : {"", "zh_CN.GBK", "zh_CN.gb18030", "zh_CN.GB2312", "zh.GB18030"}) {
        ScopedEnv env("LANG", *lang ? std::optional<std::string>(lang) : std::nullopt);
        for (int32 sel : {0, 1, 2, 7}) {  // SYS, ANSI, UNICODE and an unnamed value
            for (bool to_utf8 : {true, false}) {
                LangConvHandle h = nullptr;
                const int32 unicode = ZU_OS_CHARSET_UNICODE;
                ASSERT_EQ(to_utf8 ? open_given(sel, unicode, &h) : open_given(unicode, sel, &h),
                          OS_OK);
                const auto per_call = reinterpret_cast<SelectorFn>(
                    to_utf8 ? &os_lang_conv_given_to_unicode : &os_lang_conv_unicode_to_given);
                for (const std::string& in : kCorpus) {
                    char want[64], got[64];
                    const int32 rc = per_call(sel, in.c_str(), want, 64);
                    EXPECT_EQ(os_lang_converter_convert(h, in.data(), static_cast<int>(in.size()),
                                                        got, 63),
                              rc)
                        << "LANG " << lang << ", selector " << sel << (to_utf8 ? " to" : " from")
                        << " UTF-8, " << testing::PrintToString(in);
                    if (rc == OS_OK) {
                        EXPECT_STREQ(got, want);
                    }
                }
                EXPECT_EQ(os_lang_converter_close(h), OS_OK);
            }
        }
    }
}

TEST(LangConverter, TheSystemSetIsTheOneLangNamedAtOpening) {
    LangConvHandle h = nullptr;
    {
        ScopedEnv env("LANG", "zh_CN.GBK");
        ASSERT_EQ(os_lang_converter_open_given(ZU_OS_CHARSET_SYS, ZU_OS_CHARSET_UNICODE, &h),
                  OS_OK);
    }
    ScopedEnv env("LANG", "en_US.UTF-8");  // would copy, for a per-call function
    char out[8];
    ASSERT_EQ(os_lang_converter_convert(h, "\x81\x40", 2, out, 7), OS_OK);
    EXPECT_STREQ(out, "\xE4\xB8\x82");
    EXPECT_EQ(os_lang_converter_close(h), OS_OK);
}

// Both sides UTF-8 copies the bytes, unexamined, and never truncates.
TEST(LangConverter, ACopyingConverterCopiesWholeOrNothing) {
    ScopedEnv env("LANG", std::nullopt);
    LangConvHandle h = nullptr;
    ASSERT_EQ(os_lang_converter_open_given(ZU_OS_CHARSET_SYS, ZU_OS_CHARSET_UNICODE, &h), OS_OK);
    const Result fits =
        call(3, [&](char* out) { return os_lang_converter_convert(h, "\xFF\x80z", 3, out, 3); });
    EXPECT_EQ(fits, (Result{OS_OK, std::string("\xFF\x80z") + '\0' + std::string(kGuard, kFill)}));
    const Result too_long =
        call(2, [&](char* out) { return os_lang_converter_convert(h, "abc", 3, out, 2); });
    EXPECT_EQ(too_long, (Result{OS_ERR_CONV_FAILED, std::string(3 + kGuard, kFill)}));
    EXPECT_EQ(os_lang_converter_close(h), OS_OK);
}

// Unknown sets and bad arguments are refused, with the handle variable cleared.
TEST(LangConverter, BadArgumentsAreRefused) {
    LangConvHandle h = reinterpret_cast<LangConvHandle>(&h);
    EXPECT_EQ(os_lang_converter_open("no-such-set", "utf8", &h), OS_ERR_CONV_OPEN);
    EXPECT_EQ(h, nullptr);
    h = reinterpret_cast<LangConvHandle>(&h);
    EXPECT_EQ(os_lang_converter_open(nullptr, "utf8", &h), OS_ERR_CONV_BAD_ARG);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(os_lang_converter_open("utf8", nullptr, &h), OS_ERR_CONV_BAD_ARG);
    EXPECT_EQ(os_lang_converter_open("utf8", "gbk", nullptr), OS_ERR_CONV_BAD_ARG);
    EXPECT_EQ(os_lang_converter_open_given(ZU_OS_CHARSET_ANSI, ZU_OS_CHARSET_UNICODE, nullptr),
              OS_ERR_CONV_BAD_ARG);
    EXPECT_EQ(os_lang_converter_close(nullptr), OS_ERR_CONV_BAD_ARG);

    ASSERT_EQ(os_lang_converter_open("utf8", "gbk", &h), OS_OK);
    char out[8] = "keep";
    EXPECT_EQ(os_lang_converter_convert(nullptr, "a", 1, out, 4), OS_ERR_CONV_BAD_ARG);
    EXPECT_EQ(os_lang_converter_convert(h, nullptr, 1, out, 4), OS_ERR_CONV_BAD_ARG);
    EXPECT_EQ(os_lang_converter_convert(h, "a", 1, nullptr, 4), OS_ERR_CONV_BAD_ARG);
    EXPECT_EQ(os_lang_converter_convert(h, "a", -1, out, 4), OS_ERR_CONV_BAD_ARG);
    EXPECT_EQ(os_lang_converter_convert(h, "a", 1, out, -1), OS_ERR_CONV_BAD_ARG);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(os_lang_converter_close(h), OS_OK);
}

}  // namespace
