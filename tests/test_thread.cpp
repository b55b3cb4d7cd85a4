// Threads: identity, joining (also of the caller itself), cancellation in a sleep and
// the activity test of a live thread. The ESRCH and EINVAL answers of the activity
// test are injected in the fault tests, as glibc does not give them on demand.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "os/os.h"

namespace {

// A thread that reports its own id and then waits until it is released.
struct Gate {
    std::atomic<bool> open{false}, started{false};
    ThreadID seen{};
};

void* wait_at_gate(void* arg) {
    auto* g = static_cast<Gate*>(arg);
    g->seen = os_thread_get_id();
    g->started = true;
    while (!g->open) ::usleep(1000);
    return nullptr;
}

std::atomic<bool> g_slept_through{false};
void* sleep_long(void*) {
    ::sleep(60);  // a cancellation point
    g_slept_through = true;
    return nullptr;
}

void* (*const return_at_once)(void*) = [](void*) -> void* { return nullptr; };

TEST(Thread, ARunningThreadIsActiveUnderItsOwnHandle) {
    Gate g;
    ThreadHandle h{};
    ASSERT_EQ(os_thread_create(&h, wait_at_gate, &g), OS_OK);
    while (!g.started) ::usleep(1000);
    EXPECT_TRUE(::pthread_equal(g.seen, h));
    EXPECT_FALSE(::pthread_equal(os_thread_get_id(), h));

    // The byte is written whole: exactly 1, whatever was there before.
    unsigned char active = 0x5A;
    EXPECT_EQ(os_thread_test_active(h, reinterpret_cast<bool*>(&active)), OS_OK);
    EXPECT_EQ(active, 1);

    g.open = true;
    EXPECT_EQ(os_thread_join(h), OS_OK);
}

TEST(Thread, BothJoinsGiveTheSameResults) {
    ThreadHandle a{}, b{};
    ASSERT_EQ(os_thread_create(&a, return_at_once, nullptr), OS_OK);
    ASSERT_EQ(os_thread_create(&b, return_at_once, nullptr), OS_OK);
    ::usleep(20000);  // let both end first; the joins must not care either way
    EXPECT_EQ(os_thread_join(a), OS_OK);
    EXPECT_EQ(os_thread_join_with_msgwait(b), OS_OK);
    // Joining oneself is refused (EDEADLK), with the one code from both.
    EXPECT_EQ(os_thread_join(os_thread_get_id()), OS_ERR_THREAD_JOIN);
    EXPECT_EQ(os_thread_join_with_msgwait(os_thread_get_id()), OS_ERR_THREAD_JOIN);
}

// A sleeping thread is ended; one that has ended but is not yet joined makes the
// request pointless, but still OS_OK.
TEST(Thread, TerminateAlwaysSucceeds) {
    for (auto fn : {sleep_long, return_at_once}) {
        ThreadHandle h{};
        ASSERT_EQ(os_thread_create(&h, fn, nullptr), OS_OK);
        ::usleep(20000);
        EXPECT_EQ(os_thread_terminate(h), OS_OK);
        EXPECT_EQ(os_thread_join(h), OS_OK);
    }
    EXPECT_FALSE(g_slept_through);
}

}  // namespace
