// The lock of the processes sharing a token: exclusion against other open
// descriptions of the file (as another process has), re-entrancy per thread,
// exclusion between threads, children made by fork, dead holders, holders
// that never let go, files and folders another user could have planted, and
// the channel record's bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pkcs11t.h"
#include "process_lock.h"

namespace {

// A user id no account has: the other user, played by a root test.
constexpr uid_t kStranger = 4242;

// A regular file of the given mode and owner (root alone gives another owner).
void MakeFile(const std::string& path, mode_t mode, uid_t owner) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(fchmod(fd, mode), 0);
    if (owner != geteuid()) {
        ASSERT_EQ(fchown(fd, owner, owner), 0);
    }
    close(fd);
}

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
    const std::string file = dir_ + "/file";
    close(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ProcessLock lock(file + "/token.lock");  // its folder cannot be made: a file is in the way
    EXPECT_EQ(lock.Lock(), static_cast<RV>(CKR_CANT_LOCK));
    std::thread([&] { EXPECT_EQ(lock.Lock(), static_cast<RV>(CKR_CANT_LOCK)); }).join();  // not left waiting
    lock.Unlock();
}

TEST_F(ProcessLockTest, MissingFoldersAreMadeForTheUserAlone) {
    const std::string folder = dir_ + "/fresh/cache/kvp11-locks";
    ProcessLock lock(folder + "/token.lock");
    ASSERT_EQ(lock.Lock(), 0u);
    lock.Unlock();
    struct stat st{};
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(lstat((folder + "/token.lock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// What another user could have planted where the lock file goes: the file
// itself (another owner, writable by others, a link, a second name) or its
// folder. Each is refused, and what it names is left as it was.
TEST_F(ProcessLockTest, PlantedFilesAndFoldersAreRefused) {
    const bool root = geteuid() == 0;
    const std::string target = dir_ + "/target";
    struct Case {
        const char* what;
        bool needsRoot;
        std::function<void(const std::string& folder, const std::string& file)> plant;
    } cases[] = {
        {"file of another user, 0600", true,
         [](const std::string&, const std::string& file) { MakeFile(file, 0600, kStranger); }},
        {"file of another user, 0666", true,
         [](const std::string&, const std::string& file) { MakeFile(file, 0666, kStranger); }},
        {"own file writable by all", false,
         [](const std::string&, const std::string& file) { MakeFile(file, 0666, geteuid()); }},
        {"own file writable by the group", false,
         [](const std::string&, const std::string& file) { MakeFile(file, 0620, geteuid()); }},
        {"symbolic link to a file", false,
         [&](const std::string&, const std::string& file) {
             MakeFile(target, 0600, geteuid());
             ASSERT_EQ(symlink(target.c_str(), file.c_str()), 0);
         }},
        {"hard link to a file", false,
         [&](const std::string&, const std::string& file) {
             MakeFile(target, 0600, geteuid());
             ASSERT_EQ(link(target.c_str(), file.c_str()), 0);
         }},
        {"folder of another user", true,
         [](const std::string& folder, const std::string&) {
             ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
             ASSERT_EQ(chown(folder.c_str(), kStranger, kStranger), 0);
         }},
        {"folder writable by all", false,
         [](const std::string& folder, const std::string&) {
             ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
             ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
         }},
        {"folder that is a symbolic link", false,
         [&](const std::string& folder, const std::string&) {
             ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
             ASSERT_EQ(symlink(target.c_str(), folder.c_str()), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !root) continue;  // another owner takes root to make
        std::system(("rm -rf " + dir_ + "/locks " + target).c_str());
        const std::string folder = dir_ + "/locks", file = folder + "/token.lock";
        if (std::string(c.what).rfind("folder", 0) != 0) {
            ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        }
        c.plant(folder, file);
        ProcessLock lock(file);
        EXPECT_EQ(lock.Lock(), static_cast<RV>(CKR_CANT_LOCK));
        struct stat st{};
        if (stat(file.c_str(), &st) == 0) {
            EXPECT_EQ(st.st_size, 0);  // no record written into it
        }
        if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            EXPECT_EQ(st.st_size, 0);
        }
        lock.Unlock();
    }
}

// A holder that never lets go, another process or another thread of this
// one, costs the waiter a clear failure at the wait limit, and no hang; once
// the holder lets go the lock is taken again. Each wait runs in a child
// process that is given up on (and the test failed) when it has not
// answered long after the limit.
TEST_F(ProcessLockTest, AHolderThatNeverLetsGoCostsAFailureNotAHang) {
    struct Case {
        const char* holder;
        bool otherProcess;
    } cases[] = {{"another process", true}, {"another thread", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.holder);
        int answer[2];
        ASSERT_EQ(pipe(answer), 0);
        std::fflush(stdout);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // a child given up on goes with the test
            close(answer[0]);
            ProcessLock lock(path_, std::chrono::milliseconds(300));
            pid_t holder = -1;
            std::thread holderThread;
            std::atomic<bool> held{false}, release{false};
            if (c.otherProcess) {
                int ready[2];
                if (pipe(ready) != 0) _exit(2);
                holder = fork();
                if (holder == 0) {
                    prctl(PR_SET_PDEATHSIG, SIGKILL);
                    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
                    char one = 1;
                    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], &one, 1) != 1) _exit(2);
                    for (;;) pause();
                }
                char one = 0;
                if (read(ready[0], &one, 1) != 1) _exit(2);
            } else {
                holderThread = std::thread([&] {
                    if (lock.Lock() != 0) std::abort();
                    held = true;
                    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    lock.Unlock();
                });
                while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            char result[2];
            result[0] = lock.Lock() == CKR_CANT_LOCK ? 'F' : 'x';
            if (c.otherProcess) {
                kill(holder, SIGKILL);
                waitpid(holder, nullptr, 0);
            } else {
                release = true;
                holderThread.join();
            }
            result[1] = lock.Lock() == 0 ? 'T' : 'x';
            lock.Unlock();
            if (write(answer[1], result, 2) != 2) _exit(2);
            _exit(0);
        }
        close(answer[1]);
        pollfd waiting{answer[0], POLLIN, 0};
        const bool answered = poll(&waiting, 1, 20000) == 1;
        char result[3] = {};
        if (answered) {
            EXPECT_EQ(read(answer[0], result, 2), 2);
        }
        if (!answered) kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(answer[0]);
        ASSERT_TRUE(answered) << "still waiting for the lock";
        EXPECT_EQ(result[0], 'F') << "the lock held elsewhere was not refused";
        EXPECT_EQ(result[1], 'T') << "the lock let go was not taken";
    }
}

}  // namespace
