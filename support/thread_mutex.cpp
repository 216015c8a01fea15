#include "thread_mutex.h"

uint32_t ThreadMutex::Lock() {
    if (OwnedByCaller()) return ++count_;
    os_mutex_.lock();
    owner_.store(std::this_thread::get_id());
    count_ = 1;
    return count_;
}

void ThreadMutex::Unlock() {
    if (!OwnedByCaller() || count_ == 0) return;
    if (--count_ == 0) {
        owner_.store(std::thread::id());
        os_mutex_.unlock();
    }
}
