// The clean-up and single retry of segment creation: the command it runs, the result
// and handle of a retry that fails, and no segment or descriptor left behind.
#include <gtest/gtest.h>
#include <sys/shm.h>

#include <string>
#include <vector>

#include "fault_injection.h"
#include "os/os.h"
#include "test_support.h"

FI_WRAP(int, shmget, -1, (key_t k, size_t size, int flags), (k, size, flags))
FI_WRAP(key_t, ftok, -1, (const char* path, int id), (path, id))

// Hand-written: system runs the command, recorded while g_commands is set.
// FI_WRAP(int, system
std::vector<std::string>* g_commands = nullptr;
extern "C" int __real_system(const char* cmd);
extern "C" int __wrap_system(const char* cmd) {
    if (g_commands != nullptr) g_commands->push_back(cmd);
    return __real_system(cmd);
}

namespace {

// Removes the segment under the key file however the test ends.
struct KeyFile {
    std::string name;
    ~KeyFile() { ::shmctl(::shmget(::ftok(name.c_str(), 0), 0, 0), IPC_RMID, nullptr); }
};

// An injected first failure is recovered from; a failing retry is returned with the
// handle unwritten and no segment left under the key (the command removed the old,
// too-small one). Either way the clean-up command runs once.
TEST(ShareMemFault, ShmgetFailureRunsTheCleanupThenRetriesOnce) {
    zutest::TempDir t;
    const KeyFile kf{t.file("key")};
    const char* key = kf.name.c_str();
    MemMapHandle h = -1;
    ASSERT_EQ(os_mem_sharemem_create(4096, key, &h), OS_OK);
    const key_t k = ::ftok(key, 0);
    const std::vector<std::string> cleanup{"ipcrm -M " + std::to_string(k)};
    const int fds = zutest::open_fd_count();
    const struct {
        long nth;
        int err, rc;
        uint32 size;
    } cases[] = {{2, ENOMEM, ENOMEM, 8192}, {1, ENOSPC, OS_OK, 4096}};
    for (const auto& c : cases) {
        std::vector<std::string> commands;
        g_commands = &commands;
        MemMapHandle h2 = 55;
        fi::Armed a(fi_shmget, c.nth, c.err);
        EXPECT_EQ(os_mem_sharemem_create(c.size, key, &h2), c.rc);
        g_commands = nullptr;
        EXPECT_EQ(a.calls(), 2) << "no third attempt";
        EXPECT_EQ(commands, cleanup);
        EXPECT_EQ(::shmget(k, 0, 0), c.rc == OS_OK ? h2 : -1) << "the old segment was removed";
        EXPECT_EQ(h2 == 55, c.rc != OS_OK) << "the handle is written on success only";
    }
    EXPECT_EQ(zutest::open_fd_count(), fds) << "the key file is closed";
}

// A key file whose key cannot be made (it went away after the open) gives errno.
TEST(ShareMemFault, KeyFailureReturnsErrno) {
    zutest::TempDir t;
    MemMapHandle h = 55;
    EXPECT_EQ(fi::failing(fi_ftok, 1, ENOENT,
                          [&] { return os_mem_sharemem_create(4096, t.file("key").c_str(), &h); }),
              ENOENT);
    EXPECT_EQ(h, 55);
}

}  // namespace
