// The power-cut file system (powercut_fs) served for a test by a child process, and
// the power cut that ends it.
#pragma once

#include <signal.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "../test_support.h"

#ifndef ZUOS_POWERCUT_FS
#define ZUOS_POWERCUT_FS ""  // not built: the tests skip
#endif

namespace powercut {

class Mount {
public:
    explicit Mount(std::string mnt) : mnt_(std::move(mnt)) {}
    ~Mount() { cut(); }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    static bool built() { return *ZUOS_POWERCUT_FS != '\0'; }

    // Cuts the power (if on) and serves backing again, with an option if given; false
    // when it cannot be mounted (needs /dev/fuse and root).
    bool start(const std::string& backing, const std::string& opt = "") {
        cut();
        if (!built()) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(ZUOS_POWERCUT_FS, ZUOS_POWERCUT_FS, backing.c_str(), mnt_.c_str(),
                    opt.empty() ? nullptr : opt.c_str(), nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 500 && pid_ > 0; ++i) {
            struct statfs sf {};
            if (::statfs(mnt_.c_str(), &sf) == 0 && sf.f_type == 0x65735546) return true;
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
            ::usleep(10000);
        }
        cut();
        return false;
    }
    // The power cut: the file system dies with all it kept in memory.
    void cut() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        zutest::reap(pid_);
        pid_ = -1;
        ::umount2(mnt_.c_str(), MNT_DETACH);
    }
    // Lets the reads that --hold-reads holds through.
    void release() const { ::kill(pid_, SIGUSR1); }

private:
    std::string mnt_;
    pid_t pid_ = -1;
};

}  // namespace powercut
