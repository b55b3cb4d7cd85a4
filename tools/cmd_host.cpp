// cmd_host.cpp - "zuos host": what the library sees on this host. Every fact comes
// from a library call, so the output is what the database itself would get; a fact
// the library cannot establish is shown with its result code, not as a failure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "os/os.h"
#include "zuos.h"

namespace zuos {

namespace {

constexpr const char kHelp[] =
    "usage: zuos host\n"
    "\n"
    "Prints what libzuOS sees on this host:\n"
    "  zone offset     the local zone's standard-time offset in whole hours\n"
    "                  (get_local_timezone)\n"
    "  local seconds   the current local wall-clock time counted as if it were UTC\n"
    "                  (get_curr_time)\n"
    "  LANG, charset   the system character set that LANG selects for the\n"
    "                  os_lang_conv_* functions, probed in both directions\n"
    "  mac address     os_network_get_local_mac_addr\n"
    "  ipv4 addresses  os_network_get_localip, in the order the library reports them\n"
    "  executable      os_dir_get_curr_process_path\n"
    "  io engine       what runs the batched and queued I/O (os_aio_engine of a\n"
    "                  new queue): io_uring, or plain system calls\n"
    "A fact the library cannot establish is shown with its result code; the exit\n"
    "status is still 0.\n";

void line(const char* label, const std::string& value) {
    std::printf("%-16s%s\n", label, value.c_str());
}

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

std::string zone_offset() {
    int32 hours = get_local_timezone();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%+d h (standard time)", static_cast<int>(hours));
    return buf;
}

std::string local_seconds() {
    int32 now = 0;
    if (get_curr_time(&now) != 0) return "unavailable (mktime failed)";
    // Local seconds are the local wall clock read as UTC, so gmtime shows that clock.
    time_t t = now;
    struct tm tm {};
    char when[32] = "?";
    if (gmtime_r(&t, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    return std::to_string(now) + " (" + when + " local)";
}

std::string mac_address() {
    char mac[18] = {0};
    int rc = os_network_get_local_mac_addr(mac);
    return rc == OS_OK ? std::string(mac) : "none: " + result_text(rc);
}

std::string ipv4_addresses() {
    uint32* ips = nullptr;
    int32 count = 0;
    int32 rc = os_network_get_localip(&ips, &count);
    if (rc != OS_OK) return "unavailable: " + result_text(rc);
    std::string text;
    for (int32 i = 0; i < count; ++i) {
        char dotted[16] = {0};
        if (os_network_int2ip(ips[i], dotted) != OS_OK) continue;
        if (!text.empty()) text += ' ';
        text += dotted;
    }
    os_network_free_localip(ips);
    return text.empty() ? "none" : text;
}

std::string executable() {
    char path[4096];
    int32 n = os_dir_get_curr_process_path(path, sizeof path);
    return n < 0 ? "unavailable" : std::string(path, static_cast<size_t>(n));
}

// The engine a queue opened without flags gets here, and why it is the plain one.
std::string io_engine() {
    AioHandle q = nullptr;
    int rc = os_aio_open(1, 0, &q);
    if (rc != OS_OK) return "unavailable: " + result_text(rc);
    const bool ring = os_aio_engine(q) == 1;
    os_aio_close(q);
    if (ring) return "io_uring";
    const char* env = std::getenv("ZUOS_IO_URING");
    return env != nullptr && std::strcmp(env, "0") == 0
               ? "plain system calls (ZUOS_IO_URING=0)"
               : "plain system calls (io_uring is not available)";
}

}  // namespace

int cmd_host(int argc, char** argv) {
    Args args = Args::parse(argc, argv, {}, {});
    if (!args.error.empty()) return usage_error("host", args.error);
    if (args.help) {
        std::fputs(kHelp, stdout);
        return kOk;
    }
    if (!args.positional.empty())
        return usage_error("host", "unexpected argument '" + args.positional[0] + "'");

    const char* lang = std::getenv("LANG");
    std::string from_utf8 = charset_from_utf8();
    std::string to_utf8 = charset_to_utf8();

    line("zone offset", zone_offset());
    line("local seconds", local_seconds());
    line("LANG", lang ? lang : "(unset)");
    // Most LANG values give one answer both ways; say so in one line, and spell the
    // directions out where they differ.
    bool same = (from_utf8 == to_utf8) ||
                (to_utf8 == "converted from a GB set" && from_utf8.rfind("GB", 0) == 0);
    if (same) {
        line("system charset", from_utf8);
    } else {
        line("charset out", from_utf8 + " (os_lang_conv_utf8_to_sys)");
        line("charset in", to_utf8 + " (os_lang_conv_sys_to_utf8)");
    }
    line("mac address", mac_address());
    line("ipv4 addresses", ipv4_addresses());
    line("executable", executable());
    line("io engine", io_engine());
    return kOk;
}

}  // namespace zuos
