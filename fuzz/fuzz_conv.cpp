// Character-set conversion on any bytes: the first four input bytes pick the LANG
// value, the entry point, the selector and nDesLen; the rest is the text. Checks that
// the destination is terminated within nDesLen where that is promised, that nothing
// is written past it (the buffer is exactly nDesLen bytes, so ASan sees any overrun),
// that a copy that succeeds reproduces the input, and that a reusable converter gives
// code_convert's result and bytes (for code_convert the first byte cuts the text).
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "os/os.h"

namespace {

struct Lang {
    const char* value;  // null: LANG unset
    bool copy_to_utf8;  // system -> UTF-8 is a copy
    bool copy_from_utf8;
};

const Lang kLangs[] = {
    {nullptr, true, true},          {"en_US.UTF-8", true, true},     {"zh_CN.UTF-8", true, true},
    {"zh_CN.utf8", true, true},     {"zh_CN.GBK", false, false},     {"zh.gbk", false, false},
    {"zh_CN.hp15CN", false, false}, {"zh_CN.GB18030", false, false}, {"zh_CN.gb18030", true, false},
    {"zh.GB2312", false, false},    {"zh_CN.gb2312", true, true},    {"POSIX", true, true},
};

const int32 kSelectors[] = {0, 1, 2, 7};
const char* const kNames[] = {"utf8", "gbk", "GB18030", "GB2312", "no-such-set"};

bool known_result(int32 rc) {
    return rc == OS_OK || rc == OS_ERR_CONV_OPEN || rc == OS_ERR_CONV_FAILED ||
           rc == OS_ERR_CONV_BAD_ARG;
}

using SelectorFn = int32 (*)(int32, const char*, char*, int);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const Lang& lang = kLangs[data[0] % std::size(kLangs)];
    const int fn = data[1] % 6;
    const int32 selector = kSelectors[data[2] % std::size(kSelectors)];
    const int nDesLen = static_cast<int>(data[3]) - 2;  // -2 .. 253
    const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);
    const char* src = text.c_str();  // the text ends at its first NUL, as for a caller
    const size_t len = std::strlen(src);

    if (lang.value)
        ::setenv("LANG", lang.value, 1);
    else
        ::unsetenv("LANG");

    if (fn == 5) {
        // code_convert: any pair of names, outbuf of exactly outlen + 1 bytes.
        const char* from = kNames[data[2] % std::size(kNames)];
        const char* to = kNames[(data[2] / std::size(kNames)) % std::size(kNames)];
        const int outlen = nDesLen < 0 ? 0 : nDesLen;
        // Every byte of the text, NULs included, but up to three at its end: the length
        // is explicit here, and what lies beyond it must not be read.
        const size_t n = static_cast<size_t>(outlen) + 1;
        const int inlen =
            static_cast<int>(text.size() - std::min<size_t>(text.size(), data[0] % 4));
        char* out = static_cast<char*>(::malloc(n));
        std::memset(out, 'x', n);
        const int32 rc = code_convert(from, to, text.data(), inlen, out, outlen);
        if (!known_result(rc) || rc == OS_ERR_CONV_BAD_ARG) ::abort();
        if (rc == OS_OK && std::memchr(out, 0, n) == nullptr) ::abort();
        if (rc == OS_ERR_CONV_OPEN && out[0] != 'x') ::abort();
        // A reusable converter for the same names gives the same result and bytes, also
        // for a second string after the first (its tables are filled by then).
        LangConvHandle h = nullptr;
        const int32 open_rc = os_lang_converter_open(from, to, &h);
        if ((open_rc == OS_ERR_CONV_OPEN) != (rc == OS_ERR_CONV_OPEN)) ::abort();
        if (h != nullptr) {
            char* again = static_cast<char*>(::malloc(n));
            for (int round = 0; round < 2; ++round) {
                std::memset(again, 'x', n);
                if (os_lang_converter_convert(h, text.data(), inlen, again, outlen) != rc ||
                    std::memcmp(again, out, n) != 0)
                    ::abort();
            }
            ::free(again);
            if (os_lang_converter_close(h) != OS_OK) ::abort();
        }
        ::free(out);
        return 0;
    }

    // Exactly nDesLen bytes (one byte for the refused sizes, which must stay untouched).
    const size_t cap = nDesLen < 1 ? 1 : static_cast<size_t>(nDesLen);
    char* dest = static_cast<char*>(::malloc(cap));
    std::memset(dest, 'x', cap);
    int32 rc = 0;
    bool copy = false;    // the copy rule (or _zu_safe_strncpy) applies
    bool cleared = true;  // the destination is terminated even after a failure
    switch (fn) {
        case 0:
            rc = os_lang_conv_sys_to_utf8(src, dest, nDesLen);
            copy = lang.copy_to_utf8;
            break;
        case 1:
            rc = os_lang_conv_utf8_to_sys(src, dest, nDesLen);
            copy = lang.copy_from_utf8;
            break;
        case 2:
        case 3: {
            const bool to_utf8 = fn == 2;
            auto f = reinterpret_cast<SelectorFn>(to_utf8 ? &os_lang_conv_given_to_unicode
                                                          : &os_lang_conv_unicode_to_given);
            rc = f(selector, src, dest, nDesLen);
            copy = selector == 2 ||
                   (selector != 1 && (to_utf8 ? lang.copy_to_utf8 : lang.copy_from_utf8));
            cleared = selector != 1;
            break;
        }
        case 4:
            if (nDesLen < 1) break;  // unchecked precondition of the raw copy
            rc = _zu_safe_strncpy(src, dest, nDesLen);
            copy = true;
            break;
    }
    if (!known_result(rc)) ::abort();
    if (nDesLen < 1) {
        if ((fn != 4 && rc != OS_ERR_CONV_BAD_ARG) || dest[0] != 'x') ::abort();
        ::free(dest);
        return 0;
    }
    if ((rc == OS_OK || cleared) && std::memchr(dest, 0, cap) == nullptr) ::abort();
    if (rc == OS_OK && copy && std::strcmp(dest, src) != 0) ::abort();
    if (copy && rc != OS_OK && (rc != OS_ERR_CONV_BAD_ARG || len < cap || dest[0] != 0)) ::abort();
    if (len == 0 && cleared && (rc != OS_OK || dest[0] != 0)) ::abort();
    ::free(dest);
    return 0;
}
