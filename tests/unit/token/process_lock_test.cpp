// The lock of the processes sharing a token: exclusion against other open
// descriptions of the file (as another process has), re-entrancy per thread,
// exclusion between threads, children made by fork, dead holders, and the
// channel record's bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pkcs11t.h"
#include "process_lock.h"

namespace {

class ProcessLockTest : public ::testing::Test {
protected:
    ProcessLockTest() {
        char tmpl[] = "/tmp/kvlock-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/token.sock.lock";
    }
    ~ProcessLockTest() override { std::system(("rm -rf " + dir_).c_str()); }

    // Whether a description of the file other than the lock's own could take
    // the lock now: what another process would find.
    bool FreeForOthers() const {
        int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);  // also releases what this probe took
        return free;
    }

    std::string dir_, path_;
};

TEST_F(ProcessLockTest, OnePerPathAndNoneForAnEmptyPath) {
    ProcessLock* a = ProcessLock::ForPath(path_);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ProcessLock::ForPath(path_), a);
    EXPECT_NE(ProcessLock::ForPath(path_ + "2"), a);
    EXPECT_EQ(ProcessLock::ForPath(""), nullptr);
}

TEST_F(ProcessLockTest, HeldFromOutermostLockToLastUnlock) {
    ProcessLock lock(path_);
    ASSERT_EQ(lock.Lock(), 0u);
    EXPECT_FALSE(FreeForOthers());
    ASSERT_EQ(lock.Lock(), 0u);  // re-entrant for the owner
    lock.Unlock();
    EXPECT_FALSE(FreeForOthers());
    lock.Unlock();
    EXPECT_TRUE(FreeForOthers());
    lock.Unlock();  // unbalanced: nothing to release
    EXPECT_TRUE(FreeForOthers());
}

TEST_F(ProcessLockTest, ThreadsOfOneProcessTakeTurns) {
    ProcessLock lock(path_);
    int inside = 0;  // changed only under the lock: a data race shows in the thread sanitizer
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                ASSERT_EQ(lock.Lock(), 0u);
                ASSERT_EQ(lock.Lock(), 0u);
                if (++inside != 1) ++overlaps;
                --inside;
                lock.Unlock();
                lock.Unlock();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps, 0);
    EXPECT_TRUE(FreeForOthers());
}

TEST_F(ProcessLockTest, UnlockByAnotherThreadReleasesNothing) {
    ProcessLock lock(path_);
    ASSERT_EQ(lock.Lock(), 0u);
    std::thread([&] { lock.Unlock(); }).join();
    EXPECT_FALSE(FreeForOthers());
    lock.Unlock();
    EXPECT_TRUE(FreeForOthers());
}

// A child made by fork holds nothing of its parent's: its Unlock frees
// nothing, and its own Lock waits for the parent.
TEST_F(ProcessLockTest, ForkedChildWaitsForItsParent) {
    ProcessLock* lock = ProcessLock::ForPath(path_);
    ASSERT_EQ(lock->Lock(), 0u);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        lock->Unlock();
        char step = '1';
        if (write(pipeFds[1], &step, 1) != 1) _exit(2);
        if (lock->Lock() != 0) _exit(3);
        step = '2';
        if (write(pipeFds[1], &step, 1) != 1) _exit(2);
        lock->Unlock();
        _exit(0);
    }
    close(pipeFds[1]);
    char step = 0;
    ASSERT_EQ(read(pipeFds[0], &step, 1), 1);
    EXPECT_EQ(step, '1');
    EXPECT_FALSE(FreeForOthers());  // the child's Unlock left the parent's lock alone
    pollfd waiting{pipeFds[0], POLLIN, 0};
    EXPECT_EQ(poll(&waiting, 1, 100), 0);  // the child is still waiting
    lock->Unlock();
    ASSERT_EQ(read(pipeFds[0], &step, 1), 1);
    EXPECT_EQ(step, '2');
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(pipeFds[0]);
}

TEST_F(ProcessLockTest, KilledHolderFreesTheLock) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ProcessLock own(path_);
        if (own.Lock() != 0) _exit(3);
        char held = 'h';
        if (write(pipeFds[1], &held, 1) != 1) _exit(2);
        for (;;) pause();
    }
    close(pipeFds[1]);
    char held = 0;
    ASSERT_EQ(read(pipeFds[0], &held, 1), 1);
    EXPECT_FALSE(FreeForOthers());
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(FreeForOthers());
    ProcessLock lock(path_);
    EXPECT_EQ(lock.Lock(), 0u);
    lock.Unlock();
    close(pipeFds[0]);
}

TEST_F(ProcessLockTest, ChannelRecordIsEightBytesLittleEndian) {
    ProcessLock lock(path_);
    ASSERT_EQ(lock.Lock(), 0u);
    EXPECT_EQ(lock.ChannelOwner(), 0u);  // empty file: nobody's channel
    ASSERT_TRUE(lock.SetChannelOwner(0x0102030405060708ull));
    EXPECT_EQ(lock.ChannelOwner(), 0x0102030405060708ull);
    lock.Unlock();

    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    uint8_t bytes[16] = {};
    ASSERT_EQ(read(fd, bytes, sizeof bytes), 8);
    close(fd);
    const uint8_t expected[8] = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 8), std::vector<uint8_t>(expected, expected + 8));

    ProcessLock reader(path_);  // another process reads what was recorded
    ASSERT_EQ(reader.Lock(), 0u);
    EXPECT_EQ(reader.ChannelOwner(), 0x0102030405060708ull);
    reader.Unlock();
}

TEST_F(ProcessLockTest, UnusableFileFailsClearlyAndLeavesTheLockUsable) {
    ProcessLock lock(dir_ + "/missing/deeper/token.lock");
    EXPECT_EQ(lock.Lock(), static_cast<RV>(CKR_CANT_LOCK));
    std::thread([&] { EXPECT_EQ(lock.Lock(), static_cast<RV>(CKR_CANT_LOCK)); }).join();  // not left waiting
    lock.Unlock();
}

}  // namespace
