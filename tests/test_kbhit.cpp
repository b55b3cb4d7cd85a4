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
#include <string>

#include "os/os.h"
#include "test_support.h"

namespace {

// Child exit codes: 0 is success, anything else names the failed step.
constexpr int kOk = 0, kProbeResult = 1, kChar = 2, kDup = 3, kNotify = 4;

::testing::AssertionResult same_settings(const termios& a, const termios& b) {
    const auto differ = [](const char* what) {
        return ::testing::AssertionFailure() << what << " changed";
    };
    if (a.c_iflag != b.c_iflag) return differ("c_iflag");
    if (a.c_oflag != b.c_oflag) return differ("c_oflag");
    if (a.c_cflag != b.c_cflag) return differ("c_cflag");
    if (a.c_lflag != b.c_lflag) return differ("c_lflag");
    if (a.c_line != b.c_line) return differ("c_line");
    for (int i = 0; i < NCCS; ++i)
        if (a.c_cc[i] != b.c_cc[i]) return differ("c_cc") << " at " << i;
    if (::cfgetispeed(&a) != ::cfgetispeed(&b)) return differ("input speed");
    if (::cfgetospeed(&a) != ::cfgetospeed(&b)) return differ("output speed");
    return ::testing::AssertionSuccess();
}

// A pseudo-terminal in canonical mode with echo, with VMIN and VTIME set to values
// the probe must put back.
class KbHitPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(slave_, &t), 0);
        t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        t.c_cc[VMIN] = 2;
        t.c_cc[VTIME] = 3;
        ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &t), 0);
        ASSERT_EQ(::tcgetattr(slave_, &before_), 0);
    }
    void TearDown() override {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }
    void type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // Runs fn in a child whose standard input is the terminal's slave side.
    int in_child(const std::function<int()>& fn) {
        return zutest::run_in_child([&] {
            ::close(master_);
            if (::dup2(slave_, 0) != 0) return kDup;
            return fn();
        });
    }
    ::testing::AssertionResult settings_unchanged() {
        termios after{};
        if (::tcgetattr(slave_, &after) != 0) return ::testing::AssertionFailure() << "tcgetattr";
        return same_settings(before_, after);
    }

    int master_ = -1, slave_ = -1;
    termios before_{};
};

TEST_F(KbHitPty, KeyTypedBeforeIsSeenWithoutNewlineAndStaysUnread) {
    // No newline: only a probe that leaves line editing behind can see the key.
    type("k");
    EXPECT_EQ(in_child([] {
                  if (os_kb_hit() != 1) return kProbeResult;
                  return ::getchar() == 'k' ? kOk : kChar;
              }),
              kOk);
    EXPECT_TRUE(settings_unchanged());
}

TEST_F(KbHitPty, NothingTypedGivesZeroAndTheNextReadWaitsAgain) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(master_);
        ::close(ready[0]);
        if (::dup2(slave_, 0) != 0) ::_exit(kDup);
        if (os_kb_hit() != 0) ::_exit(kProbeResult);
        if (::write(ready[1], "r", 1) != 1) ::_exit(kNotify);
        // The empty read set end-of-file; this read must block until the line comes.
        ::_exit(::getchar() == 'y' ? kOk : kChar);
    }
    ::close(ready[1]);
    char r = 0;
    ASSERT_EQ(::read(ready[0], &r, 1), 1);
    ::close(ready[0]);
    // The probe has returned: the terminal is back in its previous mode.
    EXPECT_TRUE(settings_unchanged());
    type("y\n");
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), kOk);
    EXPECT_TRUE(settings_unchanged());
}

TEST_F(KbHitPty, CharacterLeftInTheStreamCountsAtOnce) {
    type("ab\n");
    EXPECT_EQ(in_child([] {
                  if (::getchar() != 'a') return kChar;
                  if (os_kb_hit() != 1) return kProbeResult;
                  return ::getchar() == 'b' ? kOk : kChar;
              }),
              kOk);
    EXPECT_TRUE(settings_unchanged());
}

TEST(KbHitFile, StandardInputFromAFile) {
    zutest::TempDir dir;
    const struct {
        std::string content;
        int hit;
        int next;
    } cases[] = {{"hello", 1, 'h'}, {"", 0, EOF}};
    for (const auto& c : cases) {
        const std::string path = dir.file("in");
        std::ofstream(path, std::ios::trunc) << c.content;
        EXPECT_EQ(zutest::run_in_child([&] {
                      int fd = ::open(path.c_str(), O_RDONLY);
                      if (fd < 0 || ::dup2(fd, 0) != 0) return kDup;
                      if (os_kb_hit() != c.hit) return kProbeResult;
                      return ::getchar() == c.next ? kOk : kChar;
                  }),
                  kOk)
            << "content \"" << c.content << "\"";
    }
}

}  // namespace
