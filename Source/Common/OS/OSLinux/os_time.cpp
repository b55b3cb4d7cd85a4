// os_time.cpp - the wall clock, calendar conversions in the local time zone, and the
// parser of time expressions ("t-1d", "mon", "15-jan-24 08:00", ...).
// Nothing is kept between calls: every conversion breaks time down into a record of
// its own (localtime_r), so all functions may be called from any thread at once.
// Results follow the process's time zone (TZ) at the time of the call. Nothing made
// here outlives the call that made it.
#include <locale.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <string_view>
#include <type_traits>

#include "os_internal.h"

namespace {

// Arithmetic that wraps instead of overflowing, for the few places where the
// caller's values go into a subtraction unchecked.
template <class T>
constexpr T wrap_sub(T a, T b) noexcept {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(a) - static_cast<U>(b));
}
template <class T>
constexpr T wrap_add(T a, T b) noexcept {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
}

// ---------------------------------------------------------------------------
// Calendar helpers
// ---------------------------------------------------------------------------

// Whole hours of the zone's standard offset: local midnight of 2 January 1970,
// read as standard time, against its UTC value. Truncated toward zero, so +5:30
// gives 5 and -3:30 gives -3.
int32 standard_offset_hours() noexcept {
    struct tm t {};
    t.tm_year = 70;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_isdst = 0;
    time_t sec = ::mktime(&t);
    return static_cast<int32>((86400 - sec) / 3600);
}

// Broken-down local time of an int32 count; false when localtime_r cannot.
bool local_fields(int32 nSec, struct tm* out) noexcept {
    time_t t = nSec;
    return ::localtime_r(&t, out) != nullptr;
}

// A record from calendar fields the caller gave; wrapping keeps the extreme int
// values defined (mktime then reports them as out of range).
struct tm fields_to_tm(int year, int month, int day, int hour, int minute, int second,
                       int isdst) noexcept {
    struct tm t {};
    t.tm_year = wrap_sub(year, 1900);
    t.tm_mon = wrap_sub(month, 1);
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = isdst;
    return t;
}

// The shared shape of the three single-answer queries: null result first, then a
// negative count, then the break-down.
template <class Answer>
int32 query_local(int32 nSec, int32* pOut, Answer answer) noexcept {
    if (pOut == nullptr) return OS_ERR_TIME_NULL_ARG;
    if (nSec < 0) return OS_ERR_TIME_NEGATIVE_SEC;
    struct tm t {};
    if (!local_fields(nSec, &t)) return OS_ERR_TIME_LOCALTIME;
    *pOut = answer(t);
    return OS_OK;
}

// ---------------------------------------------------------------------------
// Time-expression parser
// ---------------------------------------------------------------------------

constexpr std::array<std::string_view, 7> kDaysOfWeek{"sun", "mon", "tue", "wed",
                                                      "thu", "fri", "sat"};
constexpr std::array<std::string_view, 12> kMonths{"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr int kDaysInMonth[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                     {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

enum class Step { Second, Minute, Hour, Day, Week, Month, Year };

struct Unit {
    std::string_view name;
    Step step;
};

constexpr std::array<Unit, 21> kUnits{{
    {"s", Step::Second}, {"second", Step::Second}, {"seconds", Step::Second},
    {"m", Step::Minute}, {"minute", Step::Minute}, {"minutes", Step::Minute},
    {"h", Step::Hour},   {"hour", Step::Hour},     {"hours", Step::Hour},
    {"d", Step::Day},    {"day", Step::Day},       {"days", Step::Day},
    {"w", Step::Week},   {"week", Step::Week},     {"weeks", Step::Week},
    {"mo", Step::Month}, {"month", Step::Month},   {"months", Step::Month},
    {"y", Step::Year},   {"year", Step::Year},     {"years", Step::Year},
}};

constexpr bool unit_names_unique() {
    for (size_t i = 0; i < kUnits.size(); ++i)
        for (size_t j = i + 1; j < kUnits.size(); ++j)
            if (kUnits[i].name == kUnits[j].name) return false;
    return true;
}
static_assert(unit_names_unique(), "unit words must not overlap");

// Longest accepted anchor ("00000015" style day numbers included) and unit word.
constexpr size_t kMaxAnchorLen = 9;
constexpr int kUnitBufLen = 9;
// Month and year offsets step one calendar unit at a time; larger counts are
// rejected so that the loop stays cheap (10000 months is over 800 years).
constexpr float kMaxCalendarSteps = 10000.0f;

constexpr bool is_leap(int64 year) noexcept {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// White space as scanf sees it in the C locale.
constexpr bool is_c_space(char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr bool all_digits(std::string_view s) noexcept {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Index of word in a name table, or -1.
template <size_t N>
int find_name(const std::array<std::string_view, N>& table, std::string_view word) noexcept {
    for (size_t i = 0; i < N; ++i)
        if (table[i] == word) return static_cast<int>(i);
    return -1;
}

const Unit* find_unit(std::string_view word) noexcept {
    for (const Unit& u : kUnits)
        if (u.name == word) return &u;
    return nullptr;
}

// The scans below read numbers and blanks the way the C locale does ('.' as the
// decimal point), whatever locale the host program has set for this thread.
class CLocaleScope {
public:
    CLocaleScope() noexcept {
        c_ = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (c_ != static_cast<locale_t>(0)) old_ = ::uselocale(c_);
    }
    ~CLocaleScope() {
        if (old_ != static_cast<locale_t>(0)) ::uselocale(old_);
        if (c_ != static_cast<locale_t>(0)) ::freelocale(c_);
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t c_ = static_cast<locale_t>(0);
    locale_t old_ = static_cast<locale_t>(0);
};

// A float product to whole seconds, truncated toward zero; false when it is not a
// number or leaves the 64-bit range (checked first: the conversion is undefined then).
bool float_to_seconds(float v, int64* out) noexcept {
    if (!(v >= -0x1p63f && v < 0x1p63f)) return false;
    *out = static_cast<int64>(v);
    return true;
}

// The parser proper. *pnSec holds the base time on entry; see processTimeOffset in
// os.h for which failures leave it and which have replaced it.
class TimeParser {
public:
    // The scans need the terminated text; the rest works on the view of it.
    TimeParser(const char* text, time_t* pnSec) noexcept : s_(text), cstr_(text), pnSec_(pnSec) {}

    int32 run() noexcept {
        // The base record; every later refill would read the same *pnSec, so the
        // refills below copy this one.
        if (::localtime_r(pnSec_, &base_) == nullptr) return OS_ERR_TIME_PARSE;
        rec_ = base_;
        CLocaleScope c_locale;

        // A form whose trigger holds is final, whatever its outcome.
        if (form_a_triggered()) return form_a();
        if (int32 r = form_b(); r != kNotThisForm) return r;
        if (int32 r = form_c(); r != kNotThisForm) return r;
        return form_d();
    }

private:
    static constexpr size_t npos = std::string_view::npos;
    // Forms B and C trigger only when their scans succeed; this says they did not.
    static constexpr int32 kNotThisForm = -1;

    void refill() noexcept { rec_ = base_; }

    void midnight() noexcept { rec_.tm_hour = rec_.tm_min = rec_.tm_sec = 0; }

    // Day, month name, year and optional clock time: "15-jan-24 08:00".
    bool form_a_triggered() const noexcept {
        if (s_.size() < 7) return false;
        size_t h1 = s_.find('-');
        if (h1 == npos || h1 + 3 > s_.size()) return false;
        return s_.find('-', h1 + 3) != npos;
    }

    int32 form_a() noexcept {
        char month[4] = {};
        int year = 0;
        // The fields land in the record directly; a clock time not given is cleared
        // below, the base time's month stays unless a month name matches.
        int n = ::sscanf(cstr_, "%d-%3s-%d %d:%d:%d", &rec_.tm_mday, month, &year, &rec_.tm_hour,
                         &rec_.tm_min, &rec_.tm_sec);
        if (n != 6 && n != 3 && n != 5) return OS_ERR_TIME_PARSE;
        int m = find_name(kMonths, month);
        if (m >= 0) rec_.tm_mon = m;
        // Two-digit years are 2000..2099; anything above 99 is a full year.
        rec_.tm_year = year > 99 ? year - 1900 : year + 100;
        if (n == 3) midnight();
        if (n == 5) rec_.tm_sec = 0;
        // Stored even without a month name: the caller sees the attempt.
        *pnSec_ = ::mktime(&rec_);
        return m >= 0 ? OS_OK : OS_ERR_TIME_PARSE;
    }

    // Month name and day: "jan 20".
    int32 form_b() noexcept {
        if (s_.find(' ') == npos) return kNotThisForm;
        int start = 0, end = 0, day = 0;
        // The word is measured rather than copied, so a long word is simply one
        // that matches no month name.
        if (::sscanf(cstr_, " %n%*s%n %d", &start, &end, &day) != 1) return kNotThisForm;
        if (day < 1 || day > 31) return OS_ERR_TIME_PARSE;
        // Built by hand: substr would bring in libstdc++'s range check.
        const std::string_view word(s_.data() + start, static_cast<size_t>(end - start));
        int m = find_name(kMonths, word);
        if (m < 0) return OS_ERR_TIME_PARSE;
        refill();
        rec_.tm_mon = m;
        rec_.tm_mday = day;
        midnight();
        *pnSec_ = ::mktime(&rec_);
        return OS_OK;
    }

    // The character after what "%d" would read at the start of the text, or '\0'
    // when "%d" would read nothing.
    char char_after_leading_int() const noexcept {
        size_t i = 0;
        while (i < s_.size() && is_c_space(s_[i])) ++i;
        if (i < s_.size() && (s_[i] == '+' || s_[i] == '-')) ++i;
        const size_t digits = i;
        while (i < s_.size() && s_[i] >= '0' && s_[i] <= '9') ++i;
        return (i == digits || i == s_.size()) ? '\0' : s_[i];
    }

    // Numeric month and day: "12/25", "5-1"; text after the day is ignored.
    int32 form_c() noexcept {
        if (s_.find_first_of("/-") == npos) return kNotThisForm;
        // Neither scan can succeed unless an integer is followed by '/' or '-':
        // checking that first spares most offsets ("t-1d", "-2days") two scans.
        const char after = char_after_leading_int();
        if (after != '/' && after != '-') return kNotThisForm;
        int month = 0, day = 0;
        if (!(after == '/' && ::sscanf(cstr_, "%d/%d", &month, &day) == 2) &&
            ::sscanf(cstr_, "%d-%d", &month, &day) != 2)
            return kNotThisForm;
        if (month < 1 || month > 12 || day < 1 || day > 31) return OS_ERR_TIME_PARSE;
        rec_.tm_mon = month - 1;
        rec_.tm_mday = day;
        midnight();
        *pnSec_ = ::mktime(&rec_);
        return OS_OK;
    }

    // Optional anchor, then an optional signed offset with a unit.
    int32 form_d() noexcept {
        size_t sep = s_.find_first_of("+-/");
        const std::string_view anchor(s_.data(), sep == npos ? s_.size() : sep);
        if (!anchor.empty()) {
            int32 r = apply_anchor(anchor);
            if (r != OS_OK) return r;
        }
        if (sep == npos) return OS_OK;
        return apply_offset(cstr_ + sep);
    }

    int32 apply_anchor(std::string_view a) noexcept {
        if (a.size() > kMaxAnchorLen) return OS_ERR_TIME_PARSE;
        if (a == "*") {
            // Now; the record keeps the base time's fields for month and year steps.
            *pnSec_ = ::time(nullptr);
            return OS_OK;
        }
        if (a == "t" || a == "y") {
            refill();
            midnight();
            *pnSec_ = ::mktime(&rec_);
            if (a == "y") *pnSec_ -= 86400;
            return OS_OK;
        }
        if (a.size() == 3) {
            if (int wd = find_name(kDaysOfWeek, a); wd >= 0) {
                refill();
                int back = (rec_.tm_wday - wd + 7) % 7;
                if (back == 0) back = 7;  // the same weekday means a week ago
                midnight();
                *pnSec_ = ::mktime(&rec_) - static_cast<time_t>(back) * 86400;
                return OS_OK;
            }
            if (int m = find_name(kMonths, a); m >= 0) {
                refill();
                rec_.tm_mon = m;
                midnight();
                *pnSec_ = ::mktime(&rec_);
                return OS_OK;
            }
            return OS_ERR_TIME_PARSE;
        }
        if (!all_digits(a)) return OS_ERR_TIME_PARSE;
        int number = 0;  // at most 9 digits: fits
        for (char c : a) number = number * 10 + (c - '0');
        if (a.size() == 4) {
            rec_.tm_year = number - 1900;
        } else {
            if (number < 1 || number > 31) return OS_ERR_TIME_PARSE;
            rec_.tm_mday = number;
        }
        midnight();
        *pnSec_ = ::mktime(&rec_);
        return OS_OK;
    }

    int32 apply_offset(const char* text) noexcept {
        float value = 0.0f;
        char word[kUnitBufLen + 1] = {};
        // A number immediately followed by letters; what follows them is ignored.
        if (::sscanf(text, "%f%9[a-zA-Z]", &value, word) != 2) return OS_ERR_TIME_PARSE;
        for (char& c : word) c = ascii_lower(c);
        const Unit* unit = find_unit(word);
        if (unit == nullptr || !__builtin_isfinite(value)) return OS_ERR_TIME_PARSE;

        int64 delta = 0;
        switch (unit->step) {
            case Step::Second:
                if (!float_to_seconds(value, &delta)) return OS_ERR_TIME_PARSE;
                break;
            case Step::Minute:
                if (!float_to_seconds(60.0f * value, &delta)) return OS_ERR_TIME_PARSE;
                break;
            case Step::Hour:
                if (!float_to_seconds(3600.0f * value, &delta)) return OS_ERR_TIME_PARSE;
                break;
            case Step::Day:
            case Step::Week:
            case Step::Month:
            case Step::Year: {
                float whole = 0.0f;
                if (::modff(value, &whole) != 0.0f) return OS_ERR_TIME_PARSE;
                if (unit->step == Step::Month) return step_months(value);
                if (unit->step == Step::Year) return step_years(value);
                // Each product is rounded to float on its own, weeks in two steps.
                float days = 86400.0f * value;
                if (unit->step == Step::Week) days = days * 7.0f;
                if (!float_to_seconds(days, &delta)) return OS_ERR_TIME_PARSE;
                break;
            }
        }
        return add_to_result(delta);
    }

    int32 add_to_result(int64 delta) noexcept {
        time_t sum;
        if (__builtin_add_overflow(*pnSec_, delta, &sum)) return OS_ERR_TIME_PARSE;
        *pnSec_ = sum;
        return OS_OK;
    }

    // Each step moves by the length of the month the record stands at before the
    // step, in whole days; the record's day and clock play no part.
    int32 step_months(float value) noexcept {
        if (__builtin_fabsf(value) > kMaxCalendarSteps) return OS_ERR_TIME_PARSE;
        const int steps = static_cast<int>(__builtin_fabsf(value));
        const bool forward = value > 0.0f;
        int64 year = int64{rec_.tm_year} + 1900;  // 64-bit: tm_year may be near INT_MAX
        int mon = rec_.tm_mon;
        if (mon < 0 || mon > 11) return OS_ERR_TIME_PARSE;  // a record mktime failed on
        int64 delta = 0;
        for (int i = 0; i < steps; ++i) {
            const int64 days = kDaysInMonth[is_leap(year) ? 1 : 0][mon];
            if (forward) {
                delta += days * 86400;
                if (++mon > 11) {
                    mon = 0;
                    ++year;
                }
            } else {
                delta -= days * 86400;
                if (--mon < 0) {
                    mon = 11;
                    --year;
                }
            }
        }
        return add_to_result(delta);
    }

    // Each step moves by 366 or 365 days, after the year the record stands at.
    int32 step_years(float value) noexcept {
        if (__builtin_fabsf(value) > kMaxCalendarSteps) return OS_ERR_TIME_PARSE;
        const int steps = static_cast<int>(__builtin_fabsf(value));
        const bool forward = value > 0.0f;
        int64 year = int64{rec_.tm_year} + 1900;
        int64 delta = 0;
        for (int i = 0; i < steps; ++i) {
            const int64 length = is_leap(year) ? 31622400 : 31536000;
            delta += forward ? length : -length;
            year += forward ? 1 : -1;
        }
        return add_to_result(delta);
    }

    std::string_view s_;
    const char* cstr_;
    time_t* pnSec_;
    struct tm base_ {};
    struct tm rec_ {};
};

int32 parse_time_expression(const char* szTimeStr, time_t* pnSec) noexcept {
    return TimeParser(szTimeStr, pnSec).run();
}

}  // namespace

// ---------------------------------------------------------------------------
// Clock, intervals and sleep
// ---------------------------------------------------------------------------

void os_gettimeofday_high_res(struct timeval* pTimeValue) {
    struct timeval time {};
    ::gettimeofday(&time, nullptr);
    pTimeValue->tv_sec = time.tv_sec;
    pTimeValue->tv_usec = time.tv_usec;
}

void os_gettimeofday(struct timeval* ptvCurrent) {
    ::gettimeofday(ptvCurrent, nullptr);
}

void os_timevalue_sub(struct timeval* ptvResult, struct timeval* ptvEnd, struct timeval* ptvStart) {
    // Both inputs are read before the result is written: it may alias either.
    time_t sec = wrap_sub(ptvEnd->tv_sec, ptvStart->tv_sec);
    suseconds_t usec = wrap_sub(ptvEnd->tv_usec, ptvStart->tv_usec);
    if (usec < 0) {
        usec = wrap_add<suseconds_t>(usec, 1000000);
        sec = wrap_sub<time_t>(sec, 1);
    }
    ptvResult->tv_sec = sec;
    ptvResult->tv_usec = usec;
}

void os_sleep(long int msec) {
    // 32-bit unsigned on purpose: a count above 4294967 ms wraps round.
    ::usleep(static_cast<useconds_t>(static_cast<uint32>(msec) * 1000u));
}

void os_get_curr_time_sec_and_msec(uint32* pnSec, uint16* pnMSec) {
    if (pnSec == nullptr || pnMSec == nullptr) return;
    struct timeval tv {};
    os_gettimeofday(&tv);
    *pnSec = static_cast<uint32>(tv.tv_sec);
    *pnMSec = static_cast<uint16>(tv.tv_usec / 1000);
}

int64 os_get_curr_time_msec(void) {
    struct timeval tv {};
    os_gettimeofday(&tv);
    return static_cast<int64>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// ---------------------------------------------------------------------------
// Calendar conversions
// ---------------------------------------------------------------------------

int32 get_local_timezone(void) {
    return standard_offset_hours();
}

int32 get_curr_time(int32* pnCurrTime) {
    const int32 zone = standard_offset_hours();
    const time_t now = ::time(nullptr);
    struct tm t {};
    if (::localtime_r(&now, &t) == nullptr) return -1;
    // Read the wall clock as standard time; the offset is added back below.
    t.tm_isdst = 0;
    if (t.tm_year == 70 && t.tm_mon == 0 && t.tm_mday == 1 && t.tm_hour < zone) {
        // Before the zone's first midnight the local clock is moved forward by the
        // offset instead, so that mktime stays on its side of the Epoch.
        if (t.tm_hour + zone > 23) {
            t.tm_mday = 2;
            t.tm_hour = t.tm_hour + zone - 24;
        } else {
            t.tm_hour += zone;
        }
        *pnCurrTime = static_cast<int32>(::mktime(&t));
        return *pnCurrTime == -1 ? -1 : 0;
    }
    const int32 sec = static_cast<int32>(::mktime(&t));
    *pnCurrTime = sec;
    if (sec == -1) return -1;
    *pnCurrTime = wrap_add(sec, static_cast<int32>(static_cast<uint32>(zone) * 3600u));
    return 0;
}

int32 convert_sec_to_rdtime(int32 nSec, ZUTimeStamp* pRDTime) {
    if (nSec < 0) return OS_ERR_TIME_NEGATIVE_SEC;
    if (pRDTime == nullptr) return OS_ERR_TIME_NULL_ARG;
    struct tm t {};
    if (!local_fields(nSec, &t)) return OS_ERR_TIME_LOCALTIME;
    pRDTime->year = t.tm_year + 1900;
    pRDTime->month = t.tm_mon + 1;
    pRDTime->day = t.tm_mday;
    pRDTime->hour = t.tm_hour;
    pRDTime->minute = t.tm_min;
    pRDTime->second = t.tm_sec;
    pRDTime->timezone = standard_offset_hours();
    return OS_OK;
}

int32 convert_rdtime_to_sec(const ZUTimeStamp* pTime, int32* pnSec) {
    if (pTime == nullptr || pnSec == nullptr) return OS_ERR_TIME_NULL_ARG;
    // Standard time on purpose: fields inside daylight saving come out an hour late.
    struct tm t = fields_to_tm(pTime->year, pTime->month, pTime->day, pTime->hour, pTime->minute,
                               pTime->second, 0);
    const int32 sec = static_cast<int32>(::mktime(&t));
    *pnSec = sec;
    return (sec < 0 || sec == 0x7FFFFFFF) ? OS_ERR_TIME_MKTIME : OS_OK;
}

time_t os_time_local_to_utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = fields_to_tm(year, month, day, hour, minute, second, -1);
    return ::mktime(&t);
}

int32 os_get_weekday(int32 nSec, int32* pWeekDay) {
    return query_local(nSec, pWeekDay,
                       [](const struct tm& t) { return t.tm_wday == 0 ? 7 : t.tm_wday; });
}

int32 os_get_yearday(int32 nSec, int32* pYearDay) {
    return query_local(nSec, pYearDay, [](const struct tm& t) { return t.tm_yday + 1; });
}

int32 os_get_daysec(int32 nSec, int32* pDaySec) {
    return query_local(nSec, pDaySec, [](const struct tm& t) {
        return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
    });
}

// ---------------------------------------------------------------------------
// Time expressions
// ---------------------------------------------------------------------------

int32 os_relativetime_to_sec(const char* timestampStr, time_t* pnSec) {
    if (timestampStr == nullptr || pnSec == nullptr) return OS_ERR_INVALID_ARG;
    zu::MallocPtr<char> copy(::strdup(timestampStr));
    if (!copy) return OS_ERR_NO_MEMORY;
    // ASCII letters only: bytes of multibyte text stay as they are.
    for (char* p = copy.get(); *p != '\0'; ++p) *p = ascii_lower(*p);
    *pnSec = ::time(nullptr);
    return parse_time_expression(copy.get(), pnSec);
}

int32 processTimeOffset(const char* szTimeStr, time_t* pnSec) {
    return parse_time_expression(szTimeStr, pnSec);
}
