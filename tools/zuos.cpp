// zuos.cpp - entry point of the zuos operator tool: command dispatch, the shared
// messages and the option parser. Each command lives in its own cmd_*.cpp.
#include "zuos.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "os/os.h"

namespace zuos {

namespace {

constexpr const char kUsageText[] =
    "usage: zuos COMMAND [ARGS]\n"
    "\n"
    "Shows what libzuOS sees on this host and runs its conversions, for the people\n"
    "who operate and debug the database.\n"
    "\n"
    "commands:\n"
    "  host [--json]                  local time and zone offsets, local seconds, system\n"
    "                                 character set, MAC address and its interface,\n"
    "                                 IPv4 addresses, executable path, I/O engine\n"
    "  time EXPR [--base WHEN]        evaluate a time expression\n"
    "  conv --from CS --to CS         convert standard input to standard output\n"
    "                                 (CS: sys, utf8, gb18030, gbk or gb2312)\n"
    "  ipc KEYFILE [--json] [--remove [--force]]\n"
    "                                 System V key of a key file and what exists under it\n"
    "\n"
    "options:\n"
    "  --help, -h                     this text; 'zuos COMMAND --help' for a command\n"
    "  --version                      the tool's version and that of the library it\n"
    "                                 loaded\n"
    "\n"
    "Exit status: 0 success, 1 failure (with a message), 2 usage error.\n";

struct Command {
    std::string_view name;
    int (*run)(int, char**);
};

constexpr Command kCommands[] = {
    {"host", cmd_host},
    {"time", cmd_time},
    {"conv", cmd_conv},
    {"ipc", cmd_ipc},
};

}  // namespace

namespace {

// The name and the meaning of a result, from the library's table ("NAME: meaning")
// or, for an errno value, glibc's.
std::pair<std::string, std::string> name_and_meaning(int code) {
    std::string_view text = os_result_text(code);
    if (size_t colon = text.find(": "); text.rfind("OS_", 0) == 0 && colon != text.npos)
        return {std::string(text.substr(0, colon)), std::string(text.substr(colon + 2))};
    const char* name = strerrorname_np(code);
    return {name ? name : "", std::string(text)};
}

}  // namespace

std::string result_text(int code) {
    auto [name, meaning] = name_and_meaning(code);
    if (name.rfind("OS_", 0) == 0) return name + " (" + std::to_string(code) + "): " + meaning;
    return meaning + (name.empty() ? " (" : " (errno ") + std::to_string(code) + ")";
}

std::string result_json(int code) {
    auto [name, meaning] = name_and_meaning(code);
    return JsonObject().num("code", code).str("name", name).str("text", meaning).text();
}

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + '"';
}

JsonObject& JsonObject::raw(std::string_view key, std::string_view json) {
    if (body_.size() > 1) body_ += ", ";
    body_ += json_quote(key);
    body_ += ": ";
    body_ += json;
    return *this;
}

std::string json_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) {
        if (out.size() > 1) out += ", ";
        out += item;
    }
    return out + "]";
}

int usage_error(std::string_view cmd, const std::string& message) {
    std::string c(cmd);
    std::fprintf(stderr, "zuos %s: %s\nRun 'zuos %s --help' for usage.\n", c.c_str(),
                 message.c_str(), c.c_str());
    return kUsage;
}

int failure(std::string_view cmd, const std::string& message) {
    std::string c(cmd);
    std::fprintf(stderr, "zuos %s: %s\n", c.c_str(), message.c_str());
    return kFail;
}

Args Args::parse(int argc, char** argv, const std::vector<std::string_view>& valued,
                 const std::vector<std::string_view>& flags) {
    Args a;
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
            a.positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            a.help = true;
            continue;
        }
        std::string_view name = arg.substr(2);
        std::string_view inline_value;
        bool has_inline = false;
        if (size_t eq = name.find('='); eq != std::string_view::npos) {
            inline_value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_inline = true;
        }
        auto in = [&](const std::vector<std::string_view>& v) {
            for (std::string_view n : v)
                if (n == name) return true;
            return false;
        };
        if (in(valued)) {
            if (has_inline) {
                a.options.emplace_back(std::string(name), std::string(inline_value));
            } else if (i + 1 < argc) {
                a.options.emplace_back(std::string(name), std::string(argv[++i]));
            } else {
                a.error = "option --" + std::string(name) + " needs a value";
                return a;
            }
        } else if (in(flags) && !has_inline) {
            a.options.emplace_back(std::string(name), std::string());
        } else {
            a.error = "unknown option '" + std::string(arg) + "'";
            return a;
        }
    }
    return a;
}

bool Args::has(std::string_view name) const {
    return value(name) != nullptr;
}

const std::string* Args::value(std::string_view name) const {
    // The last occurrence wins, as with most command-line tools.
    const std::string* found = nullptr;
    for (const auto& [n, v] : options)
        if (n == name) found = &v;
    return found;
}

}  // namespace zuos

int main(int argc, char** argv) {
    using namespace zuos;
    if (argc < 2) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    std::string_view cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    if (cmd == "--version") {
        // The headers the tool was built with, and the library the loader found.
        const int lib = os_version();
        std::printf("zuos %d.%d.%d (libzuOS %d.%d.%d)\n", ZUOS_VERSION_MAJOR, ZUOS_VERSION_MINOR,
                    ZUOS_VERSION_PATCH, lib / 10000, lib / 100 % 100, lib % 100);
        return kOk;
    }
    for (const Command& c : kCommands) {
        if (c.name == cmd) {
            int rc = c.run(argc - 2, argv + 2);
            // A failed write to standard output (a full disk, a closed pipe) must not
            // pass for success.
            if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
                std::fprintf(stderr, "zuos %s: cannot write standard output\n", argv[1]);
                return rc == kOk ? kFail : rc;
            }
            return rc;
        }
    }
    std::fprintf(stderr, "zuos: unknown command '%s'\nRun 'zuos --help' for usage.\n", argv[1]);
    return kUsage;
}
