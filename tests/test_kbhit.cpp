// The key probe, run in a child whose standard input is a pseudo-terminal or a file:
// what it reports, and that the character stays unread. The settings it installs and
// puts back are checked in tests/fault/fault_io.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "os/os.h"
#include "test_support.h"

namespace {

// The pseudo-terminal starts in canonical mode, as a terminal does.
TEST(KbHit, ThroughAPseudoTerminal) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    // Keys typed first, and the child's check (its exit code names the failed step).
    const struct {
        std::string typed;
        std::function<int()> child;
    } cases[] = {
        // No newline: only a probe that leaves line editing behind can see the key.
        {"k", [] { return os_kb_hit() != 1     ? 1
                          : ::getchar() == 'k' ? 0
                                               : 2; }},
        // A character already buffered in the stream counts at once and stays there.
        {"ab\n",
         [] {
             return ::getchar() != 'a' ? 2 : os_kb_hit() != 1 ? 1 : ::getchar() == 'b' ? 0 : 3;
         }},
        // Nothing typed: 0, and the empty read must not leave end-of-file set: the next
        // read waits for (and gets) the line typed after the probe.
        {"", [master] {
             if (os_kb_hit() != 0) return 1;
             if (::write(master, "y\n", 2) != 2) return 4;
             return ::getchar() == 'y' ? 0 : 2;
         }}};
    for (const auto& c : cases) {
        ASSERT_EQ(::write(master, c.typed.data(), c.typed.size()), ssize_t(c.typed.size()));
        EXPECT_EQ(zutest::run_in_child([&] { return ::dup2(slave, 0) == 0 ? c.child() : 5; }), 0)
            << "typed \"" << c.typed << '"';
    }
    ::close(master);
    ::close(slave);
}

TEST(KbHit, StandardInputFromAFile) {
    zutest::TempDir dir;
    const std::string path = dir.file("in");
    for (const std::string content : {"hello", ""}) {
        std::ofstream(path, std::ios::trunc) << content;
        EXPECT_EQ(zutest::run_in_child([&] {
                      int fd = ::open(path.c_str(), O_RDONLY);
                      if (fd < 0 || ::dup2(fd, 0) != 0) return 5;
                      if (os_kb_hit() != (content.empty() ? 0 : 1)) return 1;
                      return ::getchar() == (content.empty() ? EOF : 'h') ? 0 : 2;
                  }),
                  0)
            << "content \"" << content << "\"";
    }
}

}  // namespace
