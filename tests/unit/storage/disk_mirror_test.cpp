// The phone-side list of key files awaiting their object: its bytes, and
// what a damaged list reads as.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "disk_mirror.h"

namespace {

using Bytes = std::vector<uint8_t>;

class PendingKeys : public ::testing::Test {
protected:
    PendingKeys() {
        char tmpl[] = "/tmp/kvmirror-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    ~PendingKeys() override { std::filesystem::remove_all(dir_); }
    Bytes FileBytes() {
        std::ifstream in(dir_ + "/keys.pending", std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    void Plant(const Bytes& b) {
        std::ofstream out(dir_ + "/keys.pending", std::ios::binary);
        out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    std::string dir_;
};

TEST_F(PendingKeys, EntriesAreFileIdAndProcessIdBigEndian) {
    DiskMirror mirror(dir_);
    mirror.WritePendingKeys({{0x8000, 0x01020304}, {0xA040, 0x00000042}});
    EXPECT_EQ(FileBytes(), (Bytes{0x80, 0x00, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x40, 0x00, 0x00, 0x00, 0x42}));
    const auto back = mirror.ReadPendingKeys();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].fid, 0xA040);
    EXPECT_EQ(back[1].owner, 0x42u);
    // An empty list leaves no file; the file counter of the mirror is untouched.
    mirror.WritePendingKeys({});
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/keys.pending"));
}

TEST_F(PendingKeys, DamagedListsReadAsWholeEntriesOrNothing) {
    DiskMirror mirror(dir_);
    Plant({0x80, 0x00, 0x01, 0x02, 0x03, 0x04, 0xA0});  // a cut-off second entry
    ASSERT_EQ(mirror.ReadPendingKeys().size(), 1u);
    Plant(Bytes(6 * DiskMirror::kMaxPendingKeys + 1, 0x11));  // longer than any list written
    EXPECT_TRUE(mirror.ReadPendingKeys().empty());
    EXPECT_TRUE(DiskMirror("").ReadPendingKeys().empty());
}

// Anyone of the user can write the list: a note is read only when it names
// a file of a key range (public keys 8000-9FE0 and private keys A020-C000 in
// steps of 20, DES keys 0501-050A, AES keys 0511-051A).
TEST_F(PendingKeys, NotesNamingAnythingButAKeyFileAreNotRead) {
    const struct {
        uint16_t fid;
        bool read;
    } cases[] = {{0x8000, true},  {0x9FE0, true},  {0xA020, true},  {0xC000, true},  {0x0501, true},
                 {0x051A, true},  {0x6F01, false}, {0x2400, false}, {0x2440, false}, {0x8010, false},
                 {0xA000, false}, {0xC020, false}, {0x0500, false}, {0x0510, false}, {0xFFFF, false}};
    for (const auto& c : cases) {
        Plant({uint8_t(c.fid >> 8), uint8_t(c.fid), 0, 0, 0, 1});
        const auto back = DiskMirror(dir_).ReadPendingKeys();
        EXPECT_EQ(back.size(), c.read ? 1u : 0u) << std::hex << c.fid;
    }
}

// Where the mirror lives on a host: the desktop cache folder of the user
// the environment names, so that a test or sandbox setting HOME or
// XDG_CACHE_HOME never writes into the account's real home.
TEST(MirrorBase, FollowsTheCacheFolderTheEnvironmentNames) {
    struct Case {
        const char* xdg;  // null: unset
        const char* home;
        std::string want;
    } cases[] = {
        {"/tmp/xdg-cache", "/tmp/home-a", "/tmp/xdg-cache/kvp11"},
        {nullptr, "/tmp/home-a", "/tmp/home-a/.cache/kvp11"},
        {"", "/tmp/home-b", "/tmp/home-b/.cache/kvp11"},
        {"relative/cache", "/tmp/home-c", "/tmp/home-c/.cache/kvp11"},  // not absolute: ignored
    };
    const char* savedXdg = std::getenv("XDG_CACHE_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string xdgBefore = savedXdg ? savedXdg : "", homeBefore = savedHome ? savedHome : "";
    for (const Case& c : cases) {
        if (c.xdg) setenv("XDG_CACHE_HOME", c.xdg, 1);
        else unsetenv("XDG_CACHE_HOME");
        setenv("HOME", c.home, 1);
        DiskMirror::SetBase("");
        EXPECT_EQ(DiskMirror::Base(), c.want) << (c.xdg ? c.xdg : "(unset)");
    }
    if (savedXdg) setenv("XDG_CACHE_HOME", xdgBefore.c_str(), 1);
    else unsetenv("XDG_CACHE_HOME");
    if (savedHome) setenv("HOME", homeBefore.c_str(), 1);
    else unsetenv("HOME");
    DiskMirror::SetBase("");
}

}  // namespace
