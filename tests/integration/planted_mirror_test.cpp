// The phone-side mirror from an attacker's side: any program of the user can
// write the cache folder. Files planted there (a key-file note, a record
// table, an object file, a pipe) must never make the module delete anything
// on the token, nor block it; and private objects never reach the folder.
// Each case ends reading the token over a connection of its own, past any
// mirror.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "file_record.h"
#include "key_template.h"
#include "p11_fresh_token.h"
#include "token_on_sim.h"

using testing_kv::FreshToken;
using testing_kv::KeyTemplate;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr CK_ATTRIBUTE_TYPE kKeyRef = 0x80000100UL;
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const std::string kPrivateValue = "private-data-value-4d1e";
const std::string kPrivateCert = "private-certificate-value-93a7";
const std::string kEverySeen = "3 7";  // objects of the fixture a listing finds without and with login

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& b) {
    unlink(path.c_str());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// The mirror folder of the only token below base.
std::string TokenDir(const std::string& base) {
    std::string found;
    if (DIR* d = opendir(base.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') found = base + "/" + e->d_name;
        }
        closedir(d);
    }
    return found;
}

std::string MirrorName(uint16_t fid) {
    char name[16];
    std::snprintf(name, sizeof name, "%04X.dat", fid);
    return name;
}

// What the token holds, read over a connection of its own past any mirror:
// the record table and the list of its files.
struct TokenView {
    Bytes table;
    std::set<uint16_t> files;
};

TokenView ReadToken(const std::string& socket) {
    testing_kv::TokenClient probe(socket);
    TokenView view;
    view.table.resize(kRecordSize * kRecordCount);
    std::vector<uint16_t> files;
    EXPECT_EQ(probe.token->ConnectAndSetenv(), 0u);
    EXPECT_EQ(probe.token->ReadBinary(FID_RECORD, view.table.data(), 0, uint32_t(view.table.size()), nullptr), 0u);
    EXPECT_EQ(probe.token->GetFileList(files), 0u);
    view.files.insert(files.begin(), files.end());
    return view;
}

// The token file of the object file name in a record table.
uint16_t FidOf(const Bytes& table, const std::string& name) {
    for (uint32_t i = 0; i + kRecordSize <= table.size(); i += kRecordSize) {
        const tagFILE_RECORD r = tagFILE_RECORD::Decode(table.data() + i);
        if (r.IsDataFile() && r.DirName() == "pkcs11" && r.FileName() == name) return r.fid;
    }
    return 0;
}

// The files a record table names, as "dir/name".
std::set<std::string> Names(const Bytes& table) {
    std::set<std::string> names;
    for (uint32_t i = 0; i + kRecordSize <= table.size(); i += kRecordSize) {
        const tagFILE_RECORD r = tagFILE_RECORD::Decode(table.data() + i);
        if (r.IsDataFile()) names.insert(r.DirName() + "/" + r.FileName());
    }
    return names;
}

// The record table without the record of one file.
Bytes Without(Bytes table, uint16_t fid) {
    for (uint32_t i = 0; i + kRecordSize <= table.size(); i += kRecordSize) {
        if (tagFILE_RECORD::Decode(table.data() + i).fid == fid) std::fill_n(table.begin() + i, kRecordSize, 0);
    }
    return table;
}

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

uint32_t Le32At(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// An attribute file with one attribute's value replaced (type, length, value, little-endian).
Bytes WithAttribute(const Bytes& file, uint32_t type, const Bytes& value) {
    Bytes out;
    for (size_t pos = 0; pos + 8 <= file.size();) {
        const uint32_t t = Le32At(file, pos), n = Le32At(file, pos + 4);
        Bytes v(file.begin() + long(pos + 8), file.begin() + long(pos + 8 + n));
        if (t == type) v = value;
        for (uint32_t x : {t, uint32_t(v.size())}) {
            const Bytes le = Le32(x);
            out.insert(out.end(), le.begin(), le.end());
        }
        out.insert(out.end(), v.begin(), v.end());
        pos += 8 + n;
    }
    return out;
}

// Handles of the objects a search finds (all: empty label).
std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE h, const std::string& label = "") {
    KeyTemplate t;
    if (!label.empty()) t.Text(CKA_LABEL, label);
    std::vector<CK_OBJECT_HANDLE> found(64);
    CK_ULONG n = 0;
    EXPECT_EQ(C_FindObjectsInit(h, t.size() ? t.data() : nullptr, t.size()), CKR_OK);
    EXPECT_EQ(C_FindObjects(h, found.data(), found.size(), &n), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
    found.resize(n);
    return found;
}

// The module in a process of its own (its caches start empty, as an
// application's do): a listing without login, one with it, and the destroy
// of the object labelled KV_PLANTED_DESTROY when set.
TEST(PlantedMirrorChild, ListsAndDestroys) {
    const char* socket = std::getenv("KV_PLANTED_SOCKET");
    if (!socket) GTEST_SKIP() << "runs as the application of the PlantedMirror cases";
    HostSocketBridge::Instance().SetSocketPath(socket);
    DiskMirror::SetBase(std::getenv("KV_PLANTED_MIRROR"));
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
    const size_t publicSeen = Find(h).size();
    ASSERT_EQ(C_Login(h, CKU_USER, testing_kv::Utf8(testing_kv::kUserPin), 8), CKR_OK);
    const size_t allSeen = Find(h).size();
    if (const char* seen = std::getenv("KV_PLANTED_SEEN")) {
        EXPECT_EQ(std::to_string(publicSeen) + " " + std::to_string(allSeen), seen) << "objects without and with login";
    }
    if (const char* label = std::getenv("KV_PLANTED_DESTROY")) {
        // Destroyed, or refused when the object listed was not what the token holds.
        const std::vector<CK_OBJECT_HANDLE> found = Find(h, label);
        ASSERT_EQ(found.size(), 1u) << label;
        const CK_RV rv = C_DestroyObject(h, found[0]);
        EXPECT_TRUE(rv == CKR_OK || rv == CKR_OBJECT_HANDLE_INVALID) << rv;
        Find(h);
    }
    C_CloseAllSessions(1);
    C_Finalize(nullptr);
}

// The key reference of an attribute file (0 when it has none).
uint32_t KeyRefIn(const Bytes& file) {
    for (size_t pos = 0; pos + 8 <= file.size();) {
        const uint32_t t = Le32At(file, pos), n = Le32At(file, pos + 4);
        if (t == kKeyRef && n == 4 && pos + 12 <= file.size())
            return Le32At(file, pos + 8);
        pos += 8 + n;
    }
    return 0;
}

class PlantedMirror : public FreshToken {
protected:
    void SetUp() override {
        FreshToken::SetUp();
        mirrorBase_ = sim_->Dir() + "/mirror";
        CK_SESSION_HANDLE h = Open(true);
        ASSERT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK);
        Create(h, KeyTemplate().ULong(CKA_CLASS, CKO_DATA).Text(CKA_LABEL, "public data").Text(CKA_VALUE, "open"));
        Create(h, KeyTemplate()
                      .ULong(CKA_CLASS, CKO_DATA)
                      .Flag(CKA_PRIVATE, true)
                      .Text(CKA_LABEL, "private data")
                      .Text(CKA_VALUE, kPrivateValue));
        Create(h, KeyTemplate()
                      .ULong(CKA_CLASS, CKO_CERTIFICATE)
                      .ULong(CKA_CERTIFICATE_TYPE, CKC_X_509)
                      .Flag(CKA_PRIVATE, true)
                      .Text(CKA_LABEL, "private cert")
                      .Text(CKA_SUBJECT, "subject")
                      .Text(CKA_VALUE, kPrivateCert));
        for (const std::string name : {"ec", "second"}) {
            KeyTemplate pub, prv;
            pub.Flag(CKA_TOKEN, true).Raw(CKA_EC_PARAMS, kP256).Flag(CKA_VERIFY, true).Text(CKA_LABEL, name + " public");
            prv.Flag(CKA_TOKEN, true).Flag(CKA_PRIVATE, true).Flag(CKA_SIGN, true).Text(CKA_LABEL, name + " private");
            CK_MECHANISM m{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
            CK_OBJECT_HANDLE a = 0, b = 0;
            ASSERT_EQ(C_GenerateKeyPair(h, &m, pub.data(), pub.size(), prv.data(), prv.size(), &a, &b), CKR_OK);
        }
        C_CloseAllSessions(1);
        while (C_Finalize(nullptr) == CKR_OK) {
        }
        // The mirror as an application leaves it, then the token as it is:
        // the public data object and keys without login, all seven with it.
        ASSERT_TRUE(RunModule("", kEverySeen));
        before_ = ReadToken(sim_->Socket());
        mirror_ = TokenDir(mirrorBase_);
        ASSERT_FALSE(mirror_.empty());
        ASSERT_NE(Fid("data0001"), 0);
        ASSERT_NE(Fid("pubk0001"), 0);
    }

    static void Create(CK_SESSION_HANDLE h, KeyTemplate t) {
        t.Flag(CKA_TOKEN, true);
        CK_OBJECT_HANDLE o = 0;
        ASSERT_EQ(C_CreateObject(h, t.data(), t.size(), &o), CKR_OK);
    }
    // The module's run in a process of its own (PlantedMirrorChild); false
    // when it failed or hung (a minute: a hang, not a speed, is looked for).
    bool RunModule(const std::string& destroy = "", const std::string& seen = "") {
        sim_->Control("reset");  // nobody logged in on the token when the application starts
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("KV_PLANTED_SOCKET", sim_->Socket().c_str(), 1);
            setenv("KV_PLANTED_MIRROR", mirrorBase_.c_str(), 1);
            if (!destroy.empty()) setenv("KV_PLANTED_DESTROY", destroy.c_str(), 1);
            if (!seen.empty()) setenv("KV_PLANTED_SEEN", seen.c_str(), 1);
            char filter[] = "--gtest_filter=PlantedMirrorChild.*";
            char self[] = "/proc/self/exe";
            char* argv[] = {self, filter, nullptr};
            execv(self, argv);
            _exit(127);
        }
        int status = -1;
        for (int i = 0; i < 600 && waitpid(pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the module hung";
            return false;
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    void ExpectTokenWhole() {
        const TokenView after = ReadToken(sim_->Socket());
        EXPECT_EQ(after.table, before_.table);
        EXPECT_EQ(after.files, before_.files);
    }
    uint16_t Fid(const std::string& name) const { return FidOf(before_.table, name); }
    std::string Path(uint16_t fid) const { return mirror_ + "/" + MirrorName(fid); }

    std::string mirrorBase_, mirror_;
    TokenView before_;
};

// A mirrored key object's key reference names the record table or the key
// file of another key of its kind.
enum class RefTarget { kRecordTable, kAnotherKeysFile };
class PlantedKeyReference : public PlantedMirror, public ::testing::WithParamInterface<RefTarget> {};

TEST_F(PlantedMirror, AKeyFileNoteNamingAnObjectFileDeletesNothing) {
    const uint16_t fid = Fid("data0001");
    // A note of a process that is gone, naming the public data object's file.
    const uint32_t gone = 0x3FFFFFF0;
    WriteAll(mirror_ + "/keys.pending", {uint8_t(fid >> 8), uint8_t(fid), uint8_t(gone >> 24), uint8_t(gone >> 16),
                                         uint8_t(gone >> 8), uint8_t(gone)});
    EXPECT_TRUE(RunModule());
    ExpectTokenWhole();
}

TEST_F(PlantedMirror, AMirroredTableWithARecordZeroedDeletesNothing) {
    WriteAll(Path(FID_RECORD), Without(ReadAll(Path(FID_RECORD)), Fid("data0001")));
    unlink(Path(0xFFFE).c_str());  // the record of the last clean sweep goes with it
    EXPECT_TRUE(RunModule());
    ExpectTokenWhole();
}

// A mirrored public key object whose key reference is ref, then destroyed:
// nothing goes but the key object's own file and key file as the token
// holds them.
TEST_P(PlantedKeyReference, DeletesNothingElse) {
    const uint16_t fid = Fid("pubk0001");
    const Bytes file = ReadAll(Path(fid)), other = ReadAll(Path(Fid("pubk0002")));
    ASSERT_FALSE(file.empty());
    ASSERT_FALSE(other.empty());
    const std::set<uint16_t> own = {fid, uint16_t(KeyRefIn(file))};
    const uint32_t ref = GetParam() == RefTarget::kRecordTable ? FID_RECORD : KeyRefIn(other);
    WriteAll(Path(fid), WithAttribute(file, kKeyRef, Le32(ref)));
    EXPECT_TRUE(RunModule("ec public"));
    const TokenView after = ReadToken(sim_->Socket());
    for (uint16_t f : before_.files) {
        if (!own.count(f)) {
            EXPECT_EQ(after.files.count(f), 1u) << std::hex << f;
        }
    }
    std::set<std::string> names = Names(before_.table), left = Names(after.table);
    names.erase("pkcs11/pubk0001");
    left.erase("pkcs11/pubk0001");
    EXPECT_EQ(left, names);
}

INSTANTIATE_TEST_SUITE_P(Targets, PlantedKeyReference,
                         ::testing::Values(RefTarget::kRecordTable, RefTarget::kAnotherKeysFile),
                         [](const ::testing::TestParamInfo<RefTarget>& target) {
                             return target.param == RefTarget::kRecordTable ? "RecordTable" : "AnotherKeysFile";
                         });

// A pipe where the module reads or writes a mirror file: every call goes on.
TEST_F(PlantedMirror, APipeInPlaceOfAMirrorFileBlocksNothing) {
    const std::vector<std::string> names = {MirrorName(0xFFFF), MirrorName(FID_RECORD), MirrorName(Fid("data0001")),
                                            MirrorName(0xFFFE), MirrorName(0xFF82),    MirrorName(0xFF83),
                                            "keys.pending",     MirrorName(0xFFFF) + ".tmp"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = mirror_ + "/" + name;
        unlink(path.c_str());
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        EXPECT_TRUE(RunModule());
        unlink(path.c_str());
        ExpectTokenWhole();
    }
}

TEST_F(PlantedMirror, PrivateObjectsNeverReachTheMirror) {
    ASSERT_TRUE(RunModule("", kEverySeen));
    std::function<void(const std::string&)> scan = [&](const std::string& dir) {
        DIR* d = opendir(dir.c_str());
        ASSERT_NE(d, nullptr);
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            struct stat st{};
            ASSERT_EQ(lstat((dir + "/" + name).c_str(), &st), 0);
            if (S_ISDIR(st.st_mode)) {
                scan(dir + "/" + name);
                continue;
            }
            const Bytes b = ReadAll(dir + "/" + name);
            for (const std::string& secret : {kPrivateValue, kPrivateCert})
                EXPECT_EQ(std::search(b.begin(), b.end(), secret.begin(), secret.end()), b.end())
                    << secret << " in " << dir << "/" << name;
        }
        closedir(d);
    };
    scan(mirrorBase_);
}

// A new private data object's or certificate's file is read on the token
// only after the user's login (the token's verification lasts until it is
// reset); the other objects' files as before.
TEST_F(PlantedMirror, PrivateObjectFilesNeedTheUserToBeRead) {
    const struct {
        const char* name;
        bool needsLogin;
    } cases[] = {{"data0001", false}, {"data0002", true}, {"cert0001", true}, {"pubk0001", false}, {"prvk0001", false}};
    sim_->Control("reset");  // the token as plugged in: nobody logged in since
    testing_kv::TokenClient probe(sim_->Socket());
    ASSERT_EQ(probe.token->ConnectAndSetenv(), 0u);
    for (bool loggedIn : {false, true}) {
        if (loggedIn) {
            ASSERT_EQ(testing_kv::LoginUser(*probe.token), 0u);
        }
        for (const auto& c : cases) {
            uint8_t first = 0;
            const uint16_t fid = Fid(c.name);
            ASSERT_NE(fid, 0) << c.name;
            EXPECT_EQ(probe.token->ReadBinary(fid, &first, 0, 1, nullptr) == 0, loggedIn || !c.needsLogin)
                << c.name << (loggedIn ? " after login" : " without login");
        }
    }
}

}  // namespace
