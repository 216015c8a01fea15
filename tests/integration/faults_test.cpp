// USB faults and card resets met by PKCS#11 calls on the virtual token: a
// fault fails only the call it hits, with a code that blames neither the
// caller nor the PIN; the next call works; nothing half-made stays; a handle
// never comes to name another object.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "key_template.h"
#include "p11_fresh_token.h"
#include "store_tarn.h"
#include "token_audit.h"
#include "token_on_sim.h"

using testing_kv::FreshToken;
using testing_kv::KeyTemplate;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr CK_ATTRIBUTE_TYPE kKeyRef = 0x80000100UL;
const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

class Faults : public FreshToken {
protected:
    CK_SESSION_HANDLE LoggedIn() {
        CK_SESSION_HANDLE h = Open(true);
        EXPECT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK);
        return h;
    }
    static CK_OBJECT_HANDLE CreateData(CK_SESSION_HANDLE h, const std::string& label, const std::string& value) {
        KeyTemplate t;
        t.ULong(CKA_CLASS, CKO_DATA).Flag(CKA_TOKEN, true).Text(CKA_LABEL, label).Text(CKA_VALUE, value);
        CK_OBJECT_HANDLE o = 0;
        EXPECT_EQ(C_CreateObject(h, t.data(), t.size(), &o), CKR_OK);
        return o;
    }
    static CK_RV GeneratePair(CK_SESSION_HANDLE h) {
        KeyTemplate pub, prv;
        pub.Flag(CKA_TOKEN, true).Raw(CKA_EC_PARAMS, kP256).Flag(CKA_VERIFY, true);
        prv.Flag(CKA_TOKEN, true).Flag(CKA_PRIVATE, true).Flag(CKA_SIGN, true);
        CK_MECHANISM m{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE a = 0, b = 0;
        return C_GenerateKeyPair(h, &m, pub.data(), pub.size(), prv.data(), prv.size(), &a, &b);
    }
    // Handles of the objects of a class (all classes: -1) a search finds.
    static std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE h, long cls = -1, const std::string& label = "") {
        KeyTemplate t;
        if (cls >= 0) t.ULong(CKA_CLASS, static_cast<CK_ULONG>(cls));
        if (!label.empty()) t.Text(CKA_LABEL, label);
        std::vector<CK_OBJECT_HANDLE> found(256);
        CK_ULONG n = 0;
        EXPECT_EQ(C_FindObjectsInit(h, t.size() ? t.data() : nullptr, t.size()), CKR_OK);
        EXPECT_EQ(C_FindObjects(h, found.data(), found.size(), &n), CKR_OK);
        EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
        found.resize(n);
        return found;
    }
    static std::string Text(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type, CK_RV* rv = nullptr) {
        char buffer[256];
        CK_ATTRIBUTE a{type, buffer, sizeof buffer};
        CK_RV r = C_GetAttributeValue(h, o, &a, 1);
        if (rv) *rv = r;
        return r == CKR_OK ? std::string(buffer, a.ulValueLen) : std::string();
    }
};

// The answer whose receipt failed stays in the reader; the next exchange
// must not take it for its own.
TEST_F(Faults, ALostAnswerFailsOnlyItsOwnCall) {
    CK_SESSION_HANDLE h = Open(true);
    for (int i = 0; i < 10; ++i) {
        sim_->Control("recv-fail 1");
        const CK_RV lost = Login(h, CKU_USER, testing_kv::kUserPin);
        EXPECT_TRUE(lost == CKR_DEVICE_ERROR || lost == CKR_OK) << i << ": 0x" << std::hex << lost;
        if (lost != CKR_OK) {
            EXPECT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK) << i;
        }
        const CK_OBJECT_HANDLE o = CreateData(h, "lost " + std::to_string(i), "value");
        EXPECT_EQ(Text(h, o, CKA_VALUE), "value") << i;
        EXPECT_EQ(C_Logout(h), CKR_OK) << i;
    }
    EXPECT_EQ(sim_->Control("tries"), "user=5/5 so=5/5");
}

// A send that fails at any command of a login with the right PIN is a
// device error, and costs no try.
TEST_F(Faults, TransferFailuresDuringALoginAreDeviceErrors) {
    CK_SESSION_HANDLE h = Open(true);
    for (int good = 0; good < 12; ++good) {
        sim_->Control("send-fail-after " + std::to_string(good) + " 1");
        const CK_RV rv = Login(h, CKU_USER, testing_kv::kUserPin);
        sim_->Control("send-fail-after 0 0");
        EXPECT_TRUE(rv == CKR_DEVICE_ERROR || rv == CKR_OK) << "after " << good << ": 0x" << std::hex << rv;
        if (rv == CKR_OK) {
            EXPECT_EQ(C_Logout(h), CKR_OK);
        }
    }
    EXPECT_EQ(sim_->Control("tries"), "user=5/5 so=5/5");
    EXPECT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK);
}

// A transfer failure anywhere in a key pair generation is a device error,
// and the pair is whole or absent once the next call has run.
TEST_F(Faults, TransferFailuresDuringAKeyPairGenerationLeaveWholePairs) {
    CK_SESSION_HANDLE h = LoggedIn();
    int made = 0;
    for (int good = 0; good < 40; good += 3) {
        sim_->Control("send-fail-after " + std::to_string(good) + " 1");
        const CK_RV rv = GeneratePair(h);
        sim_->Control("send-fail-after 0 0");
        EXPECT_TRUE(rv == CKR_DEVICE_ERROR || rv == CKR_OK) << "after " << good << ": 0x" << std::hex << rv;
        made += rv == CKR_OK;
    }
    const auto privateKeys = Find(h, CKO_PRIVATE_KEY), publicKeys = Find(h, CKO_PUBLIC_KEY);
    EXPECT_EQ(privateKeys.size(), size_t(made));
    EXPECT_EQ(publicKeys.size(), size_t(made));
    // Every key file on the token is named by one key object, and each key
    // object's file is there.
    std::set<uint16_t> named;
    for (auto keys : {privateKeys, publicKeys}) {
        for (CK_OBJECT_HANDLE k : keys) {
            CK_ULONG ref = 0;
            CK_ATTRIBUTE a{kKeyRef, &ref, sizeof ref};
            ASSERT_EQ(C_GetAttributeValue(h, k, &a, 1), CKR_OK);
            EXPECT_TRUE(named.insert(static_cast<uint16_t>(ref)).second);
        }
    }
    testing_kv::TokenClient other(sim_->Socket());
    std::vector<uint16_t> files;
    ASSERT_EQ(other.token->GetFileList(files), 0u);
    std::set<uint16_t> keyFiles;
    for (uint16_t f : files) {
        if (f >= 0x8000 && f <= 0xC000 && f != 0x9F00) keyFiles.insert(f);  // 9F00: the PIN tries
    }
    EXPECT_EQ(keyFiles, named);
}

// Lost sends and lost answers of one to three transfers at every point of
// key pair generations and destructions, then one call without faults: the storage
// is whole (every key file named by its key object, the container maps
// naming exactly the keys there are, no container without keys), as an
// audit of the token's files through a token object of its own finds it.
TEST_F(Faults, TransferFailuresInKeyPairsLeaveNoStorageBehind) {
    const stress::TokenBaseline baseline = stress::ReadBaseline(sim_->Socket());
    CK_SESSION_HANDLE h = LoggedIn();
    auto clear = [this] {
        sim_->Control("send-fail-after 0 0");
        sim_->Control("recv-fail-after 0 0");
    };
    for (const char* kind : {"send-fail-after ", "recv-fail-after "}) {
        for (int length : {1, 2, 3}) {
            for (int good = 0; good < 70; ++good) {
                const std::string fault = kind + std::to_string(good) + " " + std::to_string(length);
                sim_->Control(fault);
                const CK_RV made = GeneratePair(h);
                clear();
                EXPECT_TRUE(made == CKR_DEVICE_ERROR || made == CKR_OK) << fault << ": 0x" << std::hex << made;
                const auto keys = Find(h);
                if (keys.empty()) continue;
                sim_->Control(fault);
                for (CK_OBJECT_HANDLE k : keys) C_DestroyObject(h, k);  // each may fail
                clear();
            }
        }
    }
    for (CK_OBJECT_HANDLE k : Find(h)) EXPECT_EQ(C_DestroyObject(h, k), CKR_OK);
    ASSERT_EQ(GeneratePair(h), CKR_OK);  // files and maps in use again
    DiskMirror::SetBase(sim_->Dir() + "/audit");
    const stress::StorageAudit audit = stress::AuditStorage(sim_->Socket(), testing_kv::kUserPin, baseline);
    for (const std::string& finding : audit.findings) ADD_FAILURE() << "storage: " << finding;
    EXPECT_EQ(audit.keyFiles, 2u);
    EXPECT_EQ(audit.containers, 1u);
}

// A card reset after another writer changed the token: the cache reloads
// its record table, the reload meets the reset (6985) and the recovery logs
// in again, all inside the reload.
TEST_F(Faults, AResetMetWhileTheCacheReloadsIsRecovered) {
    CK_SESSION_HANDLE h = LoggedIn();
    const CK_OBJECT_HANDLE mine = CreateData(h, "mine", "kept");
    // Another writer, with phone storage of its own: this instance's mirror
    // is out of date, so the reload reads the record table from the token.
    const std::string ours = DiskMirror::Base();
    DiskMirror::SetBase(sim_->Dir() + "/other-mirror");
    testing_kv::PutDataObjects(*sim_, 1);
    DiskMirror::SetBase(ours);
    sim_->Control("reset");
    EXPECT_EQ(Text(h, mine, CKA_VALUE), "kept");
    EXPECT_EQ(Find(h, CKO_DATA).size(), 2u);
    EXPECT_EQ(State(h), CKS_RW_USER_FUNCTIONS);
}

// Another instance destroys an object this one holds a handle to and files
// a new one under the freed file name: the handle stays invalid.
TEST_F(Faults, AHandleOfAnObjectDestroyedElsewhereNeverNamesAnother) {
    CK_SESSION_HANDLE h = LoggedIn();
    const CK_OBJECT_HANDLE x = CreateData(h, "x", "first");
    ASSERT_EQ(Text(h, x, CKA_LABEL), "x");
    {
        testing_kv::TokenClient other(sim_->Socket());
        ASSERT_EQ(testing_kv::LoginUser(*other.token), 0u);
        auto* store = dynamic_cast<CStoreTarn*>(other.token->GetStore());
        ASSERT_NE(store, nullptr);
        std::vector<ObjPtr> added, removed, changed;
        ASSERT_EQ(store->CheckUpdate({}, added, removed, changed), 0u);
        ASSERT_EQ(added.size(), 1u);
        added[0]->SetHandle(7);
        const std::string name = store->FindObjByID(7)->fileName;
        ASSERT_EQ(store->PurgeObj(added[0]), 0u);
        KeyTemplate y;
        y.ULong(CKA_CLASS, CKO_DATA).Flag(CKA_TOKEN, true).Text(CKA_LABEL, "y").Text(CKA_VALUE, "second");
        ObjPtr obj = y.Make();
        obj->SetHandle(8);
        ASSERT_EQ(store->StoreObj(obj), 0u);
        ASSERT_EQ(store->FindObjByID(8)->fileName, name) << "the freed name is taken again";
    }
    CK_RV rv = CKR_OK;
    EXPECT_EQ(Text(h, x, CKA_LABEL, &rv), "");
    EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
    const auto ys = Find(h, CKO_DATA, "y");
    ASSERT_EQ(ys.size(), 1u);
    EXPECT_NE(ys[0], x);
    EXPECT_EQ(Text(h, ys[0], CKA_VALUE), "second");
    Text(h, x, CKA_LABEL, &rv);
    EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID) << "for ever";
}

// A key another instance destroys while this one signs with it: the
// signature fails with the key's handle, not with the device.
TEST_F(Faults, SigningWithAKeyDestroyedElsewhereIsAnInvalidKey) {
    CK_SESSION_HANDLE h = LoggedIn();
    ASSERT_EQ(GeneratePair(h), CKR_OK);
    const auto keys = Find(h, CKO_PRIVATE_KEY);
    ASSERT_EQ(keys.size(), 1u);
    CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
    ASSERT_EQ(C_SignInit(h, &ecdsa, keys[0]), CKR_OK);
    {
        testing_kv::TokenClient other(sim_->Socket());
        ASSERT_EQ(testing_kv::LoginUser(*other.token), 0u);
        IStore* store = other.token->GetStore();
        std::vector<ObjPtr> added, removed, changed;
        ASSERT_EQ(store->CheckUpdate({}, added, removed, changed), 0u);
        for (size_t i = 0; i < added.size(); ++i) added[i]->SetHandle(static_cast<uint32_t>(10 + i));
        for (const ObjPtr& o : added) {
            if (o->Value(CKA_CLASS)->at(0) == CKO_PRIVATE_KEY) {
                ASSERT_EQ(store->PurgeObj(o), 0u);
            }
        }
    }
    uint8_t digest[32] = {1}, signature[64];
    CK_ULONG len = sizeof signature;
    EXPECT_EQ(C_Sign(h, digest, sizeof digest, signature, &len), CKR_KEY_HANDLE_INVALID);
    CK_RV rv = CKR_OK;
    Text(h, keys[0], CKA_LABEL, &rv);
    EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
}

}  // namespace
