// The slot's object and container managers on the virtual token, with a
// second library instance changing the same token.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "cont_mgr_fs_store.h"
#include "cont_mgr_with_obj.h"
#include "file_record.h"
#include "ifile_cache.h"
#include "istore.h"
#include "obj_mgr.h"
#include "rsa_cert.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::TokenClient;

namespace {

// One library instance: token, store and the manager stack as a slot builds it.
struct Instance {
    explicit Instance(const std::string& socket) : client(socket) {
        EXPECT_EQ(client.token->ConnectAndSetenv(), 0u);
        EXPECT_EQ(testing_kv::LoginUser(*client.token), 0u);
        store = std::make_unique<ObjMgrWithStore>(client.token->GetStore());
        containers = std::make_unique<ContMgrFsStore>(client.token->GetFileSystem());
        objects = std::make_unique<ObjMgrWithCont>(store.get(), containers.get());
        EXPECT_EQ(objects->CheckUpdate(nullptr, nullptr, nullptr), 0u);
    }
    TokenClient client;
    std::unique_ptr<ObjMgrWithStore> store;
    std::unique_ptr<ContMgrFsStore> containers;
    std::unique_ptr<ObjMgrWithCont> objects;
};

ByteVec TokenFile(Instance& in, const char* dir, const char* name) {
    ByteVec bytes;
    EXPECT_EQ(in.client.token->GetFileSystem()->ReadFile(dir, name, 0, bytes, nullptr), 0u);
    return bytes;
}

class Managers : public ::testing::Test {
protected:
    Managers() { DiskMirror::SetBase(sim.Dir() + "/mirror"); }
    SimProcess sim;
    testing_kv::RsaMaterial m = testing_kv::MakeRsaMaterial();
};

TEST_F(Managers, KeysMeetTheirCertificateAcrossInstances) {
    Instance a(sim.Socket());
    auto cert = testing_kv::RsaObject(CKO_CERTIFICATE, m.certificate, false, 0);
    auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, false, 0);
    auto pub = testing_kv::RsaObject(CKO_PUBLIC_KEY, m.modulus, false, 0);
    CK_ULONG prvRef = 0xA020, pubRef = 0x8000;  // keys held on the token
    prv->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &prvRef, 8);
    pub->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &pubRef, 8);
    ASSERT_EQ(a.objects->AddObject(prv), 0u);
    ASSERT_EQ(a.objects->AddObject(pub), 0u);
    ASSERT_EQ(a.objects->AddObject(cert), 0u);
    EXPECT_EQ(prv->GetHandle(), 2u);
    EXPECT_EQ(pub->GetHandle(), 3u);
    ByteVec map = TokenFile(a, "mscp", "cmapfile");
    ASSERT_EQ(map.size(), 86u);
    EXPECT_EQ(map[80], 1);
    EXPECT_EQ(map[82] | map[83] << 8, 1024);  // signature half with the public key
    ByteVec refs = TokenFile(a, "internal", "containermap");
    ASSERT_EQ(refs.size(), 48u);
    EXPECT_EQ(testing_kv::ToHex(ByteVec(refs.begin() + 24, refs.begin() + 32)), "20A0000000800000");

    // A data object changes no container.
    ByteVec before = map;
    CK_ULONG dataClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_TOKEN, &yes, 1}};
    ASSERT_EQ(a.objects->AddObject(ObjFactory::CreateObject(t, 2)), 0u);
    EXPECT_EQ(TokenFile(a, "mscp", "cmapfile"), before);

    // A second instance finds all of them; the private key is matched first,
    // so the certificate lands in its container.
    Instance b(sim.Socket());
    std::vector<ObjPtr> added, changed, removed;
    ASSERT_EQ(b.objects->CheckUpdate2(&added, &changed, &removed), 0u);
    EXPECT_EQ(added.size(), 4u);
    ASSERT_EQ(b.containers->Containers().size(), 1u);
    const container_t& c = b.containers->Containers().begin()->second;
    for (uint32_t type = 0; type < 3; ++type) EXPECT_TRUE(c.pairs[KV_USAGE_SIGNATURE].objects[type]) << type;
    EXPECT_EQ(TokenFile(b, "mscp", "cmapfile"), before) << "a synchronisation writes nothing back";

    // B deletes the certificate; A sees it go and keeps the keys' handles.
    ObjPtr theirCert = c.pairs[KV_USAGE_SIGNATURE].objects[KV_OBJ_CERTIFICATE];
    ASSERT_EQ(b.objects->DestroyObject(theirCert), 0u);
    added.clear();
    ASSERT_EQ(a.objects->CheckUpdate(nullptr, nullptr, nullptr), 0u);
    ASSERT_EQ(a.objects->CheckUpdate2(&added, &changed, &removed), 0u);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].get(), cert.get());
    EXPECT_FALSE(a.objects->GetObject(cert->GetHandle()));
    EXPECT_EQ(a.objects->GetObject(2).get(), prv.get());
    EXPECT_EQ(a.objects->GetObject(3).get(), pub.get());
}

TEST_F(Managers, UsbFailureInAnAdditionLosesNothingElse) {
    Instance a(sim.Socket());
    auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, true, 0);
    ASSERT_EQ(a.objects->AddObject(prv), 0u);
    auto other = testing_kv::MakeRsaMaterial();
    auto failing = testing_kv::RsaObject(CKO_PRIVATE_KEY, other.modulus, true, 0);
    sim.Control("send-fail 1000");
    EXPECT_NE(a.objects->AddObject(failing), 0u);
    sim.Control("send-fail 0");

    Instance b(sim.Socket());
    std::vector<ObjPtr> all;
    ASSERT_EQ(b.objects->CheckUpdate2(nullptr, nullptr, nullptr), 0u);
    ASSERT_EQ(b.objects->GetAllObj(all), 0u);
    ASSERT_GE(all.size(), 1u);
    bool kept = false;
    for (const auto& o : all) kept = kept || (o->Value(CKA_MODULUS) && *o->Value(CKA_MODULUS) == m.modulus);
    EXPECT_TRUE(kept);
    // Every token file belongs to a record: nothing orphaned.
    ByteVec table;
    ASSERT_EQ(b.client.token->GetFileCache()->Read(0x6F01, 0, table, nullptr), 0u);
    std::vector<uint16_t> onToken;
    ASSERT_EQ(b.client.token->GetFileList(onToken), 0u);
    for (uint16_t fid : onToken) {
        if (fid < 0x2400 || fid >= 0x3400) continue;
        bool named = false;
        for (uint32_t i = 0; i < kRecordCount; ++i) named = named || tagFILE_RECORD::Decode(table.data() + i * 30).fid == fid;
        EXPECT_TRUE(named) << std::hex << fid;
    }
}

TEST_F(Managers, UsbCutAtAnyPointOfAnAdditionLosesNothing) {
    auto a = std::make_unique<Instance>(sim.Socket());
    auto base = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, true, 0);
    ASSERT_EQ(a->objects->AddObject(base), 0u);
    for (int cut = 0; cut < 36; cut += 5) {
        // A new key whose key file is already on the token, as key generation leaves it.
        uint16_t fid = 0;
        ASSERT_EQ(a->client.token->AllocKeyFID(CKO_PRIVATE_KEY, CKK_RSA, &fid), 0u);
        char create[80];
        std::snprintf(create, sizeof create, "other 00E0000018621680020020820201008302%04X8608909696FF96FFFFFFFF", fid);
        sim.Control(create);
        auto fresh = testing_kv::MakeRsaMaterial();
        auto key = testing_kv::RsaObject(CKO_PRIVATE_KEY, fresh.modulus, true, 0);
        CK_ULONG ref = fid;
        key->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &ref, 8);
        sim.Control("send-fail-after " + std::to_string(cut) + " 1000");
        const RV rv = a->objects->AddObject(key);
        sim.Control("send-fail-after 0 0");

        // A fresh instance finds the earlier key whole, the new one whole or not at all,
        // and never hands out a key file that is on the token.
        a = std::make_unique<Instance>(sim.Socket());
        std::vector<ObjPtr> all;
        ASSERT_EQ(a->objects->CheckUpdate2(nullptr, nullptr, nullptr), 0u) << cut;
        ASSERT_EQ(a->objects->GetAllObj(all), 0u);
        bool baseFound = false, keyFound = false;
        for (const auto& o : all) {
            const ByteVec* mod = o->Value(CKA_MODULUS);
            baseFound = baseFound || (mod && *mod == m.modulus);
            keyFound = keyFound || (mod && *mod == fresh.modulus);
        }
        EXPECT_TRUE(baseFound) << "cut after " << cut;
        if (rv == 0) {
            EXPECT_TRUE(keyFound) << "cut after " << cut;
        }
        uint16_t next = 0;
        ASSERT_EQ(a->client.token->AllocKeyFID(CKO_PRIVATE_KEY, CKK_RSA, &next), 0u);
        std::vector<uint16_t> onToken;
        ASSERT_EQ(a->client.token->GetFileList(onToken), 0u);
        EXPECT_EQ(std::count(onToken.begin(), onToken.end(), next), 0) << "cut after " << cut;
    }
}

}  // namespace
