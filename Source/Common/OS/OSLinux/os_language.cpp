// os_language.cpp - conversion of NUL-terminated byte strings between the system
// character set (chosen from LANG on every call), UTF-8 and a selected set, by iconv.
// The per-call functions keep no state: every conversion opens and closes its own
// converter, so any number of threads may convert at once; LANG is only read, never
// changed. The reusable converter (os_lang_converter_*) keeps one iconv descriptor
// per handle for callers that convert many strings between the same two sets.
#include <iconv.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>

#include <initializer_list>
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
    iconv_t release() noexcept { return std::exchange(cd_, no_descriptor()); }

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
//
// Between one of the GB sets and UTF-8 a converter answers from tables instead of
// calling iconv for every string: iconv's fixed cost per call is most of the time a
// short string takes. The tables hold no data of our own. Each entry is what iconv
// itself made of that one character, asked the first time the converter meets the
// character. These sets have no shift state, so a string's conversion is the
// concatenation of its characters' conversions. The table path only finishes a
// string when every character converts and fits. Anything else (a four-byte GB18030
// sequence, a character outside the Basic Multilingual Plane, invalid or incomplete
// input, output that does not fit) sends the whole string to iconv, which then
// decides the result and the bytes; the table path has by then written only a prefix
// of what iconv will write.

namespace {

enum class Fast : unsigned char { None, Decode, Encode };

// GB set -> UTF-8. An entry packs the length of the UTF-8 output (1..3) in its top
// byte and the bytes below it, first byte lowest; 0 is "not asked yet".
constexpr uint32 kRefused = 1;                             // iconv's to decide
constexpr unsigned kLeadFirst = 0x81, kLeadLast = 0xFE;    // double-byte lead bytes
constexpr unsigned kTrailFirst = 0x40, kTrailLast = 0xFE;  // and their second bytes
constexpr unsigned kRows = kLeadLast - kLeadFirst + 1;
constexpr unsigned kCols = kTrailLast - kTrailFirst + 1;

struct DecodeTables {
    uint32 single[256];
    uint32 pair[kRows][kCols];
};

// UTF-8 (BMP code points) -> GB set: an entry holds up to four output bytes, first
// byte lowest, and their count in the upper half; a count of 0 is "not asked yet".
// One load per character: the count and the bytes are never apart.
constexpr unsigned kRefusedLen = 0xFF;

struct EncodeTables {
    uint64 entry[0x10000];
};

}  // namespace

// The record behind a LangConvHandle. A converter whose two sides are both UTF-8 (by
// selector) copies, as the per-call functions do; it holds no descriptor.
struct OSLangConverter {
    iconv_t cd;    // (iconv_t)-1 for the copy converter
    Fast fast;     // which tables, if any
    void* tables;  // DecodeTables or EncodeTables, mapped at opening
    size_t tables_size;
};

namespace {

bool is_name_of(const char* name, std::initializer_list<const char*> names) noexcept {
    for (const char* n : names) {
        if (::strcasecmp(name, n) == 0) return true;
    }
    return false;
}

// Which table path a pair of iconv names may take: only the library's own names.
Fast fast_kind(const char* from, const char* to) noexcept {
    const auto gb = [](const char* n) { return is_name_of(n, {kGbk, kGb18030, kGb2312}); };
    const auto utf8 = [](const char* n) { return is_name_of(n, {kUtf8, "UTF-8"}); };
    if (gb(from) && utf8(to)) return Fast::Decode;
    if (utf8(from) && gb(to)) return Fast::Encode;
    return Fast::None;
}

// iconv's output for one character, from the initial state, packed first byte
// lowest; 0 bytes when iconv refuses it, leaves input over or writes more than four.
size_t convert_one(iconv_t cd, const char* in, size_t inlen, uint32* bytes) noexcept {
    (void)::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    unsigned char out[8];
    char* inp = const_cast<char*>(in);
    char* outp = reinterpret_cast<char*>(out);
    size_t inleft = inlen, outleft = sizeof out;
    if (::iconv(cd, &inp, &inleft, &outp, &outleft) == static_cast<size_t>(-1) || inleft != 0)
        return 0;
    const size_t n = sizeof out - outleft;
    if (n > 4) return 0;
    *bytes = 0;
    for (size_t i = 0; i < n; ++i) *bytes |= static_cast<uint32>(out[i]) << (8 * i);
    return n;
}

uint32 decode_entry(iconv_t cd, const char* in, size_t inlen) noexcept {
    uint32 bytes = 0;
    const size_t n = convert_one(cd, in, inlen, &bytes);
    if (n == 0 || n > 3) return kRefused;  // four-byte output: left to iconv
    return (static_cast<uint32>(n) << 24) | bytes;
}

uint64 encode_entry(iconv_t cd, unsigned cp) noexcept {
    constexpr uint64 kRefusedEntry = static_cast<uint64>(kRefusedLen) << 32;
    if (cp >= 0xD800 && cp <= 0xDFFF) return kRefusedEntry;  // surrogates are not characters
    char in[3];
    size_t n;
    if (cp < 0x80) {
        in[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        in[0] = static_cast<char>(0xC0 | (cp >> 6));
        in[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else {
        in[0] = static_cast<char>(0xE0 | (cp >> 12));
        in[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        in[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    }
    uint32 bytes = 0;
    const size_t len = convert_one(cd, in, n, &bytes);
    return len == 0 ? kRefusedEntry : (static_cast<uint64>(len) << 32) | bytes;
}

// Writes n (1..4) bytes packed first-lowest; false when they do not fit.
inline bool put(char* out, size_t room, size_t& o, uint32 bytes, size_t n) noexcept {
    if (n > room - o) return false;
    // Unrolled: a loop over 1..4 bytes costs a mispredicted exit on most characters.
    char* p = out + o;
    p[0] = static_cast<char>(bytes);
    if (n > 1) {
        p[1] = static_cast<char>(bytes >> 8);
        if (n > 2) {
            p[2] = static_cast<char>(bytes >> 16);
            if (n > 3) p[3] = static_cast<char>(bytes >> 24);
        }
    }
    o += n;
    return true;
}

// The table paths: true with *produced set when the whole input was converted.
bool decode_fast(iconv_t cd, DecodeTables& t, const unsigned char* in, size_t n, char* out,
                 size_t room, size_t* produced) noexcept {
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        const unsigned b = in[i];
        uint32* e;
        if (b >= kLeadFirst && b <= kLeadLast) {
            if (i + 1 == n) return false;
            const unsigned trail = in[i + 1];
            if (trail < kTrailFirst || trail > kTrailLast) return false;
            e = &t.pair[b - kLeadFirst][trail - kTrailFirst];
            if (*e == 0) *e = decode_entry(cd, reinterpret_cast<const char*>(in + i), 2);
            i += 2;
        } else {
            e = &t.single[b];
            if (*e == 0) *e = decode_entry(cd, reinterpret_cast<const char*>(in + i), 1);
            i += 1;
        }
        const uint32 entry = *e;
        if (entry == kRefused || !put(out, room, o, entry, entry >> 24)) return false;
    }
    *produced = o;
    return true;
}

bool encode_fast(iconv_t cd, EncodeTables& t, const unsigned char* in, size_t n, char* out,
                 size_t room, size_t* produced) noexcept {
    const auto cont = [](unsigned c) { return (c & 0xC0) == 0x80; };
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        const unsigned b = in[i];
        unsigned cp;
        if (b < 0x80) {
            cp = b;
            i += 1;
        } else if (b >= 0xC2 && b <= 0xDF && i + 1 < n && cont(in[i + 1])) {
            cp = ((b & 0x1F) << 6) | (in[i + 1] & 0x3F);
            i += 2;
        } else if (b >= 0xE0 && b <= 0xEF && i + 2 < n && cont(in[i + 1]) && cont(in[i + 2])) {
            cp = ((b & 0x0F) << 12) | ((in[i + 1] & 0x3F) << 6) | (in[i + 2] & 0x3F);
            if (cp < 0x800) return false;  // over-long: iconv's to refuse
            i += 3;
        } else {
            return false;
        }
        if (t.entry[cp] == 0) t.entry[cp] = encode_entry(cd, cp);
        // Read once: the stores to out may alias the table as far as the compiler knows.
        const uint64 entry = t.entry[cp];
        const auto len = static_cast<unsigned>(entry >> 32);
        if (len == kRefusedLen || !put(out, room, o, static_cast<uint32>(entry), len)) return false;
    }
    *produced = o;
    return true;
}

// Allocates the record, opens the descriptor (none when to and from are both null)
// and maps the tables of a pair that has them; the caller's variable gets the handle
// only when all of it succeeded. The tables are mapped, not allocated and cleared:
// the kernel supplies zero pages as they are first touched.
int32 open_converter(const char* from, const char* to, LangConvHandle* phConv) noexcept {
    *phConv = nullptr;
    zu::MallocPtr<OSLangConverter> rec(
        static_cast<OSLangConverter*>(::malloc(sizeof(OSLangConverter))));
    if (!rec) return OS_ERR_NO_MEMORY;
    OSLangConverter* c = rec.get();
    c->cd = no_descriptor();
    c->fast = Fast::None;
    c->tables = nullptr;
    c->tables_size = 0;
    if (from == nullptr && to == nullptr) {
        *phConv = rec.release();
        return OS_OK;
    }
    from = from != nullptr ? from : kUtf8;
    to = to != nullptr ? to : kUtf8;
    Converter cd(to, from);
    if (!cd.valid()) return OS_ERR_CONV_OPEN;
    const Fast fast = fast_kind(from, to);
    if (fast != Fast::None) {
        const size_t size = fast == Fast::Decode ? sizeof(DecodeTables) : sizeof(EncodeTables);
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return OS_ERR_NO_MEMORY;
        c->fast = fast;
        c->tables = p;
        c->tables_size = size;
    }
    c->cd = cd.release();
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
    const auto room = static_cast<size_t>(outlen);
    const auto* in = reinterpret_cast<const unsigned char*>(inbuf);
    size_t produced = 0;
    bool done = false;
    if (hConv->fast == Fast::Decode) {
        done = decode_fast(hConv->cd, *static_cast<DecodeTables*>(hConv->tables), in, in_len,
                           outbuf, room, &produced);
    } else if (hConv->fast == Fast::Encode) {
        done = encode_fast(hConv->cd, *static_cast<EncodeTables*>(hConv->tables), in, in_len,
                           outbuf, room, &produced);
    }
    if (done) {
        outbuf[produced] = '\0';
        return OS_OK;
    }
    // Back to the initial shift state, as a fresh descriptor would be: the previous
    // conversion may have stopped in the middle of a shift sequence or failed.
    (void)::iconv(hConv->cd, nullptr, nullptr, nullptr, nullptr);
    return run_iconv(hConv->cd, inbuf, in_len, outbuf, room);
}

int32 os_lang_converter_close(LangConvHandle hConv) {
    if (hConv == nullptr) return OS_ERR_CONV_BAD_ARG;
    zu::MallocPtr<OSLangConverter> rec(hConv);  // freed whatever the result
    if (hConv->tables != nullptr) (void)::munmap(hConv->tables, hConv->tables_size);
    if (hConv->cd == no_descriptor()) return OS_OK;
    return zu::status_of(::iconv_close(hConv->cd));
}
