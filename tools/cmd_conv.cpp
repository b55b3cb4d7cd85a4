// cmd_conv.cpp - "zuos conv --from CS --to CS": converts standard input to standard
// output with the library's conversion functions. The library converts one
// NUL-terminated string at a time, so the input is cut at newlines and NUL bytes
// (both are single bytes that no multi-byte sequence of these sets contains) and
// those bytes are passed through unchanged.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "os/os.h"
#include "zuos.h"

namespace zuos {

namespace {

constexpr const char kHelp[] =
    "usage: zuos conv --from CHARSET --to CHARSET < INPUT > OUTPUT\n"
    "\n"
    "Converts standard input to standard output with the library's conversions.\n"
    "CHARSET is one of these names, in any case:\n"
    "  sys                the system character set that LANG selects\n"
    "                     (os_lang_conv_sys_to_utf8, os_lang_conv_utf8_to_sys); UTF-8\n"
    "                     and unknown LANG values copy bytes\n"
    "  utf8, utf-8        UTF-8\n"
    "  gb18030            GB18030 whatever LANG says\n"
    "  gbk, cp936         GBK\n"
    "  gb2312, euc-cn     GB2312\n"
    "The named sets are converted by os_lang_converter_*. Conversions between two\n"
    "sets other than UTF-8 go through UTF-8.\n"
    "\n"
    "On input that is invalid, incomplete or has no equivalent in the target set, the\n"
    "text before it is written, the byte offset of the first byte that cannot be\n"
    "converted is reported, and the exit status is 1.\n";

// A character set: the system one (LANG), UTF-8, or another by its iconv name.
struct Set {
    enum Kind { kSys, kUtf8, kNamed } kind;
    const char* iconv;
};

struct SetName {
    std::string_view name;
    Set set;
};
constexpr SetName kSets[] = {
    {"sys", {Set::kSys, nullptr}},       {"utf8", {Set::kUtf8, "UTF-8"}},
    {"utf-8", {Set::kUtf8, "UTF-8"}},    {"gb18030", {Set::kNamed, "GB18030"}},
    {"gbk", {Set::kNamed, "GBK"}},       {"cp936", {Set::kNamed, "GBK"}},
    {"gb2312", {Set::kNamed, "GB2312"}}, {"euc-cn", {Set::kNamed, "GB2312"}},
};

bool find_set(const std::string& name, Set* set) {
    for (const SetName& s : kSets) {
        if (s.name.size() == name.size() &&
            std::equal(name.begin(), name.end(), s.name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            })) {
            *set = s.set;
            return true;
        }
    }
    return false;
}

// Every byte of input becomes at most 4 bytes of output in either direction (a
// 2-byte UTF-8 sequence can need a 4-byte GB18030 one), plus the terminator.
constexpr size_t kMaxSegment = (INT_MAX - 8) / 4;

class Converter {
public:
    Converter(Set from, Set to) : from_(from), to_(to) {}
    ~Converter() {
        for (LangConvHandle h : {to_utf8_, from_utf8_})
            if (h) os_lang_converter_close(h);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Opens the library converters the named sets need. OS_OK or a library code.
    int open() {
        int rc = OS_OK;
        if (from_.kind == Set::kNamed) rc = os_lang_converter_open(from_.iconv, "UTF-8", &to_utf8_);
        if (rc == OS_OK && to_.kind == Set::kNamed)
            rc = os_lang_converter_open("UTF-8", to_.iconv, &from_utf8_);
        return rc;
    }

    // Converts the NUL-terminated text (len bytes) into out. OS_OK or a library code.
    int run(const char* text, size_t len, std::string* out) {
        const char* utf8 = text;
        size_t utf8_len = len;
        if (from_.kind != Set::kUtf8) {
            int rc = step(from_, to_utf8_, /*to_utf8=*/true, text, len, &mid_);
            if (rc != OS_OK) return rc;
            utf8 = mid_.data();
            utf8_len = std::strlen(utf8);
        }
        if (to_.kind == Set::kUtf8) {
            out->assign(utf8, utf8_len);
            return OS_OK;
        }
        int rc = step(to_, from_utf8_, /*to_utf8=*/false, utf8, utf8_len, &last_);
        if (rc == OS_OK) out->assign(last_.data());
        return rc;
    }

private:
    static int step(Set set, LangConvHandle conv, bool to_utf8, const char* src, size_t len,
                    std::vector<char>* buf) {
        buf->assign(len * 4 + 8, '\0');
        int size = static_cast<int>(buf->size());
        if (set.kind == Set::kNamed)
            return os_lang_converter_convert(conv, src, static_cast<int>(len), buf->data(),
                                             size - 1);
        return to_utf8 ? os_lang_conv_sys_to_utf8(src, buf->data(), size)
                       : os_lang_conv_utf8_to_sys(src, buf->data(), size);
    }

    Set from_, to_;
    LangConvHandle to_utf8_ = nullptr, from_utf8_ = nullptr;
    std::vector<char> mid_, last_;
};

// The offset of the first byte that stops the conversion of seg (which failed as a
// whole). Prefixes that end on a character boundary before that byte convert,
// prefixes that include it do not, and boundaries are at most 4 bytes apart, so
// "some prefix of length m..m+3 converts" holds exactly up to the offset: a binary
// search on it needs O(log n) conversions instead of one per byte.
size_t first_bad_offset(Converter& conv, std::string& seg) {
    std::string scratch;
    auto prefix_converts = [&](size_t n) {
        char saved = seg[n];
        seg[n] = '\0';
        int rc = conv.run(seg.c_str(), n, &scratch);
        seg[n] = saved;
        return rc == OS_OK;
    };
    auto near_converts = [&](size_t m) {
        for (size_t n = m; n < m + 4 && n < seg.size(); ++n)
            if (prefix_converts(n)) return true;
        return false;
    };
    size_t lo = 0, hi = seg.size();  // near_converts(lo) holds, near_converts(hi) does not
    while (hi - lo > 1) {
        size_t mid = lo + (hi - lo) / 2;
        (near_converts(mid) ? lo : hi) = mid;
    }
    return lo;
}

}  // namespace

int cmd_conv(int argc, char** argv) {
    Args args = Args::parse(argc, argv, {"from", "to"}, {});
    if (!args.error.empty()) return usage_error("conv", args.error);
    if (args.help) {
        std::fputs(kHelp, stdout);
        return kOk;
    }
    if (!args.positional.empty())
        return usage_error("conv", "unexpected argument '" + args.positional[0] +
                                       "' (the input is read from standard input)");
    const std::string* from_name = args.value("from");
    const std::string* to_name = args.value("to");
    if (!from_name || !to_name) return usage_error("conv", "both --from and --to are needed");
    Set from, to;
    for (const auto& [name, set] : {std::pair{from_name, &from}, std::pair{to_name, &to}}) {
        if (!find_set(*name, set))
            return usage_error("conv", "unknown character set '" + *name +
                                           "' (use sys, utf8, gb18030, gbk or gb2312)");
    }

    Converter conv(from, to);
    if (int rc = conv.open(); rc != OS_OK)
        return failure("conv", "cannot convert from " + *from_name + " to " + *to_name + ": " +
                                   result_text(rc));
    std::string seg, out;
    unsigned long long offset = 0;  // of seg's first byte in the whole input
    int c;
    // Segment by segment, so memory follows the longest line, not the whole input.
    do {
        c = getc_unlocked(stdin);
        if (c != EOF && c != '\n' && c != '\0') {
            seg.push_back(static_cast<char>(c));
            if (seg.size() <= kMaxSegment) continue;
            return failure("conv", "a line longer than " + std::to_string(kMaxSegment) +
                                       " bytes at byte offset " + std::to_string(offset) +
                                       " is too long to convert");
        }
        if (!seg.empty()) {
            int rc = conv.run(seg.c_str(), seg.size(), &out);
            if (rc == OS_ERR_CONV_FAILED) {
                size_t bad = first_bad_offset(conv, seg);
                seg.resize(bad);
                if (conv.run(seg.c_str(), seg.size(), &out) == OS_OK)
                    std::fwrite(out.data(), 1, out.size(), stdout);
                std::fflush(stdout);
                return failure("conv", "cannot convert the input at byte offset " +
                                           std::to_string(offset + bad) + " from " + *from_name +
                                           " to " + *to_name +
                                           ": invalid or incomplete sequence, or a "
                                           "character with no equivalent");
            }
            if (rc != OS_OK) {
                const char* lang = std::getenv("LANG");
                return failure("conv", std::string("conversion not available (LANG=") +
                                           (lang ? lang : "") + "): " + result_text(rc));
            }
            std::fwrite(out.data(), 1, out.size(), stdout);
            offset += seg.size();
            seg.clear();
        }
        if (c != EOF) {
            putc_unlocked(c, stdout);
            ++offset;
        }
    } while (c != EOF);
    if (std::ferror(stdin)) return failure("conv", "cannot read standard input");
    return kOk;
}

}  // namespace zuos
