// The shape of the shared object: its SONAME, the libraries it needs at load time,
// and the exact set of names it exports.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

namespace {

using Names = std::set<std::string>;

// Group 1 of each line of `tool ZUOS_LIB_PATH` that pattern matches.
Names matches(const std::string& tool, const char* pattern) {
    Names out;
    const std::regex re(pattern);
    std::cmatch m;
    FILE* p = ::popen((tool + " " + ZUOS_LIB_PATH).c_str(), "r");
    char line[4096];
    while (p != nullptr && ::fgets(line, sizeof line, p) != nullptr)
        if (std::regex_search(line, m, re)) out.insert(m[1]);
    if (p != nullptr) ::pclose(p);
    return out;
}

TEST(Abi, SonameIsTheFileName) {
    EXPECT_EQ(matches("readelf -d", R"(\(SONAME\).*\[(.*)\])"), Names{"libzuOS.so.1.0.0"});
}

TEST(Abi, LibcIsTheOnlyLibraryNeededAtLoadTime) {
    if (ZUOS_SANITIZED) GTEST_SKIP() << "sanitizer builds link their runtime into the library";
    EXPECT_EQ(matches("readelf -d", R"(\(NEEDED\).*\[(.*)\])"), Names{"libc.so.6"});
}

// The public names are listed one a line in tests/abi/exports/*.txt ('#' comments).
TEST(Abi, ExportsExactlyThePublicFunctionNames) {
    Names expected;
    for (const auto& f : std::filesystem::directory_iterator(ZUOS_EXPORTS_DIR)) {
        std::ifstream in(f.path());
        for (std::string line; f.path().extension() == ".txt" && std::getline(in, line);)
            if (!line.empty() && line[0] != '#') expected.insert(line);
    }
    ASSERT_FALSE(expected.empty());
    Names exported = matches("nm -D --defined-only", R"(^\S+ \S (\S+))");
    // A coverage build links the counters' runtime (libgcov) into the library, and its
    // names with it.
    std::erase_if(exported, [](const std::string& n) {
        return ZUOS_COVERAGE && (n.starts_with("__gcov_") || n == "mangle_path");
    });
    EXPECT_EQ(exported, expected)
        << "a mangled (_Z) name or a helper exported, or a public name missing";
}

}  // namespace
