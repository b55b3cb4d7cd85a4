// Character-set conversion: the LANG table in both directions, the copy rule and its
// size limit, conversion failures, the selector-driven pair and code_convert itself.
// Expected bytes are the published encodings, not the output of another converter.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_support.h"

namespace {

using zutest::ScopedEnv;

// Known encodings of three characters: U+4E2D (in GB2312, GBK and GB18030), U+4E02
// (GBK and GB18030, not GB2312) and U+1F600 (four bytes in GB18030 only).
const std::string kZhongUtf8 = "\xE4\xB8\xAD", kZhongGb = "\xD6\xD0";
const std::string kQiUtf8 = "\xE4\xB8\x82", kQiGbk = "\x81\x40";
const std::string kSmileUtf8 = "\xF0\x9F\x98\x80", kSmileGb18030 = "\x94\x39\xFC\x36";

constexpr char kFill = 'x';
constexpr unsigned char kGuard = 0xAA;
constexpr size_t kGuardLen = 16;

// A destination of nDesLen bytes, filled with kFill, followed by guard bytes that no
// call may touch.
struct Dest {
    explicit Dest(int n) : len(n), bytes(static_cast<size_t>(n) + kGuardLen, kFill) {
        std::memset(bytes.data() + n, kGuard, kGuardLen);
    }
    char* data() { return bytes.data(); }
    std::string text() const { return std::string(bytes.data()); }
    bool all_zero() const {
        for (int i = 0; i < len; ++i)
            if (bytes[static_cast<size_t>(i)] != 0) return false;
        return true;
    }
    // Every byte from the terminator up to nDesLen is zero.
    bool zero_after_text() const {
        for (size_t i = std::strlen(bytes.data()); i < static_cast<size_t>(len); ++i)
            if (bytes[i] != 0) return false;
        return true;
    }
    bool untouched() const {
        for (int i = 0; i < len; ++i)
            if (bytes[static_cast<size_t>(i)] != kFill) return false;
        return guard_intact();
    }
    bool guard_intact() const {
        for (size_t i = 0; i < kGuardLen; ++i)
            if (static_cast<unsigned char>(bytes[static_cast<size_t>(len) + i]) != kGuard)
                return false;
        return true;
    }
    int len;
    std::vector<char> bytes;
};

// The outcome of one conversion: the result and, on success, the text.
struct Outcome {
    int32 rc;
    std::string text;
    bool operator==(const Outcome&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    os << o.rc << " [";
    for (unsigned char c : o.text) os << ' ' << std::hex << int(c) << std::dec;
    return os << " ]";
}

using ConvFn = int32 (*)(const char*, char*, int);

Outcome run(ConvFn fn, const std::string& src, int n = 64) {
    Dest d(n);
    int32 rc = fn(src.c_str(), d.data(), n);
    EXPECT_TRUE(d.guard_intact());
    EXPECT_TRUE(d.zero_after_text());
    return {rc, rc == OS_OK ? d.text() : std::string()};
}

const Outcome kFailed{OS_ERR_CONV_FAILED, ""};
Outcome ok(const std::string& s) {
    return {OS_OK, s};
}

// What each system set makes of the three characters, in each direction.
enum class Sys { Copy, Gbk, Gb18030, Gb2312 };

std::vector<std::pair<std::string, Outcome>> from_utf8_expectations(Sys s) {
    switch (s) {
        case Sys::Copy:
            return {
                {kZhongUtf8, ok(kZhongUtf8)}, {kQiUtf8, ok(kQiUtf8)}, {kSmileUtf8, ok(kSmileUtf8)}};
        case Sys::Gbk:
            return {{kZhongUtf8, ok(kZhongGb)}, {kQiUtf8, ok(kQiGbk)}, {kSmileUtf8, kFailed}};
        case Sys::Gb18030:
            return {
                {kZhongUtf8, ok(kZhongGb)}, {kQiUtf8, ok(kQiGbk)}, {kSmileUtf8, ok(kSmileGb18030)}};
        case Sys::Gb2312:
            return {{kZhongUtf8, ok(kZhongGb)}, {kQiUtf8, kFailed}, {kSmileUtf8, kFailed}};
    }
    return {};
}

std::vector<std::pair<std::string, Outcome>> to_utf8_expectations(Sys s) {
    switch (s) {
        case Sys::Copy:
            return {
                {kZhongGb, ok(kZhongGb)}, {kQiGbk, ok(kQiGbk)}, {kSmileGb18030, ok(kSmileGb18030)}};
        case Sys::Gbk:
            return {{kZhongGb, ok(kZhongUtf8)}, {kQiGbk, ok(kQiUtf8)}, {kSmileGb18030, kFailed}};
        case Sys::Gb18030:
            return {
                {kZhongGb, ok(kZhongUtf8)}, {kQiGbk, ok(kQiUtf8)}, {kSmileGb18030, ok(kSmileUtf8)}};
        case Sys::Gb2312:
            return {{kZhongGb, ok(kZhongUtf8)}, {kQiGbk, kFailed}, {kSmileGb18030, kFailed}};
    }
    return {};
}

struct LangCase {
    std::optional<std::string> lang;
    Sys to_utf8;
    Sys from_utf8;
};

const LangCase kLangCases[] = {
    {"zh_CN.UTF-8", Sys::Copy, Sys::Copy},
    {"zh.UTF-8", Sys::Copy, Sys::Copy},
    {"zh.utf8", Sys::Copy, Sys::Copy},
    {"zh.utf-8", Sys::Copy, Sys::Copy},
    {"zh_CN.utf-8", Sys::Copy, Sys::Copy},
    {"zh_CN.utf8", Sys::Copy, Sys::Copy},
    {"zh_CN.GBK", Sys::Gbk, Sys::Gbk},
    {"zh.GBK", Sys::Gbk, Sys::Gbk},
    {"zh_CN.gbk", Sys::Gbk, Sys::Gbk},
    {"zh.gbk", Sys::Gbk, Sys::Gbk},
    {"zh_CN.hp15CN", Sys::Gbk, Sys::Gbk},
    {"zh_CN.GB18030", Sys::Gb18030, Sys::Gb18030},
    {"zh.GB18030", Sys::Gb18030, Sys::Gb18030},
    {"zh_CN.gb18030", Sys::Copy, Sys::Gb18030},  // one-way row
    {"zh_CN.GB2312", Sys::Gb2312, Sys::Gb2312},
    {"zh.GB2312", Sys::Gb2312, Sys::Gb2312},
    // Not in the table: matched whole and case-sensitively, nothing else consulted.
    {std::nullopt, Sys::Copy, Sys::Copy},
    {"", Sys::Copy, Sys::Copy},
    {"en_US.UTF-8", Sys::Copy, Sys::Copy},
    {"POSIX", Sys::Copy, Sys::Copy},
    {"zh_CN.gb2312", Sys::Copy, Sys::Copy},
    {"zh.gb18030", Sys::Copy, Sys::Copy},
    {"ZH_CN.GBK", Sys::Copy, Sys::Copy},
    {"zh_CN.GBK ", Sys::Copy, Sys::Copy},
    {"zh_CN.GBK@euro", Sys::Copy, Sys::Copy},
};

TEST(Language, LangTableSelectsTheSystemSetPerDirection) {
    // LC_ALL and LC_CTYPE must not matter.
    ScopedEnv lc_all("LC_ALL", "zh_CN.GBK"), lc_ctype("LC_CTYPE", "zh_CN.GBK");
    for (const LangCase& c : kLangCases) {
        ScopedEnv lang("LANG", c.lang);
        const std::string name = c.lang ? "LANG=\"" + *c.lang + "\"" : "LANG unset";
        for (const auto& [src, want] : from_utf8_expectations(c.from_utf8)) {
            EXPECT_EQ(run(os_lang_conv_utf8_to_sys, src), want) << name << " to system";
            EXPECT_EQ(run(_os_lang_conv_unicode_to_ansi, src), want) << name << " alias";
        }
        for (const auto& [src, want] : to_utf8_expectations(c.to_utf8)) {
            EXPECT_EQ(run(os_lang_conv_sys_to_utf8, src), want) << name << " to UTF-8";
            EXPECT_EQ(run(_os_lang_conv_ansi_to_unicode, src), want) << name << " alias";
        }
    }
}

TEST(Language, CopyRulePassesAnyBytesAndNeverTruncates) {
    for (const char* lang : {"en_US.UTF-8", "zh_CN.UTF-8"}) {
        ScopedEnv env("LANG", lang);
        for (ConvFn fn : {os_lang_conv_sys_to_utf8, os_lang_conv_utf8_to_sys}) {
            // Not valid in any of the sets: copied unexamined.
            const std::string junk = "\xFF\xFE\xC3 abc";
            EXPECT_EQ(run(fn, junk), ok(junk)) << lang;

            // Exactly nDesLen - 1 bytes fit; one more is refused with an all-zero buffer.
            Dest fits(static_cast<int>(junk.size()) + 1);
            EXPECT_EQ(fn(junk.c_str(), fits.data(), fits.len), OS_OK);
            EXPECT_EQ(fits.text(), junk);
            Dest tight(static_cast<int>(junk.size()));
            EXPECT_EQ(fn(junk.c_str(), tight.data(), tight.len), OS_ERR_CONV_BAD_ARG);
            EXPECT_TRUE(tight.all_zero());
            EXPECT_TRUE(tight.guard_intact());
        }
    }
}

TEST(Language, SmallestDestinationsUnderCopyAndConversion) {
    struct Case {
        const char* lang;
        ConvFn fn;
        std::string src;
        int n;
        int32 rc;
    };
    const Case cases[] = {
        {"en_US.UTF-8", os_lang_conv_utf8_to_sys, "", 1, OS_OK},
        {"en_US.UTF-8", os_lang_conv_utf8_to_sys, "a", 1, OS_ERR_CONV_BAD_ARG},
        {"zh_CN.GBK", os_lang_conv_utf8_to_sys, "", 1, OS_OK},
        {"zh_CN.GBK", os_lang_conv_utf8_to_sys, "a", 1, OS_ERR_CONV_FAILED},
        // D6 D0 becomes three bytes of UTF-8: nDesLen 4 is the least that holds them.
        {"zh_CN.GBK", os_lang_conv_sys_to_utf8, kZhongGb, 3, OS_ERR_CONV_FAILED},
        {"zh_CN.GBK", os_lang_conv_sys_to_utf8, kZhongGb, 4, OS_OK},
    };
    for (const Case& c : cases) {
        ScopedEnv env("LANG", c.lang);
        Dest d(c.n);
        EXPECT_EQ(c.fn(c.src.c_str(), d.data(), c.n), c.rc) << c.lang << " n=" << c.n;
        EXPECT_TRUE(d.zero_after_text()) << c.lang << " n=" << c.n;
        EXPECT_TRUE(d.guard_intact()) << c.lang << " n=" << c.n;
        if (c.rc != OS_OK) {
            EXPECT_EQ(d.text().size(), 0u) << c.lang << " n=" << c.n;
        }
    }
}

TEST(Language, FailedConversionKeepsTheTerminatedPrefix) {
    ScopedEnv env("LANG", "zh_CN.GBK");
    // Invalid, incomplete or unmappable input, each after one good character.
    const std::pair<ConvFn, std::string> bad[] = {
        {os_lang_conv_sys_to_utf8, kZhongGb + "\xFF"},
        {os_lang_conv_sys_to_utf8, kZhongGb + "\xD6"},  // lone lead byte at the end
        {os_lang_conv_utf8_to_sys, kZhongUtf8 + "\xE4\xB8"},
        {os_lang_conv_utf8_to_sys, kZhongUtf8 + "\xFF"},
        {os_lang_conv_utf8_to_sys, kZhongUtf8 + kSmileUtf8},  // no GBK equivalent
    };
    for (const auto& [fn, src] : bad) {
        Dest d(32);
        EXPECT_EQ(fn(src.c_str(), d.data(), d.len), OS_ERR_CONV_FAILED);
        EXPECT_EQ(d.text(), fn == os_lang_conv_sys_to_utf8 ? kZhongUtf8 : kZhongGb);
        EXPECT_TRUE(d.zero_after_text());
    }
    // Output that does not fit stops after the last whole character.
    Dest d(4);  // room for 3 bytes: one D6 D0, not two
    EXPECT_EQ(os_lang_conv_utf8_to_sys((kZhongUtf8 + kZhongUtf8).c_str(), d.data(), d.len),
              OS_ERR_CONV_FAILED);
    EXPECT_EQ(d.text(), kZhongGb);
    EXPECT_TRUE(d.zero_after_text());
    EXPECT_TRUE(d.guard_intact());
}

TEST(Language, CheckedEntryPointsRefuseBadArgumentsWithoutWriting) {
    ScopedEnv env("LANG", "zh_CN.GBK");
    const std::vector<ConvFn> fns = {
        os_lang_conv_sys_to_utf8,
        os_lang_conv_utf8_to_sys,
        _os_lang_conv_ansi_to_unicode,
        _os_lang_conv_unicode_to_ansi,
        [](const char* s, char* d, int n) {
            return os_lang_conv_given_to_unicode(ZU_OS_CHARSET_ANSI, s, d, n);
        },
        [](const char* s, char* d, int n) {
            return os_lang_conv_unicode_to_given(ZU_OS_CHARSET_UNICODE, s, d, n);
        },
    };
    for (size_t i = 0; i < fns.size(); ++i) {
        Dest d(8);
        EXPECT_EQ(fns[i](nullptr, d.data(), 8), OS_ERR_CONV_BAD_ARG) << i;
        EXPECT_EQ(fns[i]("a", nullptr, 8), OS_ERR_CONV_BAD_ARG) << i;
        EXPECT_EQ(fns[i]("a", d.data(), 0), OS_ERR_CONV_BAD_ARG) << i;
        EXPECT_EQ(fns[i]("a", d.data(), -5), OS_ERR_CONV_BAD_ARG) << i;
        EXPECT_TRUE(d.untouched()) << i;
    }
}

TEST(Language, SelectorPicksGb18030CopyOrTheSystemSet) {
    // A C caller passes the selector as a plain 32-bit integer, any value allowed;
    // call the way it does, so that no out-of-range enum exists on this side.
    using SelectorFn = int32 (*)(int32, const char*, char*, int);
    const auto given_fn = reinterpret_cast<SelectorFn>(&os_lang_conv_given_to_unicode);
    const auto to_given_fn = reinterpret_cast<SelectorFn>(&os_lang_conv_unicode_to_given);
    const auto call = [](SelectorFn fn, int32 cs, const std::string& s, int n) {
        Dest d(n);
        int32 rc = fn(cs, s.c_str(), d.data(), n);
        EXPECT_TRUE(d.guard_intact());
        return Outcome{rc, rc == OS_OK ? d.text() : ""};
    };
    const auto given = [&](int32 cs, const std::string& s, int n = 32) {
        return call(given_fn, cs, s, n);
    };
    const auto to_given = [&](int32 cs, const std::string& s, int n = 32) {
        return call(to_given_fn, cs, s, n);
    };
    for (const char* lang : {"en_US.UTF-8", "zh_CN.GBK", "zh_CN.GB2312"}) {
        ScopedEnv env("LANG", lang);
        SCOPED_TRACE(lang);
        // ANSI is GB18030 whatever LANG says.
        EXPECT_EQ(to_given(ZU_OS_CHARSET_ANSI, kSmileUtf8), ok(kSmileGb18030));
        EXPECT_EQ(given(ZU_OS_CHARSET_ANSI, kSmileGb18030), ok(kSmileUtf8));
        EXPECT_EQ(to_given(ZU_OS_CHARSET_ANSI, kSmileUtf8, 4).rc, OS_ERR_CONV_FAILED);
        EXPECT_EQ(to_given(ZU_OS_CHARSET_ANSI, kSmileUtf8, 5), ok(kSmileGb18030));
        EXPECT_EQ(given(ZU_OS_CHARSET_ANSI, ""), ok(""));
        // UNICODE copies, whatever the bytes.
        EXPECT_EQ(to_given(ZU_OS_CHARSET_UNICODE, kZhongGb), ok(kZhongGb));
        EXPECT_EQ(given(ZU_OS_CHARSET_UNICODE, kZhongGb), ok(kZhongGb));
    }
    // SYS and any unknown value follow LANG.
    for (int32 cs : {0, 7, -1}) {
        ScopedEnv gbk("LANG", "zh_CN.GBK");
        EXPECT_EQ(to_given(cs, kZhongUtf8), ok(kZhongGb)) << cs;
        EXPECT_EQ(given(cs, kZhongGb), ok(kZhongUtf8)) << cs;
        ScopedEnv en("LANG", "en_US.UTF-8");
        EXPECT_EQ(to_given(cs, kZhongUtf8), ok(kZhongUtf8)) << cs;
    }
}

TEST(Language, SafeStrncpyCopiesWholeOrNothing) {
    Dest fits(4);
    EXPECT_EQ(_zu_safe_strncpy("abc", fits.data(), 4), OS_OK);
    EXPECT_EQ(fits.text(), "abc");
    Dest roomy(16);
    EXPECT_EQ(_zu_safe_strncpy("ab", roomy.data(), 16), OS_OK);
    EXPECT_TRUE(roomy.zero_after_text());
    Dest tight(3);
    EXPECT_EQ(_zu_safe_strncpy("abc", tight.data(), 3), OS_ERR_CONV_BAD_ARG);
    EXPECT_TRUE(tight.all_zero());
    EXPECT_TRUE(tight.guard_intact());
    Dest one(1);
    EXPECT_EQ(_zu_safe_strncpy("", one.data(), 1), OS_OK);
    EXPECT_TRUE(one.all_zero());
}

TEST(Language, CodeConvertTerminatesOnlyAfterSuccess) {
    // Exactly inlen bytes are read; the terminator goes right after the output.
    char out[8];
    std::memset(out, kFill, sizeof out);
    const std::string two = kZhongUtf8 + kZhongUtf8;
    EXPECT_EQ(code_convert("utf8", "gbk", two.c_str(), 3, out, 2), OS_OK);
    EXPECT_EQ(std::string(out, 4), kZhongGb + '\0' + kFill);

    // Output too long: the converted prefix stays and nothing is terminated.
    std::memset(out, kFill, sizeof out);
    EXPECT_EQ(code_convert("utf8", "gbk", two.c_str(), 6, out, 3), OS_ERR_CONV_FAILED);
    EXPECT_EQ(std::string(out, 4), kZhongGb + kFill + kFill);

    // A name the converter does not know is refused before anything is written.
    std::memset(out, kFill, sizeof out);
    EXPECT_EQ(code_convert("no-such-set", "utf8", "a", 1, out, 4), OS_ERR_CONV_OPEN);
    EXPECT_EQ(code_convert("utf8", "no-such-set", "a", 1, out, 4), OS_ERR_CONV_OPEN);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, kFill));

    // Empty input still opens the converter and yields the empty string.
    EXPECT_EQ(code_convert("GB18030", "utf8", "", 0, out, 0), OS_OK);
    EXPECT_EQ(out[0], '\0');
}

}  // namespace
