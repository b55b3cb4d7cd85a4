// Character-set conversion: the LANG table in both directions, the copy rule and its
// size limit, conversion failures, the selector-driven pair and code_convert itself.
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
        {os_lang_conv_utf8_to_sys, "", 1, ok("")},
        {os_lang_conv_utf8_to_sys, "a", 1, kFailed},
        // D6 D0 becomes three bytes of UTF-8: nDesLen 4 is the least that holds them.
        {os_lang_conv_sys_to_utf8, kZhongGb, 3, kFailed},
        {os_lang_conv_sys_to_utf8, kZhongGb, 4, ok(kZhongUtf8)},
        // Invalid, incomplete or unmappable input after one good character.
        {os_lang_conv_sys_to_utf8, kZhongGb + "\xFF", 32, {OS_ERR_CONV_FAILED, kZhongUtf8}},
        {os_lang_conv_sys_to_utf8, kZhongGb + "\xD6", 32, {OS_ERR_CONV_FAILED, kZhongUtf8}},
        {os_lang_conv_utf8_to_sys, kZhongUtf8 + "\xE4\xB8", 32, {OS_ERR_CONV_FAILED, kZhongGb}},
        {os_lang_conv_utf8_to_sys, kZhongUtf8 + "\xFF", 32, {OS_ERR_CONV_FAILED, kZhongGb}},
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
        EXPECT_EQ(sel(kToGiven, ZU_OS_CHARSET_ANSI, kSmileUtf8), ok(kSmileGb18030));
        EXPECT_EQ(sel(kGiven, ZU_OS_CHARSET_ANSI, kSmileGb18030), ok(kSmileUtf8));
        EXPECT_EQ(sel(kToGiven, ZU_OS_CHARSET_ANSI, kSmileUtf8, 4).first, OS_ERR_CONV_FAILED);
        EXPECT_EQ(sel(kToGiven, ZU_OS_CHARSET_ANSI, kSmileUtf8, 5), ok(kSmileGb18030));
        EXPECT_EQ(sel(kGiven, ZU_OS_CHARSET_ANSI, ""), ok(""));
        EXPECT_EQ(sel(kToGiven, ZU_OS_CHARSET_UNICODE, kZhongGb), ok(kZhongGb));
        EXPECT_EQ(sel(kGiven, ZU_OS_CHARSET_UNICODE, kZhongGb), ok(kZhongGb));
    }
    // SYS and any unknown value follow LANG.
    for (int32 cs : {0, 7, -1}) {
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
        {"utf8", "no-such-set", 1, 4, OS_ERR_CONV_OPEN, std::string(4, kFill)},
        {"GB18030", "utf8", 0, 0, OS_OK, '\0' + std::string(3, kFill)}};  // empty input
    for (const auto& [from, to, inlen, outlen, rc, head] : cases) {
        char out[8];
        std::memset(out, kFill, sizeof out);
        EXPECT_EQ(code_convert(from, to, two.c_str(), inlen, out, outlen), rc);
        EXPECT_EQ(std::string(out, 4), head) << from << " " << inlen;
    }
}

}  // namespace
