// Recursive mutex over one non-recursive OS mutex.
#ifndef KV_SUPPORT_THREAD_MUTEX_H
#define KV_SUPPORT_THREAD_MUTEX_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class ThreadMutex {
public:
    ThreadMutex() = default;
    ThreadMutex(const ThreadMutex&) = delete;
    ThreadMutex& operator=(const ThreadMutex&) = delete;

    // Returns the new lock count.
    uint32_t Lock();
    // Does nothing unless the caller owns the mutex.
    void Unlock();
    bool OwnedByCaller() const { return owner_.load() == std::this_thread::get_id(); }

private:
    uint32_t count_ = 0;
    std::mutex os_mutex_;
    // Full thread identity; a default id means free.
    std::atomic<std::thread::id> owner_{};
};

// Holds a ThreadMutex for a scope.
class ThreadMutexGuard {
public:
    explicit ThreadMutexGuard(ThreadMutex& m) : m_(m) { m_.Lock(); }
    ~ThreadMutexGuard() { m_.Unlock(); }
    ThreadMutexGuard(const ThreadMutexGuard&) = delete;
    ThreadMutexGuard& operator=(const ThreadMutexGuard&) = delete;

private:
    ThreadMutex& m_;
};

#endif
