// Key management with keys on a token: the token registry, key pair
// generation (call order, the public part read back, and the removal of
// both key files at every failure), secret key generation, and the import
// of key material into key files and key numbers.
#include <gtest/gtest.h>

#include <functional>

#include "cipher_hard.h"
#include "ecc_prv_hard.h"
#include "fake_key_token.h"
#include "hard_aliases.h"
#include "import_hard.h"
#include "keygen_hard.h"
#include "keypair_hard.h"
#include "rsa_prv_hard.h"
#include "test_vectors.h"
#include "token_tarn.h"
#include "token_wiring.h"
#include "unit/token/fake_card_device.h"

using fake_token::Bytes;
using fake_token::FakeKeyToken;
using fake_token::Harness;
using fake_token::Random;
using fake_token::TokenKey;
using testing_kv::Hex;
using testing_kv::ToHex;
using Calls = std::vector<std::string>;

namespace {

constexpr uint32_t kPublicFid = 0x8000, kPrivateFid = 0xA020;

const Bytes kP256 = Hex("06082A8648CE3D030107");
const Bytes kP192 = Hex("06082A8648CE3D030101");
const Bytes kP384 = Hex("06052B81040022");

Bytes Attr(const ObjPtr& obj, CK_ATTRIBUTE_TYPE type) {
    const ByteVec* v = obj->Value(static_cast<uint32_t>(type));
    return v ? *v : Bytes();
}

// A CK_ULONG attribute as kept (4 bytes); 0 when absent.
uint32_t ULongAttr(const ObjPtr& obj, CK_ATTRIBUTE_TYPE type) {
    uint32_t v = 0, len = sizeof v;
    return obj->GetAttr(static_cast<uint32_t>(type), &v, &len) == CKR_OK ? v : 0;
}

template <class T>
bool Is(const Alg* a) {
    return dynamic_cast<const T*>(a) != nullptr;
}

TEST(HardRegistry, TheTokenObjectFillsItsFactory) {
    CTokenTarn token{SlotTokenParts()};
    FakeCardDevice device;
    ASSERT_EQ(token.Init(&device), 1);
    AlgFactory* factory = token.GetAlgFactory();
    ASSERT_NE(factory, nullptr);
    struct Entry {
        CK_MECHANISM_TYPE mech;
        KV_MECH_FUNC_E func;
        bool (*is)(const Alg*);  // null: no entry
    } entries[] = {
        {CKM_RSA_PKCS_KEY_PAIR_GEN, MECH_FUNC_GENERATE_KEY_PAIR, Is<GenerateKeyPairRSAHard>},
        {CKM_RSA_PKCS, MECH_FUNC_DECRYPT, Is<RSAPKCSPrvHardDecrypt>},
        {CKM_RSA_X_509, MECH_FUNC_SIGN, Is<RSAX509PrvHardSign>},
        {CKM_SHA224_RSA_PKCS, MECH_FUNC_SIGN, Is<RSASHA224PrvHardSign>},
        {CKM_SHA256_RSA_PKCS, MECH_FUNC_VERIFY, Is<RSASHA256PubSoftVerify>},
        {CKM_RSA_PKCS, MECH_FUNC_VERIFY_RECOVER, Is<RSAPKCSPubSoftVerifyRecover>},
        {CKM_RSA_X_509, MECH_FUNC_UNWRAP, Is<UnwrapKey>},
        {CKM_DH_PKCS_KEY_PAIR_GEN, MECH_FUNC_GENERATE_KEY_PAIR, Is<GenerateKeyPairDHSoft>},
        {CKM_RC4_KEY_GEN, MECH_FUNC_GENERATE_KEY, Is<GenerateKeyRC4Soft>},
        {CKM_DES_KEY_GEN, MECH_FUNC_GENERATE_KEY, Is<GenerateKeyDESHard>},
        {CKM_AES_KEY_GEN, MECH_FUNC_GENERATE_KEY, Is<GenerateKeyAESHard>},
        {CKM_RC2_CBC_PAD, MECH_FUNC_DECRYPT, Is<RC2CBCPADSoftDec>},
        {CKM_DES3_ECB, MECH_FUNC_ENCRYPT, Is<DESECBHardEnc>},
        {CKM_DES_CBC_PAD, MECH_FUNC_DECRYPT, Is<DESCBCPADHardDec>},
        {CKM_AES_CBC, MECH_FUNC_DECRYPT, Is<AESCBCHardDec>},
        {CKM_SHA_1_HMAC, MECH_FUNC_SIGN, Is<SHA1HmacSignSoft>},
        {CKM_EC_KEY_PAIR_GEN, MECH_FUNC_GENERATE_KEY_PAIR, Is<GenerateKeyPairECCHard>},
        {CKM_ECDSA, MECH_FUNC_SIGN, Is<ECCECDSAPrvHardSign>},
        {CKM_ECDSA_SHA1, MECH_FUNC_VERIFY, Is<ECCECDSASHA1PubSoftVerify>},
        {CKM_VENDOR_IMPORT_KEY, MECH_FUNC_IMPORT_KEY, Is<ImportKeyHard>},
        // Digests are always the library's; no signing with recovery, no
        // other HMAC, no derivation with token keys.
        {CKM_SHA256, MECH_FUNC_DIGEST, nullptr},
        {CKM_RSA_PKCS, MECH_FUNC_SIGN_RECOVER, nullptr},
        {CKM_SHA256_HMAC, MECH_FUNC_SIGN, nullptr},
        {CKM_DH_PKCS_DERIVE, MECH_FUNC_DERIVE, nullptr},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(std::to_string(e.mech) + " function " + std::to_string(e.func));
        CK_MECHANISM m{e.mech, nullptr, 0};
        Alg* alg = nullptr;
        const CK_RV rv = factory->CreateHardAlg(&m, e.func, &alg);
        std::unique_ptr<Alg> owned(alg);
        EXPECT_EQ(rv, e.is ? CKR_OK : RV_NOT_SUPPORTED);
        EXPECT_TRUE(!e.is || e.is(alg));
    }
}

// --- key pair generation ----------------------------------------------------

// Creates a key-management object through the factory and runs it.
CK_RV CreateAndRun(const std::function<CK_RV(Alg**)>& create) {
    Alg* alg = nullptr;
    const CK_RV rv = create(&alg);
    std::unique_ptr<Alg> owned(alg);
    return rv ? rv : alg->Do(nullptr, 0, nullptr, nullptr);
}

CK_RV GeneratePair(Harness& h, CK_MECHANISM_TYPE mech, const ObjPtr& pub, const ObjPtr& prv) {
    CK_MECHANISM m{mech, nullptr, 0};
    return CreateAndRun([&](Alg** alg) { return h.factory.CreateGenerateKeyPairAlg(&m, pub, prv, alg); });
}

ObjPtr RsaPublicTemplate(CK_ULONG bits, bool onToken = true) {
    return TokenKey(CKO_PUBLIC_KEY, CKK_RSA, 0, onToken).ULong(CKA_MODULUS_BITS, bits).Make();
}

ObjPtr EcPublicTemplate(const Bytes& params, bool onToken = true) {
    return TokenKey(CKO_PUBLIC_KEY, CKK_EC, 0, onToken).Value(CKA_EC_PARAMS, params).Make();
}

TEST(KeyPairHard, RsaPairIsMadeOnTheTokenAndSigns) {
    Harness h;
    const ObjPtr pub = RsaPublicTemplate(1024), prv = TokenKey(CKO_PRIVATE_KEY, CKK_RSA, 0).Make();
    ASSERT_EQ(GeneratePair(h, CKM_RSA_PKCS_KEY_PAIR_GEN, pub, prv), CKR_OK);
    EXPECT_EQ(h.token.calls, (Calls{"AllocKeyFID(2,0)", "AllocKeyFID(3,0)", "CreateRSAReference(8000,A020,1024)",
                                    "RSAGenerateKeyPair(8000,A020,1024)", "RSAReadPubKey(8000)"}));
    const fake_token::PKey& key = h.token.keys[kPublicFid];
    for (const ObjPtr& obj : {pub, prv}) {
        EXPECT_EQ(ToHex(Attr(obj, CKA_MODULUS)), ToHex(fake_token::BnParam(key, OSSL_PKEY_PARAM_RSA_N)));
        EXPECT_EQ(ToHex(Attr(obj, CKA_PUBLIC_EXPONENT)), ToHex(fake_token::BnParam(key, OSSL_PKEY_PARAM_RSA_E)));
    }
    EXPECT_EQ(ULongAttr(pub, CKA_VENDOR_KEY_REF), kPublicFid);
    EXPECT_EQ(ULongAttr(prv, CKA_VENDOR_KEY_REF), kPrivateFid);
    // The private object now signs on the token.
    const Bytes msg = Random(64);
    auto sign = h.Multi(MECH_FUNC_SIGN, CKM_SHA256_RSA_PKCS, prv);
    ASSERT_TRUE(sign);
    Bytes sig(128);
    uint32_t len = 128;
    ASSERT_EQ(sign->Do(msg.data(), 64, sig.data(), &len), CKR_OK);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EXPECT_EQ(EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(ctx, sig.data(), sig.size(), msg.data(), msg.size()), 1);
    EVP_MD_CTX_free(ctx);
}

TEST(KeyPairHard, EcPairTakesTheCurveOfTheTemplate) {
    struct Curve {
        Bytes oid;
        uint32_t bits;
    } curves[] = {{kP192, 192}, {kP256, 256}};
    for (const Curve& c : curves) {
        SCOPED_TRACE(c.bits);
        Harness h;
        const ObjPtr pub = EcPublicTemplate(c.oid), prv = TokenKey(CKO_PRIVATE_KEY, CKK_EC, 0).Make();
        ASSERT_EQ(GeneratePair(h, CKM_EC_KEY_PAIR_GEN, pub, prv), CKR_OK);
        const std::string bits = std::to_string(c.bits);
        EXPECT_EQ(h.token.calls,
                  (Calls{"AllocKeyFID(2,0)", "AllocKeyFID(3,0)", "CreateECCReference(8000,A020," + bits + ")",
                         "ECCGenerateKeyPair(8000,A020," + bits + ")", "ECCReadPubKey(8000)"}));
        const fake_token::PKey& key = h.token.keys[kPublicFid];
        const size_t coordLen = c.bits / 8;
        const Bytes xy = [&] {
            Bytes p = fake_token::BnParam(key, OSSL_PKEY_PARAM_EC_PUB_X, coordLen);
            const Bytes y = fake_token::BnParam(key, OSSL_PKEY_PARAM_EC_PUB_Y, coordLen);
            p.insert(p.end(), y.begin(), y.end());
            return p;
        }();
        EXPECT_EQ(ToHex(Attr(pub, CKA_EC_POINT)), ToHex(xy));
        EXPECT_EQ(ToHex(Attr(prv, CKA_EC_POINT)), ToHex(xy));
        EXPECT_EQ(ToHex(Attr(prv, CKA_EC_PARAMS)), ToHex(c.oid));
        EXPECT_EQ(ULongAttr(prv, CKA_VENDOR_KEY_REF), kPrivateFid);
        // The private object signs; the public object's point verifies it.
        Bytes digest = Random(20), sig(2 * coordLen);
        uint32_t len = static_cast<uint32_t>(sig.size());
        auto sign = h.Multi(MECH_FUNC_SIGN, CKM_ECDSA, prv);
        ASSERT_TRUE(sign);
        ASSERT_EQ(sign->Do(digest.data(), 20, sig.data(), &len), CKR_OK);
        CK_MECHANISM m{CKM_ECDSA, nullptr, 0};
        Alg* verify = nullptr;
        ASSERT_EQ(h.factory.CreateVerifyAlg(&m, pub, &verify), CKR_OK);
        std::unique_ptr<Alg> owned(verify);
        EXPECT_EQ(verify->Do(digest.data(), 20, sig.data(), &len), CKR_OK);
    }
}

TEST(KeyPairHard, AFailureAtEachStepRemovesBothFiles) {
    struct Case {
        CK_MECHANISM_TYPE mech;
        const char* failOn;
        CK_RV want;
        bool filesCreated;
    } cases[] = {
        {CKM_RSA_PKCS_KEY_PAIR_GEN, "AllocKeyFID(2,0)", FakeKeyToken::kFailure, false},
        {CKM_RSA_PKCS_KEY_PAIR_GEN, "AllocKeyFID(3,0)", FakeKeyToken::kFailure, false},
        {CKM_RSA_PKCS_KEY_PAIR_GEN, "CreateRSAReference", CKR_DEVICE_ERROR, true},
        {CKM_RSA_PKCS_KEY_PAIR_GEN, "RSAGenerateKeyPair", CKR_DEVICE_ERROR, true},
        {CKM_RSA_PKCS_KEY_PAIR_GEN, "RSAReadPubKey", CKR_DEVICE_ERROR, true},
        {CKM_EC_KEY_PAIR_GEN, "AllocKeyFID(3,0)", FakeKeyToken::kFailure, false},
        {CKM_EC_KEY_PAIR_GEN, "CreateECCReference", CKR_DEVICE_ERROR, true},
        {CKM_EC_KEY_PAIR_GEN, "ECCGenerateKeyPair", CKR_DEVICE_ERROR, true},
        {CKM_EC_KEY_PAIR_GEN, "ECCReadPubKey", CKR_DEVICE_ERROR, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failOn);
        Harness h;
        h.token.failOn = c.failOn;
        const bool rsa = c.mech == CKM_RSA_PKCS_KEY_PAIR_GEN;
        const ObjPtr pub = rsa ? RsaPublicTemplate(1024) : EcPublicTemplate(kP256);
        const ObjPtr prv = TokenKey(CKO_PRIVATE_KEY, rsa ? CKK_RSA : CKK_EC, 0).Make();
        EXPECT_EQ(GeneratePair(h, c.mech, pub, prv), c.want);
        EXPECT_EQ(h.token.CallsOf("DeleteFile"),
                  c.filesCreated ? (Calls{"DeleteFile(8000)", "DeleteFile(A020)"}) : Calls{});
        EXPECT_TRUE(h.token.files.empty());
        EXPECT_FALSE(pub->HasAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF)));
        EXPECT_FALSE(prv->HasAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF)));
    }
}

TEST(KeyPairHard, TemplatesRefusedBeforeTheTokenIsUsed) {
    const ObjPtr rsaPrv = TokenKey(CKO_PRIVATE_KEY, CKK_RSA, 0).Make();
    const ObjPtr ecPrv = TokenKey(CKO_PRIVATE_KEY, CKK_EC, 0).Make();
    struct Case {
        const char* what;
        CK_MECHANISM_TYPE mech;
        ObjPtr pub, prv;
        CK_RV want;
    } cases[] = {
        {"RSA of 4096 bits", CKM_RSA_PKCS_KEY_PAIR_GEN, RsaPublicTemplate(4096), rsaPrv, CKR_KEY_SIZE_RANGE},
        {"RSA of 0 bits", CKM_RSA_PKCS_KEY_PAIR_GEN, RsaPublicTemplate(0), rsaPrv, CKR_KEY_SIZE_RANGE},
        {"RSA, neither key on the token", CKM_RSA_PKCS_KEY_PAIR_GEN, RsaPublicTemplate(1024, false),
         TokenKey(CKO_PRIVATE_KEY, CKK_RSA, 0, false).Make(), CKR_TEMPLATE_INCONSISTENT},
        {"EC on P-384", CKM_EC_KEY_PAIR_GEN, EcPublicTemplate(kP384), ecPrv, CKR_ARGUMENTS_BAD},
        {"EC without a curve", CKM_EC_KEY_PAIR_GEN, TokenKey(CKO_PUBLIC_KEY, CKK_EC, 0).Make(), ecPrv,
         CKR_ARGUMENTS_BAD},
        {"EC mechanism, RSA keys", CKM_EC_KEY_PAIR_GEN, RsaPublicTemplate(1024), rsaPrv, CKR_ARGUMENTS_BAD},
        {"two private keys", CKM_RSA_PKCS_KEY_PAIR_GEN, rsaPrv, rsaPrv, CKR_ARGUMENTS_BAD},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        // A pair with neither key on the token is not the token's: call the class itself.
        CK_MECHANISM m{c.mech, nullptr, 0};
        std::unique_ptr<AlgGenerateKeyPair> alg;
        if (c.mech == CKM_RSA_PKCS_KEY_PAIR_GEN) {
            alg = std::make_unique<GenerateKeyPairRSAHard>(&h.token);
        } else {
            alg = std::make_unique<GenerateKeyPairECCHard>(&h.token);
        }
        CK_RV rv = alg->Init(&m, c.pub, c.prv);
        if (rv == CKR_OK) rv = alg->Do(nullptr, 0, nullptr, nullptr);
        EXPECT_EQ(rv, c.want);
        EXPECT_TRUE(h.token.calls.empty());
    }
}

// --- secret key generation --------------------------------------------------

CK_RV GenerateSecret(Harness& h, CK_MECHANISM_TYPE mech, const ObjPtr& key) {
    CK_MECHANISM m{mech, nullptr, 0};
    return CreateAndRun([&](Alg** alg) { return h.factory.CreateGenerateKeyAlg(&m, key, alg); });
}

TEST(KeyGenHard, KeyLengths) {
    constexpr CK_ULONG kAbsent = ~0UL;
    struct Case {
        CK_MECHANISM_TYPE mech;
        CK_KEY_TYPE type;
        CK_ULONG valueLen;
        CK_RV want;
        size_t length;
    } cases[] = {
        {CKM_DES_KEY_GEN, CKK_DES, kAbsent, CKR_OK, 8},
        {CKM_DES_KEY_GEN, CKK_DES, 8, CKR_OK, 8},
        {CKM_DES_KEY_GEN, CKK_DES, 0, CKR_TEMPLATE_INCONSISTENT, 0},
        {CKM_DES_KEY_GEN, CKK_DES, 16, CKR_TEMPLATE_INCONSISTENT, 0},
        {CKM_DES3_KEY_GEN, CKK_DES3, kAbsent, CKR_OK, 24},
        {CKM_DES3_KEY_GEN, CKK_DES3, 0, CKR_OK, 24},
        {CKM_DES3_KEY_GEN, CKK_DES3, 16, CKR_OK, 16},
        {CKM_DES3_KEY_GEN, CKK_DES3, 24, CKR_OK, 24},
        {CKM_DES3_KEY_GEN, CKK_DES3, 20, CKR_ARGUMENTS_BAD, 0},
        {CKM_AES_KEY_GEN, CKK_AES, kAbsent, CKR_OK, 16},
        {CKM_AES_KEY_GEN, CKK_AES, 0, CKR_OK, 16},
        {CKM_AES_KEY_GEN, CKK_AES, 24, CKR_OK, 24},
        {CKM_AES_KEY_GEN, CKK_AES, 32, CKR_OK, 32},
        {CKM_AES_KEY_GEN, CKK_AES, 20, CKR_TEMPLATE_INCONSISTENT, 0},
        {CKM_AES_KEY_GEN, CKK_DES3, kAbsent, CKR_TEMPLATE_INCONSISTENT, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mech) + " length " + std::to_string(c.valueLen));
        Harness h;
        fake_token::Template t = TokenKey(CKO_SECRET_KEY, c.type, 0);
        if (c.valueLen != kAbsent) t.ULong(CKA_VALUE_LEN, c.valueLen);
        const ObjPtr key = t.Make();
        EXPECT_EQ(GenerateSecret(h, c.mech, key), c.want);
        if (c.want != CKR_OK) {
            EXPECT_TRUE(h.token.calls.empty());
            continue;
        }
        // DES and 3DES keys are both allocated as DES keys.
        const bool aes = c.type == CKK_AES;
        const uint32_t number = aes ? 0x12 : 0x03;
        EXPECT_EQ(h.token.calls, (Calls{aes ? "AllocKeyFID(4,1F)" : "AllocKeyFID(4,13)",
                                        fake_token::Text("UpdateKey(%X,%zu)", number, c.length)}));
        EXPECT_EQ(Attr(key, CKA_VALUE).size(), c.length);
        EXPECT_EQ(ToHex(Attr(key, CKA_VALUE)), ToHex(h.token.secretKeys[number]));
        EXPECT_EQ(ULongAttr(key, CKA_VENDOR_KEY_REF), 0x500 | number);
    }
}

// The library's random source falling short.
class NoRandomDESKey : public GenerateKeyDESHard {
public:
    using GenerateKeyDESHard::GenerateKeyDESHard;

protected:
    CK_RV GenerateRandom(uint8_t*, uint32_t) override { return CKR_HOST_MEMORY; }
};

TEST(KeyGenHard, RefusalsAndFailures) {
    FakeKeyToken token;
    const CK_MECHANISM des{CKM_DES_KEY_GEN, nullptr, 0}, aes{CKM_AES_KEY_GEN, nullptr, 0};
    const ObjPtr desKey = TokenKey(CKO_SECRET_KEY, CKK_DES, 0).Make();
    EXPECT_EQ(GenerateKeyDESHard(&token).Init(&des, TokenKey(CKO_PUBLIC_KEY, CKK_RSA, 0).Make()), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(GenerateKeyDESHard(&token).Init(&aes, desKey), CKR_GENERAL_ERROR);
    GenerateKeyDESHard session(&token);
    ASSERT_EQ(session.Init(&des, TokenKey(CKO_SECRET_KEY, CKK_DES, 0, false).Make()), CKR_OK);
    EXPECT_EQ(session.Do(nullptr, 0, nullptr, nullptr), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_TRUE(token.calls.empty());
    NoRandomDESKey noRandom(&token);
    ASSERT_EQ(noRandom.Init(&des, desKey), CKR_OK);
    EXPECT_EQ(noRandom.Do(nullptr, 0, nullptr, nullptr), CKR_HOST_MEMORY);
    EXPECT_TRUE(token.CallsOf("UpdateKey").empty());
    struct Case {
        const char* failOn;
        CK_RV want;
    } cases[] = {{"AllocKeyFID", FakeKeyToken::kFailure}, {"UpdateKey", CKR_DEVICE_ERROR}};
    for (const Case& c : cases) {
        Harness h;
        h.token.failOn = c.failOn;
        const ObjPtr key = TokenKey(CKO_SECRET_KEY, CKK_DES, 0).Make();
        EXPECT_EQ(GenerateSecret(h, CKM_DES_KEY_GEN, key), c.want);
        EXPECT_FALSE(key->HasAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF)));
        EXPECT_TRUE(Attr(key, CKA_VALUE).empty());
    }
}

// --- import -----------------------------------------------------------------

CK_RV Import(Harness& h, const ObjPtr& key) {
    CK_MECHANISM m{CKM_VENDOR_IMPORT_KEY, nullptr, 0};
    return CreateAndRun([&](Alg** alg) { return h.factory.CreateImportKeyAlg(&m, key, alg); });
}

TEST(ImportHard, RsaPrivateExponentIsPaddedToTheModulus) {
    Harness h;
    Bytes n = Random(128), d = Random(127);
    n[0] |= 0x80;
    d[0] |= 0x01;
    const ObjPtr key =
        TokenKey(CKO_PRIVATE_KEY, CKK_RSA, 0).Value(CKA_MODULUS, n).Value(CKA_PRIVATE_EXPONENT, d).Make();
    ASSERT_EQ(Import(h, key), CKR_OK);
    Bytes padded = {0};
    padded.insert(padded.end(), d.begin(), d.end());
    EXPECT_EQ(ToHex(Attr(key, CKA_PRIVATE_EXPONENT)), ToHex(padded));
    EXPECT_EQ(h.token.calls, (Calls{"AllocKeyFID(3,0)", "CreateRSAReference(0,A020,1024)", "RSAWritePrvKey(A020,0)"}));
    EXPECT_EQ(h.token.written[kPrivateFid], (std::vector<Bytes>{n, padded, {}}));
    EXPECT_EQ(ULongAttr(key, CKA_VENDOR_KEY_REF), kPrivateFid);
}

TEST(ImportHard, KeysGoToTheirFilesAndNumbers) {
    const Bytes n = Random(128), e = {1, 0, 1}, scalar = Random(24), point = Random(64), des3 = Random(24),
                aes = Random(16);
    struct Case {
        const char* what;
        ObjPtr key;
        Calls calls;
        uint32_t ref;  // 0: none set
        std::vector<Bytes> written;
    } cases[] = {
        {"RSA public",
         TokenKey(CKO_PUBLIC_KEY, CKK_RSA, 0).Value(CKA_MODULUS, n).Value(CKA_PUBLIC_EXPONENT, e).Make(),
         {"AllocKeyFID(2,0)", "CreateRSAReference(8000,0,1024)", "RSAWritePubKey(8000)"},
         kPublicFid,
         {n, e}},
        {"EC private on P-192",
         TokenKey(CKO_PRIVATE_KEY, CKK_EC, 0).Value(CKA_EC_PARAMS, kP192).Value(CKA_VALUE, scalar).Make(),
         {"AllocKeyFID(3,3)", "CreateECCReference(0,A020,192)", "ECCWritePrvKey(A020)"},
         kPrivateFid,
         {scalar}},
        {"EC public on P-256",
         TokenKey(CKO_PUBLIC_KEY, CKK_EC, 0).Value(CKA_EC_PARAMS, kP256).Value(CKA_EC_POINT, point).Make(),
         {"AllocKeyFID(2,3)", "CreateECCReference(8000,0,256)", "ECCWritePubKey(8000)"},
         kPublicFid,
         {point}},
        {"3DES secret",
         TokenKey(CKO_SECRET_KEY, CKK_DES3, 0).Value(CKA_VALUE, des3).Make(),
         {"AllocKeyFID(4,15)", "UpdateKey(3,24)"},
         0x503,
         {}},
        {"AES secret",
         TokenKey(CKO_SECRET_KEY, CKK_AES, 0).Value(CKA_VALUE, aes).Make(),
         {"AllocKeyFID(4,1F)", "UpdateKey(12,16)"},
         0x512,
         {}},
        {"generic secret: left alone",
         TokenKey(CKO_SECRET_KEY, CKK_GENERIC_SECRET, 0).Value(CKA_VALUE, aes).Make(),
         {"AllocKeyFID(4,10)"},
         0,
         {}},
        {"DH public: a reference only",
         TokenKey(CKO_PUBLIC_KEY, CKK_DH, 0).Make(),
         {"AllocKeyFID(2,2)"},
         kPublicFid,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        ASSERT_TRUE(c.key);
        EXPECT_EQ(Import(h, c.key), CKR_OK);
        EXPECT_EQ(h.token.calls, c.calls);
        EXPECT_EQ(ULongAttr(c.key, CKA_VENDOR_KEY_REF), c.ref);
        EXPECT_EQ(c.key->HasAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF)), c.ref != 0);
        EXPECT_EQ(h.token.written.empty() ? std::vector<Bytes>() : h.token.written.begin()->second, c.written);
    }
    Harness h;
    const ObjPtr rsaPublic = cases[0].key;
    EXPECT_EQ(ULongAttr(rsaPublic, CKA_MODULUS_BITS), 1024u);
    ASSERT_EQ(Import(h, TokenKey(CKO_SECRET_KEY, CKK_DES3, 0).Value(CKA_VALUE, des3).Make()), CKR_OK);
    EXPECT_EQ(ToHex(h.token.secretKeys[3]), ToHex(des3));
}

ObjPtr RsaPrivateToImport(const Bytes& n, const Bytes& d) {
    return TokenKey(CKO_PRIVATE_KEY, CKK_RSA, 0).Value(CKA_MODULUS, n).Value(CKA_PRIVATE_EXPONENT, d).Make();
}

TEST(ImportHard, AFailedStepRemovesTheFile) {
    const Bytes n = Random(128), d = Random(128);
    const ObjPtr rsaPublic =
        TokenKey(CKO_PUBLIC_KEY, CKK_RSA, 0).Value(CKA_MODULUS, n).Value(CKA_PUBLIC_EXPONENT, {3}).Make();
    const ObjPtr ecPublic =
        TokenKey(CKO_PUBLIC_KEY, CKK_EC, 0).Value(CKA_EC_PARAMS, kP256).Value(CKA_EC_POINT, Random(64)).Make();
    const ObjPtr ecPrivate =
        TokenKey(CKO_PRIVATE_KEY, CKK_EC, 0).Value(CKA_EC_PARAMS, kP256).Value(CKA_VALUE, Random(32)).Make();
    struct Case {
        ObjPtr key;
        const char* failOn;
        CK_RV want;
        Calls deleted;
    } cases[] = {
        {RsaPrivateToImport(n, d), "AllocKeyFID", FakeKeyToken::kFailure, {}},
        {RsaPrivateToImport(n, d), "CreateRSAReference", CKR_DEVICE_ERROR, {"DeleteFile(A020)"}},
        {RsaPrivateToImport(n, d), "RSAWritePrvKey", CKR_DEVICE_ERROR, {"DeleteFile(A020)"}},
        {rsaPublic, "RSAWritePubKey", CKR_DEVICE_ERROR, {"DeleteFile(8000)"}},
        {ecPublic, "ECCWritePubKey", CKR_DEVICE_ERROR, {"DeleteFile(8000)"}},
        {ecPrivate, "CreateECCReference", CKR_DEVICE_ERROR, {"DeleteFile(A020)"}},
        {TokenKey(CKO_SECRET_KEY, CKK_AES, 0).Value(CKA_VALUE, Random(16)).Make(), "UpdateKey", CKR_DEVICE_ERROR, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failOn);
        Harness h;
        h.token.failOn = c.failOn;
        EXPECT_EQ(Import(h, c.key), c.want);
        EXPECT_EQ(h.token.CallsOf("DeleteFile"), c.deleted);
        EXPECT_TRUE(h.token.files.empty());
        EXPECT_FALSE(c.key->HasAttr(static_cast<uint32_t>(CKA_VENDOR_KEY_REF)));
    }
}

TEST(ImportHard, BadKeyMaterialIsRefusedBeforeAFileIsMade) {
    const Bytes n = Random(128);
    struct Case {
        const char* what;
        ObjPtr key;
    } cases[] = {
        {"modulus of 257 bytes", RsaPrivateToImport(Random(257), Random(257))},
        {"exponent longer than the modulus", RsaPrivateToImport(n, Random(129))},
        {"empty private exponent", RsaPrivateToImport(n, {})},
        {"public key without a modulus", TokenKey(CKO_PUBLIC_KEY, CKK_RSA, 0).Make()},
        {"EC key on P-384",
         TokenKey(CKO_PRIVATE_KEY, CKK_EC, 0).Value(CKA_EC_PARAMS, kP384).Value(CKA_VALUE, Random(48)).Make()},
        {"EC private value longer than the curve",
         TokenKey(CKO_PRIVATE_KEY, CKK_EC, 0).Value(CKA_EC_PARAMS, kP256).Value(CKA_VALUE, Random(33)).Make()},
        {"EC public key without a point", TokenKey(CKO_PUBLIC_KEY, CKK_EC, 0).Value(CKA_EC_PARAMS, kP256).Make()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        ASSERT_TRUE(c.key);
        EXPECT_EQ(Import(h, c.key), CKR_ARGUMENTS_BAD);
        EXPECT_EQ(h.token.calls.size(), 1u);  // the allocation, nothing after it
        EXPECT_TRUE(h.token.CallsOf("DeleteFile").empty());
    }
}

TEST(ImportHard, InitTakesTokenKeysOnly) {
    FakeKeyToken token;
    const CK_MECHANISM import{CKM_VENDOR_IMPORT_KEY, nullptr, 0}, other{CKM_RSA_PKCS, nullptr, 0};
    const ObjPtr key = TokenKey(CKO_SECRET_KEY, CKK_AES, 0).Make();
    EXPECT_EQ(ImportKeyHard(&token).Init(&import, key), CKR_OK);
    EXPECT_EQ(ImportKeyHard(&token).Init(&other, key), CKR_MECHANISM_INVALID);
    EXPECT_EQ(ImportKeyHard(&token).Init(&import, TokenKey(CKO_SECRET_KEY, CKK_AES, 0, false).Make()),
              RV_NOT_SUPPORTED);
    EXPECT_EQ(ImportKeyHard(&token).Init(&import, ObjPtr()), CKR_ARGUMENTS_BAD);
}

}  // namespace
