// Software RSA private-key operations and generation against OpenSSL in the
// test: signatures of session keys (with and without the CRT parts) opened
// by OpenSSL, OpenSSL's encryptions decrypted, blocks with broken padding
// built by hand and raised by OpenSSL, and generated keys checked whole by
// OpenSSL.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <memory>
#include <vector>

#include "alg_factory.h"
#include "obj_factory.h"
#include "openssl_check.h"
#include "rsa_backend.h"

using namespace testing_kv;

namespace {

Bytes BnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &bn), 1) << name;
    Bytes b(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, b.data());
    BN_clear_free(bn);
    return b;
}

EVP_PKEY* TestKey() {
    static PKey key(EVP_RSA_gen(1024), EVP_PKEY_free);
    return key.get();
}

const char* const kParts[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                              OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                              OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                              OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
const CK_ATTRIBUTE_TYPE kAttributes[] = {CKA_MODULUS,  CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                         CKA_PRIME_2,  CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};

// A session private key object with the first `parts` parts of the test key.
ObjPtr PrivateKey(size_t parts) {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    std::vector<Bytes> values;
    for (size_t i = 0; i < parts; ++i) values.push_back(BnParam(TestKey(), kParts[i]));
    std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type}};
    for (size_t i = 0; i < parts; ++i) t.push_back({kAttributes[i], values[i].data(), values[i].size()});
    return ObjFactory::CreateObject(t.data(), t.size());
}

std::unique_ptr<AlgMultiPart> Create(KV_MECH_FUNC_E func, CK_MECHANISM_TYPE type, const ObjPtr& key,
                                     CK_RV want = CKR_OK) {
    AlgFactory factory;
    CK_MECHANISM m{type, nullptr, 0};
    Alg* alg = nullptr;
    const CK_RV rv = func == MECH_FUNC_SIGN ? factory.CreateSignAlg(&m, key, &alg) : factory.CreateDecAlg(&m, key, &alg);
    EXPECT_EQ(rv, want) << std::hex << type;
    return std::unique_ptr<AlgMultiPart>(dynamic_cast<AlgMultiPart*>(alg));
}

CK_RV Apply(AlgMultiPart& alg, const Bytes& in, Bytes& out) {
    uint32_t len = 0;
    CK_RV rv = alg.Do(in.data(), static_cast<uint32_t>(in.size()), nullptr, &len);
    if (rv) return rv;
    out.assign(len, 0);
    rv = alg.Do(in.data(), static_cast<uint32_t>(in.size()), out.data(), &len);
    out.resize(len);
    return rv;
}

// OpenSSL's public operation on a signature, opening a type-1 block or not.
Bytes OpenSslRecover(const Bytes& signature, int padding) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(TestKey(), nullptr);
    size_t len = 128;
    Bytes out(len);
    if (EVP_PKEY_verify_recover_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, padding) != 1 ||
        EVP_PKEY_verify_recover(ctx, out.data(), &len, signature.data(), signature.size()) != 1)
        len = 0;
    EVP_PKEY_CTX_free(ctx);
    out.resize(len);
    return out;
}

constexpr size_t kWithCrt = 8, kWithoutCrt = 3;

TEST(RsaPrvSoft, SignaturesOfSessionKeysOpenUnderOpenSsl) {
    const struct {
        CK_MECHANISM_TYPE type;
        const char* md;  // hash-and-sign
    } cases[] = {{CKM_RSA_PKCS, nullptr},       {CKM_RSA_X_509, nullptr},       {CKM_MD5_RSA_PKCS, "MD5"},
                 {CKM_SHA1_RSA_PKCS, "SHA1"},   {CKM_SHA224_RSA_PKCS, "SHA224"}, {CKM_SHA256_RSA_PKCS, "SHA256"},
                 {CKM_SHA384_RSA_PKCS, "SHA384"}, {CKM_SHA512_RSA_PKCS, "SHA512"}};
    for (size_t parts : {kWithCrt, kWithoutCrt}) {
        const ObjPtr key = PrivateKey(parts);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << std::hex << c.type << " parts " << parts);
            auto alg = Create(MECH_FUNC_SIGN, c.type, key);
            ASSERT_TRUE(alg);
            Bytes message = Message(c.md ? 300 : c.type == CKM_RSA_X_509 ? 128 : 45);
            if (c.type == CKM_RSA_X_509) message[0] = 0;  // below the modulus
            Bytes signature;
            ASSERT_EQ(Apply(*alg, message, signature), CKR_OK);
            ASSERT_EQ(signature.size(), 128u);
            if (c.md) {
                EVP_MD* md = EVP_MD_fetch(nullptr, c.md, nullptr);
                EXPECT_TRUE(VerifyRsa(TestKey(), md, message, signature));
                EVP_MD_free(md);
            } else {
                const int padding = c.type == CKM_RSA_X_509 ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
                EXPECT_EQ(OpenSslRecover(signature, padding), message);
            }
        }
    }
}

TEST(RsaPrvSoft, DecryptsWhatOpenSslEncrypted) {
    for (size_t parts : {kWithCrt, kWithoutCrt}) {
        const ObjPtr key = PrivateKey(parts);
        // Two PKCS#1 blocks one after the other, and one raw block whose
        // decryption drops the leading zero.
        const Bytes first = Message(45), second = Message(7);
        Bytes sealed = RsaPublicEncrypt(TestKey(), RSA_PKCS1_PADDING, first);
        const Bytes next = RsaPublicEncrypt(TestKey(), RSA_PKCS1_PADDING, second);
        sealed.insert(sealed.end(), next.begin(), next.end());
        Bytes both = first;
        both.insert(both.end(), second.begin(), second.end());
        Bytes plain;
        auto pkcs = Create(MECH_FUNC_DECRYPT, CKM_RSA_PKCS, key);
        ASSERT_TRUE(pkcs);
        ASSERT_EQ(Apply(*pkcs, sealed, plain), CKR_OK);
        EXPECT_EQ(plain, both);

        Bytes block = Message(128);
        block[0] = 0;
        auto raw = Create(MECH_FUNC_DECRYPT, CKM_RSA_X_509, key);
        ASSERT_TRUE(raw);
        ASSERT_EQ(Apply(*raw, RsaPublicEncrypt(TestKey(), RSA_NO_PADDING, block), plain), CKR_OK);
        EXPECT_EQ(plain, Bytes(block.begin() + 1, block.end()));
    }
}

// Every way a type-2 block can be wrong gets the same answer.
TEST(RsaPrvSoft, MalformedPaddingGivesOneCode) {
    auto Block = [](uint8_t first, uint8_t type, size_t separator) {
        Bytes b(128, 0x5A);
        b[0] = first;
        b[1] = type;
        if (separator) b[separator] = 0;
        return b;
    };
    const struct {
        const char* what;
        Bytes block;
    } cases[] = {
        {"first byte not zero", Block(0x01, 0x02, 20)},
        {"block type 1", Block(0x00, 0x01, 20)},
        {"no separator", Block(0x00, 0x02, 0)},
        {"seven padding bytes", Block(0x00, 0x02, 9)},
        {"separator right after the type", Block(0x00, 0x02, 2)},
    };
    const Bytes good = RsaPublicEncrypt(TestKey(), RSA_PKCS1_PADDING, Message(20));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes sealed = RsaPublicEncrypt(TestKey(), RSA_NO_PADDING, c.block);
        ASSERT_EQ(sealed.size(), 128u);
        for (bool afterGoodBlock : {false, true}) {
            Bytes in = afterGoodBlock ? good : Bytes();
            in.insert(in.end(), sealed.begin(), sealed.end());
            auto alg = Create(MECH_FUNC_DECRYPT, CKM_RSA_PKCS, PrivateKey(kWithCrt));
            ASSERT_TRUE(alg);
            Bytes plain;
            EXPECT_EQ(Apply(*alg, in, plain), CKR_ENCRYPTED_DATA_INVALID);
        }
    }
    // A value not below the modulus does not open either.
    auto alg = Create(MECH_FUNC_DECRYPT, CKM_RSA_PKCS, PrivateKey(kWithCrt));
    Bytes plain;
    EXPECT_EQ(Apply(*alg, Bytes(128, 0xFF), plain), CKR_ENCRYPTED_DATA_INVALID);
}

TEST(RsaPrvSoft, KeyWithoutPrivateExponentCannotSignOrDecrypt) {
    const ObjPtr key = PrivateKey(2);  // n and e
    Create(MECH_FUNC_SIGN, CKM_SHA256_RSA_PKCS, key, CKR_KEY_FUNCTION_NOT_PERMITTED);
    Create(MECH_FUNC_DECRYPT, CKM_RSA_PKCS, key, CKR_KEY_FUNCTION_NOT_PERMITTED);
}

// What generation makes is a whole key to OpenSSL, of the asked size and
// exponent; sizes and exponents it does not take are refused.
TEST(RsaBackend, GenerationMakesWholeKeysOfTheAskedSizeAndExponent) {
    const struct {
        uint32_t bits;
        Bytes e;
        bool made;
    } cases[] = {
        {1024, {0x01, 0x00, 0x01}, true}, {2048, {0x03}, true},       {4096, {0x01, 0x00, 0x01}, true},
        {512, {0x01, 0x00, 0x01}, false}, {8192, {0x01, 0x00, 0x01}, false}, {1024, {0x01, 0x00, 0x00}, false},
        {1024, {0x01}, false},            {1024, Bytes(9, 0x01), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " e " << c.e.size() << " bytes");
        RsaGeneratedKey key;
        ASSERT_EQ(RsaPrivateKey::Generate(c.bits, c.e.data(), c.e.size(), key), c.made);
        if (!c.made) continue;
        const Bytes* values[] = {&key.n, &key.e, &key.d, &key.p, &key.q, &key.dp, &key.dq, &key.qinv};
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        std::vector<BIGNUM*> bns;
        for (size_t i = 0; i < 8; ++i) {
            bns.push_back(BN_bin2bn(values[i]->data(), static_cast<int>(values[i]->size()), nullptr));
            OSSL_PARAM_BLD_push_BN(bld, kParts[i], bns.back());
        }
        OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        EVP_PKEY* built = nullptr;
        ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
        ASSERT_EQ(EVP_PKEY_fromdata(ctx, &built, EVP_PKEY_KEYPAIR, params), 1);
        EVP_PKEY_CTX* check = EVP_PKEY_CTX_new(built, nullptr);
        EXPECT_EQ(EVP_PKEY_pairwise_check(check), 1);
        EXPECT_EQ(EVP_PKEY_get_bits(built), static_cast<int>(c.bits));
        EXPECT_EQ(key.e, c.e);
        EVP_PKEY_CTX_free(check);
        EVP_PKEY_free(built);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        for (BIGNUM* bn : bns) BN_clear_free(bn);
    }
}

}  // namespace
