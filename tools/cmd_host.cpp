// cmd_host.cpp - "zuos host [--json]": what the library sees on this host. Every
// library fact comes from a library call, so it is what the database itself would
// get. Beside the library's time values the tool shows the true local time and
// offset from the C library, so that an operator sees where the whole-hour values
// part from the clock. A fact the library cannot establish is shown with its result
// code, not as a failure.
#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "os/os.h"
#include "zuos.h"

namespace zuos {

namespace {

constexpr const char kHelp[] =
    "usage: zuos host [--json]\n"
    "\n"
    "Prints what libzuOS sees on this host:\n"
    "  local time      the local wall-clock time of the process's zone (TZ), its\n"
    "                  abbreviation, and whether daylight saving time is in effect\n"
    "  zone offset     the zone's real offset from UTC now, beside the library's:\n"
    "                  standard time in whole hours (get_local_timezone)\n"
    "  local seconds   the library's local time counted as if it were UTC\n"
    "                  (get_curr_time), and how far it is from the local time\n"
    "  LANG, charset   the system character set that LANG selects for the\n"
    "                  os_lang_conv_* functions, probed in both directions\n"
    "  mac address     os_network_get_local_mac_addr, with the name and state of\n"
    "                  the interface that has that address\n"
    "  ipv4 addresses  os_network_get_localip, in the order the library reports them\n"
    "  executable      os_dir_get_curr_process_path\n"
    "  io engine       what runs the batched and queued I/O (os_aio_engine of a\n"
    "                  new queue): io_uring, or plain system calls and why\n"
    "A fact the library cannot establish is shown with its result code; the exit\n"
    "status is still 0.\n"
    "\n"
    "  --json   the same facts as one JSON object\n";

void line(const char* label, const std::string& value) {
    std::printf("%-16s%s\n", label, value.c_str());
}

// --- time -------------------------------------------------------------------

struct Clock {
    time_t now = 0;
    bool local_ok = false;
    struct tm local {};
    int32 lib_hours = 0;
    bool lib_ok = false;
    int32 lib_seconds = 0;
    // Minutes from the local time to the library's local seconds; both clocks are
    // read within a second, so a whole minute apart is a real difference.
    long lib_minutes_off() const {
        const double off = double(lib_seconds) - double(now) - double(local.tm_gmtoff);
        return std::lround(off / 60.0);
    }
};

Clock read_clock() {
    Clock c;
    c.lib_hours = get_local_timezone();
    c.now = time(nullptr);
    c.lib_ok = get_curr_time(&c.lib_seconds) == 0;
    c.local_ok = localtime_r(&c.now, &c.local) != nullptr;
    return c;
}

std::string format_tm(const struct tm& tm, const char* format) {
    char buf[64];
    return std::strftime(buf, sizeof buf, format, &tm) ? buf : "?";
}

// "UTC+05:30", "UTC-03:30", "UTC+00:00"; seconds only when the zone has them.
std::string utc_offset(long seconds) {
    const long abs = std::labs(seconds);
    char buf[32];
    if (abs % 60 != 0)
        std::snprintf(buf, sizeof buf, "UTC%c%02ld:%02ld:%02ld", seconds < 0 ? '-' : '+',
                      abs / 3600, abs / 60 % 60, abs % 60);
    else
        std::snprintf(buf, sizeof buf, "UTC%c%02ld:%02ld", seconds < 0 ? '-' : '+', abs / 3600,
                      abs / 60 % 60);
    return buf;
}

const char* season(const struct tm& tm) {
    return tm.tm_isdst > 0 ? "daylight saving time" : "standard time";
}

std::string library_seconds_text(const Clock& c) {
    if (!c.lib_ok) return "unavailable (get_curr_time failed)";
    std::string text = std::to_string(c.lib_seconds) + " (library; ";
    const long off = c.lib_minutes_off();
    if (!c.local_ok || off == 0) return text + "the local time read as UTC)";
    // The value read as UTC is the library's idea of the wall clock.
    time_t t = c.lib_seconds;
    struct tm tm {};
    gmtime_r(&t, &tm);
    return text + std::to_string(std::labs(off)) + " min " + (off < 0 ? "behind" : "ahead of") +
           " the local time: it reads " + format_tm(tm, "%H:%M:%S") + ")";
}

// --- character set --------------------------------------------------------

// U+4E2D in UTF-8, and in every GB set (GBK, GB18030, GB2312).
constexpr const char kZhongUtf8[] = "\xE4\xB8\xAD";
constexpr const char kZhongGb[] = "\xD6\xD0";

// What os_lang_conv_utf8_to_sys does under the current LANG, found by converting
// characters that tell the sets apart: U+1F600 exists only in GB18030, U+5011 is in
// GBK but not in GB2312. Asking the library keeps the tool in step with its table.
std::string charset_from_utf8() {
    char out[16];
    int rc = os_lang_conv_utf8_to_sys(kZhongUtf8, out, sizeof out);
    if (rc != OS_OK) return "unusable: " + result_text(rc);
    if (std::strcmp(out, kZhongUtf8) == 0) return "UTF-8 (text is copied unchanged)";
    if (std::strcmp(out, kZhongGb) != 0) return "unknown";
    if (os_lang_conv_utf8_to_sys("\xF0\x9F\x98\x80", out, sizeof out) == OS_OK) return "GB18030";
    if (os_lang_conv_utf8_to_sys("\xE5\x80\x91", out, sizeof out) == OS_OK) return "GBK";
    return "GB2312";
}

// Whether os_lang_conv_sys_to_utf8 converts or copies under the current LANG.
std::string charset_to_utf8() {
    char out[16];
    int rc = os_lang_conv_sys_to_utf8(kZhongGb, out, sizeof out);
    if (rc != OS_OK) return "unusable: " + result_text(rc);
    if (std::strcmp(out, kZhongUtf8) == 0) return "converted from a GB set";
    return "UTF-8 (text is copied unchanged)";
}

// --- network --------------------------------------------------------------

struct Interface {
    std::string name, state;
};

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// The interfaces whose hardware address is mac ("00-1A-2B-3C-4D-5E"), by name, with
// their operational state as the kernel words it (up, down, lowerlayerdown, ...).
// The library does not say which one it read; several may share an address.
std::vector<Interface> interfaces_with(const std::string& mac) {
    std::vector<Interface> found;
    DIR* dir = opendir("/sys/class/net");
    if (!dir) return found;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = std::string("/sys/class/net/") + e->d_name;
        std::string addr = first_line(base + "/address");
        for (char& c : addr) c = c == ':' ? '-' : static_cast<char>(std::toupper(c));
        if (addr == mac) found.push_back({e->d_name, first_line(base + "/operstate")});
    }
    closedir(dir);
    std::sort(found.begin(), found.end(),
              [](const Interface& a, const Interface& b) { return a.name < b.name; });
    return found;
}

struct Addresses {
    int rc = OS_OK;
    std::vector<std::string> dotted;
};

Addresses ipv4_addresses() {
    Addresses a;
    uint32* ips = nullptr;
    int32 count = 0;
    a.rc = os_network_get_localip(&ips, &count);
    if (a.rc != OS_OK) return a;
    for (int32 i = 0; i < count; ++i) {
        char dotted[16] = {0};
        if (os_network_int2ip(ips[i], dotted) == OS_OK) a.dotted.emplace_back(dotted);
    }
    os_network_free_localip(ips);
    return a;
}

// --- the report -------------------------------------------------------------

struct Host {
    Clock clock;
    const char* lang = nullptr;
    std::string from_utf8, to_utf8;
    int mac_rc = OS_OK;
    std::string mac;
    std::vector<Interface> mac_ifs;
    Addresses ips;
    bool exe_ok = false;
    std::string exe;
    int aio_rc = OS_OK;
    bool uring = false;
};

// The engine a queue opened without flags gets here.
void read_io_engine(Host& h) {
    AioHandle q = nullptr;
    h.aio_rc = os_aio_open(1, 0, &q);
    if (h.aio_rc != OS_OK) return;
    h.uring = os_aio_engine(q) == 1;
    os_aio_close(q);
}

Host read_host() {
    Host h;
    h.clock = read_clock();
    h.lang = std::getenv("LANG");
    h.from_utf8 = charset_from_utf8();
    h.to_utf8 = charset_to_utf8();
    char mac[18] = {0};
    h.mac_rc = os_network_get_local_mac_addr(mac);
    if (h.mac_rc == OS_OK) {
        h.mac = mac;
        h.mac_ifs = interfaces_with(h.mac);
    }
    h.ips = ipv4_addresses();
    char path[4096];
    int32 n = os_dir_get_curr_process_path(path, sizeof path);
    h.exe_ok = n >= 0;
    if (h.exe_ok) h.exe.assign(path, static_cast<size_t>(n));
    read_io_engine(h);
    return h;
}

void print_text(const Host& h) {
    const Clock& c = h.clock;
    char lib_hours[48];
    std::snprintf(lib_hours, sizeof lib_hours, "library %+d h (whole hours of standard time)",
                  static_cast<int>(c.lib_hours));
    if (c.local_ok) {
        line("local time",
             format_tm(c.local, "%Y-%m-%d %H:%M:%S %Z") + " (" + season(c.local) + ")");
        line("zone offset", utc_offset(c.local.tm_gmtoff) + " now; " + lib_hours);
    } else {
        line("local time", "unavailable (localtime failed)");
        line("zone offset", lib_hours);
    }
    line("local seconds", library_seconds_text(c));
    line("LANG", h.lang ? h.lang : "(unset)");
    // Most LANG values give one answer both ways; say so in one line, and spell the
    // directions out where they differ.
    bool same = (h.from_utf8 == h.to_utf8) ||
                (h.to_utf8 == "converted from a GB set" && h.from_utf8.rfind("GB", 0) == 0);
    if (same) {
        line("system charset", h.from_utf8);
    } else {
        line("charset out", h.from_utf8 + " (os_lang_conv_utf8_to_sys)");
        line("charset in", h.to_utf8 + " (os_lang_conv_sys_to_utf8)");
    }
    if (h.mac_rc != OS_OK) {
        line("mac address", "none: " + result_text(h.mac_rc));
    } else {
        std::string where;
        for (const Interface& i : h.mac_ifs)
            where += (where.empty() ? "" : "; ") + i.name + ", " + i.state;
        line("mac address",
             h.mac + " (" + (where.empty() ? "no interface has it now" : where) + ")");
    }
    if (h.ips.rc != OS_OK) {
        line("ipv4 addresses", "unavailable: " + result_text(h.ips.rc));
    } else {
        std::string text;
        for (const std::string& ip : h.ips.dotted) text += (text.empty() ? "" : " ") + ip;
        line("ipv4 addresses", text.empty() ? "none" : text);
    }
    line("executable", h.exe_ok ? h.exe : "unavailable");
    const char* env = std::getenv("ZUOS_IO_URING");
    const bool off = env != nullptr && std::strcmp(env, "0") == 0;
    line("io engine", h.aio_rc != OS_OK ? "unavailable: " + result_text(h.aio_rc)
                      : h.uring         ? "io_uring"
                      : off             ? "plain system calls (ZUOS_IO_URING=0)"
                                        : "plain system calls (io_uring is not available)");
}

void print_json(const Host& h) {
    const Clock& c = h.clock;
    JsonObject out;
    if (c.local_ok) {
        out.str("local_time", format_tm(c.local, "%Y-%m-%dT%H:%M:%S"));
        out.raw("zone", JsonObject()
                            .str("abbreviation", c.local.tm_zone ? c.local.tm_zone : "")
                            .num("utc_offset_seconds", c.local.tm_gmtoff)
                            .flag("daylight_saving", c.local.tm_isdst > 0)
                            .num("library_offset_hours", c.lib_hours)
                            .text());
    } else {
        out.raw("local_time", "null");
        out.raw("zone", JsonObject().num("library_offset_hours", c.lib_hours).text());
    }
    JsonObject seconds;
    if (c.lib_ok) seconds.num("library", c.lib_seconds);
    if (c.local_ok) seconds.num("local_time", c.now + c.local.tm_gmtoff);
    out.raw("local_seconds", seconds.text());
    out.raw("lang", h.lang ? json_quote(h.lang) : "null");
    out.raw("charset", JsonObject().str("from_utf8", h.from_utf8).str("to_utf8", h.to_utf8).text());
    if (h.mac_rc != OS_OK) {
        out.raw("mac", JsonObject().raw("error", result_json(h.mac_rc)).text());
    } else {
        std::vector<std::string> ifs;
        for (const Interface& i : h.mac_ifs)
            ifs.push_back(JsonObject().str("name", i.name).str("state", i.state).text());
        out.raw("mac",
                JsonObject().str("address", h.mac).raw("interfaces", json_array(ifs)).text());
    }
    if (h.ips.rc != OS_OK) {
        out.raw("ipv4", JsonObject().raw("error", result_json(h.ips.rc)).text());
    } else {
        std::vector<std::string> ips;
        for (const std::string& ip : h.ips.dotted) ips.push_back(json_quote(ip));
        out.raw("ipv4", JsonObject().raw("addresses", json_array(ips)).text());
    }
    out.raw("executable", h.exe_ok ? json_quote(h.exe) : "null");
    out.raw("io_engine", h.aio_rc != OS_OK ? JsonObject().raw("error", result_json(h.aio_rc)).text()
                         : h.uring         ? json_quote("io_uring")
                                           : json_quote("plain"));
    std::printf("%s\n", out.text().c_str());
}

}  // namespace

int cmd_host(int argc, char** argv) {
    Args args = Args::parse(argc, argv, {}, {"json"});
    if (!args.error.empty()) return usage_error("host", args.error);
    if (args.help) {
        std::fputs(kHelp, stdout);
        return kOk;
    }
    if (!args.positional.empty())
        return usage_error("host", "unexpected argument '" + args.positional[0] + "'");
    const Host h = read_host();
    if (args.has("json"))
        print_json(h);
    else
        print_text(h);
    return kOk;
}

}  // namespace zuos
