// The token's mechanisms on the virtual token, as the PKCS#11 calls will
// use them: key pairs generated through the factory, signatures in one part
// and in many verified with OpenSSL, imported keys, secret keys.
#include <gtest/gtest.h>

#include <algorithm>

#include "alg_factory.h"
#include "key_template.h"
#include "obj_factory.h"
#include "openssl_check.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using namespace testing_kv;

namespace {

KeyTemplate TokenKeyTemplate(CK_OBJECT_CLASS cls, CK_KEY_TYPE type) {
    KeyTemplate a;
    a.ULong(CKA_CLASS, cls).ULong(CKA_KEY_TYPE, type).Flag(CKA_TOKEN, true);
    return a;
}

const Bytes kP256 = Hex("06082A8648CE3D030107"), kP192 = Hex("06082A8648CE3D030101");

class MechanismsOnSim : public ::testing::Test {
protected:
    MechanismsOnSim() {
        DiskMirror::SetBase(sim.Dir() + "/mirror");
        client = std::make_unique<TokenClient>(sim.Socket());
    }
    void SetUp() override {
        ASSERT_EQ(token().ConnectAndSetenv(), 0u);
        ASSERT_EQ(LoginUser(token()), 0u);
        factory = token().GetAlgFactory();
        ASSERT_NE(factory, nullptr);
    }
    CTokenTarn& token() { return *client->token; }

    void GeneratePair(CK_MECHANISM_TYPE mechanism, ObjPtr pub, ObjPtr prv) {
        CK_MECHANISM m{mechanism, nullptr, 0};
        Alg* alg = nullptr;
        ASSERT_EQ(factory->CreateGenerateKeyPairAlg(&m, pub, prv, &alg), 0u);
        std::unique_ptr<Alg> owned(alg);
        ASSERT_EQ(alg->Do(nullptr, 0, nullptr, nullptr), 0u);
    }
    // One signature in one part, and one made of parts of 1, 335 and the rest.
    std::vector<Bytes> Sign(CK_MECHANISM_TYPE mechanism, ObjPtr key, const Bytes& message) {
        std::vector<Bytes> out;
        CK_MECHANISM m{mechanism, nullptr, 0};
        for (bool parts : {false, true}) {
            Alg* alg = nullptr;
            EXPECT_EQ(factory->CreateSignAlg(&m, key, &alg), 0u);
            if (!alg) return out;
            std::unique_ptr<Alg> owned(alg);
            Bytes sig(512);
            uint32_t len = static_cast<uint32_t>(sig.size());
            if (!parts) {
                EXPECT_EQ(alg->Do(message.data(), static_cast<uint32_t>(message.size()), sig.data(), &len), 0u);
            } else {
                auto* multi = dynamic_cast<AlgMultiPart*>(alg);
                size_t at = 0;
                for (size_t piece : {size_t(1), size_t(335), message.size()}) {
                    const uint32_t n = static_cast<uint32_t>(std::min(piece, message.size() - at));
                    uint32_t none = 0;
                    EXPECT_EQ(multi->Update(message.data() + at, n, nullptr, &none), 0u);
                    at += n;
                }
                EXPECT_EQ(multi->Final(sig.data(), &len), 0u);
            }
            sig.resize(len);
            out.push_back(sig);
        }
        return out;
    }

    SimProcess sim;
    std::unique_ptr<TokenClient> client;
    AlgFactory* factory = nullptr;
};

TEST_F(MechanismsOnSim, RsaPairSignsWithEveryHashInOneAndManyParts) {
    ObjPtr pub = TokenKeyTemplate(CKO_PUBLIC_KEY, CKK_RSA).ULong(CKA_MODULUS_BITS, 2048).Make();
    ObjPtr prv = TokenKeyTemplate(CKO_PRIVATE_KEY, CKK_RSA).Make();
    GeneratePair(CKM_RSA_PKCS_KEY_PAIR_GEN, pub, prv);
    PKey key = RsaKey(*pub->Value(CKA_MODULUS), *pub->Value(CKA_PUBLIC_EXPONENT));
    ASSERT_TRUE(key);
    const Bytes m = Message(5000);
    const struct {
        CK_MECHANISM_TYPE mechanism;
        const EVP_MD* md;
    } hashes[] = {{CKM_SHA1_RSA_PKCS, EVP_sha1()},     {CKM_SHA256_RSA_PKCS, EVP_sha256()},
                  {CKM_SHA224_RSA_PKCS, EVP_sha224()}, {CKM_SHA384_RSA_PKCS, EVP_sha384()},
                  {CKM_SHA512_RSA_PKCS, EVP_sha512()}, {CKM_MD5_RSA_PKCS, EVP_md5()}};
    for (const auto& h : hashes) {
        for (const Bytes& sig : Sign(h.mechanism, prv, m)) EXPECT_TRUE(VerifyRsa(key.get(), h.md, m, sig)) << h.mechanism;
    }
    // And the software verifier of the library agrees with the token.
    CK_MECHANISM verify{CKM_SHA256_RSA_PKCS, nullptr, 0};
    Alg* v = nullptr;
    ASSERT_EQ(factory->CreateVerifyAlg(&verify, pub, &v), 0u);
    std::unique_ptr<Alg> owned(v);
    Bytes sig = Sign(CKM_SHA256_RSA_PKCS, prv, m)[0];
    uint32_t sigLen = static_cast<uint32_t>(sig.size());
    EXPECT_EQ(v->Do(m.data(), static_cast<uint32_t>(m.size()), sig.data(), &sigLen), 0u);
}

TEST_F(MechanismsOnSim, EcPairsOnBothCurvesSign) {
    for (const Bytes* curve : {&kP192, &kP256}) {
        ObjPtr pub = TokenKeyTemplate(CKO_PUBLIC_KEY, CKK_EC).Raw(CKA_EC_PARAMS, curve->data(), curve->size()).Make();
        ObjPtr prv = TokenKeyTemplate(CKO_PRIVATE_KEY, CKK_EC).Raw(CKA_EC_PARAMS, curve->data(), curve->size()).Make();
        GeneratePair(CKM_EC_KEY_PAIR_GEN, pub, prv);
        const Bytes& point = *pub->Value(CKA_EC_POINT);
        const size_t width = curve == &kP192 ? 24 : 32;
        ASSERT_EQ(point.size(), 2 * width);
        PKey key = EcKey(curve == &kP192 ? "prime192v1" : "prime256v1", Bytes(point.begin(), point.begin() + width),
                         Bytes(point.begin() + width, point.end()));
        ASSERT_TRUE(key);
        const Bytes m = Message(1000), hash = Digest(EVP_sha256(), m);
        CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
        Alg* alg = nullptr;
        ASSERT_EQ(factory->CreateSignAlg(&ecdsa, prv, &alg), 0u);
        std::unique_ptr<Alg> owned(alg);
        Bytes sig(64);
        uint32_t len = 64;
        ASSERT_EQ(alg->Do(hash.data(), 32, sig.data(), &len), 0u);
        sig.resize(len);
        EXPECT_EQ(len, 2 * width);
        EXPECT_TRUE(VerifyEcdsa(key.get(), hash, sig)) << width;
        for (const Bytes& s : Sign(CKM_ECDSA_SHA1, prv, m)) EXPECT_TRUE(VerifyEcdsa(key.get(), Digest(EVP_sha1(), m), s));
    }
}

TEST_F(MechanismsOnSim, ImportedOpenSslKeySigns) {
    EVP_PKEY* made = EVP_RSA_gen(1024);
    ASSERT_NE(made, nullptr);
    PKey owned(made, EVP_PKEY_free);
    auto bn = [&](const char* name) {
        BIGNUM* b = nullptr;
        EVP_PKEY_get_bn_param(made, name, &b);
        Bytes out(static_cast<size_t>(BN_num_bytes(b)));
        BN_bn2bin(b, out.data());
        BN_free(b);
        return out;
    };
    const Bytes n = bn(OSSL_PKEY_PARAM_RSA_N), d = bn(OSSL_PKEY_PARAM_RSA_D);
    ObjPtr prv = TokenKeyTemplate(CKO_PRIVATE_KEY, CKK_RSA)
                     .Raw(CKA_MODULUS, n.data(), n.size())
                     .Raw(CKA_PRIVATE_EXPONENT, d.data(), d.size())
                     .Make();
    ASSERT_TRUE(prv);
    CK_MECHANISM import{CKM_VENDOR_IMPORT_KEY, nullptr, 0};
    Alg* alg = nullptr;
    ASSERT_EQ(factory->CreateImportKeyAlg(&import, prv, &alg), 0u);
    std::unique_ptr<Alg> guard(alg);
    ASSERT_EQ(alg->Do(nullptr, 0, nullptr, nullptr), 0u);
    const Bytes m = Message(336);
    for (const Bytes& sig : Sign(CKM_SHA256_RSA_PKCS, prv, m)) EXPECT_TRUE(VerifyRsa(made, EVP_sha256(), m, sig));
}

TEST_F(MechanismsOnSim, GeneratedAesKeyEncryptsAsOpenSsl) {
    ObjPtr key = KeyTemplate().ULong(CKA_CLASS, CKO_SECRET_KEY).ULong(CKA_KEY_TYPE, CKK_AES).Flag(CKA_TOKEN, true)
                     .Flag(CKA_ENCRYPT, true).Make();
    CK_MECHANISM gen{CKM_AES_KEY_GEN, nullptr, 0};
    Alg* alg = nullptr;
    ASSERT_EQ(factory->CreateGenerateKeyAlg(&gen, key, &alg), 0u);
    std::unique_ptr<Alg> guard(alg);
    ASSERT_EQ(alg->Do(nullptr, 0, nullptr, nullptr), 0u);
    const Bytes value = *key->Value(CKA_VALUE);
    ASSERT_EQ(value.size(), 16u);

    Bytes iv(16, 0x21);
    CK_MECHANISM cbcPad{CKM_AES_CBC_PAD, iv.data(), iv.size()};
    Alg* enc = nullptr;
    ASSERT_EQ(factory->CreateEncAlg(&cbcPad, key, &enc), 0u);
    std::unique_ptr<Alg> encGuard(enc);
    const Bytes m = Message(1000);
    Bytes out(1024);
    uint32_t len = static_cast<uint32_t>(out.size());
    ASSERT_EQ(enc->Do(m.data(), static_cast<uint32_t>(m.size()), out.data(), &len), 0u);
    out.resize(len);
    Bytes expected(1024);
    int n = 0, fin = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, value.data(), iv.data());
    EVP_EncryptUpdate(ctx, expected.data(), &n, m.data(), static_cast<int>(m.size()));
    EVP_EncryptFinal_ex(ctx, expected.data() + n, &fin);
    EVP_CIPHER_CTX_free(ctx);
    expected.resize(static_cast<size_t>(n + fin));
    EXPECT_EQ(out, expected);
}

// A USB cut during a key creation leaves key files that its clean-up
// cannot delete; the next key creation, here of a new library instance,
// removes them. Key files no stored object names go too (these tests store
// no objects): the token ends with the files of the last pair only.
TEST_F(MechanismsOnSim, KeyCreationCutShortLeavesNoKeyFile) {
    std::vector<uint16_t> before;
    ASSERT_EQ(token().GetFileList(before), 0u);
    for (int cut = 0; cut < 12; cut += 2) {
        ObjPtr pub = TokenKeyTemplate(CKO_PUBLIC_KEY, CKK_RSA).ULong(CKA_MODULUS_BITS, 1024).Make();
        ObjPtr prv = TokenKeyTemplate(CKO_PRIVATE_KEY, CKK_RSA).Make();
        CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        Alg* alg = nullptr;
        ASSERT_EQ(factory->CreateGenerateKeyPairAlg(&m, pub, prv, &alg), 0u);
        std::unique_ptr<Alg> owned(alg);
        sim.Control("send-fail-after " + std::to_string(cut) + " 1000");
        EXPECT_NE(alg->Do(nullptr, 0, nullptr, nullptr), 0u) << "cut after " << cut;
        owned.reset();
        sim.Control("send-fail-after 0 0");

        client = std::make_unique<TokenClient>(sim.Socket());
        ASSERT_EQ(token().ConnectAndSetenv(), 0u);
        ASSERT_EQ(LoginUser(token()), 0u);
        factory = token().GetAlgFactory();
        pub = TokenKeyTemplate(CKO_PUBLIC_KEY, CKK_RSA).ULong(CKA_MODULUS_BITS, 1024).Make();
        prv = TokenKeyTemplate(CKO_PRIVATE_KEY, CKK_RSA).Make();
        GeneratePair(CKM_RSA_PKCS_KEY_PAIR_GEN, pub, prv);
        std::vector<uint16_t> made;
        for (const ObjPtr& key : {pub, prv}) {
            uint32_t ref = 0, len = 4;
            ASSERT_EQ(key->GetAttr(CKA_VENDOR_KEY_REF, &ref, &len), 0u);
            made.push_back(static_cast<uint16_t>(ref));
        }
        std::vector<uint16_t> after;
        ASSERT_EQ(token().GetFileList(after), 0u);
        std::vector<uint16_t> expected = before;
        expected.insert(expected.end(), made.begin(), made.end());
        std::sort(after.begin(), after.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(after, expected) << "cut after " << cut;
    }
}

}  // namespace
