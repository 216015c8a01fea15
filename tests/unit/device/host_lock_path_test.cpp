// Where the lock file of a token's processes goes on a host: in a folder of
// this user's own, never beside the socket or in another shared folder, and
// one file per token for every process of the user.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "disk_mirror.h"
#include "host_lock_path.h"
#include "host_socket_bridge.h"

namespace {

constexpr uid_t kStranger = 4242;

// A temporary folder, and the environment the folder is chosen by: no
// runtime folder, the cache inside the temporary folder.
class HostLockPathTest : public ::testing::Test {
protected:
    HostLockPathTest() {
        char tmpl[] = "/tmp/kvlockpath-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        Keep("XDG_RUNTIME_DIR");
        Keep("XDG_CACHE_HOME");
        unsetenv("XDG_RUNTIME_DIR");
        setenv("XDG_CACHE_HOME", (dir_ + "/cache").c_str(), 1);
    }
    ~HostLockPathTest() override {
        for (const auto& [name, value] : kept_) {
            if (value.first) {
                setenv(name.c_str(), value.second.c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        std::system(("rm -rf " + dir_).c_str());
    }
    void Keep(const char* name) {
        const char* value = std::getenv(name);
        kept_[name] = {value != nullptr, value ? value : ""};
    }
    static std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

    std::string dir_;
    std::map<std::string, std::pair<bool, std::string>> kept_;
};

TEST_F(HostLockPathTest, TheRuntimeFolderWhenItIsTheUsersOwnElseBesideTheMirror) {
    const std::string cacheFolder = DiskMirror::UserBase() + "-locks";
    ASSERT_EQ(cacheFolder.rfind(dir_ + "/cache/", 0), 0u);
    struct Case {
        const char* runtime;  // the folder XDG_RUNTIME_DIR names, made by make
        bool needsRoot;
        void (*make)(const std::string& path);
        bool used;
    } cases[] = {
        {"own", false, [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }, true},
        {"writable-by-all", false,
         [](const std::string& p) {
             ASSERT_EQ(mkdir(p.c_str(), 0700), 0);
             ASSERT_EQ(chmod(p.c_str(), 01777), 0);
         },
         false},
        {"another-users", true,
         [](const std::string& p) {
             ASSERT_EQ(mkdir(p.c_str(), 0700), 0);
             ASSERT_EQ(chown(p.c_str(), kStranger, kStranger), 0);
         },
         false},
        {"link-to-own", false,
         [](const std::string& p) {
             ASSERT_EQ(mkdir((p + "-target").c_str(), 0700), 0);
             ASSERT_EQ(symlink((p + "-target").c_str(), p.c_str()), 0);
         },
         false},
        {"missing", false, [](const std::string&) {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runtime);
        if (c.needsRoot && geteuid() != 0) continue;  // another owner takes root to make
        const std::string runtime = dir_ + "/" + c.runtime;
        c.make(runtime);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const std::string expected = c.used ? runtime + "/kvp11-locks" : cacheFolder;
        EXPECT_EQ(HostLockFolder(), expected);
        EXPECT_EQ(FolderOf(HostLockPath("socket", "/run/token.sock")), expected);
    }
    setenv("XDG_RUNTIME_DIR", "relative/run", 1);
    EXPECT_EQ(HostLockFolder(), cacheFolder);
}

// One name per token and kind, the same for every process; names that
// differ only in characters a file name cannot keep still differ.
TEST_F(HostLockPathTest, OneFilePerTokenNamedFromItsKey) {
    const std::string longKey = "/" + std::string(300, 'x') + "/token.sock";
    const std::string keys[] = {"/tmp/a/b.sock", "/tmp/a_b.sock", "/tmp/a b.sock", "/tmp/a/b.sock2", longKey, "x"};
    std::set<std::string> names;
    for (const std::string& key : keys) {
        const std::string path = HostLockPath("socket", key);
        EXPECT_EQ(path, HostLockPath("socket", key));
        EXPECT_EQ(FolderOf(path), HostLockFolder()) << key;
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_LE(name.size(), 255u) << key;
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-"),
                  std::string::npos)
            << name;
        names.insert(name);
        names.insert(HostLockPath("pcsc", key).substr(path.rfind('/') + 1));
    }
    EXPECT_EQ(names.size(), 2 * (sizeof keys / sizeof keys[0]));
}

// The socket bridge's lock file is in the user's folder, not beside a socket
// that may sit in a shared folder; with no socket named there is none.
TEST_F(HostLockPathTest, TheSocketBridgesLockFileIsNeverBesideTheSocket) {
    HostSocketBridge bridge;
    bridge.SetSocketPath(dir_ + "/shared/token.sock");
    const std::string path = bridge.LockPath();
    EXPECT_EQ(FolderOf(path), HostLockFolder());
    EXPECT_NE(FolderOf(path), dir_ + "/shared");
    bridge.SetSocketPath("");
    EXPECT_EQ(bridge.LockPath(), "");
}

}  // namespace
