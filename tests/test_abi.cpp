// The shape of the shared object: its SONAME, the libraries it needs at load time,
// and the exact set of names it exports.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string run(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

std::set<std::string> dynamic_tag(const std::string& tag) {
    std::set<std::string> vals;
    std::istringstream in(run(std::string("readelf -d ") + ZUOS_LIB_PATH));
    for (std::string line; std::getline(in, line);) {
        if (line.find("(" + tag + ")") == std::string::npos) continue;
        auto a = line.find('['), b = line.find(']');
        if (a != std::string::npos && b != std::string::npos)
            vals.insert(line.substr(a + 1, b - a - 1));
    }
    return vals;
}

std::set<std::string> expected_exports() {
    std::set<std::string> names;
    DIR* d = ::opendir(ZUOS_EXPORTS_DIR);
    if (!d) return names;
    while (struct dirent* e = ::readdir(d)) {
        std::string f = e->d_name;
        if (f.size() < 4 || f.substr(f.size() - 4) != ".txt") continue;
        std::ifstream in(std::string(ZUOS_EXPORTS_DIR) + "/" + f);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] != '#') names.insert(line);
        }
    }
    ::closedir(d);
    return names;
}

TEST(Abi, SonameIsTheFileName) {
    EXPECT_EQ(dynamic_tag("SONAME"), std::set<std::string>{"libzuOS.so.1.0.0"});
}

TEST(Abi, LibcIsTheOnlyLibraryNeededAtLoadTime) {
    if (ZUOS_SANITIZED) GTEST_SKIP() << "sanitizer builds link their runtime into the library";
    EXPECT_EQ(dynamic_tag("NEEDED"), std::set<std::string>{"libc.so.6"});
}

TEST(Abi, ExportsExactlyThePublicFunctionNames) {
    std::set<std::string> exported;
    std::istringstream in(run(std::string("nm -D --defined-only ") + ZUOS_LIB_PATH));
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        std::string addr, type, name;
        if (f >> addr >> type >> name) exported.insert(name);
    }
    const auto expected = expected_exports();
    ASSERT_FALSE(expected.empty());
    for (const auto& n : exported) {
        EXPECT_TRUE(expected.count(n)) << "exported but not public: " << n;
        EXPECT_NE(n.rfind("_Z", 0), 0u) << "mangled C++ symbol exported: " << n;
    }
    for (const auto& n : expected)
        EXPECT_TRUE(exported.count(n)) << "public but not exported: " << n;
}

}  // namespace
