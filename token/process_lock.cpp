#include "process_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>

#include "byte_order.h"
#include "pkcs11t.h"

namespace {

// The record: the channel owner (8 bytes), then the write counter: known
// flag (4), value (4), time of its last read (8); little-endian.
constexpr uint32_t kRecordBytes = 8;
constexpr uint32_t kCounterAt = 8, kCounterBytes = 16;

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

ProcessLock::ProcessLock(std::string path) : path_(std::move(path)) {}

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
    const size_t slash = path_.rfind('/');
    // The folder itself may be missing (a fresh cache folder); its parent is not.
    if (slash != std::string::npos && slash > 0) mkdir(path_.substr(0, slash).c_str(), 0700);
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    return fd_ >= 0;
}

RV ProcessLock::Lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    ForgetParent();
    const std::thread::id self = std::this_thread::get_id();
    if (count_ && owner_ == self) {
        ++count_;
        return 0;
    }
    idle_.wait(guard, [this] { return count_ == 0; });
    if (fd_ < 0 && !Open()) return CKR_CANT_LOCK;
    owner_ = self;  // the other threads wait here, not in the kernel
    count_ = 1;
    const int fd = fd_;
    guard.unlock();
    int r;
    while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (r == 0) return 0;
    guard.lock();
    owner_ = std::thread::id();
    count_ = 0;
    guard.unlock();
    idle_.notify_one();
    return CKR_CANT_LOCK;
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
