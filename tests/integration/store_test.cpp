// The object store on the virtual token: file names, byte layout, round
// trips, changes by another instance, key references, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "iauth_manager.h"
#include "obj_factory.h"
#include "store_tarn.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using testing_kv::Hex;
using testing_kv::SimProcess;
using testing_kv::ToHex;
using testing_kv::TokenClient;

namespace {

// Builds a template from (type, hex value) pairs.
ObjPtr Make(std::initializer_list<std::pair<CK_ATTRIBUTE_TYPE, const char*>> attrs, uint32_t handle) {
    std::vector<ByteVec> values;
    std::vector<CK_ATTRIBUTE> t;
    values.reserve(attrs.size());
    for (const auto& a : attrs) {
        values.push_back(Hex(a.second));
        t.push_back({a.first, values.back().data(), values.back().size()});
    }
    ObjPtr o = ObjFactory::CreateObject(t.data(), t.size());
    if (o) o->SetHandle(handle);
    return o;
}

// Expected file bytes from hand-listed (type, value) entries, in the order given.
std::string Layout(std::initializer_list<std::pair<uint32_t, const char*>> entries) {
    std::string out;
    char buf[32];
    for (const auto& e : entries) {
        const uint32_t len = static_cast<uint32_t>(std::strlen(e.second) / 2);
        std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X", e.first & 0xFF, (e.first >> 8) & 0xFF, (e.first >> 16) & 0xFF,
                      e.first >> 24);
        out += buf;
        std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X", len & 0xFF, (len >> 8) & 0xFF, (len >> 16) & 0xFF, len >> 24);
        out += buf;
        out += e.second;
    }
    return out;
}

// The stamp the store gave an object, as its file entry.
std::string StampEntry(const ObjPtr& obj) {
    const ByteVec* stamp = obj->Value(static_cast<uint32_t>(CKA_VENDOR_OBJECT_STAMP));
    if (!stamp) return "(no stamp)";
    const std::string hex = ToHex(*stamp);
    return Layout({{static_cast<uint32_t>(CKA_VENDOR_OBJECT_STAMP), hex.c_str()}});
}

const char kClassData[] = "0000000000000000";   // CK_ULONG 0, 8 bytes as the application gives it
const char kTrue[] = "01";

class StoreOnSim : public ::testing::Test {
protected:
    StoreOnSim() {
        DiskMirror::SetBase(sim.Dir() + "/mirror");
        client = std::make_unique<TokenClient>(sim.Socket());
    }
    void SetUp() override {
        ASSERT_EQ(token().ConnectAndSetenv(), 0u);
        store = dynamic_cast<CStoreTarn*>(token().GetStore());
        ASSERT_NE(store, nullptr);
        LoginUser();  // object files are written by the user
    }
    CTokenTarn& token() { return *client->token; }
    std::string FileHex(const std::string& name) {
        ByteVec bytes;
        EXPECT_EQ(token().GetFileSystem()->ReadFile("pkcs11", name, 0, bytes, nullptr), 0u);
        return ToHex(bytes);
    }
    void LoginUser() {
        ByteVec pin = GetPinHash(reinterpret_cast<const uint8_t*>("12345678"), 8);
        ASSERT_EQ(token().GetAuthManager()->Authenticate(kRefUser, pin.data(), 24), 0u);
    }

    SimProcess sim;
    std::unique_ptr<TokenClient> client;
    CStoreTarn* store = nullptr;
};

TEST_F(StoreOnSim, DataObjectsByNameAndLayout) {
    ObjPtr a = Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}, {CKA_LABEL, "6162"}}, 1);
    ObjPtr b = Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}}, 2);
    ObjPtr session = Make({{CKA_CLASS, kClassData}}, 3);
    ASSERT_EQ(store->StoreObj(session), 0u);
    ASSERT_EQ(store->StoreObj(a), 0u);
    ASSERT_EQ(store->StoreObj(b), 0u);
    EXPECT_EQ(store->FindObjByID(1)->fileName, "data0001");
    EXPECT_EQ(store->FindObjByID(2)->fileName, "data0002");
    EXPECT_EQ(store->FindObjByID(3), nullptr);
    // Ascending types, empty values left out, the class in 4 bytes.
    // Each new object has a stamp of its own, eight bytes, last.
    EXPECT_EQ(FileHex("data0001"), Layout({{CKA_CLASS, "00000000"}, {CKA_TOKEN, "01"}, {CKA_PRIVATE, "00"},
                                           {CKA_LABEL, "6162"}, {CKA_MODIFIABLE, "01"}}) +
                                       StampEntry(a));
    EXPECT_EQ(StampEntry(a).size(), 2 * (8 + 8u));
    EXPECT_NE(StampEntry(a), StampEntry(b));
    uint16_t acl = 0;
    ASSERT_EQ(token().GetFileSystem()->GetFileACL("pkcs11", "data0001", &acl), 0u);
    EXPECT_EQ(acl, 0xD000);

    ASSERT_EQ(store->PurgeObj(a), 0u);
    ObjPtr c = Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}}, 4);
    ASSERT_EQ(store->StoreObj(c), 0u);
    EXPECT_EQ(store->FindObjByID(4)->fileName, "data0001");
    const std::string stampOfC = StampEntry(c);
    EXPECT_NE(stampOfC, StampEntry(a));  // the freed name's new object is another one

    // Same size: rewritten in place; longer: resized. An edit keeps the stamp.
    c->SetAttr(CKA_LABEL, "xy", 2);
    ASSERT_EQ(store->StoreObj(c), 0u);
    EXPECT_NE(FileHex("data0001").find("7879"), std::string::npos);
    EXPECT_EQ(StampEntry(c), stampOfC);
    EXPECT_NE(FileHex("data0001").find(stampOfC), std::string::npos);
}

TEST_F(StoreOnSim, LayoutOfEveryClass) {
    struct Case {
        ObjPtr obj;
        std::string expected;
    } cases[] = {
        {Make({{CKA_CLASS, "0100000000000000"}, {CKA_CERTIFICATE_TYPE, "0000000000000000"}, {CKA_TOKEN, kTrue},
               {CKA_VALUE, "3003020101"}},
              11),
         Layout({{CKA_CLASS, "01000000"}, {CKA_TOKEN, "01"}, {CKA_PRIVATE, "00"}, {CKA_VALUE, "3003020101"},
                 {CKA_CERTIFICATE_TYPE, "00000000"}, {CKA_TRUSTED, "00"}, {CKA_CERTIFICATE_CATEGORY, "00000000"},
                 {CKA_MODIFIABLE, "01"}})},
        {Make({{CKA_CLASS, "0200000000000000"}, {CKA_KEY_TYPE, "0000000000000000"}, {CKA_TOKEN, kTrue},
               {CKA_MODULUS, "C5"}, {CKA_PUBLIC_EXPONENT, "010001"}},
              12),
         Layout({{CKA_CLASS, "02000000"}, {CKA_TOKEN, "01"}, {CKA_PRIVATE, "00"}, {CKA_TRUSTED, "00"},
                 {CKA_KEY_TYPE, "00000000"}, {CKA_ENCRYPT, "01"}, {CKA_WRAP, "01"}, {CKA_VERIFY, "01"},
                 {CKA_VERIFY_RECOVER, "01"}, {CKA_DERIVE, "00"}, {CKA_MODULUS, "C5"},
                 {CKA_MODULUS_BITS, "00000000"}, {CKA_PUBLIC_EXPONENT, "010001"}, {CKA_LOCAL, "00"},
                 {CKA_MODIFIABLE, "01"}})},
        {Make({{CKA_CLASS, "0300000000000000"}, {CKA_KEY_TYPE, "0300000000000000"}, {CKA_TOKEN, kTrue},
               {CKA_PRIVATE, kTrue}, {CKA_EC_PARAMS, "06082A8648CE3D030107"}},
              13),
         Layout({{CKA_CLASS, "03000000"}, {CKA_TOKEN, "01"}, {CKA_PRIVATE, "01"}, {CKA_KEY_TYPE, "03000000"},
                 {CKA_SENSITIVE, "01"}, {CKA_DECRYPT, "00"}, {CKA_UNWRAP, "00"}, {CKA_SIGN, "01"},
                 {CKA_SIGN_RECOVER, "00"}, {CKA_DERIVE, "00"}, {CKA_EXTRACTABLE, "00"}, {CKA_LOCAL, "00"},
                 {CKA_NEVER_EXTRACTABLE, "01"}, {CKA_ALWAYS_SENSITIVE, "01"}, {CKA_MODIFIABLE, "01"},
                 {CKA_EC_PARAMS, "06082A8648CE3D030107"}, {CKA_ALWAYS_AUTHENTICATE, "00"},
                 {CKA_WRAP_WITH_TRUSTED, "00"}})},
        {Make({{CKA_CLASS, "0400000000000000"}, {CKA_KEY_TYPE, "1F00000000000000"}, {CKA_TOKEN, kTrue},
               {CKA_VALUE, "000102030405060708090A0B0C0D0E0F"}},
              14),
         Layout({{CKA_CLASS, "04000000"}, {CKA_TOKEN, "01"}, {CKA_PRIVATE, "00"}, {CKA_VALUE, "000102030405060708090A0B0C0D0E0F"},
                 {CKA_TRUSTED, "00"}, {CKA_KEY_TYPE, "1F000000"}, {CKA_SENSITIVE, "00"}, {CKA_ENCRYPT, "01"},
                 {CKA_DECRYPT, "01"}, {CKA_WRAP, "00"}, {CKA_UNWRAP, "00"}, {CKA_SIGN, "00"}, {CKA_VERIFY, "00"},
                 {CKA_DERIVE, "00"}, {CKA_EXTRACTABLE, "01"}, {CKA_LOCAL, "00"}, {CKA_NEVER_EXTRACTABLE, "00"},
                 {CKA_ALWAYS_SENSITIVE, "00"}, {CKA_MODIFIABLE, "01"}, {CKA_WRAP_WITH_TRUSTED, "00"}})},
    };
    for (auto& c : cases) {
        ASSERT_TRUE(c.obj);
        ASSERT_EQ(store->StoreObj(c.obj), 0u);
        c.expected += StampEntry(c.obj);
        EXPECT_EQ(FileHex(store->FindObjByID(c.obj->GetHandle())->fileName), c.expected)
            << store->FindObjByID(c.obj->GetHandle())->fileName;
    }
    EXPECT_EQ(store->FindObjByID(13)->fileName, "prvk0001");
    EXPECT_EQ(store->FindObjByID(14)->fileName, "seck0001");

    // A second instance reads them back with the same attributes.
    TokenClient other(sim.Socket());
    CStoreTarn* fresh = dynamic_cast<CStoreTarn*>(other.token->GetStore());
    std::vector<ObjPtr> added, removed, changed;
    ASSERT_EQ(fresh->CheckUpdate({}, added, removed, changed), 0u);
    EXPECT_EQ(added.size(), 4u);
    for (const auto& obj : added) EXPECT_EQ(ToHex(CStoreTarn::Serialize(*obj)).size() > 0, true);
    for (auto& c : cases) {
        bool found = false;
        for (const auto& obj : added) found = found || ToHex(CStoreTarn::Serialize(*obj)) == c.expected;
        EXPECT_TRUE(found) << c.expected;
    }
}

TEST_F(StoreOnSim, TemplatesAndAllowedMechanismsReachAnotherInstance) {
    CK_KEY_TYPE aes = CKK_AES;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE wrapTemplate[] = {{CKA_KEY_TYPE, &aes, sizeof aes}};  // 24 bytes once flattened
    CK_ATTRIBUTE unwrapTemplate[] = {{CKA_EXTRACTABLE, &no, 1}};        // 17 bytes
    CK_MECHANISM_TYPE mechanisms[] = {CKM_AES_CBC, CKM_AES_ECB, CKM_RSA_PKCS};
    ObjPtr key = Make({{CKA_CLASS, "0400000000000000"}, {CKA_KEY_TYPE, "1F00000000000000"}, {CKA_TOKEN, kTrue},
                       {CKA_VALUE, "000102030405060708090A0B0C0D0E0F"}},
                      21);
    ASSERT_TRUE(key);
    ASSERT_EQ(key->SetAttr(static_cast<uint32_t>(CKA_WRAP_TEMPLATE), wrapTemplate, sizeof wrapTemplate), CKR_OK);
    ASSERT_EQ(key->SetAttr(static_cast<uint32_t>(CKA_UNWRAP_TEMPLATE), unwrapTemplate, sizeof unwrapTemplate), CKR_OK);
    ASSERT_EQ(key->SetAttr(static_cast<uint32_t>(CKA_ALLOWED_MECHANISMS), mechanisms, sizeof mechanisms), CKR_OK);
    ASSERT_EQ(store->StoreObj(key), 0u);
    const char* wrapHex = "0001000000000000" "0800000000000000" "1F00000000000000";
    const char* unwrapHex = "6201000000000000" "0100000000000000" "00";
    const char* mechanismsHex = "8210000000000000" "8110000000000000" "0100000000000000";

    std::vector<ObjPtr> added, removed, changed;
    ASSERT_EQ(store->CheckUpdate({key}, added, removed, changed), 0u);  // reported: later changes count

    // Another instance reads the object, changes it and stores it back.
    TokenClient other(sim.Socket());
    CStoreTarn* theirs = dynamic_cast<CStoreTarn*>(other.token->GetStore());
    ASSERT_EQ(theirs->CheckUpdate({}, added, removed, changed), 0u);
    ASSERT_EQ(added.size(), 1u);
    ObjPtr read = added[0];
    EXPECT_EQ(ToHex(*read->Value(static_cast<uint32_t>(CKA_WRAP_TEMPLATE))), wrapHex);
    EXPECT_EQ(ToHex(*read->Value(static_cast<uint32_t>(CKA_UNWRAP_TEMPLATE))), unwrapHex);
    EXPECT_EQ(ToHex(*read->Value(static_cast<uint32_t>(CKA_ALLOWED_MECHANISMS))), mechanismsHex);
    ByteVec pin = GetPinHash(reinterpret_cast<const uint8_t*>("12345678"), 8);
    ASSERT_EQ(other.token->GetAuthManager()->Authenticate(kRefUser, pin.data(), 24), 0u);
    ASSERT_EQ(read->SetAttr(CKA_LABEL, "k", 1), CKR_OK);
    ASSERT_EQ(theirs->StoreObj(read), 0u);

    // The first instance sees the change with the arrays intact.
    added.clear();
    ASSERT_EQ(store->CheckUpdate({key}, added, removed, changed), 0u);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_TRUE(removed.empty());
    EXPECT_EQ(ToHex(*key->Value(CKA_LABEL)), "6B");
    EXPECT_EQ(ToHex(*key->Value(static_cast<uint32_t>(CKA_WRAP_TEMPLATE))), wrapHex);
    EXPECT_EQ(ToHex(*key->Value(static_cast<uint32_t>(CKA_ALLOWED_MECHANISMS))), mechanismsHex);
}

TEST_F(StoreOnSim, ChangesOfAnotherInstanceAreReported) {
    ObjPtr mine = Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}, {CKA_LABEL, "01"}}, 1);
    ObjPtr gone = Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}, {CKA_LABEL, "02"}}, 2);
    ASSERT_EQ(store->StoreObj(mine), 0u);
    ASSERT_EQ(store->StoreObj(gone), 0u);
    std::vector<ObjPtr> known{mine, gone}, added, removed, changed;
    ASSERT_EQ(store->CheckUpdate(known, added, removed, changed), 0u);
    EXPECT_TRUE(added.empty() && removed.empty() && changed.empty());

    // The other instance changes "mine", deletes "gone" and adds one.
    TokenClient other(sim.Socket());
    CStoreTarn* theirs = dynamic_cast<CStoreTarn*>(other.token->GetStore());
    ByteVec pin = GetPinHash(reinterpret_cast<const uint8_t*>("12345678"), 8);
    ASSERT_EQ(other.token->GetAuthManager()->Authenticate(kRefUser, pin.data(), 24), 0u);
    std::vector<ObjPtr> seen, a2, r2, c2;
    ASSERT_EQ(theirs->CheckUpdate({}, seen, r2, c2), 0u);
    ASSERT_EQ(seen.size(), 2u);
    for (size_t i = 0; i < seen.size(); ++i) seen[i]->SetHandle(static_cast<uint32_t>(100 + i));
    ObjPtr changedByThem = seen[0]->Value(CKA_LABEL)->at(0) == 1 ? seen[0] : seen[1];
    ObjPtr deletedByThem = changedByThem == seen[0] ? seen[1] : seen[0];
    changedByThem->SetAttr(CKA_LABEL, "\x09", 1);
    ASSERT_EQ(theirs->StoreObj(changedByThem), 0u);
    ASSERT_EQ(theirs->StoreObj(Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}, {CKA_LABEL, "03"}}, 200)), 0u);
    ASSERT_EQ(theirs->PurgeObj(deletedByThem), 0u);

    added.clear();
    ASSERT_EQ(store->CheckUpdate(known, added, removed, changed), 0u);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].get(), mine.get());  // the same object, its handle kept
    EXPECT_EQ(mine->GetHandle(), 1u);
    EXPECT_EQ(mine->Value(CKA_LABEL)->at(0), 9);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].get(), gone.get());
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0]->Value(CKA_LABEL)->at(0), 3);
    changed.clear();
    removed.clear();
    added.clear();
    ASSERT_EQ(store->CheckUpdate({mine}, added, removed, changed), 0u);
    EXPECT_TRUE(changed.empty()) << "reported once";
}

TEST_F(StoreOnSim, KeyReferencesAndPurgeRules) {
    uint32_t fid = 0;
    ASSERT_EQ(store->AllocKeyFID(CKO_PRIVATE_KEY, CKK_RSA, &fid), 0u);
    EXPECT_EQ(fid, 0xA020u);
    ASSERT_EQ(store->AllocKeyFID(CKO_PUBLIC_KEY, CKK_EC, &fid), 0u);
    EXPECT_EQ(fid, 0x8000u);
    ASSERT_EQ(store->AllocKeyFID(CKO_SECRET_KEY, CKK_AES, &fid), 0u);
    EXPECT_EQ(fid, 0x0511u);
    fid = 77;
    ASSERT_EQ(store->AllocKeyFID(CKO_SECRET_KEY, CKK_GENERIC_SECRET, &fid), 0u);
    EXPECT_EQ(fid, 77u);
    EXPECT_EQ(store->AllocKeyFID(CKO_DATA, 0, &fid), RV_NOT_SUPPORTED);
    // A key file on the token that no object names is skipped too.
    sim.Control("other 00E00000186216800200208202010083020511860890" "90FF90FFFFFFFF");
    ASSERT_EQ(store->AllocKeyFID(CKO_SECRET_KEY, CKK_AES, &fid), 0u);
    EXPECT_EQ(fid, 0x0512u);

    ObjPtr key = Make({{CKA_CLASS, "0400000000000000"}, {CKA_KEY_TYPE, "1F00000000000000"}, {CKA_TOKEN, kTrue},
                       {CKA_VENDOR_KEY_REF, "1105000000000000"}},
                      5);
    ASSERT_EQ(store->StoreObj(key), 0u);
    token().GetAuthManager()->Deauthenticate(kRefUser);
    EXPECT_EQ(store->PurgeObj(key), CKR_USER_NOT_LOGGED_IN);
    LoginUser();
    ASSERT_EQ(store->PurgeObj(key), 0u);
    std::vector<uint16_t> onToken;
    ASSERT_EQ(token().GetFileList(onToken), 0u);
    EXPECT_EQ(std::count(onToken.begin(), onToken.end(), 0x0511), 0) << "its key file went with it";
    ObjPtr unknown = Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}}, 99);
    EXPECT_EQ(store->PurgeObj(unknown), RV_NOT_FOUND);
}

// A key file noted for deletion stays, and its note with it, while an
// object file cannot be read (that object may name it); it goes at the
// first sweep that reads every object file.
TEST_F(StoreOnSim, ANotedKeyFileWaitsForAViewOfEveryObject) {
    ASSERT_EQ(token().CreateECCReference(0x8000, 0xA020, 256), 0u);
    ASSERT_EQ(store->StoreObj(Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}}, 1)), 0u);
    const uint8_t unreadable[] = {0xFF, 0xFF};  // no attribute fits in two bytes
    ASSERT_EQ(token().GetFileSystem()->ReplaceFile("pkcs11", "data0001", unreadable, sizeof unreadable, nullptr), 0u);
    token().NoteKeyFile(0xA020);
    auto sweptAway = [&] {
        token().SweepKeyFiles();
        std::vector<uint16_t> files;
        EXPECT_EQ(token().GetFileList(files), 0u);
        return std::count(files.begin(), files.end(), 0xA020) == 0;
    };
    EXPECT_FALSE(sweptAway());
    EXPECT_FALSE(sweptAway()) << "the note outlives a sweep that could not tell";
    ASSERT_EQ(token().GetFileSystem()->DeleteFile("pkcs11", "data0001"), 0u);
    EXPECT_TRUE(sweptAway());
}

// A key object whose deletion was cut short after its object file went
// (its record outlives its file, and still reads from the cache): the
// deletion's own repair comes before the sweep of noted key files, which
// then finds no object naming the key file and deletes it.
TEST_F(StoreOnSim, AKeyFileOutlivesNoObjectWhoseDeletionWasCutShort) {
    ASSERT_EQ(token().CreateECCReference(0x8000, 0xA020, 256), 0u);
    IFileSystem& fs = *token().GetFileSystem();
    auto onToken = [this] {  // as another application lists them
        TokenClient other(sim.Socket());
        std::vector<uint16_t> files;
        EXPECT_EQ(other.token->GetFileList(files), 0u);
        return std::set<uint16_t>(files.begin(), files.end());
    };
    const std::set<uint16_t> before = onToken();
    ObjPtr key = Make({{CKA_CLASS, "0300000000000000"}, {CKA_KEY_TYPE, "0300000000000000"}, {CKA_TOKEN, kTrue},
                       {CKA_VENDOR_KEY_REF, "20A0000000000000"}},
                      1);
    ASSERT_EQ(store->StoreObj(key), 0u);
    std::vector<uint16_t> objectFile;
    for (uint16_t f : onToken()) {
        if (!before.count(f)) objectFile.push_back(f);
    }
    ASSERT_EQ(objectFile.size(), 1u);
    std::vector<std::string> dirs, names;
    ASSERT_EQ(fs.EnumFiles("pkcs11", dirs, names, nullptr), 0u);
    ASSERT_EQ(names.size(), 1u);
    // The deletion fails at its first transfer; the object file goes all
    // the same (as when the deletion's answer, not its command, was lost).
    sim.Control("send-fail 1");
    EXPECT_NE(fs.DeleteFile("pkcs11", names[0]), 0u);
    sim.Control("send-fail 0");
    ASSERT_TRUE(fs.RepairPending());
    {
        TokenClient other(sim.Socket());
        ASSERT_EQ(other.token->DeleteFile(objectFile[0]), 0u);
    }
    token().NoteKeyFile(0xA020);
    token().SweepKeyFiles();
    EXPECT_FALSE(onToken().count(0xA020)) << "the key file of an object that is gone";
}

TEST_F(StoreOnSim, UsbFailuresInAnUpdateLoseNoOtherObject) {
    ObjPtr keep = Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}, {CKA_LABEL, "4B454550"}}, 1);
    ObjPtr grow = Make({{CKA_CLASS, kClassData}, {CKA_TOKEN, kTrue}, {CKA_LABEL, "31"}}, 2);
    ASSERT_EQ(store->StoreObj(keep), 0u);
    ASSERT_EQ(store->StoreObj(grow), 0u);
    const std::string keepBytes = FileHex("data0001");
    std::string bigLabel(400, 'L');
    grow->SetAttr(CKA_LABEL, bigLabel.data(), static_cast<uint32_t>(bigLabel.size()));
    sim.Control("send-fail 1000");  // the USB link goes in the middle of the update
    EXPECT_NE(store->StoreObj(grow), 0u);
    sim.Control("send-fail 0");
    // The link is back: everything is still there and the update can be made.
    TokenClient other(sim.Socket());
    CStoreTarn* fresh = dynamic_cast<CStoreTarn*>(other.token->GetStore());
    std::vector<ObjPtr> added, removed, changed;
    ASSERT_EQ(fresh->CheckUpdate({}, added, removed, changed), 0u);
    EXPECT_EQ(added.size(), 2u);
    EXPECT_EQ(FileHex("data0001"), keepBytes);
    ASSERT_EQ(store->StoreObj(grow), 0u);
}

}  // namespace
