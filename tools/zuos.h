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

// "OS_ERR_TIME_PARSE (110194): a time expression does not match any accepted form"
// for a library code, "No such file or directory (errno 2)" for anything else. The
// names and meanings are the library's own (os_result_text).
std::string result_text(int code);
// The same as a JSON object: {"code": 110194, "name": "OS_ERR_TIME_PARSE", "text":
// "a time expression ..."}; the name of an errno value is its E... constant.
std::string result_json(int code);

// A JSON string literal holding text (quotes, backslashes and control characters
// escaped; other bytes as they are).
std::string json_quote(std::string_view text);

// Builds one JSON object member by member, in the order given.
class JsonObject {
public:
    JsonObject& raw(std::string_view key, std::string_view json);  // value already JSON
    JsonObject& str(std::string_view key, std::string_view text) {
        return raw(key, json_quote(text));
    }
    JsonObject& num(std::string_view key, long long value) {
        return raw(key, std::to_string(value));
    }
    JsonObject& flag(std::string_view key, bool value) {
        return raw(key, value ? "true" : "false");
    }
    std::string text() const { return body_ + "}"; }

private:
    std::string body_ = "{";
};

// A JSON array of values that are already JSON.
std::string json_array(const std::vector<std::string>& items);

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
