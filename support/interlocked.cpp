#include "interlocked.h"

#include "thread_mutex.h"

namespace {
ThreadMutex& CounterLock() {
    static ThreadMutex lock;
    return lock;
}
}  // namespace

uint32_t InterlockedIncrement(uint32_t* counter) {
    ThreadMutexGuard guard(CounterLock());
    return ++*counter;
}

uint32_t InterlockedDecrement(uint32_t* counter) {
    ThreadMutexGuard guard(CounterLock());
    return --*counter;
}
