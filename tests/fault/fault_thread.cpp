// Thread creation that fails, and the answers of the activity test that glibc does
// not give on demand.
#include <gtest/gtest.h>
#include <pthread.h>

#include <tuple>

#include "fault_injection.h"
#include "os/os.h"

FI_WRAP(int, pthread_create, EAGAIN,
        (pthread_t * t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg),
        (t, attr, fn, arg))

// Hand-written: pthread_kill returns the armed error number, as pthread functions do.
// FI_WRAP(int, pthread_kill
fi::Point fi_pthread_kill;
extern "C" int __real_pthread_kill(pthread_t t, int sig);
extern "C" int __wrap_pthread_kill(pthread_t t, int sig) {
    if (fi_pthread_kill.hit()) return fi_pthread_kill.err;
    return __real_pthread_kill(t, sig);
}

namespace {

TEST(ThreadFault, CreateFailureIsTheOneCode) {
    for (int err : {EAGAIN, EPERM, EINVAL}) {
        fi::Armed a(fi_pthread_create, 1, err);
        ThreadHandle h{};
        EXPECT_EQ(os_thread_create(
                      &h, +[](void*) -> void* { return nullptr; }, nullptr),
                  OS_ERR_THREAD_CREATE)
            << err;
        EXPECT_EQ(a.calls(), 1);  // not retried
    }
}

TEST(ThreadFault, ActivityTestMapsEachAnswer) {
    // pthread_kill's answer, the result, and the flag (0x5A: not written).
    const std::tuple<int, int, int> cases[] = {
        {EINVAL, OS_ERR_THREAD_INVALID, 0x5A}, {ESRCH, OS_OK, 0}, {EPERM, OS_OK, 1}};
    for (const auto& [answer, rc, flag] : cases) {
        fi::Armed a(fi_pthread_kill, 1, answer);
        unsigned char active = 0x5A;
        EXPECT_EQ(os_thread_test_active(::pthread_self(), reinterpret_cast<bool*>(&active)), rc)
            << answer;
        EXPECT_EQ(active, flag) << answer;
    }
}

}  // namespace
