#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "interlocked.h"
#include "thread_mutex.h"

TEST(ThreadMutex, RecursiveForOwnerAndExcludesOthersUntilFullyReleased) {
    ThreadMutex m;
    EXPECT_EQ(m.Lock(), 1u);
    EXPECT_EQ(m.Lock(), 2u);

    std::atomic<bool> acquired{false};
    std::thread other([&] {
        m.Unlock();  // not the owner: does nothing
        m.Lock();
        acquired = true;
        m.Unlock();
    });
    m.Unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired.load()) << "released once of twice: still held";
    m.Unlock();
    other.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_FALSE(m.OwnedByCaller());
}

TEST(ThreadMutex, UnlockWhenFreeDoesNothing) {
    ThreadMutex m;
    m.Unlock();
    EXPECT_EQ(m.Lock(), 1u);
    m.Unlock();
    m.Unlock();
    EXPECT_EQ(m.Lock(), 1u);
    m.Unlock();
}

TEST(ThreadMutex, GuardsAPlainCounterAcrossThreads) {
    ThreadMutex m;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ThreadMutexGuard outer(m);
                ThreadMutexGuard inner(m);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
}

TEST(Interlocked, ManyThreadsCountExactlyAndReturnNewValues) {
    uint32_t counter = 0;
    std::vector<std::thread> threads;
    std::atomic<int> bad_returns{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i) {
                if (t % 2 == 0) {
                    if (InterlockedIncrement(&counter) == 0) ++bad_returns;
                } else {
                    InterlockedIncrement(&counter);
                    InterlockedDecrement(&counter);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000u);
    EXPECT_EQ(bad_returns.load(), 0);
    uint32_t c = 5;
    EXPECT_EQ(InterlockedIncrement(&c), 6u);
    EXPECT_EQ(InterlockedDecrement(&c), 5u);
}
