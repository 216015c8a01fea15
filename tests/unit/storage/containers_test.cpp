// Matching keys and certificates into containers, and the map file bytes.
#include <gtest/gtest.h>

#include <array>

#include "cont_mgr_fs_store.h"
#include "fuzz/memory_file_system.h"
#include "rsa_cert.h"
#include "test_vectors.h"

using testing_kv::ToHex;

namespace {

TEST(Containers, KeysAndCertificateMeetInOneContainer) {
    auto m = testing_kv::MakeRsaMaterial();
    ContMgrFsStore mgr(nullptr);
    mgr.SetSaveSuppressed(true);  // memory only
    auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, true, 2);
    auto pub = testing_kv::RsaObject(CKO_PUBLIC_KEY, m.modulus, true, 3);
    auto cert = testing_kv::RsaObject(CKO_CERTIFICATE, m.certificate, false, 4);
    ASSERT_EQ(mgr.AddObj(prv), 0u);
    ASSERT_EQ(mgr.Containers().size(), 1u);
    const container_t& c = mgr.Containers().at(0);
    EXPECT_EQ(c.name.size(), 36u);
    EXPECT_EQ(c.name[8], '-');
    EXPECT_EQ(c.pairs[KV_USAGE_EXCHANGE].objects[KV_OBJ_PRIVATE_KEY].get(), prv.get());
    ASSERT_EQ(mgr.AddObj(pub), 0u);
    ASSERT_EQ(mgr.AddObj(cert), 0u);
    EXPECT_EQ(mgr.Containers().size(), 1u);
    EXPECT_EQ(c.pairs[KV_USAGE_EXCHANGE].objects[KV_OBJ_PUBLIC_KEY].get(), pub.get());
    EXPECT_EQ(c.pairs[KV_USAGE_EXCHANGE].objects[KV_OBJ_CERTIFICATE].get(), cert.get());
    uint32_t index = 9;
    EXPECT_TRUE(mgr.CheckMatchedKeyObj(pub, &index));
    EXPECT_EQ(index, 0u);

    auto other = testing_kv::MakeRsaMaterial();
    auto lonelyCert = testing_kv::RsaObject(CKO_CERTIFICATE, other.certificate, false, 5);
    ASSERT_EQ(mgr.AddObj(lonelyCert), 0u);
    EXPECT_EQ(mgr.GetObjContainer(lonelyCert, nullptr, nullptr, nullptr), SCARD_E_NO_KEY_CONTAINER);

    // Removing both keys with the destroy flag removes the container, certificate and all.
    ASSERT_EQ(mgr.RemoveObj(prv, true), 0u);
    EXPECT_EQ(mgr.Containers().size(), 1u);
    ASSERT_EQ(mgr.RemoveObj(pub, true), 0u);
    EXPECT_TRUE(mgr.Containers().empty());
}

TEST(Containers, MapFileBytesByHand) {
    auto m = testing_kv::MakeRsaMaterial();
    ContMgrFsStore mgr(nullptr);
    mgr.SetSaveSuppressed(true);
    uint32_t index = 0;
    ASSERT_EQ(mgr.CreateContainer("AB", &index), 0u);
    ASSERT_EQ(mgr.CreateContainer("CD", &index), 0u);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(mgr.CreateContainer("AB", &index), RV_ALREADY_EXISTS);
    EXPECT_EQ(index, 0u);
    CK_ULONG ref = 0xA020;
    auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, true, 2);
    prv->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &ref, 8);
    uint32_t usage = KV_USAGE_EXCHANGE;
    index = 1;
    ASSERT_EQ(mgr.AddObj(prv, &index, &usage), 0u);
    ASSERT_EQ(mgr.DestroyContainer(0), 0u);

    ByteVec map, refs;
    ASSERT_EQ(mgr.BuildMapFiles(map, refs), 0u);
    // Index 0 is free: an all-zero record. Index 1: "CD" in UTF-16LE, flags 1,
    // both sizes 0 (the key-exchange half holds no public key).
    std::string expectedMap = std::string(86 * 2, '0') + "43004400" + std::string(76 * 2, '0') + "01" "00" "0000" "0000";
    EXPECT_EQ(ToHex(map), expectedMap);
    // Header 01 and zeros; record 0 zero; record 1: exchange private key reference 0xA020.
    std::string expectedRefs = "01" + std::string(23 * 2, '0') + std::string(24 * 2, '0') + "00000000" "00000000" "20A00000" "00000000" +
                               std::string(16, '0');
    EXPECT_EQ(ToHex(refs), expectedRefs);

    // With the public key the exchange half takes the key size.
    auto pub = testing_kv::RsaObject(CKO_PUBLIC_KEY, m.modulus, true, 3);
    ASSERT_EQ(mgr.AddObj(pub), 0u);
    ASSERT_EQ(mgr.BuildMapFiles(map, refs), 0u);
    EXPECT_EQ(ToHex(ByteVec(map.end() - 4, map.end())), "00000004");  // 1024 bits little-endian
}

TEST(Containers, RemovedKeyLeavesNoReferenceBehind) {
    auto m = testing_kv::MakeRsaMaterial();
    ContMgrFsStore mgr(nullptr);
    mgr.SetSaveSuppressed(true);
    CK_ULONG ref = 0xA020;
    auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, true, 2);
    prv->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &ref, 8);
    auto pub = testing_kv::RsaObject(CKO_PUBLIC_KEY, m.modulus, true, 3);  // keeps the container alive
    ASSERT_EQ(mgr.AddObj(prv), 0u);
    ASSERT_EQ(mgr.AddObj(pub), 0u);
    ASSERT_EQ(mgr.RemoveObj(prv, true), 0u);
    ASSERT_EQ(mgr.Containers().size(), 1u);

    ByteVec map, refs;
    ASSERT_EQ(mgr.BuildMapFiles(map, refs), 0u);
    ASSERT_EQ(refs.size(), 48u);
    EXPECT_EQ(ToHex(ByteVec(refs.begin() + 24, refs.end())), std::string(48, '0'));  // 0xA020 is gone

    // A new key that gets the freed key file is not matched into the old container.
    auto other = testing_kv::MakeRsaMaterial();
    auto fresh = testing_kv::RsaObject(CKO_PRIVATE_KEY, other.modulus, true, 4);
    fresh->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &ref, 8);
    ASSERT_EQ(mgr.AddObj(fresh), 0u);
    uint32_t index = 0;
    ASSERT_EQ(mgr.GetObjContainer(fresh, &index, nullptr, nullptr), 0u);
    EXPECT_NE(index, 0u);
    EXPECT_EQ(mgr.Containers().size(), 2u);
}

// A pair placed in the signature half keeps it when another instance loads
// the maps and merges the objects, though the public key's attributes
// (CKA_ENCRYPT) would put it in the key-exchange half: the recorded
// reference decides.
TEST(Containers, AKeyStaysInTheHalfItsReferenceIsRecordedIn) {
    auto m = testing_kv::MakeRsaMaterial();
    kvfuzz::MemoryFileSystem fs;
    fs.Plant("internal", "containermap", ByteVec(24, 0));
    fs.Plant("mscp", "cmapfile", ByteVec());
    CK_ULONG prvRef = 0xA020, pubRef = 0x8020;
    auto keys = [&] {
        auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, false, 2);
        auto pub = testing_kv::RsaObject(CKO_PUBLIC_KEY, m.modulus, true, 3);
        prv->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &prvRef, 8);
        pub->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &pubRef, 8);
        return std::make_pair(prv, pub);
    };
    ContMgrFsStore first(&fs);
    ASSERT_EQ(first.CheckUpdate(), 0u);
    uint32_t index = 0, usage = KV_USAGE_SIGNATURE;
    ASSERT_EQ(first.CreateContainer("K", &index), 0u);
    auto [prv, pub] = keys();
    ASSERT_EQ(first.AddObj(prv, &index, &usage), 0u);
    ASSERT_EQ(first.AddObj(pub, &index, &usage), 0u);

    ContMgrFsStore second(&fs);
    ASSERT_EQ(second.CheckUpdate(), 0u);
    auto [prv2, pub2] = keys();
    ASSERT_EQ(second.AddObj(prv2), 0u);
    ASSERT_EQ(second.AddObj(pub2), 0u);  // saves the maps
    ByteVec map, refs;
    ASSERT_EQ(fs.ReadFile("mscp", "cmapfile", 0, map, nullptr), 0u);
    ASSERT_EQ(fs.ReadFile("internal", "containermap", 0, refs, nullptr), 0u);
    // Signature half: 1024 bits, both references; key-exchange half: nothing.
    ASSERT_EQ(map.size(), 86u);
    EXPECT_EQ(ToHex(ByteVec(map.begin() + 82, map.end())), "0004" "0000");
    ASSERT_EQ(refs.size(), 48u);
    EXPECT_EQ(ToHex(ByteVec(refs.begin() + 24, refs.begin() + 40)), "20A00000" "20800000" "00000000" "00000000");
}

// Another process destroyed a public key and made a new one in the same key
// file, recording it in the same half; this instance, merging the change,
// puts the new key where the map says, not where its attributes would.
TEST(Containers, AKeyReplacedElsewhereTakesTheHalfTheMapRecords) {
    auto m = testing_kv::MakeRsaMaterial();
    ContMgrFsStore mgr(nullptr);
    mgr.SetSaveSuppressed(true);
    CK_ULONG pubRef = 0x8020;
    uint32_t index = 0, usage = KV_USAGE_SIGNATURE;
    ASSERT_EQ(mgr.CreateContainer("K", &index), 0u);
    auto pub = testing_kv::RsaObject(CKO_PUBLIC_KEY, m.modulus, true, 3);
    pub->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &pubRef, 8);
    ASSERT_EQ(mgr.AddObj(pub, &index, &usage), 0u);

    auto other = testing_kv::MakeRsaMaterial();
    auto replacement = testing_kv::RsaObject(CKO_PUBLIC_KEY, other.modulus, true, 4);  // CKA_ENCRYPT: exchange by its flags
    replacement->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &pubRef, 8);
    ASSERT_EQ(mgr.ForgetObj(pub), 0u);
    ASSERT_EQ(mgr.AddObj(replacement), 0u);
    uint32_t found = 9, half = 9;
    ASSERT_EQ(mgr.GetObjContainer(replacement, &found, &half, nullptr), 0u);
    EXPECT_EQ(found, index);
    EXPECT_EQ(half, uint32_t(KV_USAGE_SIGNATURE));
    EXPECT_EQ(mgr.Containers().size(), 1u);
}

// Map writes that fail from the given one on, as a USB line cut mid-save;
// like the token's file system, a write of the bytes a file already holds
// changes nothing, not even its write count.
class CutFileSystem : public kvfuzz::MemoryFileSystem {
public:
    int writesLeft = 1 << 20;
    RV ResizeFile(const std::string& dir, const std::string& name, uint32_t size, uint32_t* count,
                  const uint8_t* data) override {
        if (writesLeft-- <= 0) return CKR_DEVICE_ERROR;
        ByteVec now;
        if (data && ReadFile(dir, name, 0, now, nullptr) == 0 && now == ByteVec(data, data + size)) return 0;
        return MemoryFileSystem::ResizeFile(dir, name, size, count, data);
    }
};

// Whatever point a save is cut at, another reader never finds a container
// that holds no key; a key whose removal was not saved leaves the maps at
// the next refresh that can save them.
TEST(Containers, ASaveCutShortNeverLeavesAnEmptyContainer) {
    auto m = testing_kv::MakeRsaMaterial();
    CK_ULONG prvRef = 0xA020;
    for (int cutAfter : {0, 1}) {
        for (bool adding : {true, false}) {
            SCOPED_TRACE(testing::Message() << "cut after " << cutAfter << " writes, " << (adding ? "adding" : "removing"));
            CutFileSystem fs;
            fs.Plant("internal", "containermap", ByteVec(24, 0));
            fs.Plant("mscp", "cmapfile", ByteVec());
            ContMgrFsStore mgr(&fs);
            ASSERT_EQ(mgr.CheckUpdate(), 0u);
            auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, false, 2);
            prv->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &prvRef, 8);
            if (!adding) {
                ASSERT_EQ(mgr.AddObj(prv), 0u);
            }
            fs.writesLeft = cutAfter;
            EXPECT_NE(adding ? mgr.AddObj(prv) : mgr.RemoveObj(prv, true), 0u);

            ContMgrFsStore reader(&fs);
            ASSERT_EQ(reader.CheckUpdate(), 0u);
            for (const auto& c : reader.Containers())
                EXPECT_FALSE(c.second.pairs[0].Unused() && c.second.pairs[1].Unused()) << "container " << c.first;
            if (adding) continue;
            fs.writesLeft = 1 << 20;
            ASSERT_EQ(mgr.CheckUpdate(), 0u);
            ASSERT_EQ(mgr.SettleDropped(), 0u);
            ContMgrFsStore after(&fs);
            ASSERT_EQ(after.CheckUpdate(), 0u);
            EXPECT_TRUE(after.Containers().empty());
        }
    }
}

// One save that lists a container a refresh made in memory and drops
// another: cut after any of its writes, no reader finds an empty container.
TEST(Containers, ASaveThatAddsAndRemovesIsNeverTornEmpty) {
    auto m = testing_kv::MakeRsaMaterial();
    auto other = testing_kv::MakeRsaMaterial();
    for (int cutAfter : {0, 1, 2}) {
        SCOPED_TRACE(testing::Message() << "cut after " << cutAfter << " writes");
        CutFileSystem fs;
        fs.Plant("internal", "containermap", ByteVec(24, 0));
        fs.Plant("mscp", "cmapfile", ByteVec());
        ContMgrFsStore mgr(&fs);
        ASSERT_EQ(mgr.CheckUpdate(), 0u);
        CK_ULONG first = 0xA020, second = 0xA040;
        auto gone = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, false, 2);
        gone->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &first, 8);
        ASSERT_EQ(mgr.AddObj(gone), 0u);
        auto found = testing_kv::RsaObject(CKO_PRIVATE_KEY, other.modulus, false, 3);
        found->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &second, 8);
        mgr.SetSaveSuppressed(true);  // a refresh places it: memory only
        ASSERT_EQ(mgr.AddObj(found), 0u);
        mgr.SetSaveSuppressed(false);
        fs.writesLeft = cutAfter;
        EXPECT_NE(mgr.RemoveObj(gone, true), 0u);
        ContMgrFsStore reader(&fs);
        ASSERT_EQ(reader.CheckUpdate(), 0u);
        for (const auto& c : reader.Containers())
            EXPECT_FALSE(c.second.pairs[0].Unused() && c.second.pairs[1].Unused()) << "container " << c.first;
    }
}

// A removal cut between the two files leaves the old references of a
// container the map no longer lists; a key pair made again in the same key
// files writes the same references, so that file does not change. Another
// instance still reads them for the container the map lists again.
TEST(Containers, AContainerListedAgainTakesReferencesThatDidNotChange) {
    auto m = testing_kv::MakeRsaMaterial();
    CutFileSystem fs;
    fs.Plant("internal", "containermap", ByteVec(24, 0));
    fs.Plant("mscp", "cmapfile", ByteVec());
    CK_ULONG ref = 0xA020;
    auto key = [&] {
        auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, false, 2);
        prv->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &ref, 8);
        return prv;
    };
    ContMgrFsStore writer(&fs), other(&fs);
    ASSERT_EQ(writer.CheckUpdate(), 0u);
    auto first = key();
    ASSERT_EQ(writer.AddObj(first), 0u);
    ASSERT_EQ(other.CheckUpdate(), 0u);
    fs.writesLeft = 1;  // the map goes, the references stay
    EXPECT_NE(writer.RemoveObj(first, true), 0u);
    ASSERT_EQ(other.CheckUpdate(), 0u);
    EXPECT_TRUE(other.Containers().empty());

    fs.writesLeft = 1 << 20;
    ASSERT_EQ(writer.CheckUpdate(), 0u);
    ASSERT_EQ(writer.AddObj(key()), 0u);  // same key file: same references
    ASSERT_EQ(other.CheckUpdate(), 0u);
    ASSERT_EQ(other.Containers().size(), 1u);
    EXPECT_EQ(other.Containers().begin()->second.pairs[KV_USAGE_SIGNATURE].references[KV_OBJ_PRIVATE_KEY], ref);
}

}  // namespace

namespace {

// Map files as another process left them: one 86-byte map record and one
// 24-byte reference record per container (signature private, signature
// public, exchange private, exchange public references), written by hand.
void PlantMaps(kvfuzz::MemoryFileSystem& fs, const std::vector<std::array<uint32_t, 4>>& containers) {
    ByteVec map, refs(24, 0);
    refs[0] = 1;
    for (size_t i = 0; i < containers.size(); ++i) {
        ByteVec record(86, 0);
        record[0] = static_cast<uint8_t>('A' + i);  // name "A", "B", ... in UTF-16LE
        record[80] = 1;
        record[82] = 0x00, record[83] = 0x01;  // 256 bits in the signature half
        map.insert(map.end(), record.begin(), record.end());
        for (uint32_t ref : containers[i]) {
            for (int b = 0; b < 4; ++b) refs.push_back(static_cast<uint8_t>(ref >> (8 * b)));
        }
        refs.insert(refs.end(), 8, 0);
    }
    fs.Plant("mscp", "cmapfile", map);
    fs.Plant("internal", "containermap", refs);
}

std::vector<std::array<uint32_t, 4>> References(kvfuzz::MemoryFileSystem& fs) {
    ContMgrFsStore reader(&fs);
    EXPECT_EQ(reader.CheckUpdate(), 0u);
    std::vector<std::array<uint32_t, 4>> found;
    for (const auto& [index, c] : reader.Containers())
        found.push_back({c.pairs[0].references[0], c.pairs[0].references[1], c.pairs[1].references[0], c.pairs[1].references[1]});
    return found;
}

}  // namespace

// What a process killed between deleting a key and saving the maps leaves
// (references to key files that are gone, a reference recorded again once
// a new key took the file, a container that holds no key) is taken out by
// the next process that has every key in its container; references to key
// files on the token that no object carries (another middleware's keys)
// stay, and are looked for once.
TEST(Containers, LeftoversOfADestructionCutShortAreSettled) {
    auto m = testing_kv::MakeRsaMaterial();
    struct Case {
        const char* what;
        std::vector<std::array<uint32_t, 4>> before;
        std::vector<uint16_t> files;  // key files on the token
        bool liveKey;                 // a key object with reference A020 is merged
        std::vector<std::array<uint32_t, 4>> after;
    };
    const std::vector<Case> cases = {
        {"key files gone", {{0xA020, 0x8000, 0, 0}}, {}, false, {}},
        {"another middleware's keys", {{0xA020, 0x8000, 0, 0}}, {0xA020, 0x8000}, false, {{0xA020, 0x8000, 0, 0}}},
        {"one of the two gone", {{0, 0, 0xA040, 0x8020}}, {0xA040}, false, {{0, 0, 0xA040, 0}}},
        {"the file taken by a new key", {{0xA020, 0x8000, 0, 0}, {0xA020, 0, 0, 0}}, {0xA020}, true, {{0xA020, 0, 0, 0}}},
        {"a container without keys", {{0, 0, 0, 0}, {0xA060, 0, 0, 0}}, {0xA060}, false, {{0xA060, 0, 0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kvfuzz::MemoryFileSystem fs;
        PlantMaps(fs, c.before);
        ContMgrFsStore mgr(&fs);
        ASSERT_EQ(mgr.CheckUpdate(), 0u);
        if (c.liveKey) {
            CK_ULONG ref = 0xA020;
            auto prv = testing_kv::RsaObject(CKO_PRIVATE_KEY, m.modulus, false, 2);
            prv->SetAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF), &ref, 8);
            uint32_t index = 1, usage = KV_USAGE_SIGNATURE;
            mgr.SetSaveSuppressed(true);  // a refresh merges it: memory only
            ASSERT_EQ(mgr.AddObj(prv, &index, &usage), 0u);
            mgr.SetSaveSuppressed(false);
        }
        if (mgr.LooseReferencesUnchecked()) mgr.DropMissingKeyFiles(c.files);
        EXPECT_FALSE(mgr.LooseReferencesUnchecked());  // no second look at the file list
        ASSERT_EQ(mgr.SettleDropped(), 0u);
        EXPECT_EQ(References(fs), c.after);
    }
}
