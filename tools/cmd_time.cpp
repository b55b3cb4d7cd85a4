// cmd_time.cpp - "zuos time EXPR [--base WHEN]": evaluates a time expression the way
// the library does, from now or from a given base, and shows the result as seconds
// and as local date and time (the process's TZ).
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "os/os.h"
#include "zuos.h"

namespace zuos {

namespace {

constexpr const char kHelp[] =
    "usage: zuos time EXPR [--base WHEN]\n"
    "\n"
    "Evaluates the time expression EXPR as os_relativetime_to_sec does and prints the\n"
    "result as seconds since the Epoch and as local date and time.\n"
    "\n"
    "  --base WHEN   evaluate from WHEN instead of now: seconds since the Epoch, 'now',\n"
    "                or a local date YYYY-MM-DD[ HH:MM[:SS]] (a 'T' may replace the\n"
    "                blank). EXPR is then lower-cased as the library does and given to\n"
    "                processTimeOffset.\n"
    "\n"
    "Examples of EXPR: -2days  +1.5h  t-1d  y  mon  +1mo  2023  15-jan-24 08:00\n"
    "                  jan 20  12/25  *-1h\n"
    "An EXPR that begins with '-' needs no quoting; '--' ends the options.\n"
    "Exit status 1 with the library's result code when EXPR is not accepted.\n";

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Seconds ("1710498600", "-5"), "now", or a local date and time. False when WHEN is
// none of these.
bool parse_base(const std::string& when, time_t* base) {
    if (when == "now") {
        *base = time(nullptr);
        return true;
    }
    std::string_view digits = when;
    if (!digits.empty() && digits[0] == '-') digits.remove_prefix(1);
    if (all_digits(digits)) {
        long long v = 0;
        auto [end, ec] = std::from_chars(when.data(), when.data() + when.size(), v);
        if (ec != std::errc() || end != when.data() + when.size()) return false;
        *base = static_cast<time_t>(v);
        return true;
    }
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    std::string text = when;
    if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
    // %n records how far the scan got, so trailing text is caught.
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) == 3 &&
        static_cast<size_t>(used) == text.size()) {
    } else if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d%n", &y, &mo, &d, &h, &mi, &used) ==
                   5 &&
               static_cast<size_t>(used) == text.size()) {
    } else if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s,
                           &used) == 6 &&
               static_cast<size_t>(used) == text.size()) {
    } else {
        return false;
    }
    if (y < 1900 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || h < 0 ||
        mi < 0 || s < 0)
        return false;
    *base = os_time_local_to_utc(y, mo, d, h, mi, s);
    return true;
}

std::string local_text(time_t t) {
    struct tm tm {};
    char buf[64];
    if (!localtime_r(&t, &tm) ||
        std::strftime(buf, sizeof buf, "%a %Y-%m-%d %H:%M:%S %Z", &tm) == 0)
        return "(not a local date)";
    return buf;
}

}  // namespace

int cmd_time(int argc, char** argv) {
    Args args = Args::parse(argc, argv, {"base"}, {});
    if (!args.error.empty()) return usage_error("time", args.error);
    if (args.help) {
        std::fputs(kHelp, stdout);
        return kOk;
    }
    if (args.positional.empty()) return usage_error("time", "missing time expression");
    if (args.positional.size() > 1)
        return usage_error("time", "unexpected argument '" + args.positional[1] +
                                       "' (quote an expression that holds blanks)");
    const std::string& expr = args.positional[0];

    time_t sec = 0;
    int32 rc;
    if (const std::string* when = args.value("base")) {
        if (!parse_base(*when, &sec))
            return usage_error("time", "--base '" + *when +
                                           "' is neither seconds nor a date "
                                           "YYYY-MM-DD[ HH:MM[:SS]]");
        // The library's entry point always starts from now; from another base the
        // parser is called directly, after the same ASCII-only lower-casing.
        std::string lowered = expr;
        for (char& c : lowered)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        rc = processTimeOffset(lowered.c_str(), &sec);
    } else {
        rc = os_relativetime_to_sec(expr.c_str(), &sec);
    }
    if (rc != OS_OK) return failure("time", "cannot evaluate '" + expr + "': " + result_text(rc));
    std::printf("%lld  %s\n", static_cast<long long>(sec), local_text(sec).c_str());
    return kOk;
}

}  // namespace zuos
