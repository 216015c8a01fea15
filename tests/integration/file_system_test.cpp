// The named file system and the file cache on the virtual token.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <set>

#include "file_cache_local.h"
#include "file_record.h"
#include "file_system_tarn.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::StatOf;
using testing_kv::TokenClient;

namespace {

class FileSystemOnSim : public ::testing::Test {
protected:
    explicit FileSystemOnSim(std::vector<std::string> args = {}) : sim(args) {
        DiskMirror::SetBase(sim.Dir() + "/mirror");
        client = std::make_unique<TokenClient>(sim.Socket());
    }
    void SetUp() override {
        ASSERT_EQ(Token().ConnectAndSetenv(), 0u);
        fs = Token().GetFileSystem();
        ASSERT_NE(fs, nullptr);
        ASSERT_EQ(testing_kv::LoginUser(Token()), 0u);  // deleting named files needs the user
    }
    ~FileSystemOnSim() override { client.reset(); }
    CTokenTarn& Token() { return *client->token; }

    // FIDs of the named files from the token's record table.
    std::map<std::string, uint16_t> Fids() {
        ByteVec raw;
        EXPECT_EQ(Token().GetFileCache()->Read(0x6F01, 0, raw, nullptr), 0u);
        std::map<std::string, uint16_t> fids;
        for (uint32_t i = 0; i < kRecordCount; ++i) {
            tagFILE_RECORD r = tagFILE_RECORD::Decode(raw.data() + i * kRecordSize);
            if (r.fid != kFidFree && r.fid != kFidDirectory) fids[r.DirName() + "/" + r.FileName()] = r.fid;
        }
        return fids;
    }
    bool OnDisk(uint16_t fid) {
        char name[16];
        std::snprintf(name, sizeof name, "/%04X.dat", fid);
        struct stat st{};
        return stat((sim.Dir() + "/mirror/4B56000000000001" + name).c_str(), &st) == 0;
    }
    std::string Trace() { return sim.Control("trace"); }
    static std::string Hex(const ByteVec& b) { return testing_kv::ToHex(b); }
    static std::string Hex16(uint16_t v) { return Hex({static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); }

    SimProcess sim;
    std::unique_ptr<TokenClient> client;
    IFileSystem* fs = nullptr;
};

TEST_F(FileSystemOnSim, EnumeratesWhatThePersonalisationLaidDown) {
    std::vector<std::string> dirs, files;
    ASSERT_EQ(fs->EnumFiles("", dirs, files, nullptr), 0u);
    EXPECT_EQ(dirs, (std::vector<std::string>{"tkinfdir", "pkcs11", "mscp", "internal"}));
    EXPECT_TRUE(files.empty());
    dirs.clear();
    ASSERT_EQ(fs->EnumFiles("mscp", dirs, files, nullptr), 0u);
    EXPECT_TRUE(dirs.empty());
    EXPECT_EQ(files, std::vector<std::string>{"cmapfile"});
    EXPECT_EQ(fs->EnumFiles("nosuchdir", dirs, files, nullptr), SCARD_E_DIR_NOT_FOUND);
    EXPECT_EQ(fs->EnumFiles("elevenchars", dirs, files, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(FileSystemOnSim, FilesDirectoriesAndTheirRules) {
    ASSERT_EQ(fs->CreateDirectory("objs", 0xD000, nullptr), 0u);
    EXPECT_EQ(fs->CreateDirectory("objs", 0xD000, nullptr), SCARD_E_NO_SUCH_DIRECTORY);
    EXPECT_EQ(fs->CreateDirectory("cmapfile", 0xD000, nullptr), SCARD_E_NO_SUCH_DIRECTORY);  // a file's name
    EXPECT_EQ(fs->CreateFile("objs", "thirteenchars", 1, 1, 0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(fs->CreateFile("objs", "a", 8, 4, 0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(fs->CreateFile("nodir", "a", 1, 1, 0, nullptr), SCARD_E_DIR_NOT_FOUND);
    ASSERT_EQ(fs->CreateFile("objs", "a", 10, 64, 0xD800, nullptr), 0u);
    EXPECT_EQ(fs->CreateFile("objs", "a", 10, 64, 0xD800, nullptr), SCARD_E_NO_SUCH_FILE);
    EXPECT_EQ(Fids().at("objs/a"), 0x2460);  // the first FID no record and no token file uses

    const uint8_t text[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    uint32_t count = 0;
    ASSERT_EQ(fs->WriteFile("objs", "a", 0, text, 10, &count), 0u);
    EXPECT_NE(count, 0u);
    ByteVec back;
    uint32_t readCount = 0;
    ASSERT_EQ(fs->ReadFile("objs", "a", 0, back, &readCount), 0u);
    EXPECT_EQ(back, ByteVec(text, text + 10));
    EXPECT_EQ(readCount, count);
    EXPECT_FALSE(fs->Outdated("objs", "a", count));
    EXPECT_EQ(fs->WriteFile("objs", "a", 60, text, 5, nullptr), CKR_DEVICE_MEMORY);

    ASSERT_EQ(fs->CreateFile("objs", "empty", 0, 0, 0, nullptr), 0u);
    EXPECT_EQ(Fids().at("objs/empty"), kFidEmptyFile);
    ASSERT_EQ(fs->ReadFile("objs", "empty", 0, back, nullptr), 0u);
    EXPECT_TRUE(back.empty());

    uint16_t acl = 0;
    ASSERT_EQ(fs->GetFileACL("objs", "a", &acl), 0u);
    EXPECT_EQ(acl, 0xD800);
    EXPECT_EQ(fs->DeleteDirectory("objs"), KV_E_DIR_NOT_EMPTY);
    ASSERT_EQ(fs->DeleteFile("objs", "a"), 0u);
    ASSERT_EQ(fs->DeleteFile("objs", "empty"), 0u);
    EXPECT_EQ(fs->DeleteFile("objs", "a"), SCARD_E_FILE_NOT_FOUND);
    ASSERT_EQ(fs->DeleteDirectory("objs"), 0u);
    std::vector<uint16_t> onToken;
    ASSERT_EQ(Token().GetFileList(onToken), 0u);
    EXPECT_EQ(std::count(onToken.begin(), onToken.end(), 0x2460), 0);
}

TEST_F(FileSystemOnSim, WritesSendOnlyTheBytesThatDiffer) {
    ASSERT_EQ(fs->CreateFile("pkcs11", "f", 200, 200, 0xDB00, nullptr), 0u);
    ByteVec content(200);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(fs->WriteFile("pkcs11", "f", 0, content.data(), 200, nullptr), 0u);

    ASSERT_EQ(Token().Lock(), 0u);  // one call: the counter is read once
    sim.Control("stats-reset");
    sim.Control("trace-clear");
    ASSERT_EQ(fs->WriteFile("pkcs11", "f", 0, content.data(), 200, nullptr), 0u);
    EXPECT_EQ(StatOf(sim, "ins_D6"), 0) << "unchanged content sends nothing";
    EXPECT_LE(StatOf(sim, "apdus"), 1);
    content[100] ^= 0xFF;
    ASSERT_EQ(fs->WriteFile("pkcs11", "f", 0, content.data(), 200, nullptr), 0u);
    Token().Unlock();
    EXPECT_EQ(StatOf(sim, "ins_D6"), 1);
    EXPECT_NE(Trace().find("APDU 00D60064 data=9B le=0"), std::string::npos) << Trace();
}

// Another application, outside the processes that share the lock file,
// changes a file: a reader sees it once the counter's window is over, a
// writer at once.
TEST_F(FileSystemOnSim, AnotherApplicationsWriteIsSeen) {
    for (bool writer : {true, false}) {
        SCOPED_TRACE(writer ? "writer" : "reader");
        const std::string name = writer ? "g" : "h";
        ASSERT_EQ(fs->CreateFile("pkcs11", name, 4, 4, 0xDB00, nullptr), 0u);
        const uint8_t mine[4] = {1, 2, 3, 4};
        uint32_t count = 0;
        ASSERT_EQ(fs->WriteFile("pkcs11", name, 0, mine, 4, &count), 0u);
        const uint16_t fid = Fids().at("pkcs11/" + name);
        EXPECT_TRUE(OnDisk(fid));
        sim.Control("other 00A4000002" + Hex16(fid));
        sim.Control("other 00D6000004AABBCCDD");
        if (writer) {
            ASSERT_EQ(fs->CreateFile("pkcs11", "w", 4, 4, 0xDB00, nullptr), 0u);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kCounterWindowMs + 100));
        }
        EXPECT_TRUE(fs->Outdated("pkcs11", name, count));
        EXPECT_FALSE(OnDisk(fid)) << "the disk mirror is wiped";
        ByteVec back;
        ASSERT_EQ(fs->ReadFile("pkcs11", name, 0, back, nullptr), 0u);
        EXPECT_EQ(back, (ByteVec{0xAA, 0xBB, 0xCC, 0xDD}));
    }
}

TEST_F(FileSystemOnSim, PartialWritesLeaveNoDiskCopy) {
    ASSERT_EQ(fs->CreateFile("pkcs11", "p", 16, 16, 0xDB00, nullptr), 0u);
    const uint16_t fid = Fids().at("pkcs11/p");
    const uint8_t some[4] = {9, 9, 9, 9};
    ASSERT_EQ(fs->WriteFile("pkcs11", "p", 4, some, 4, nullptr), 0u);
    EXPECT_FALSE(OnDisk(fid));
    ByteVec whole(16, 7);
    ASSERT_EQ(fs->WriteFile("pkcs11", "p", 0, whole.data(), 16, nullptr), 0u);
    EXPECT_TRUE(OnDisk(fid));
}

TEST_F(FileSystemOnSim, ResizeKeepsOrReallocates) {
    ASSERT_EQ(fs->CreateFile("pkcs11", "r", 32, 32, 0xDB00, nullptr), 0u);
    ByteVec content(32, 0x11);
    ASSERT_EQ(fs->WriteFile("pkcs11", "r", 0, content.data(), 32, nullptr), 0u);
    const uint16_t fid = Fids().at("pkcs11/r");
    ASSERT_EQ(fs->ResizeFile("pkcs11", "r", 20, nullptr, nullptr), 0u);
    EXPECT_EQ(Fids().at("pkcs11/r"), fid);
    uint32_t size = 0;
    ASSERT_EQ(fs->GetFileSize("pkcs11", "r", &size), 0u);
    EXPECT_EQ(size, 20u);
    ByteVec back;
    ASSERT_EQ(fs->ReadFile("pkcs11", "r", 0, back, nullptr), 0u);
    EXPECT_EQ(back, ByteVec(20, 0x11));

    ASSERT_EQ(fs->ResizeFile("pkcs11", "r", 100, nullptr, nullptr), 0u);  // a new, larger token file
    uint32_t onToken = 0;
    ASSERT_EQ(Token().GetFileSize(Fids().at("pkcs11/r"), &onToken), 0u);
    EXPECT_EQ(onToken, 100u);
    ASSERT_EQ(fs->ReadFile("pkcs11", "r", 0, back, nullptr), 0u);
    ASSERT_EQ(back.size(), 100u);
    EXPECT_EQ(ByteVec(back.begin(), back.begin() + 20), ByteVec(20, 0x11)) << "old content kept";
    ByteVec bigger(300, 0x22);
    ASSERT_EQ(fs->ResizeFile("pkcs11", "r", 300, nullptr, bigger.data()), 0u);
    ASSERT_EQ(fs->ReadFile("pkcs11", "r", 0, back, nullptr), 0u);
    EXPECT_EQ(back, bigger);
}

TEST_F(FileSystemOnSim, GrowingThatCannotFitKeepsTheOldFile) {
    ASSERT_EQ(fs->CreateFile("pkcs11", "keep", 8, 8, 0xDB00, nullptr), 0u);
    const uint8_t content[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(fs->WriteFile("pkcs11", "keep", 0, content, 8, nullptr), 0u);
    EXPECT_EQ(fs->ResizeFile("pkcs11", "keep", 65000, nullptr, nullptr), CKR_DEVICE_MEMORY);  // over the token's room
    ByteVec back;
    ASSERT_EQ(fs->ReadFile("pkcs11", "keep", 0, back, nullptr), 0u);
    EXPECT_EQ(back, ByteVec(content, content + 8));
}

TEST_F(FileSystemOnSim, AllRecordsInUse) {
    const uint8_t old[4] = {1, 2, 3, 4}, changed[4] = {5, 6, 7, 8};
    ASSERT_EQ(fs->CreateFileWith("pkcs11", "kept", old, 4, 0xDB00, nullptr), 0u);
    int created = 0;
    RV rv = 0;
    while ((rv = fs->CreateFile("pkcs11", "e" + std::to_string(created), 0, 0, 0, nullptr)) == 0) ++created;
    EXPECT_EQ(rv, CKR_DEVICE_MEMORY);
    EXPECT_EQ(created, 50 - 8);
    EXPECT_EQ(fs->CreateDirectory("more", 0, nullptr), CKR_DEVICE_MEMORY);
    // A change is written beside the old version: with no record free for
    // it the token's memory is full, and the old version stays whole.
    EXPECT_EQ(fs->ReplaceFile("pkcs11", "kept", changed, 4, nullptr), CKR_DEVICE_MEMORY);
    ByteVec back;
    ASSERT_EQ(fs->ReadFile("pkcs11", "kept", 0, back, nullptr), 0u);
    EXPECT_EQ(back, ByteVec(old, old + 4));
}

TEST_F(FileSystemOnSim, UnreadableTimeOutIsAnErrorAndChangesNothing) {
    ASSERT_EQ(Token().SetTimeOut(300000), 0u);
    uint32_t timeout = 0;
    ASSERT_EQ(Token().GetTimeOut(&timeout), 0u);
    EXPECT_EQ(timeout, 300000u);
    // An emptied token information file: no time-out can be read from it.
    ASSERT_EQ(fs->ResizeFile("tkinfdir", "tokeninfo", 0, nullptr, nullptr), 0u);
    timeout = 77;
    EXPECT_EQ(Token().GetTimeOut(&timeout), CKR_DEVICE_ERROR);
    EXPECT_EQ(timeout, 77u);
    CK_TOKEN_INFO info;
    EXPECT_EQ(Token().GetTokenInfo(&info), CKR_DEVICE_ERROR);
}

TEST_F(FileSystemOnSim, WarmStartReadsNothingFromTheToken) {
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(fs->CreateFile("pkcs11", "w" + std::to_string(i), 100, 100, 0xDB00, nullptr), 0u);
        ByteVec c(100, static_cast<uint8_t>(i));
        ASSERT_EQ(fs->WriteFile("pkcs11", "w" + std::to_string(i), 0, c.data(), 100, nullptr), 0u);
    }
    client.reset();
    client = std::make_unique<TokenClient>(sim.Socket());
    sim.Control("stats-reset");
    ASSERT_EQ(Token().Lock(), 0u);
    fs = Token().GetFileSystem();
    ASSERT_NE(fs, nullptr);
    for (int i = 0; i < 5; ++i) {
        ByteVec back;
        ASSERT_EQ(fs->ReadFile("pkcs11", "w" + std::to_string(i), 0, back, nullptr), 0u);
        EXPECT_EQ(back, ByteVec(100, static_cast<uint8_t>(i)));
    }
    Token().Unlock();
    EXPECT_EQ(StatOf(sim, "ins_B0"), 0) << sim.Control("stats");
}

class SmallHeap : public FileSystemOnSim {
protected:
    SmallHeap() : FileSystemOnSim({"--capacity", "400000"}) {}
};

TEST_F(SmallHeap, TheCacheHeapHolds128KiB) {
    RV rv = 0;
    int n = 0;
    while ((rv = fs->CreateFile("pkcs11", "big" + std::to_string(n), 30000, 30000, 0xDB00, nullptr)) == 0) ++n;
    EXPECT_EQ(rv, CKR_HOST_MEMORY);
    EXPECT_EQ(n, 4);  // 4 x (30000 + 32) fit in 131008 bytes, a fifth does not
    // Another application adds a fifth: a fresh cache cannot hold the table.
    sim.Control("other 00E00000186216800275308202010083022500860890" "90FF90FFFFFFFF");
    tagFILE_RECORD r;
    r.fid = 0x2500;
    r.SetNames("pkcs11", "big9");
    r.used = r.allocated = 30000;
    ByteVec raw(kRecordSize);
    r.Encode(raw.data());
    sim.Control("other 00A40000026F01");
    sim.Control("other 00D6" + Hex16(11 * kRecordSize) + "1E" + Hex(raw));  // the first free record
    client.reset();
    client = std::make_unique<TokenClient>(sim.Socket());
    EXPECT_EQ(Token().GetFileSystem(), nullptr);
    ByteVec table;
    EXPECT_EQ(Token().GetFileCache()->Read(0x6F01, 0, table, nullptr), CKR_HOST_MEMORY);
}

}  // namespace

// A create or a replacement cut short at each of its commands: a reader in
// another instance sees the old content or the new, whole, and once a call
// has run there is one record for the name and no token file of the named
// range without its record.
TEST_F(FileSystemOnSim, ChangesCutShortLeaveWholeFilesAndNoLeftovers) {
    ASSERT_EQ(fs->CreateDirectory("objs", 0xD000, nullptr), 0u);
    const ByteVec first(700, 0x11), second(900, 0x22);
    ASSERT_EQ(fs->CreateFileWith("objs", "keep", first.data(), 700, 0, nullptr), 0u);
    auto consistent = [&](const char* step, int good) {
        TokenClient other(sim.Socket());
        IFileSystem* theirs = other.token->GetFileSystem();
        ASSERT_NE(theirs, nullptr) << step << good;
        ByteVec content;
        ASSERT_EQ(theirs->ReadFile("objs", "keep", 0, content, nullptr), 0u) << step << good;
        EXPECT_TRUE(content == first || content == second) << step << good;
        std::vector<std::string> dirs, files;
        ASSERT_EQ(theirs->EnumFiles("objs", dirs, files, nullptr), 0u);
        EXPECT_EQ(std::count(files.begin(), files.end(), "keep"), 1) << step << good;
        EXPECT_LE(std::count(files.begin(), files.end(), "new"), 1) << step << good;
        std::vector<uint16_t> onToken;
        ASSERT_EQ(other.token->GetFileList(onToken), 0u);
        std::set<uint16_t> named;
        for (uint16_t f : onToken) {
            if (f >= kFirstDataFid && f <= kLastDataFid) named.insert(f);
        }
        std::set<uint16_t> recorded;
        for (const auto& [name, fid] : Fids()) {
            if (fid != kFidEmptyFile) recorded.insert(fid);
        }
        EXPECT_EQ(named, recorded) << step << good;
    };
    for (int good = 0; good < 12; ++good) {
        sim.Control("send-fail-after " + std::to_string(good) + " 1");
        const RV replaced = fs->ReplaceFile("objs", "keep", second.data(), 900, nullptr);
        const RV created = fs->CreateFileWith("objs", "new", second.data(), 900, 0, nullptr);
        sim.Control("send-fail-after 0 0");
        EXPECT_TRUE(replaced == 0 || replaced == CKR_DEVICE_ERROR) << good << ": 0x" << std::hex << replaced;
        EXPECT_TRUE(created == 0 || created == CKR_DEVICE_ERROR || created == SCARD_E_NO_SUCH_FILE) << good;
        ByteVec mine;
        ASSERT_EQ(fs->ReadFile("objs", "keep", 0, mine, nullptr), 0u) << good;  // a call runs: the sweep
        consistent("after ", good);
        fs->DeleteFile("objs", "new");
        ASSERT_EQ(fs->ReplaceFile("objs", "keep", first.data(), 700, nullptr), 0u);
    }
}
