// The shape of the shared object: its SONAME, the libraries it needs at load time,
// and the exact set of names it exports.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Names = std::set<std::string>;

// From each line of `tool ZUOS_LIB_PATH` that contains `has`: the text between
// brackets, or (for col >= 0) the word in column col.
Names column(const std::string& tool, const std::string& has, int col = -1) {
    Names out;
    FILE* p = ::popen((tool + " " + ZUOS_LIB_PATH).c_str(), "r");
    char line[4096];
    while (p != nullptr && ::fgets(line, sizeof line, p) != nullptr) {
        const std::string s = line;
        std::istringstream in(s);
        std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
        if (s.find(has) == std::string::npos) continue;
        if (col < 0 && s.find('[') != std::string::npos)
            out.insert(s.substr(s.find('[') + 1, s.find(']') - s.find('[') - 1));
        if (col >= 0 && words.size() > static_cast<size_t>(col)) out.insert(words[col]);
    }
    if (p != nullptr) ::pclose(p);
    return out;
}

TEST(Abi, SonameIsTheFileName) {
    EXPECT_EQ(column("readelf -d", "(SONAME)"), Names{"libzuOS.so.1.0.0"});
}

TEST(Abi, LibcIsTheOnlyLibraryNeededAtLoadTime) {
    if (ZUOS_SANITIZED) GTEST_SKIP() << "sanitizer builds link their runtime into the library";
    EXPECT_EQ(column("readelf -d", "(NEEDED)"), Names{"libc.so.6"});
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
    Names exported = column("nm -D --defined-only", "", 2);
    // A coverage build links the counters' runtime (libgcov) into the library, and its
    // names with it.
    std::erase_if(exported, [](const std::string& n) {
        return ZUOS_COVERAGE && (n.starts_with("__gcov_") || n == "mangle_path");
    });
    EXPECT_EQ(exported, expected)
        << "a mangled (_Z) name or a helper exported, or a public name missing";
}

}  // namespace
