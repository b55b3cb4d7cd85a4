// Character-set conversion: the LANG table in both directions, the copy rule and its
// size limit, conversion failures, the selector-driven pair and code_convert itself;
// then reusable converters, which must give the per-call functions' results and bytes
// on valid and ill-formed text, start every string from a clean shift state, resolve
// selectors when opened, and make the argument checks code_convert does not make.
// Expected bytes are the published encodings, not the output of another converter.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::ScopedEnv;

// Known encodings of three characters: U+4E2D (in GB2312, GBK and GB18030), U+4E02
// (GBK and GB18030, not GB2312) and U+1F600 (four bytes in GB18030 only).
const std::string kZhongUtf8 = "\xE4\xB8\xAD", kZhongGb = "\xD6\xD0";
const std::string kSmileUtf8 = "\xF0\x9F\x98\x80", kSmileGb18030 = "\x94\x39\xFC\x36";
const std::pair<std::string, std::string> kChars[] = {
    {kZhongUtf8, kZhongGb}, {"\xE4\xB8\x82", "\x81\x40"}, {kSmileUtf8, kSmileGb18030}};

constexpr char kFill = 'x';
const std::string kGuard(16, '\xAA');

// The result of a call and the text it left in a destination of nDesLen bytes filled
// with kFill and followed by guard bytes.
using Outcome = std::pair<int32, std::string>;
using ConvFn = int32 (*)(const char*, char*, int);

// Runs fn; the destination must be terminated within nDesLen with every byte after
// the text zero (so a refusal leaves it all zero), and the guard untouched.
Outcome run(ConvFn fn, const std::string& src, int n = 64) {
    std::string d = std::string(static_cast<size_t>(n), kFill) + kGuard;
    const int32 rc = fn(src.c_str(), d.data(), n);
    const std::string text(d.c_str(), strnlen(d.c_str(), static_cast<size_t>(n)));
    EXPECT_TRUE(text.size() < static_cast<size_t>(n) &&
                d == text + std::string(n - text.size(), '\0') + kGuard)
        << testing::PrintToString(d);
    return {rc, text};
}

const Outcome kFailed{OS_ERR_CONV_FAILED, ""};
const auto ok = [](const std::string& s) { return Outcome{OS_OK, s}; };

// The system sets and which of kChars each holds; Copy passes any bytes unchanged.
enum Sys { Copy, Gbk, Gb18030, Gb2312 };
constexpr bool kHolds[4][3] = {{}, {1, 1, 0}, {1, 1, 1}, {1, 0, 0}};

// LANG values per set in both directions; anything not in the table (matched whole
// and case-sensitively) copies.
const std::pair<Sys, std::vector<std::optional<std::string>>> kLangRows[] = {
    {Copy,
     {"zh_CN.UTF-8", "zh.UTF-8", "zh.utf8", "zh.utf-8", "zh_CN.utf-8", "zh_CN.utf8", std::nullopt,
      "", "en_US.UTF-8", "POSIX", "zh_CN.gb2312", "zh.gb18030", "ZH_CN.GBK", "zh_CN.GBK ",
      "zh_CN.GBK@euro"}},
    {Gbk, {"zh_CN.GBK", "zh.GBK", "zh_CN.gbk", "zh.gbk", "zh_CN.hp15CN"}},
    {Gb18030, {"zh_CN.GB18030", "zh.GB18030"}},
    {Gb2312, {"zh_CN.GB2312", "zh.GB2312"}}};

void check_lang_row(const std::optional<std::string>& lang, Sys to_utf8, Sys from_utf8) {
    ScopedEnv env("LANG", lang);
    SCOPED_TRACE(lang ? "LANG=\"" + *lang + "\"" : "LANG unset");
    for (size_t i = 0; i < 3; ++i) {
        const auto& [utf8, gb] = kChars[i];
        const Outcome to = to_utf8 == Copy ? ok(gb) : kHolds[to_utf8][i] ? ok(utf8) : kFailed;
        const Outcome from = from_utf8 == Copy ? ok(utf8) : kHolds[from_utf8][i] ? ok(gb) : kFailed;
        EXPECT_EQ(run(os_lang_conv_sys_to_utf8, gb), to);
        EXPECT_EQ(run(_os_lang_conv_ansi_to_unicode, gb), to);
        EXPECT_EQ(run(os_lang_conv_utf8_to_sys, utf8), from);
        EXPECT_EQ(run(_os_lang_conv_unicode_to_ansi, utf8), from);
    }
}

TEST(Language, LangTableSelectsTheSystemSetPerDirection) {
    // LC_ALL and LC_CTYPE must not matter.
    ScopedEnv lc_all("LC_ALL", "zh_CN.GBK"), lc_ctype("LC_CTYPE", "zh_CN.GBK");
    for (const auto& [sys, langs] : kLangRows)
        for (const auto& lang : langs) check_lang_row(lang, sys, sys);
    check_lang_row("zh_CN.gb18030", Copy, Gb18030);  // the one-way row
}

// Bytes not valid in any of the sets are copied unexamined. Exactly nDesLen - 1
// bytes fit; one more is refused with an all-zero buffer.
TEST(Language, CopyRuleNeverTruncates) {
    const std::string junk = "\xFF\xFE\xC3 abc";
    const int n = static_cast<int>(junk.size());
    for (const char* lang : {"en_US.UTF-8", "zh_CN.UTF-8"}) {
        ScopedEnv env("LANG", lang);
        for (ConvFn fn : {os_lang_conv_sys_to_utf8, os_lang_conv_utf8_to_sys, _zu_safe_strncpy}) {
            EXPECT_EQ(run(fn, junk), ok(junk)) << lang;
            EXPECT_EQ(run(fn, junk, n + 1), ok(junk)) << lang;
            EXPECT_EQ(run(fn, junk, n), Outcome(OS_ERR_CONV_BAD_ARG, "")) << lang;
            EXPECT_EQ(run(fn, "", 1), ok("")) << lang;
            EXPECT_EQ(run(fn, "a", 1), Outcome(OS_ERR_CONV_BAD_ARG, "")) << lang;
        }
    }
}

TEST(Language, ConversionFailuresKeepTheTerminatedPrefix) {
    ScopedEnv env("LANG", "zh_CN.GBK");
    // Entry point, source, nDesLen and the outcome.
    const std::tuple<ConvFn, std::string, int, Outcome> cases[] = {
        {os_lang_conv_utf8_to_sys, "a", 1, kFailed},
        // D6 D0 becomes three bytes of UTF-8: nDesLen 4 is the least that holds them.
        {os_lang_conv_sys_to_utf8, kZhongGb, 3, kFailed},
        {os_lang_conv_sys_to_utf8, kZhongGb, 4, ok(kZhongUtf8)},
        // Invalid or unmappable input after one good character.
        {os_lang_conv_sys_to_utf8, kZhongGb + "\xFF", 32, {OS_ERR_CONV_FAILED, kZhongUtf8}},
        {os_lang_conv_utf8_to_sys, kZhongUtf8 + kSmileUtf8, 32, {OS_ERR_CONV_FAILED, kZhongGb}},
        // Output that does not fit stops after the last whole character.
        {os_lang_conv_utf8_to_sys, kZhongUtf8 + kZhongUtf8, 4, {OS_ERR_CONV_FAILED, kZhongGb}}};
    for (const auto& [fn, src, n, want] : cases)
        EXPECT_EQ(run(fn, src, n), want) << testing::PrintToString(src) << " n=" << n;
}

// A C caller passes the selector as a plain 32-bit integer, any value allowed; call
// the way it does, so that no out-of-range enum exists on this side.
using SelectorFn = int32 (*)(int32, const char*, char*, int);
const auto kGiven = reinterpret_cast<SelectorFn>(&os_lang_conv_given_to_unicode);
const auto kToGiven = reinterpret_cast<SelectorFn>(&os_lang_conv_unicode_to_given);

Outcome sel(SelectorFn fn, int32 cs, const std::string& s, int n = 32) {
    std::string d = std::string(static_cast<size_t>(n), kFill) + kGuard;
    const int32 rc = fn(cs, s.c_str(), d.data(), n);
    EXPECT_EQ(d.substr(static_cast<size_t>(n)), kGuard);
    return {rc, rc == OS_OK ? std::string(d.c_str()) : ""};
}

TEST(Language, CheckedEntryPointsRefuseBadArgumentsWithoutWriting) {
    ScopedEnv env("LANG", "zh_CN.GBK");
    const ConvFn fns[] = {
        os_lang_conv_sys_to_utf8,
        os_lang_conv_utf8_to_sys,
        _os_lang_conv_ansi_to_unicode,
        _os_lang_conv_unicode_to_ansi,
        [](const char* s, char* d, int n) { return kGiven(ZU_OS_CHARSET_ANSI, s, d, n); },
        [](const char* s, char* d, int n) { return kToGiven(ZU_OS_CHARSET_UNICODE, s, d, n); }};
    for (ConvFn fn : fns) {
        std::string d(8, kFill);
        EXPECT_EQ(fn(nullptr, d.data(), 8), OS_ERR_CONV_BAD_ARG);
        EXPECT_EQ(fn("a", nullptr, 8), OS_ERR_CONV_BAD_ARG);
        EXPECT_EQ(fn("a", d.data(), 0), OS_ERR_CONV_BAD_ARG);
        EXPECT_EQ(d, std::string(8, kFill));
    }
}

TEST(Language, SelectorPicksGb18030CopyOrTheSystemSet) {
    for (const char* lang : {"en_US.UTF-8", "zh_CN.GBK", "zh_CN.GB2312"}) {
        ScopedEnv env("LANG", lang);
        SCOPED_TRACE(lang);
        // ANSI is GB18030 whatever LANG says; UNICODE copies, whatever the bytes.
        EXPECT_EQ(sel(kGiven, ZU_OS_CHARSET_ANSI, kSmileGb18030), ok(kSmileUtf8));
        EXPECT_EQ(sel(kToGiven, ZU_OS_CHARSET_ANSI, kSmileUtf8, 4).first, OS_ERR_CONV_FAILED);
        EXPECT_EQ(sel(kToGiven, ZU_OS_CHARSET_ANSI, kSmileUtf8, 5), ok(kSmileGb18030));
        EXPECT_EQ(sel(kGiven, ZU_OS_CHARSET_ANSI, ""), ok(""));
        EXPECT_EQ(sel(kToGiven, ZU_OS_CHARSET_UNICODE, kZhongGb), ok(kZhongGb));
        EXPECT_EQ(sel(kGiven, ZU_OS_CHARSET_UNICODE, kZhongGb), ok(kZhongGb));
    }
    // SYS and any unknown value follow LANG.
    for (int32 cs : {0, 7}) {
        ScopedEnv gbk("LANG", "zh_CN.GBK");
        EXPECT_EQ(sel(kToGiven, cs, kZhongUtf8), ok(kZhongGb)) << cs;
        EXPECT_EQ(sel(kGiven, cs, kZhongGb), ok(kZhongUtf8)) << cs;
        ScopedEnv en("LANG", "en_US.UTF-8");
        EXPECT_EQ(sel(kToGiven, cs, kZhongUtf8), ok(kZhongUtf8)) << cs;
    }
}

TEST(Language, CodeConvertTerminatesOnlyAfterSuccess) {
    // Exactly inlen bytes are read; the terminator goes right after the output, and
    // only after a success. A name the converter does not know is refused before
    // anything is written.
    const std::string two = kZhongUtf8 + kZhongUtf8;
    // From, to, inlen, outlen, the result and the first four bytes of outbuf.
    const std::tuple<const char*, const char*, int, int, int32, std::string> cases[] = {
        {"utf8", "gbk", 3, 2, OS_OK, kZhongGb + '\0' + kFill},
        {"utf8", "gbk", 6, 3, OS_ERR_CONV_FAILED, kZhongGb + kFill + kFill},
        {"no-such-set", "utf8", 1, 4, OS_ERR_CONV_OPEN, std::string(4, kFill)},
        {"GB18030", "utf8", 0, 0, OS_OK, '\0' + std::string(3, kFill)}};  // empty input
    for (const auto& [from, to, inlen, outlen, rc, head] : cases) {
        char out[8];
        std::memset(out, kFill, sizeof out);
        EXPECT_EQ(code_convert(from, to, two.c_str(), inlen, out, outlen), rc);
        EXPECT_EQ(std::string(out, 4), head) << from << " " << inlen;
    }
}

// ---------------------------------------------------------------------------
// Reusable converters
// ---------------------------------------------------------------------------

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

// A call's result and the whole buffer after it: outlen + 1 bytes of kFill, then the
// guard, so that bytes written past the terminator show too.
template <class Fn>
Outcome call(int outlen, Fn fn) {
    std::string buf = std::string(static_cast<size_t>(outlen) + 1, kFill) + kGuard;
    const int32 rc = fn(buf.data());
    return {rc, buf};
}

// The converter against code_convert on inlen bytes at in (what follows them must
// not be read): code_convert's result when the two agree, else -1.
int32 same(LangConvHandle h, const char* from, const char* to, const char* in, int inlen,
           int outlen) {
    const Outcome want =
        call(outlen, [&](char* out) { return code_convert(from, to, in, inlen, out, outlen); });
    const Outcome got = call(
        outlen, [&](char* out) { return os_lang_converter_convert(h, in, inlen, out, outlen); });
    EXPECT_EQ(got, want) << from << " -> " << to << ", outlen " << outlen << ", "
                         << testing::PrintToString(std::string(in, static_cast<size_t>(inlen)));
    return got == want ? want.first : -1;
}

// Every string of the corpus cut at every length, with the rest of it right behind;
// then, between a GB set and UTF-8, every single byte and double-byte code of the set,
// or every code point of the Basic Multilingual Plane, each alone and all of them in
// one long string.
TEST(LangConverter, NamedPairsGiveCodeConvertsBytesStringAfterString) {
    std::vector<std::string> gb_chars, utf8_chars;
    for (unsigned b = 0; b < 256; ++b) gb_chars.emplace_back(1, static_cast<char>(b));
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead)
        for (unsigned trail = 0x30; trail <= 0xFF; ++trail)
            gb_chars.push_back({static_cast<char>(lead), static_cast<char>(trail)});
    for (unsigned cp = 0; cp < 0x10000; ++cp) {  // surrogates included: ill-formed
        const size_t n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : 3;
        const size_t lead = n == 1 ? 0 : n == 2 ? 0xC0 : 0xE0;
        std::string u(n, '\0');
        for (size_t i = n - 1, v = cp; i < n; --i, v >>= 6)
            u[i] = static_cast<char>(i > 0 ? 0x80 | (v & 0x3F) : lead | v);
        utf8_chars.push_back(u);
    }
    const std::vector<std::string> none;
    const std::tuple<const char*, const char*, const std::vector<std::string>&> kPairs[] = {
        {"gbk", "utf8", gb_chars},     {"utf8", "gbk", utf8_chars},
        {"GB18030", "utf8", gb_chars}, {"utf8", "GB18030", utf8_chars},
        {"GB2312", "utf8", gb_chars},  {"utf8", "GB2312", utf8_chars},
        {"utf8", "utf8", none},        {"GB18030", "gbk", none},
        {"utf8", "ISO-2022-JP", none}, {"ISO-2022-JP", "utf8", none},
    };
    for (const auto& [from, to, chars] : kPairs) {
        LangConvHandle h = nullptr;
        ASSERT_EQ(os_lang_converter_open(from, to, &h), OS_OK) << from << " -> " << to;
        for (int outlen : {64, 4, 1, 0})
            for (const std::string& in : kCorpus)
                for (size_t n = 0; n <= in.size(); ++n)
                    same(h, from, to, in.data(), static_cast<int>(n), outlen);
        int mismatches = 0;
        std::string all;
        for (const std::string& c : chars) {
            const int32 rc = same(h, from, to, c.data(), static_cast<int>(c.size()), 8);
            if (rc == -1 && ++mismatches == 5) break;
            if (rc == OS_OK && c[0] != 0) all += c;  // NUL would end strlen below
        }
        // Every convertible character at once, with exactly enough room and one short.
        const int n = static_cast<int>(all.size());
        std::string whole(4 * all.size() + 1, '\0');
        ASSERT_EQ(code_convert(from, to, all.data(), n, whole.data(), 4 * n), OS_OK);
        const int need = static_cast<int>(std::strlen(whole.c_str()));
        for (int room : {need, need - 1})
            if (room >= 0) same(h, from, to, all.data(), n, room);
        EXPECT_EQ(os_lang_converter_close(h), OS_OK);
    }
}

// Selectors resolve as the selector-driven pair does: against text ending in UTF-8
// and text starting from it, the converter agrees with those functions wherever the
// text fits, in every LANG row kind (copy, both ways, one way).
// A C caller passes selectors as plain 32-bit integers, any value allowed; call the
// way it does, so that no out-of-range enum exists on this side.
TEST(LangConverter, SelectorPairsAgreeWithTheSelectorFunctions) {
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
                const SelectorFn per_call = to_utf8 ? kGiven : kToGiven;
                for (const std::string& in : kCorpus) {
                    char want[64], got[64];
                    const int32 rc = per_call(sel, in.c_str(), want, 64);
                    EXPECT_EQ(os_lang_converter_convert(h, in.data(), static_cast<int>(in.size()),
                                                        got, 63),
                              rc)
                        << "LANG " << lang << ", selector " << sel << (to_utf8 ? " to" : " from")
                        << " UTF-8, " << testing::PrintToString(in);
                    EXPECT_TRUE(rc != OS_OK || std::strcmp(got, want) == 0)
                        << got << " != " << want;
                }
                EXPECT_EQ(os_lang_converter_close(h), OS_OK);
            }
        }
    }
}

// The system set is the one LANG named at opening; with both sides UTF-8 the bytes
// are copied, unexamined, and never truncated.
TEST(LangConverter, SelectorsAreResolvedWhenOpened) {
    LangConvHandle gbk = nullptr, copy = nullptr;
    {
        ScopedEnv env("LANG", "zh_CN.GBK");
        ASSERT_EQ(os_lang_converter_open_given(ZU_OS_CHARSET_SYS, ZU_OS_CHARSET_UNICODE, &gbk),
                  OS_OK);
    }
    ScopedEnv env("LANG", std::nullopt);  // a per-call function would copy now
    ASSERT_EQ(os_lang_converter_open_given(ZU_OS_CHARSET_SYS, ZU_OS_CHARSET_UNICODE, &copy), OS_OK);
    const auto convert = [](LangConvHandle h, const char* in, int outlen) {
        return call(outlen, [&](char* out) {
            return os_lang_converter_convert(h, in, static_cast<int>(std::strlen(in)), out, outlen);
        });
    };
    EXPECT_EQ(convert(gbk, "\x81\x40", 3), ok("\xE4\xB8\x82" + std::string(1, '\0') + kGuard));
    EXPECT_EQ(convert(copy, "\xFF\x80z", 3), ok(std::string("\xFF\x80z") + '\0' + kGuard));
    EXPECT_EQ(convert(copy, "abc", 2), Outcome(OS_ERR_CONV_FAILED, std::string(3, kFill) + kGuard));
    EXPECT_EQ(os_lang_converter_close(gbk), OS_OK);
    EXPECT_EQ(os_lang_converter_close(copy), OS_OK);
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
