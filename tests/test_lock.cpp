// Thread locks: exclusion between threads, the read-write lock's sharing and its
// refusal codes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "os/os.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 20000;

// Increments a plain counter under lock/unlock from several threads; a lost update
// shows as a total below the exact one.
template <class Lock, class Unlock>
long hammer(Lock lock, Unlock unlock) {
    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
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

TEST(ThreadLocks, EachLockExcludesTheOtherThreads) {
    SPINLOCK spin;
    ASSERT_EQ(os_spinlock_init(&spin), 0);
    EXPECT_EQ(hammer([&] { os_spinlock_acquire(&spin); }, [&] { os_spinlock_release(&spin); }),
              long{kThreads} * kRounds);
    EXPECT_EQ(os_spinlock_destroy(&spin), 0);

    MutexHandle m = nullptr;
    ASSERT_EQ(os_mutex_init(&m), OS_OK);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(hammer([&] { os_mutex_acquire(m); }, [&] { os_mutex_release(m); }),
              long{kThreads} * kRounds);
    os_mutex_destroy(m);

    RwMutexHandle rw = nullptr;
    ASSERT_EQ(os_rwmutex_init(&rw), OS_OK);
    EXPECT_EQ(hammer([&] { os_rwmutex_acquire_write(rw); }, [&] { os_rwmutex_release(rw); }),
              long{kThreads} * kRounds);
    os_rwmutex_destroy(rw);
}

TEST(ThreadLocks, RwlockRefusesItsWriterWithItsOwnCodes) {
    RwMutexHandle rw = nullptr;
    ASSERT_EQ(os_rwmutex_init(&rw), OS_OK);
    ASSERT_EQ(os_rwmutex_acquire_write(rw), OS_OK);
    // The platform reports EDEADLK instead of hanging; the library names it.
    EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_ERR_RWLOCK_READ);
    EXPECT_EQ(os_rwmutex_acquire_write(rw), OS_ERR_RWLOCK_WRITE);
    EXPECT_EQ(os_rwmutex_release(rw), 0);
    EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_OK) << "the refusals left nothing held";
    EXPECT_EQ(os_rwmutex_release(rw), 0);
    os_rwmutex_destroy(rw);
}

TEST(ThreadLocks, ReadersShareAndAWriterWaitsForBoth) {
    RwMutexHandle rw = nullptr;
    ASSERT_EQ(os_rwmutex_init(&rw), OS_OK);
    std::atomic<int> readers{0};
    std::atomic<bool> release{false};
    std::atomic<bool> wrote{false};
    auto reader = [&] {
        EXPECT_EQ(os_rwmutex_acquire_read(rw), OS_OK);
        ++readers;
        while (!release) std::this_thread::yield();
        EXPECT_EQ(os_rwmutex_release(rw), 0);
    };
    std::thread r1(reader), r2(reader);
    while (readers < 2) std::this_thread::yield();  // both hold it at once
    std::thread w([&] {
        EXPECT_EQ(os_rwmutex_acquire_write(rw), OS_OK);
        wrote = true;
        EXPECT_EQ(os_rwmutex_release(rw), 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(wrote) << "the writer must wait for the readers";
    release = true;
    r1.join();
    r2.join();
    w.join();
    EXPECT_TRUE(wrote);
    os_rwmutex_destroy(rw);
}

}  // namespace
