// DES, 3DES and AES with keys on a token that runs ECB and CBC with
// OpenSSL: results in one part and in many equal OpenSSL over the whole
// message; and HMAC-SHA-1 with a token key, computed in the library.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_key_token.h"
#include "multipart_drive.h"
#include "test_vectors.h"

using fake_token::Bytes;
using fake_token::Harness;
using fake_token::Random;
using fake_token::TokenKey;
using testing_kv::Hex;
using testing_kv::ToHex;

using testing_kv::InParts;
using testing_kv::OnePart;

namespace {

constexpr uint32_t kKeyRef = 0x0503;  // key number 3
constexpr uint32_t kKeyNumber = 3;

ObjPtr SecretKey(CK_KEY_TYPE type, const Bytes& value) {
    return TokenKey(CKO_SECRET_KEY, type, kKeyRef).Value(CKA_VALUE, value).Make();
}

TEST(CipherHard, MatchesOpenSslInOneAndManyParts) {
    enum Mode { kEcb, kCbc, kCbcPad };
    struct Case {
        CK_MECHANISM_TYPE mech;
        CK_KEY_TYPE type;
        size_t keyLen;
        Mode mode;
    } cases[] = {
        {CKM_DES_ECB, CKK_DES, 8, kEcb},           {CKM_DES_CBC, CKK_DES, 8, kCbc},
        {CKM_DES_CBC_PAD, CKK_DES, 8, kCbcPad},    {CKM_DES3_ECB, CKK_DES3, 16, kEcb},
        {CKM_DES3_CBC, CKK_DES3, 24, kCbc},        {CKM_DES3_CBC_PAD, CKK_DES3, 16, kCbcPad},
        {CKM_DES3_CBC_PAD, CKK_DES3, 24, kCbcPad}, {CKM_AES_ECB, CKK_AES, 32, kEcb},
        {CKM_AES_CBC, CKK_AES, 24, kCbc},          {CKM_AES_CBC_PAD, CKK_AES, 16, kCbcPad},
        {CKM_AES_CBC_PAD, CKK_AES, 32, kCbcPad},
    };
    for (const Case& c : cases) {
        const bool aes = c.type == CKK_AES;
        const size_t block = aes ? 16 : 8;
        const Bytes key = Random(c.keyLen);
        const Bytes iv = c.mode == kEcb ? Bytes() : Random(block);
        for (size_t len : {0, 1, 15, 16, 17, 48, 100, 352, 1000}) {
            if (c.mode != kCbcPad && (len == 0 || len % 16)) continue;
            SCOPED_TRACE(std::to_string(c.mech) + " key " + std::to_string(c.keyLen) + " len " + std::to_string(len));
            const Bytes msg = Random(len);
            Bytes want;
            ASSERT_TRUE(fake_token::EvpCrypt(aes, c.mode != kEcb, key, iv.empty() ? nullptr : iv.data(), true,
                                             c.mode == kCbcPad, msg.data(), msg.size(), want));
            Harness h;
            h.token.secretKeys[kKeyNumber] = key;
            const ObjPtr obj = SecretKey(c.type, key);
            EXPECT_EQ(ToHex(OnePart(*h.Multi(MECH_FUNC_ENCRYPT, c.mech, obj, iv), msg)), ToHex(want));
            EXPECT_EQ(ToHex(InParts(*h.Multi(MECH_FUNC_ENCRYPT, c.mech, obj, iv), msg)), ToHex(want));
            EXPECT_EQ(ToHex(OnePart(*h.Multi(MECH_FUNC_DECRYPT, c.mech, obj, iv), want)), ToHex(msg));
            EXPECT_EQ(ToHex(InParts(*h.Multi(MECH_FUNC_DECRYPT, c.mech, obj, iv), want)), ToHex(msg));
            const std::string op = aes ? (c.mode == kEcb ? "AES_ECB_OP(3," : "AES_Encrypt_CBC(3,")
                                       : (c.mode == kEcb ? "DES_ECB_OP(3," : "DES_Encrypt_CBC(3,");
            EXPECT_FALSE(h.token.CallsOf(op).empty());  // the key's number, the low byte of its reference
        }
    }
}

TEST(CipherHard, PublishedDesCbcVector) {
    // FIPS 81, CBC example: "Now is the time for all ".
    const Bytes key = Hex("0123456789ABCDEF"), iv = Hex("1234567890ABCDEF");
    const Bytes plain = Hex("4E6F77206973207468652074696D6520666F7220616C6C20");
    const Bytes cipher = Hex("E5C7CDDE872BF27C43E934008C389C0F683788499A7C05F6");
    Harness h;
    h.token.secretKeys[kKeyNumber] = key;
    EXPECT_EQ(ToHex(InParts(*h.Multi(MECH_FUNC_ENCRYPT, CKM_DES_CBC, SecretKey(CKK_DES, key), iv), plain)),
              ToHex(cipher));
    EXPECT_EQ(ToHex(InParts(*h.Multi(MECH_FUNC_DECRYPT, CKM_DES_CBC, SecretKey(CKK_DES, key), iv), cipher)),
              ToHex(plain));
}

TEST(CipherHard, KeyRulesAndTokenFailure) {
    struct Case {
        const char* what;
        CK_MECHANISM_TYPE mech;
        ObjPtr key;
        Bytes iv;
        CK_RV want;
    } cases[] = {
        {"DES key of 16 bytes", CKM_DES_ECB, SecretKey(CKK_DES, Bytes(16, 1)), {}, CKR_KEY_TYPE_INCONSISTENT},
        {"3DES key of 20 bytes", CKM_DES3_CBC, SecretKey(CKK_DES3, Bytes(20, 1)), Bytes(8, 0),
         CKR_KEY_TYPE_INCONSISTENT},
        {"3DES key of 16 bytes", CKM_DES3_CBC, SecretKey(CKK_DES3, Bytes(16, 1)), Bytes(8, 0), CKR_OK},
        {"an AES key for DES", CKM_DES_ECB, SecretKey(CKK_AES, Bytes(8, 1)), {}, CKR_GENERAL_ERROR},
        {"AES key of 20 bytes", CKM_AES_ECB, SecretKey(CKK_AES, Bytes(20, 1)), {}, CKR_KEY_TYPE_INCONSISTENT},
        {"AES ignores the key type", CKM_AES_ECB, SecretKey(CKK_DES3, Bytes(24, 1)), {}, CKR_OK},
        {"AES-CBC IV of 15 bytes", CKM_AES_CBC, SecretKey(CKK_AES, Bytes(16, 1)), Bytes(15, 0),
         CKR_MECHANISM_PARAM_INVALID},
        {"a private key", CKM_AES_ECB, TokenKey(CKO_PRIVATE_KEY, CKK_RSA, kKeyRef).Make(), {}, CKR_GENERAL_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        CK_RV rv = CKR_GENERAL_ERROR;
        h.Multi(MECH_FUNC_ENCRYPT, c.mech, c.key, c.iv, &rv);
        EXPECT_EQ(rv, c.want);
    }
    Harness h;
    h.token.secretKeys[kKeyNumber] = Bytes(16, 7);
    auto alg = h.Multi(MECH_FUNC_ENCRYPT, CKM_AES_CBC, SecretKey(CKK_AES, Bytes(16, 7)), Bytes(16, 0));
    h.token.failOn = "AES_Encrypt_CBC";
    Bytes in(32), out(32);
    uint32_t len = 32;
    EXPECT_EQ(alg->Update(in.data(), 32, out.data(), &len), CKR_DEVICE_ERROR);
}

TEST(HmacHard, Sha1HmacIsComputedInTheLibrary) {
    const Bytes key = Random(20), msg = Random(333);
    Harness h;
    auto alg = h.Multi(MECH_FUNC_SIGN, CKM_SHA_1_HMAC, SecretKey(CKK_GENERIC_SECRET, key));
    ASSERT_TRUE(alg);
    Bytes mac(20), want(20);
    uint32_t len = 20;
    EXPECT_EQ(alg->Do(msg.data(), static_cast<uint32_t>(msg.size()), mac.data(), &len), CKR_OK);
    size_t wantLen = 0;
    ASSERT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, key.data(), key.size(), msg.data(), msg.size(),
                        want.data(), want.size(), &wantLen),
              nullptr);
    EXPECT_EQ(ToHex(mac), ToHex(want));
    EXPECT_TRUE(h.token.calls.empty());
    EXPECT_EQ(alg->Update(msg.data(), 1, nullptr, &len), RV_NOT_SUPPORTED);
}

}  // namespace
