#include "process_lock.h"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>

#include "byte_order.h"
#include "logger.h"
#include "own_files.h"
#include "pkcs11t.h"

namespace {

using Clock = std::chrono::steady_clock;

// The record: the channel owner (8 bytes), then the write counter: known
// flag (4), value (4), time of its last read (8); little-endian.
constexpr uint32_t kRecordBytes = 8;
constexpr uint32_t kCounterAt = 8, kCounterBytes = 16;
// The pauses between tries for a lock another process holds: from the
// first to the longest, doubling.
constexpr Clock::duration kFirstPause = std::chrono::milliseconds(1);
constexpr Clock::duration kLongestPause = std::chrono::milliseconds(8);

// flock on fd, tried until the deadline; false when it stays taken or fails.
bool FlockBefore(int fd, Clock::time_point deadline) {
    Clock::duration pause = kFirstPause;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min(pause, deadline - now));
        pause = std::min(pause * 2, kLongestPause);
    }
}

RV NotFree(const std::string& path, std::chrono::milliseconds waited) {
    MessageLogger& log = get_msg_logger();
    if (log.Enabled()) {
        log.LogString("lock file %s: not free within %lld ms", path.c_str(), static_cast<long long>(waited.count()));
    }
    return CKR_CANT_LOCK;
}

}  // namespace

ProcessLock* ProcessLock::ForPath(const std::string& path) {
    if (path.empty()) return nullptr;
    // Never destroyed: tokens may still unlock while statics go away at exit.
    static std::mutex* const mutex = new std::mutex;
    static auto* const locks = new std::map<std::string, std::unique_ptr<ProcessLock>>;
    std::lock_guard<std::mutex> guard(*mutex);
    auto& slot = (*locks)[path];
    if (!slot) slot = std::make_unique<ProcessLock>(path);
    return slot.get();
}

ProcessLock::ProcessLock(std::string path, std::chrono::milliseconds waitLimit)
    : path_(std::move(path)), waitLimit_(waitLimit) {}

ProcessLock::~ProcessLock() {
    if (fd_ >= 0) close(fd_);
}

void ProcessLock::ForgetParent() {
    const pid_t self = getpid();
    if (pid_ == self) return;
    if (fd_ >= 0) close(fd_);  // closing, not unlocking: the parent keeps its lock
    fd_ = -1;
    owner_ = std::thread::id();
    count_ = 0;
    pid_ = self;
}

bool ProcessLock::Open() {
    fd_ = OpenOwnFile(path_);  // the folder made when missing (a fresh cache folder)
    return fd_ >= 0;
}

RV ProcessLock::Lock() {
    const Clock::time_point deadline = Clock::now() + waitLimit_;
    std::unique_lock<std::mutex> guard(mutex_);
    ForgetParent();
    const std::thread::id self = std::this_thread::get_id();
    if (count_ && owner_ == self) {
        ++count_;
        return 0;
    }
    if (!idle_.wait_until(guard, deadline, [this] { return count_ == 0; })) return NotFree(path_, waitLimit_);
    if (fd_ < 0 && !Open()) return CKR_CANT_LOCK;
    owner_ = self;  // the other threads wait here, not in the kernel
    count_ = 1;
    const int fd = fd_;
    guard.unlock();
    if (FlockBefore(fd, deadline)) return 0;
    guard.lock();
    owner_ = std::thread::id();
    count_ = 0;
    guard.unlock();
    idle_.notify_one();
    return NotFree(path_, waitLimit_);
}

void ProcessLock::Unlock() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!count_ || owner_ != std::this_thread::get_id() || pid_ != getpid()) return;
        if (--count_) return;
        flock(fd_, LOCK_UN);
        owner_ = std::thread::id();
    }
    idle_.notify_one();
}

uint64_t ProcessLock::ChannelOwner() const {
    uint8_t record[kRecordBytes];
    if (fd_ < 0 || pread(fd_, record, sizeof record, 0) != static_cast<ssize_t>(sizeof record)) return 0;
    return LoadLe64(record);
}

ProcessLock::Counter ProcessLock::WriteCounter() const {
    uint8_t record[kCounterBytes];
    Counter counter;
    if (fd_ < 0 || pread(fd_, record, sizeof record, kCounterAt) != static_cast<ssize_t>(sizeof record)) return counter;
    counter.known = LoadLe32(record) == 1;
    counter.value = LoadLe32(record + 4);
    counter.readAtMs = LoadLe64(record + 8);
    return counter;
}

void ProcessLock::SetWriteCounter(const Counter& counter) {
    uint8_t record[kCounterBytes];
    StoreLe32(record, counter.known ? 1 : 0);
    StoreLe32(record + 4, counter.value);
    StoreLe64(record + 8, counter.readAtMs);
    if (fd_ >= 0) (void)!pwrite(fd_, record, sizeof record, kCounterAt);
}

bool ProcessLock::SetChannelOwner(uint64_t channel) {
    uint8_t record[kRecordBytes];
    StoreLe64(record, channel);
    return fd_ >= 0 && pwrite(fd_, record, sizeof record, 0) == static_cast<ssize_t>(sizeof record);
}
