// The key probe, run in a child whose standard input is a pseudo-terminal or a file:
// what it reports, that the character stays unread, and that the terminal settings
// afterwards equal those before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "os/os.h"
#include "test_support.h"

namespace {

// Field by field: struct copies need not carry the padding bytes.
bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

TEST(KbHit, ThroughAPseudoTerminal) {
    // Canonical mode with echo, and VMIN and VTIME set to values the probe must put back.
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{}, after{};
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
    before.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    before.c_cc[VMIN] = 2;
    before.c_cc[VTIME] = 3;
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &before), 0);
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
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
        ASSERT_EQ(::tcgetattr(slave, &after), 0);
        EXPECT_TRUE(same_settings(before, after)) << "typed \"" << c.typed << '"';
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
