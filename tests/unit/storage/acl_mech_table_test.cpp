// ACL word conversions and the mechanism table built from a token's answer.
#include <gtest/gtest.h>

#include <array>

#include "acl.h"
#include "mechanism_table.h"
#include "test_vectors.h"

using testing_kv::Bytes;

namespace {

TEST(Acl, ConversionTables) {
    EXPECT_EQ(ACL2CFAC(0xD000), EveryoneReadUserWriteAc);
    EXPECT_EQ(ACL2CFAC(0xD080), UnknownAc);
    EXPECT_EQ(ACL2CFAC(0xD07F), EveryoneReadUserWriteAc);
    EXPECT_EQ(ACL2CFAC(0x0300), AdminReadWriteAc);
    EXPECT_EQ(ACL2CFAC(0xDB00), UnknownAc);
    EXPECT_EQ(CFAC2ACL(UnknownAc), 0xFFFF);
    EXPECT_EQ(CFAC2ACL(UserReadWriteAc), 0xC000);
    EXPECT_EQ(CFAC2ACL(9), 0x0000);
    EXPECT_EQ(MakeACL(true, true, false, true, false, false, false, false, false, 0x1FF), 0xD07F);

    struct Case {
        uint16_t acl;
        uint8_t b1, b2, b3, b4;
    } cases[] = {{0xD000, 0x90, 0x96, 0x00, 0x96}, {0x6000, 0x9F, 0x96, 0x00, 0x96}, {0x9300, 0x90, 0xB8, 0x00, 0xB8},
                 {0xC000, 0x96, 0x96, 0x00, 0x96}, {0x0300, 0xB8, 0xB8, 0x00, 0xB8}, {0xDB00, 0x90, 0x90, 0x00, 0x96},
                 {0xD080, 0x00, 0x00, 0x00, 0x00}};  // unknown without both everyone bits: untouched
    for (auto c : cases) {
        uint8_t a = 0, b = 0, d = 0, e = 0;
        GetInternalACL_Tarn(c.acl, a, b, d, e);
        EXPECT_EQ(Bytes({a, b, d, e}), Bytes({c.b1, c.b2, c.b3, c.b4})) << std::hex << c.acl;
    }
}

Bytes Answer(std::initializer_list<std::array<uint32_t, 4>> records) {
    Bytes a{0, static_cast<uint8_t>(records.size())};
    for (const auto& r : records) {
        for (int i = 3; i >= 0; --i) a.push_back(static_cast<uint8_t>(r[0] >> (8 * i)));
        a.insert(a.end(), {static_cast<uint8_t>(r[1] >> 8), static_cast<uint8_t>(r[1]), static_cast<uint8_t>(r[2] >> 8),
                           static_cast<uint8_t>(r[2])});
        for (int i = 3; i >= 0; --i) a.push_back(static_cast<uint8_t>(r[3] >> (8 * i)));
    }
    return a;
}

TEST(MechanismTable, RefinedByTheTokensAnswer) {
    Bytes a = Answer({{CKM_RSA_PKCS_KEY_PAIR_GEN, 0, 0x0E, CKF_HW}, {CKM_ECDSA, 192, 256, CKF_HW | CKF_SIGN},
                      {CKM_AES_CBC, 128, 128, CKF_HW}});
    MechanismTable t;
    ASSERT_TRUE(BuildMechanismTable(a.data(), static_cast<uint32_t>(a.size()), t));
    EXPECT_EQ(t.info.at(CKM_RSA_PKCS_KEY_PAIR_GEN).ulMinKeySize, 768u);
    EXPECT_EQ(t.info.at(CKM_RSA_PKCS_KEY_PAIR_GEN).ulMaxKeySize, 2048u);
    EXPECT_EQ(t.info.at(CKM_RSA_PKCS_KEY_PAIR_GEN).flags, CKF_GENERATE_KEY_PAIR | CKF_HW);
    EXPECT_EQ(t.info.at(CKM_SHA512_RSA_PKCS).ulMinKeySize, 1024u);
    EXPECT_EQ(t.info.at(CKM_SHA512_RSA_PKCS).ulMaxKeySize, 2048u);
    EXPECT_EQ(t.info.at(CKM_ECDSA).ulMaxKeySize, 256u);  // neither template: taken as given
    EXPECT_EQ(t.info.at(CKM_AES_CBC).ulMaxKeySize, 128u);
    EXPECT_EQ(t.info.at(CKM_AES_CBC).flags, CKF_ENCRYPT | CKF_DECRYPT | CKF_HW);
    EXPECT_EQ(t.rsaLengthBits, 0x0E);
    EXPECT_EQ(t.hardware, (std::vector<uint32_t>{CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_ECDSA, CKM_AES_CBC}));
    EXPECT_EQ(t.info.size(), 40u);

    MechanismTable empty;
    Bytes none{0, 0};
    ASSERT_TRUE(BuildMechanismTable(none.data(), 2, empty));
    EXPECT_EQ(empty.info.size(), 39u);
    EXPECT_EQ(empty.info.at(CKM_RSA_PKCS_KEY_PAIR_GEN).ulMinKeySize, 512u);  // templates were not changed

    Bytes lying{0, 3, 0, 0};  // claims three records
    EXPECT_FALSE(BuildMechanismTable(lying.data(), 4, empty));
}

}  // namespace
