// The lock that the processes sharing one token take around each span in
// which they use it: an advisory lock (flock) on the file the device names
// (kv_dev_t::LockPath), and in that file the record of whose secure channel
// the token holds and of the token's write counter as its holders left it.
// The token keeps one secure channel; a process that opens its own voids
// everybody else's, so a process taking this lock learns from the record
// whether its channel survived.
//
// Re-entrant for the owning thread; the other threads of the process wait
// for it as other processes do. The kernel drops the lock of a process that
// dies, so a killed holder never blocks the others; a holder that never lets
// go (stuck, or another user's process where the file could be reached)
// costs a failed call after the wait limit, never a hang.
//
// The file must be of this user's own, in a folder of this user's own
// (support/own_files.h): one another user made, could change or could
// reach by a link is refused, and with it the lock.
#ifndef KV_TOKEN_PROCESS_LOCK_H
#define KV_TOKEN_PROCESS_LOCK_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "kv_types.h"

class ProcessLock {
public:
    // The one lock of this process for the file at path, made on first use
    // and kept until the process ends; null for an empty path.
    static ProcessLock* ForPath(const std::string& path);

    // The longest wait of one Lock for the holder, another thread or another
    // process: long enough for the slowest command of a token (a key
    // generation) in another process's call.
    static constexpr std::chrono::milliseconds kWaitLimit{30000};

    // waitLimit: the longest wait of one Lock (tests shorten it).
    explicit ProcessLock(std::string path, std::chrono::milliseconds waitLimit = kWaitLimit);
    ~ProcessLock();
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;

    // Waits until this thread holds the lock, at most the wait limit. 0, or
    // CKR_CANT_LOCK (with a log line) when the file cannot be opened, fails
    // the checks above, or is not free within the wait limit. A token
    // command that cannot take the lock fails as a lost exchange does
    // (CKR_DEVICE_ERROR, support/result_codes.h).
    RV Lock();
    // Releases one Lock of the owning thread; a call by any other thread
    // does nothing.
    void Unlock();

    // The channel recorded by the process that last opened one on the token
    // (0: none recorded). Read and written by the holder only. A record that
    // cannot be written leaves the others to the token's channel recovery.
    uint64_t ChannelOwner() const;
    bool SetChannelOwner(uint64_t channel);

    // The token's write counter as the last holder knew it, and when
    // (steady-clock milliseconds) it was last read from the token. A holder
    // about to write marks it unknown first, and records the new counter
    // once it has read it: a holder killed in between leaves it unknown.
    // Read and written by the holder only; an unreadable record is unknown.
    struct Counter {
        bool known = false;
        uint32_t value = 0;
        uint64_t readAtMs = 0;
    };
    Counter WriteCounter() const;
    void SetWriteCounter(const Counter& counter);

private:
    // In a child made by fork: the descriptor (its lock belongs to the
    // parent) and the holders are the parent's, so both are forgotten.
    void ForgetParent();
    bool Open();

    const std::string path_;
    const std::chrono::milliseconds waitLimit_;
    std::mutex mutex_;
    std::condition_variable idle_;
    int fd_ = -1;
    pid_t pid_ = 0;  // the process that opened fd_
    std::thread::id owner_;
    uint32_t count_ = 0;
};

#endif
