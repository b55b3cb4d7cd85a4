// zuos.h - shared pieces of the zuos operator tool: exit statuses, messages and a
// small option parser. The tool is an ordinary program on top of libzuOS; unlike
// the library it may use the C++ standard library freely.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zuos {

// Exit statuses: 0 success, 1 a failure with a message naming the cause, 2 a usage
// error (bad command line).
enum Exit : int { kOk = 0, kFail = 1, kUsage = 2 };

// "OS_ERR_TIME_PARSE (110194)" for a library code, "No such file or directory
// (errno 2)" for anything else.
std::string result_text(long code);

// Prints "zuos CMD: MESSAGE" and a hint to run --help on standard error; returns kUsage.
int usage_error(std::string_view cmd, const std::string& message);
// Prints "zuos CMD: MESSAGE" on standard error; returns kFail.
int failure(std::string_view cmd, const std::string& message);

// The command line of one command after its name. Options are "--name" or
// "--name=value"/"--name value"; "--" ends them. A single '-' followed by text is
// an ordinary argument, so "zuos time -2days" needs no quoting.
struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;  // name, value
    bool help = false;
    std::string error;  // set when the line cannot be parsed

    // valued: the option names that take a value; flags: those that do not.
    static Args parse(int argc, char** argv, const std::vector<std::string_view>& valued,
                      const std::vector<std::string_view>& flags);
    bool has(std::string_view name) const;
    const std::string* value(std::string_view name) const;
};

int cmd_host(int argc, char** argv);
int cmd_time(int argc, char** argv);
int cmd_conv(int argc, char** argv);
int cmd_ipc(int argc, char** argv);

}  // namespace zuos
