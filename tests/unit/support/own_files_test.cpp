// The checks of what only this user can have made or can change, on the
// file status a stranger could arrange: owner, type, mode bits, links.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "own_files.h"

namespace {

constexpr uid_t kStranger = 4242;

struct stat Status(mode_t mode, uid_t owner, nlink_t links = 1) {
    struct stat st{};
    st.st_mode = mode;
    st.st_uid = owner;
    st.st_nlink = links;
    return st;
}

TEST(OwnFiles, OnlyAFolderOfThisUserNoOtherCanWriteIsOwn) {
    const uid_t self = geteuid(), other = self == kStranger ? kStranger + 1 : kStranger;
    struct Case {
        const char* what;
        struct stat st;
        bool own;
    } cases[] = {
        {"0700, this user's", Status(S_IFDIR | 0700, self), true},
        {"0755, this user's", Status(S_IFDIR | 0755, self), true},
        {"another user's", Status(S_IFDIR | 0700, other), false},
        {"writable by the group", Status(S_IFDIR | 0770, self), false},
        {"writable by all, sticky (as /tmp)", Status(S_IFDIR | 01777, self), false},
        {"a symbolic link", Status(S_IFLNK | 0777, self), false},
        {"a regular file", Status(S_IFREG | 0700, self), false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsOwnFolder(c.st), c.own) << c.what;
}

TEST(OwnFiles, OnlyARegularFileOfThisUserWithOneNameNoOtherCanWriteIsOwn) {
    const uid_t self = geteuid(), other = self == kStranger ? kStranger + 1 : kStranger;
    struct Case {
        const char* what;
        struct stat st;
        bool own;
    } cases[] = {
        {"0600, this user's", Status(S_IFREG | 0600, self), true},
        {"0644, this user's", Status(S_IFREG | 0644, self), true},
        {"another user's, 0600", Status(S_IFREG | 0600, other), false},
        {"another user's, 0666", Status(S_IFREG | 0666, other), false},
        {"writable by all", Status(S_IFREG | 0666, self), false},
        {"writable by the group", Status(S_IFREG | 0620, self), false},
        {"two names (a hard link)", Status(S_IFREG | 0600, self, 2), false},
        {"a symbolic link", Status(S_IFLNK | 0600, self), false},
        {"a named pipe", Status(S_IFIFO | 0600, self), false},
        {"a folder", Status(S_IFDIR | 0700, self), false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsOwnFile(c.st), c.own) << c.what;
}

// Folders are made with their missing parents, for this user alone; a path
// through a file cannot be made, and a shared folder is never own.
TEST(OwnFiles, MadeFoldersAreOwnAndSharedOnesAreNot) {
    char tmpl[] = "/tmp/kvown-test-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string fresh = dir + "/a/b/c";
    EXPECT_TRUE(MakeOwnFolder(fresh));
    EXPECT_TRUE(IsOwnFolderPath(fresh));
    struct stat st{};
    ASSERT_EQ(lstat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const std::string shared = dir + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    EXPECT_FALSE(MakeOwnFolder(shared));
    EXPECT_FALSE(IsOwnFolderPath(shared));
    ASSERT_EQ(symlink(fresh.c_str(), (dir + "/link").c_str()), 0);
    EXPECT_FALSE(IsOwnFolderPath(dir + "/link"));
    EXPECT_FALSE(MakeOwnFolder(dir + "/link"));
    EXPECT_FALSE(IsOwnFolderPath(""));
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
