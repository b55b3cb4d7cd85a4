// Thread locks: exclusion between threads, the read-write lock's sharing and its
// refusal codes.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "os/os.h"

namespace {

// Increments a plain counter under lock/unlock from 4 threads, 20000 times each; a
// lost update shows as a total below the exact one.
template <class Lock, class Unlock>
long hammer(Lock lock, Unlock unlock) {
    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                lock();
                long v = counter;
                counter = v + 1;
                unlock();
            }
        });
    }
    for (auto& t : ts) t.join();
    return counter;
}

TEST(ThreadLocks, EachLockExcludesTheOtherThreadsAndTheRwlockNamesItsRefusals) {
    SPINLOCK spin;
    MutexHandle m = nullptr;
    RwMutexHandle rw = nullptr;
    ASSERT_EQ(os_spinlock_init(&spin), 0);
    ASSERT_EQ(os_mutex_init(&m), OS_OK);
    ASSERT_EQ(os_rwmutex_init(&rw), OS_OK);
    EXPECT_EQ(hammer([&] { os_spinlock_acquire(&spin); }, [&] { os_spinlock_release(&spin); }),
              80000);
    EXPECT_EQ(hammer([&] { os_mutex_acquire(m); }, [&] { os_mutex_release(m); }), 80000);
    EXPECT_EQ(hammer([&] { os_rwmutex_acquire_write(rw); }, [&] { os_rwmutex_release(rw); }),
              80000);
    EXPECT_EQ(os_spinlock_destroy(&spin), 0);
    os_mutex_destroy(m);

    // The platform refuses the writer's own lock calls with EDEADLK instead of hanging;
    // the library names the refusal.
    ASSERT_EQ(os_rwmutex_acquire_write(rw), OS_OK);
    EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_ERR_RWLOCK_READ);
    EXPECT_EQ(os_rwmutex_acquire_write(rw), OS_ERR_RWLOCK_WRITE);
    EXPECT_EQ(os_rwmutex_release(rw), 0);
    // Nothing left held by the refusals, and a read lock is shared, even with itself.
    EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_OK);
    EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_OK);
    EXPECT_EQ(os_rwmutex_release(rw), 0);
    EXPECT_EQ(os_rwmutex_release(rw), 0);
    os_rwmutex_destroy(rw);
}

}  // namespace
