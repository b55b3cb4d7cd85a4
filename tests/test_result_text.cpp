// Result texts and the version query.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

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
    const std::pair<int, const char*> described[] = {{ENOENT, "No such file or directory"},
                                                     {EACCES, "Permission denied"},
                                                     {EINTR, "Interrupted system call"},
                                                     {ETIMEDOUT, "Connection timed out"}};
    std::vector<std::pair<int, const char*>> cases(std::begin(described), std::end(described));
    for (int r : {-1, -ENOENT, 4096, 110000, 110004, 119999, INT_MAX, INT_MIN})
        cases.emplace_back(r, "unknown result");
    for (const auto& [result, text] : cases) {
        EXPECT_STREQ(os_result_text(result), text) << result;
        // Static text: the same pointer every time, never a per-call buffer.
        EXPECT_EQ(os_result_text(result), os_result_text(result)) << result;
    }
}

TEST(Version, TheLoadedLibraryIsTheOneTheseHeadersDescribe) {
    EXPECT_EQ(os_version(), ZUOS_VERSION);
}

}  // namespace
