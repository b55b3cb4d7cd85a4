// Result texts and the version query.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <regex>
#include <string>

#include "os/os.h"

namespace {

// Every code the header defines has a row of its own: "NAME: meaning".
TEST(ResultText, NamesEveryCodeTheHeaderDefines) {
    std::ifstream header(ZUOS_HEADER_PATH);
    ASSERT_TRUE(header) << ZUOS_HEADER_PATH;
    const std::regex define(R"(^#define\s+(OS_OK|OS_ERR_[A-Z0-9_]+)\s+(\d+)\b)");
    int codes = 0;
    for (std::string line; std::getline(header, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, define)) continue;
        ++codes;
        const std::string text = os_result_text(std::stoi(m[2])), name = m[1].str() + ": ";
        EXPECT_EQ(text.rfind(name, 0), 0u) << text;
        EXPECT_GT(text.size(), name.size()) << text;  // and a meaning
    }
    EXPECT_GE(codes, 43);  // the header read as expected
}

TEST(ResultText, ErrnoValuesByTheirDescriptionAndAFixedTextForTheRest) {
    const struct {
        int result;
        const char* text;
    } cases[] = {{ENOENT, "No such file or directory"},
                 {EACCES, "Permission denied"},
                 {EINTR, "Interrupted system call"},
                 {ETIMEDOUT, "Connection timed out"},
                 {-1, "unknown result"},
                 {-ENOENT, "unknown result"},
                 {4096, "unknown result"},
                 {110000, "unknown result"},
                 {110004, "unknown result"},
                 {119999, "unknown result"},
                 {INT_MAX, "unknown result"},
                 {INT_MIN, "unknown result"}};
    for (const auto& c : cases) {
        EXPECT_STREQ(os_result_text(c.result), c.text) << c.result;
        // Static text: the same pointer every time, never a per-call buffer.
        EXPECT_EQ(os_result_text(c.result), os_result_text(c.result)) << c.result;
    }
}

TEST(Version, TheLoadedLibraryIsTheOneTheseHeadersDescribe) {
    EXPECT_EQ(os_version(), ZUOS_VERSION);
}

}  // namespace
