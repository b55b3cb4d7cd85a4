// os_language.cpp - conversion of NUL-terminated byte strings between the system
// character set (chosen from LANG on every call), UTF-8 and a selected set, by iconv.
// The per-call functions keep no state: every conversion opens and closes its own
// converter, so any number of threads may convert at once; LANG is only read, never
// changed. The reusable converter (os_lang_converter_*) keeps one iconv descriptor
// per handle for callers that convert many strings between the same two sets.
#include <iconv.h>
#include <stdlib.h>
#include <string.h>

#include <iterator>
#include <string_view>

#include "os_internal.h"

namespace {

// The names handed to iconv_open, exactly as the library has always used them.
constexpr const char* kUtf8 = "utf8";
constexpr const char* kGbk = "gbk";
constexpr const char* kGb18030 = "GB18030";
constexpr const char* kGb2312 = "GB2312";

// One LANG value and the system character set it selects in each direction; a
// null set means the text is copied unchanged. The values are matched whole and
// case-sensitively. "zh_CN.gb18030" is deliberately one-way: it names GB18030 for
// text going to the system but not for text coming from it.
struct LangRow {
    std::string_view lang;
    const char* to_utf8;    // system set when converting system -> UTF-8
    const char* from_utf8;  // system set when converting UTF-8 -> system
};

constexpr LangRow kLangTable[] = {
    {"zh_CN.UTF-8", nullptr, nullptr},  {"zh.UTF-8", nullptr, nullptr},
    {"zh.utf8", nullptr, nullptr},      {"zh.utf-8", nullptr, nullptr},
    {"zh_CN.utf-8", nullptr, nullptr},  {"zh_CN.utf8", nullptr, nullptr},
    {"zh_CN.GBK", kGbk, kGbk},          {"zh.GBK", kGbk, kGbk},
    {"zh_CN.gbk", kGbk, kGbk},          {"zh.gbk", kGbk, kGbk},
    {"zh_CN.hp15CN", kGbk, kGbk},       {"zh_CN.GB18030", kGb18030, kGb18030},
    {"zh.GB18030", kGb18030, kGb18030}, {"zh_CN.gb18030", nullptr, kGb18030},
    {"zh_CN.GB2312", kGb2312, kGb2312}, {"zh.GB2312", kGb2312, kGb2312},
};

constexpr bool lang_values_unique() {
    for (size_t i = 0; i < std::size(kLangTable); ++i)
        for (size_t j = i + 1; j < std::size(kLangTable); ++j)
            if (kLangTable[i].lang == kLangTable[j].lang) return false;
    return true;
}
static_assert(lang_values_unique(), "a LANG value may select only one row");

enum class Direction { ToUtf8, FromUtf8 };

// The system character set for this direction, or null for the copy rule (LANG
// unset or not in the table). LANG is read afresh so a change takes effect at once.
const char* system_charset(Direction dir) noexcept {
    const char* lang = ::getenv("LANG");
    if (lang == nullptr) return nullptr;
    const std::string_view value(lang);
    for (const LangRow& row : kLangTable) {
        if (row.lang == value) return dir == Direction::ToUtf8 ? row.to_utf8 : row.from_utf8;
    }
    return nullptr;
}

// iconv_open's failure value; a function, since the cast cannot be a constant.
inline iconv_t no_descriptor() noexcept {
    return reinterpret_cast<iconv_t>(-1);
}

// iconv_t reports failure as (iconv_t)-1, not null, so it gets its own owner.
class Converter {
public:
    Converter(const char* to, const char* from) noexcept : cd_(::iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) (void)::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool valid() const noexcept { return cd_ != no_descriptor(); }
    iconv_t get() const noexcept { return cd_; }

private:
    iconv_t cd_;
};

// One iconv call over the whole input; no flush of a shift state follows. On success
// the text is terminated right after the bytes produced (out must hold outlen + 1);
// on failure out holds what was converted before the stop and no terminator.
int32 run_iconv(iconv_t cd, const char* in, size_t inlen, char* out, size_t outlen) noexcept {
    char* inp = const_cast<char*>(in);  // iconv's prototype is not const-correct
    char* outp = out;
    size_t inleft = inlen;
    size_t outleft = outlen;
    // A count of irreversible conversions is success; only (size_t)-1 is failure.
    if (::iconv(cd, &inp, &inleft, &outp, &outleft) == static_cast<size_t>(-1))
        return OS_ERR_CONV_FAILED;
    out[outlen - outleft] = '\0';
    return OS_OK;
}

// The per-call conversion: a converter of its own for one run_iconv.
int32 convert(const char* from, const char* to, const char* in, size_t inlen, char* out,
              size_t outlen) noexcept {
    Converter cd(to, from);
    if (!cd.valid()) return OS_ERR_CONV_OPEN;
    return run_iconv(cd.get(), in, inlen, out, outlen);
}

bool bad_args(const char* szSrc, const char* szDest, int nDesLen) noexcept {
    return szSrc == nullptr || szDest == nullptr || nDesLen < 1;
}

// The shared body of the system/UTF-8 pair. The destination is cleared before the
// work, so it is terminated whatever happens after.
int32 system_conversion(Direction dir, const char* szSrc, char* szDest, int nDesLen) noexcept {
    if (bad_args(szSrc, szDest, nDesLen)) return OS_ERR_CONV_BAD_ARG;
    const size_t room = static_cast<size_t>(nDesLen) - 1;
    ::memset(szDest, 0, static_cast<size_t>(nDesLen));
    const size_t len = ::strlen(szSrc);
    if (len == 0) return OS_OK;  // before LANG is read: no converter is ever opened

    const char* sys = system_charset(dir);
    if (sys == nullptr) {
        // The copy rule: the bytes are not examined, and nothing is ever truncated.
        if (len > room) return OS_ERR_CONV_BAD_ARG;
        ::memcpy(szDest, szSrc, len + 1);
        return OS_OK;
    }
    return dir == Direction::ToUtf8 ? convert(sys, kUtf8, szSrc, len, szDest, room)
                                    : convert(kUtf8, sys, szSrc, len, szDest, room);
}

// The selector arrives as a 32-bit integer from C, where any value is legal; read it
// as an integer so that an unnamed value is not an out-of-range enum in C++ terms.
int32 selector_value(const ZU_OS_CHARSET& charset) noexcept {
    static_assert(sizeof(ZU_OS_CHARSET) == sizeof(int32), "the selector is a 32-bit integer");
    int32 v;
    ::memcpy(&v, &charset, sizeof v);
    return v;
}

}  // namespace

int32 code_convert(const char* from_charset, const char* to_charset, const char* inbuf, int inlen,
                   char* outbuf, int outlen) {
    return convert(from_charset, to_charset, inbuf, static_cast<size_t>(inlen), outbuf,
                   static_cast<size_t>(outlen));
}

int32 os_lang_conv_sys_to_utf8(const char* szSrc, char* szDest, int nDesLen) {
    return system_conversion(Direction::ToUtf8, szSrc, szDest, nDesLen);
}

int32 os_lang_conv_utf8_to_sys(const char* szSrc, char* szDest, int nDesLen) {
    return system_conversion(Direction::FromUtf8, szSrc, szDest, nDesLen);
}

int32 _zu_safe_strncpy(const char* szSrc, char* szDest, int nDesLen) {
    const size_t len = ::strlen(szSrc);
    ::memset(szDest, 0, static_cast<size_t>(nDesLen));
    if (len == 0) return OS_OK;
    if (len > static_cast<size_t>(nDesLen) - 1) return OS_ERR_CONV_BAD_ARG;
    // memmove: an overlapping source is a caller error, but must not be undefined.
    ::memmove(szDest, szSrc, len + 1);
    return OS_OK;
}

int32 os_lang_conv_given_to_unicode(ZU_OS_CHARSET charset, const char* szSrc, char* szDest,
                                    int nDesLen) {
    if (bad_args(szSrc, szDest, nDesLen)) return OS_ERR_CONV_BAD_ARG;
    switch (selector_value(charset)) {
        case ZU_OS_CHARSET_ANSI:
            // Not cleared first: after a failure the destination is unspecified.
            return convert(kGb18030, kUtf8, szSrc, ::strlen(szSrc), szDest,
                           static_cast<size_t>(nDesLen) - 1);
        case ZU_OS_CHARSET_UNICODE:
            return _zu_safe_strncpy(szSrc, szDest, nDesLen);
        default:
            return os_lang_conv_sys_to_utf8(szSrc, szDest, nDesLen);
    }
}

int32 os_lang_conv_unicode_to_given(ZU_OS_CHARSET charset, const char* szSrc, char* szDest,
                                    int nDesLen) {
    if (bad_args(szSrc, szDest, nDesLen)) return OS_ERR_CONV_BAD_ARG;
    switch (selector_value(charset)) {
        case ZU_OS_CHARSET_ANSI:
            return convert(kUtf8, kGb18030, szSrc, ::strlen(szSrc), szDest,
                           static_cast<size_t>(nDesLen) - 1);
        case ZU_OS_CHARSET_UNICODE:
            return _zu_safe_strncpy(szSrc, szDest, nDesLen);
        default:
            return os_lang_conv_utf8_to_sys(szSrc, szDest, nDesLen);
    }
}

int32 _os_lang_conv_ansi_to_unicode(const char* szSrc, char* szDest, int nDesLen) {
    return os_lang_conv_sys_to_utf8(szSrc, szDest, nDesLen);
}

int32 _os_lang_conv_unicode_to_ansi(const char* szSrc, char* szDest, int nDesLen) {
    return os_lang_conv_utf8_to_sys(szSrc, szDest, nDesLen);
}

// ---------------------------------------------------------------------------
// Reusable converters
// ---------------------------------------------------------------------------

// The record behind a LangConvHandle. A converter whose two sides are both UTF-8 (by
// selector) copies, as the per-call functions do; it holds no descriptor.
struct OSLangConverter {
    iconv_t cd;  // (iconv_t)-1 for the copy converter
};

namespace {

// Allocates the record and opens the descriptor (none when to and from are both
// null); the caller's variable gets the handle only when both succeeded.
int32 open_converter(const char* from, const char* to, LangConvHandle* phConv) noexcept {
    *phConv = nullptr;
    zu::MallocPtr<OSLangConverter> rec(
        static_cast<OSLangConverter*>(::malloc(sizeof(OSLangConverter))));
    if (!rec) return OS_ERR_NO_MEMORY;
    rec.get()->cd = no_descriptor();
    if (from != nullptr || to != nullptr) {
        rec.get()->cd = ::iconv_open(to != nullptr ? to : kUtf8, from != nullptr ? from : kUtf8);
        if (rec.get()->cd == no_descriptor()) return OS_ERR_CONV_OPEN;
    }
    *phConv = rec.release();
    return OS_OK;
}

// The set a selector names on one side of a converter, or null for UTF-8. The system
// set is looked up in the LANG column of the direction its text travels: as a source
// it is system text going out, as a target text coming in.
const char* selector_set(const ZU_OS_CHARSET& charset, Direction dir) noexcept {
    switch (selector_value(charset)) {
        case ZU_OS_CHARSET_ANSI:
            return kGb18030;
        case ZU_OS_CHARSET_UNICODE:
            return nullptr;
        default:
            return system_charset(dir);
    }
}

}  // namespace

int32 os_lang_converter_open(const char* from_charset, const char* to_charset,
                             LangConvHandle* phConv) {
    if (phConv == nullptr) return OS_ERR_CONV_BAD_ARG;
    *phConv = nullptr;
    if (from_charset == nullptr || to_charset == nullptr) return OS_ERR_CONV_BAD_ARG;
    return open_converter(from_charset, to_charset, phConv);
}

int32 os_lang_converter_open_given(ZU_OS_CHARSET from, ZU_OS_CHARSET to, LangConvHandle* phConv) {
    if (phConv == nullptr) return OS_ERR_CONV_BAD_ARG;
    return open_converter(selector_set(from, Direction::ToUtf8),
                          selector_set(to, Direction::FromUtf8), phConv);
}

int32 os_lang_converter_convert(LangConvHandle hConv, const char* inbuf, int inlen, char* outbuf,
                                int outlen) {
    if (hConv == nullptr || inbuf == nullptr || outbuf == nullptr || inlen < 0 || outlen < 0)
        return OS_ERR_CONV_BAD_ARG;
    const auto in_len = static_cast<size_t>(inlen);
    if (hConv->cd == no_descriptor()) {
        // The bytes are not examined; text that does not fit is not truncated.
        if (inlen > outlen) return OS_ERR_CONV_FAILED;
        ::memcpy(outbuf, inbuf, in_len);
        outbuf[in_len] = '\0';
        return OS_OK;
    }
    // Back to the initial shift state, as a fresh descriptor would be: the previous
    // conversion may have stopped in the middle of a shift sequence or failed.
    (void)::iconv(hConv->cd, nullptr, nullptr, nullptr, nullptr);
    return run_iconv(hConv->cd, inbuf, in_len, outbuf, static_cast<size_t>(outlen));
}

int32 os_lang_converter_close(LangConvHandle hConv) {
    if (hConv == nullptr) return OS_ERR_CONV_BAD_ARG;
    zu::MallocPtr<OSLangConverter> rec(hConv);  // freed whatever the result
    if (hConv->cd == no_descriptor()) return OS_OK;
    return ::iconv_close(hConv->cd) == -1 ? errno : OS_OK;
}
