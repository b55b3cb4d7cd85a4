// zuos.cpp - entry point of the zuos operator tool: command dispatch, the shared
// messages and the option parser. Each command lives in its own cmd_*.cpp.
#include "zuos.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "os/os.h"

namespace zuos {

namespace {

struct CodeName {
    long code;
    const char* name;
};

// Every library code, so that an operator sees the constant a program would compare.
constexpr CodeName kCodeNames[] = {
    {OS_ERR_FILE_NOT_FOUND, "OS_ERR_FILE_NOT_FOUND"},
    {OS_ERR_INVALID_ARG, "OS_ERR_INVALID_ARG"},
    {OS_ERR_TIME_NULL_ARG, "OS_ERR_TIME_NULL_ARG"},
    {OS_ERR_TIME_NEGATIVE_SEC, "OS_ERR_TIME_NEGATIVE_SEC"},
    {OS_ERR_TIME_LOCALTIME, "OS_ERR_TIME_LOCALTIME"},
    {OS_ERR_TIME_PARSE, "OS_ERR_TIME_PARSE"},
    {OS_ERR_FILE_DELETE, "OS_ERR_FILE_DELETE"},
    {OS_ERR_FILE_SHORT_READ, "OS_ERR_FILE_SHORT_READ"},
    {OS_ERR_FILE_SHORT_WRITE, "OS_ERR_FILE_SHORT_WRITE"},
    {OS_ERR_MEM_UNMAP_VIEW, "OS_ERR_MEM_UNMAP_VIEW"},
    {OS_ERR_DIR_EMPTY_PATH, "OS_ERR_DIR_EMPTY_PATH"},
    {OS_ERR_DIR_CREATE, "OS_ERR_DIR_CREATE"},
    {OS_ERR_DIR_REMOVE, "OS_ERR_DIR_REMOVE"},
    {OS_ERR_DIR_OPEN, "OS_ERR_DIR_OPEN"},
    {OS_ERR_DIR_NO_MORE_FILES, "OS_ERR_DIR_NO_MORE_FILES"},
    {OS_ERR_NO_MEMORY, "OS_ERR_NO_MEMORY"},
    {OS_ERR_SHM_CLOSE, "OS_ERR_SHM_CLOSE"},
    {OS_ERR_SHM_UNMAP, "OS_ERR_SHM_UNMAP"},
    {OS_ERR_AIO_FULL, "OS_ERR_AIO_FULL"},
    {OS_ERR_AIO_TIMEOUT, "OS_ERR_AIO_TIMEOUT"},
    {OS_ERR_THREAD_CREATE, "OS_ERR_THREAD_CREATE"},
    {OS_ERR_THREAD_JOIN, "OS_ERR_THREAD_JOIN"},
    {OS_ERR_THREAD_INVALID, "OS_ERR_THREAD_INVALID"},
    {OS_ERR_RWLOCK_READ, "OS_ERR_RWLOCK_READ"},
    {OS_ERR_RWLOCK_WRITE, "OS_ERR_RWLOCK_WRITE"},
    {OS_ERR_SEMA_BUSY, "OS_ERR_SEMA_BUSY"},
    {OS_ERR_PROC_MUTEX_INIT, "OS_ERR_PROC_MUTEX_INIT"},
    {OS_ERR_PROC_MUTEX_DESTROY, "OS_ERR_PROC_MUTEX_DESTROY"},
    {OS_ERR_PROC_MUTEX_TIMEOUT, "OS_ERR_PROC_MUTEX_TIMEOUT"},
    {OS_ERR_PROC_MUTEX_NULL, "OS_ERR_PROC_MUTEX_NULL"},
    {OS_ERR_PROCESS_SPAWN, "OS_ERR_PROCESS_SPAWN"},
    {OS_ERR_PROCESS_WAIT, "OS_ERR_PROCESS_WAIT"},
    {OS_ERR_CONV_OPEN, "OS_ERR_CONV_OPEN"},
    {OS_ERR_CONV_FAILED, "OS_ERR_CONV_FAILED"},
    {OS_ERR_CONV_BAD_ARG, "OS_ERR_CONV_BAD_ARG"},
    {OS_ERR_EVENT_TIMEOUT, "OS_ERR_EVENT_TIMEOUT"},
    {OS_ERR_EVENT_CLOCK, "OS_ERR_EVENT_CLOCK"},
    {OS_ERR_NET_NULL_ARG, "OS_ERR_NET_NULL_ARG"},
    {OS_ERR_NET_DOWN, "OS_ERR_NET_DOWN"},
    {OS_ERR_NET_CONNECT_TIMEOUT, "OS_ERR_NET_CONNECT_TIMEOUT"},
    {OS_ERR_NET_NO_MAC, "OS_ERR_NET_NO_MAC"},
    {OS_ERR_NET_RESOLVE, "OS_ERR_NET_RESOLVE"},
    {OS_ERR_NET_BAD_IP, "OS_ERR_NET_BAD_IP"},
    {OS_ERR_TIME_MKTIME, "OS_ERR_TIME_MKTIME"},
};

constexpr const char kUsageText[] =
    "usage: zuos COMMAND [ARGS]\n"
    "\n"
    "Shows what libzuOS sees on this host and runs its conversions, for the people\n"
    "who operate and debug the database.\n"
    "\n"
    "commands:\n"
    "  host                           zone offset, local seconds, system character set,\n"
    "                                 MAC address, IPv4 addresses, executable path,\n"
    "                                 I/O engine\n"
    "  time EXPR [--base WHEN]        evaluate a time expression\n"
    "  conv --from CS --to CS         convert standard input to standard output\n"
    "                                 (CS: sys, utf8 or gb18030)\n"
    "  ipc KEYFILE [--remove [--force]]\n"
    "                                 System V key of a key file and what exists under it\n"
    "\n"
    "Run 'zuos COMMAND --help' for the details of a command.\n"
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

std::string result_text(long code) {
    for (const CodeName& c : kCodeNames) {
        if (c.code == code) return std::string(c.name) + " (" + std::to_string(code) + ")";
    }
    return std::string(std::strerror(static_cast<int>(code))) + " (errno " + std::to_string(code) +
           ")";
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
        std::printf("zuos %s\n", ZUOS_VERSION);
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
