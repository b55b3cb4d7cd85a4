// The console key probe, run in a child whose standard input is a pseudo-terminal or a
// file: what it reports, that the character stays unread, and the exact terminal
// settings it installs and then puts back (none for a file).
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

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

// Hand-written: tcsetattr records what it is asked to install on descriptor 0.
// FI_WRAP(int, tcsetattr
struct {
    int action;
    termios t;
} g_tcset[4];
int g_tcset_count = 0;
extern "C" int __real_tcsetattr(int fd, int action, const termios* t);
extern "C" int __wrap_tcsetattr(int fd, int action, const termios* t) {
    if (fd == 0 && g_tcset_count < 4) g_tcset[g_tcset_count++] = {action, *t};
    return __real_tcsetattr(fd, action, t);
}

namespace {

// Field by field: struct copies need not carry the padding bytes.
bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && a.c_ispeed == b.c_ispeed &&
           a.c_ospeed == b.c_ospeed;
}

// Runs check in a child whose standard input is fd, with no settings recorded yet;
// the child's exit code names the step that failed.
int probe_in_child(int fd, const std::function<int()>& check) {
    return zutest::run_in_child([&] {
        g_tcset_count = 0;
        return ::dup2(fd, 0) == 0 ? check() : 6;
    });
}

// The pseudo-terminal starts in canonical mode, as a terminal does.
TEST(KbHit, ThroughAPseudoTerminal) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    // Keys typed first, and the child's check.
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
        {"",
         [master] {
             if (os_kb_hit() != 0) return 1;
             if (::write(master, "y\n", 2) != 2) return 4;
             return ::getchar() == 'y' ? 0 : 2;
         }},
        // Every local mode off, VMIN 0 and VTIME 1, nothing else changed; then the
        // settings found before, both at once (TCSANOW).
        {"", [] {
             termios saved{};
             if (::tcgetattr(0, &saved) != 0) return 1;
             termios probe = saved;
             probe.c_lflag = 0;
             probe.c_cc[VMIN] = 0;
             probe.c_cc[VTIME] = 1;
             (void)os_kb_hit();
             if (g_tcset_count != 2) return 2;
             if (!same_settings(g_tcset[0].t, probe)) return 3;
             if (!same_settings(g_tcset[1].t, saved)) return 4;
             return g_tcset[0].action == TCSANOW && g_tcset[1].action == TCSANOW ? 0 : 5;
         }}};
    for (const auto& c : cases) {
        ASSERT_EQ(::write(master, c.typed.data(), c.typed.size()), ssize_t(c.typed.size()));
        EXPECT_EQ(probe_in_child(slave, c.child), 0) << "typed \"" << c.typed << '"';
    }
    ::close(master);
    ::close(slave);
}

// Not a terminal (a file): nothing is installed and the stream is read as usual; the
// character probed stays unread.
TEST(KbHitFault, FileInputIsReadWithoutTerminalSettings) {
    zutest::TempDir dir;
    const std::string path = dir.file("in");
    for (const std::string content : {"hello", ""}) {
        std::ofstream(path, std::ios::trunc) << content;
        const int fd = ::open(path.c_str(), O_RDONLY);
        const int first = content.empty() ? EOF : 'h';
        const auto check = [&] {
            if (os_kb_hit() != (first == EOF ? 0 : 1)) return 1;
            return g_tcset_count != 0 ? 3 : ::getchar() == first ? 0 : 2;
        };
        EXPECT_EQ(probe_in_child(fd, check), 0) << "content \"" << content << '"';
        ::close(fd);
    }
}

}  // namespace
