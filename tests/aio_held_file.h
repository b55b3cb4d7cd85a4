// A FUSE file whose reads the test holds in flight, for the tests of the queued and
// batched I/O that need a request that does not complete by itself.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fuse.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "lock_test_util.h"
#include "os/os.h"
#include "test_support.h"

namespace aiotest {

// A FUSE file system served by a child process: one 4096-byte file "f" whose reads
// are answered only after release(), so that a read of it stays in flight as long as
// a test wants. A reader waiting on it cannot be killed, so the server ends by itself
// after a minute, which fails whatever it still holds.
class HeldFile {
public:
    explicit HeldFile(const std::string& dir) {
        const int dev = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        const std::string opts =
            "fd=" + std::to_string(dev) + ",rootmode=40000,user_id=0,group_id=0";
        if (dev < 0 || ::pipe(go_) != 0 ||
            ::mount("zuos", dir.c_str(), "fuse", 0, opts.c_str()) != 0) {
            return;
        }
        server_ = locktest::fork_child([&] {
            ::alarm(60);
            serve(dev);
            return 0;
        });
        ::close(dev);
    }
    ~HeldFile() {
        locktest::reap(server_, true);
        for (int f : go_) ::close(f);
    }
    bool mounted() const { return server_ > 0; }
    void release() { EXPECT_EQ(::write(go_[1], "g", 1), 1); }

private:
    void reply(int dev, uint64_t unique, int error, const void* p = nullptr, size_t n = 0) {
        fuse_out_header h{static_cast<uint32_t>(sizeof h + n), -error, unique};
        iovec v[2] = {{&h, sizeof h}, {const_cast<void*>(p), n}};
        (void)::writev(dev, v, 2);
    }
    void serve(int dev) {
        std::vector<char> buf(1 << 17);
        const std::string data(4096, 'z');
        bool released = false;
        fuse_attr file{}, root{};
        file.ino = 2;
        file.size = 4096;
        file.mode = S_IFREG | 0644;
        file.nlink = root.ino = 1;
        root.mode = S_IFDIR | 0755;
        fuse_init_out init{};
        init.major = FUSE_KERNEL_VERSION;
        init.minor = FUSE_KERNEL_MINOR_VERSION;
        init.flags = FUSE_ASYNC_READ;  // read-ahead must not hold up the reader
        init.max_write = 4096;
        fuse_entry_out entry{};
        entry.nodeid = 2;
        entry.attr = file;
        fuse_attr_out attr{};
        fuse_open_out open{};
        const struct {
            uint32_t opcode;
            const void* p;
            size_t n;
        } answers[] = {{FUSE_INIT, &init, sizeof init},       {FUSE_LOOKUP, &entry, sizeof entry},
                       {FUSE_GETATTR, &attr, sizeof attr},    {FUSE_OPEN, &open, sizeof open},
                       {FUSE_READ, data.data(), data.size()}, {FUSE_FLUSH, nullptr, 0}};
        while (::read(dev, buf.data(), buf.size()) > 0 || errno == ENOENT) {
            const auto* in = reinterpret_cast<const fuse_in_header*>(buf.data());
            if (in->opcode == FUSE_FORGET || in->opcode == FUSE_BATCH_FORGET) continue;
            char c;
            if (in->opcode == FUSE_READ) released = released || ::read(go_[0], &c, 1) == 1;
            attr.attr = in->nodeid == FUSE_ROOT_ID ? root : file;
            const auto* a = std::find_if(std::begin(answers), std::end(answers),
                                         [&](const auto& x) { return x.opcode == in->opcode; });
            if (a == std::end(answers)) {
                reply(dev, in->unique, ENOSYS);
            } else {
                reply(dev, in->unique, 0, a->p, a->n);
            }
        }
    }
    int go_[2] = {-1, -1};
    pid_t server_ = -1;
};

// Calls body(file system, handle of its file "f") with the file system mounted in a
// mount namespace of this thread's own, so that nothing outside sees it and it goes
// with the process if the test dies. False, without calling body, when it cannot be
// mounted (not root, no /dev/fuse). In process rather than in a child, so that
// coverage counters of the library see what body runs.
inline bool with_held_file(const std::function<void(HeldFile&, HANDLE)>& body) {
    zutest::TempDir t;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    HANDLE h = -1;
    {
        HeldFile fs(t.path());
        h = fs.mounted() ? ::open(t.file("f").c_str(), O_RDONLY) : -1;
        if (h != -1) body(fs, h);
    }  // the server is gone: whatever it held has failed, and h closes at once
    ::close(h);
    ::umount2(t.path().c_str(), MNT_DETACH);
    return h != -1;
}

}  // namespace aiotest
