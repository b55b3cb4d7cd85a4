// A file whose reads the test holds in flight, for the tests of the queued and
// batched I/O that need a request that does not complete by itself.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "os/os.h"
#include "powercut/powercut_mount.h"

namespace aiotest {

// Calls body(file system, handle of a file of 4096 'z' on it) with the power-cut file
// system holding every read until release(), mounted in a mount namespace of this
// thread's own, so that nothing outside sees it. False, without calling body, when it
// cannot be mounted. In process rather than in a child, so that coverage counters of
// the library see what body runs.
inline bool with_held_file(const std::function<void(powercut::Mount&, HANDLE)>& body) {
    zutest::TempDir t;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    std::filesystem::create_directory(t.file("backing"));
    std::filesystem::create_directory(t.file("mnt"));
    std::ofstream(t.file("backing/f")) << std::string(4096, 'z');
    HANDLE h = -1;
    {
        powercut::Mount fs(t.file("mnt"));
        if (fs.start(t.file("backing"), "--hold-reads"))
            h = ::open(t.file("mnt/f").c_str(), O_RDONLY);
        if (h != -1) body(fs, h);
    }  // the server is gone: whatever it held has failed, and h closes at once
    ::close(h);
    return h != -1;
}

}  // namespace aiotest
