// Software RSA public-key operations and ECDSA verification against keys,
// signatures and decryptions made by OpenSSL in the test: 1024- and 2048-bit
// RSA keys with every hash, P-192 and P-256 for ECDSA, and the blocks and
// encodings the checks must refuse, built by hand.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>

#include "alg_factory.h"
#include "ecdsa_soft.h"
#include "obj_factory.h"
#include "rsa_pub_soft.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Bytes Random(size_t n) {
    Bytes b(n);
    EXPECT_EQ(RAND_bytes(b.data(), static_cast<int>(n)), 1);
    return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// --- OpenSSL as the other party -------------------------------------------

const PKey& RsaKey(int bits) {
    static PKey k1024(EVP_RSA_gen(1024), EVP_PKEY_free);
    static PKey k2048(EVP_RSA_gen(2048), EVP_PKEY_free);
    return bits == 1024 ? k1024 : k2048;
}

Bytes BnParam(const PKey& key, const char* name) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key.get(), name, &bn), 1);
    Bytes b(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, b.data());
    BN_free(bn);
    return b;
}

Bytes DigestSign(const PKey& key, const EVP_MD* md, const Bytes& msg) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    EXPECT_EQ(EVP_DigestSignInit(ctx, nullptr, md, nullptr, key.get()), 1);
    EXPECT_EQ(EVP_DigestSign(ctx, nullptr, &len, msg.data(), msg.size()), 1);
    Bytes sig(len);
    EXPECT_EQ(EVP_DigestSign(ctx, sig.data(), &len, msg.data(), msg.size()), 1);
    EVP_MD_CTX_free(ctx);
    sig.resize(len);
    return sig;
}

// The private-key operation on data: PKCS#1 type-1 padding, or raw.
Bytes PrivateOp(const PKey& key, int padding, const Bytes& data) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    size_t len = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
    Bytes out(len);
    EXPECT_EQ(EVP_PKEY_sign_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, padding), 1);
    EXPECT_EQ(EVP_PKEY_sign(ctx, out.data(), &len, data.data(), data.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    out.resize(len);
    return out;
}

Bytes PrivateDecrypt(const PKey& key, int padding, const Bytes& block) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    size_t len = block.size();
    Bytes out(len);
    EXPECT_EQ(EVP_PKEY_decrypt_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, padding), 1);
    EXPECT_EQ(EVP_PKEY_decrypt(ctx, out.data(), &len, block.data(), block.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    out.resize(len);
    return out;
}

// --- key objects and mechanism objects ------------------------------------

ObjPtr PublicKey(CK_KEY_TYPE type, CK_ATTRIBUTE_TYPE a1, const Bytes& v1, CK_ATTRIBUTE_TYPE a2, const Bytes& v2,
                 CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY) {
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &type, sizeof type},
                        {a1, const_cast<uint8_t*>(v1.data()), v1.size()},
                        {a2, const_cast<uint8_t*>(v2.data()), v2.size()}};
    return ObjFactory::CreateObject(t, 4);
}

ObjPtr RsaPublic(int bits) {
    const PKey& k = RsaKey(bits);
    return PublicKey(CKK_RSA, CKA_MODULUS, BnParam(k, OSSL_PKEY_PARAM_RSA_N), CKA_PUBLIC_EXPONENT,
                     BnParam(k, OSSL_PKEY_PARAM_RSA_E));
}

std::unique_ptr<AlgMultiPart> Create(KV_MECH_FUNC_E func, CK_MECHANISM_TYPE type, const ObjPtr& key,
                                     CK_RV want = CKR_OK) {
    AlgFactory factory;
    CK_MECHANISM m{type, nullptr, 0};
    Alg* alg = nullptr;
    CK_RV rv = CKR_GENERAL_ERROR;
    if (func == MECH_FUNC_ENCRYPT) rv = factory.CreateEncAlg(&m, key, &alg);
    if (func == MECH_FUNC_VERIFY) rv = factory.CreateVerifyAlg(&m, key, &alg);
    if (func == MECH_FUNC_VERIFY_RECOVER) rv = factory.CreateVerifyRecoveryAlg(&m, key, &alg);
    EXPECT_EQ(rv, want) << std::hex << type;
    return std::unique_ptr<AlgMultiPart>(dynamic_cast<AlgMultiPart*>(alg));
}

CK_RV VerifyOne(CK_MECHANISM_TYPE type, const ObjPtr& key, const Bytes& msg, Bytes sig) {
    uint32_t len = static_cast<uint32_t>(sig.size());
    return Create(MECH_FUNC_VERIFY, type, key)->Do(msg.data(), static_cast<uint32_t>(msg.size()), sig.data(), &len);
}

// Update with two uneven parts, then Final with the signature.
CK_RV VerifyInParts(CK_MECHANISM_TYPE type, const ObjPtr& key, const Bytes& msg, Bytes sig) {
    auto v = Create(MECH_FUNC_VERIFY, type, key);
    const uint32_t first = static_cast<uint32_t>(msg.size() / 3);
    EXPECT_EQ(v->Update(msg.data(), first, nullptr, nullptr), CKR_OK);
    EXPECT_EQ(v->Update(msg.data() + first, static_cast<uint32_t>(msg.size()) - first, nullptr, nullptr), CKR_OK);
    uint32_t len = static_cast<uint32_t>(sig.size());
    return v->Final(sig.data(), &len);
}

Bytes Flip(Bytes b, size_t at) {
    b[at] ^= 0x01;
    return b;
}

// --- RSA --------------------------------------------------------------------

TEST(RsaVerify, HashAndVerifyOpenSslSignatures) {
    struct Hash {
        CK_MECHANISM_TYPE mech;
        const EVP_MD* md;
    } hashes[] = {{CKM_MD5_RSA_PKCS, EVP_md5()},       {CKM_SHA1_RSA_PKCS, EVP_sha1()},
                  {CKM_SHA224_RSA_PKCS, EVP_sha224()}, {CKM_SHA256_RSA_PKCS, EVP_sha256()},
                  {CKM_SHA384_RSA_PKCS, EVP_sha384()}, {CKM_SHA512_RSA_PKCS, EVP_sha512()}};
    const Bytes msg = Random(300);
    for (int bits : {1024, 2048}) {
        const ObjPtr key = RsaPublic(bits);
        for (const Hash& h : hashes) {
            SCOPED_TRACE(std::to_string(bits) + " " + EVP_MD_get0_name(h.md));
            const Bytes sig = DigestSign(RsaKey(bits), h.md, msg);
            EXPECT_EQ(VerifyOne(h.mech, key, msg, sig), CKR_OK);
            EXPECT_EQ(VerifyInParts(h.mech, key, msg, sig), CKR_OK);
            EXPECT_EQ(VerifyOne(h.mech, key, msg, Flip(sig, sig.size() / 2)), CKR_SIGNATURE_INVALID);
            EXPECT_EQ(VerifyInParts(h.mech, key, Flip(msg, 0), sig), CKR_SIGNATURE_INVALID);
            EXPECT_EQ(VerifyOne(h.mech, key, msg, Bytes(sig.begin(), sig.end() - 1)), CKR_SIGNATURE_LEN_RANGE);
        }
    }
}

TEST(RsaVerify, Md2OverTheDigestInfoOfPkcs1) {
    // MD2("abc") from RFC 1319 in the DigestInfo of RFC 8017, 9.2 note 1.
    const Bytes digestInfo = Hex("3020300C06082A864886F70D020205000410DA853B0D3F88D99B30283A69E6DED6BB");
    const Bytes abc = {'a', 'b', 'c'};
    for (int bits : {1024, 2048}) {
        const Bytes sig = PrivateOp(RsaKey(bits), RSA_PKCS1_PADDING, digestInfo);
        EXPECT_EQ(VerifyOne(CKM_MD2_RSA_PKCS, RsaPublic(bits), abc, sig), CKR_OK);
        EXPECT_EQ(VerifyInParts(CKM_MD2_RSA_PKCS, RsaPublic(bits), abc, sig), CKR_OK);
        EXPECT_EQ(VerifyOne(CKM_MD2_RSA_PKCS, RsaPublic(bits), {'a', 'b', 'd'}, sig), CKR_SIGNATURE_INVALID);
    }
}

TEST(RsaVerify, RawPkcs1ComparesTheWholeMessage) {
    const ObjPtr key = RsaPublic(1024);
    const Bytes data = Random(40);
    const Bytes sig = PrivateOp(RsaKey(1024), RSA_PKCS1_PADDING, data);
    EXPECT_EQ(VerifyOne(CKM_RSA_PKCS, key, data, sig), CKR_OK);
    EXPECT_EQ(VerifyOne(CKM_RSA_PKCS, key, Bytes(data.begin(), data.end() - 1), sig), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(VerifyOne(CKM_RSA_PKCS, key, data, Flip(sig, 5)), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(VerifyOne(CKM_RSA_PKCS, key, data, Cat(sig, {0})), CKR_SIGNATURE_LEN_RANGE);
    uint32_t len = 128;
    Bytes s = sig;
    EXPECT_EQ(Create(MECH_FUNC_VERIFY, CKM_RSA_PKCS, key)->Final(s.data(), &len), RV_NOT_SUPPORTED);
}

TEST(RsaVerify, X509IgnoresLeadingZeros) {
    const ObjPtr key = RsaPublic(1024);
    const Bytes block = Cat({0, 0, 0}, Random(125));
    const Bytes sig = PrivateOp(RsaKey(1024), RSA_NO_PADDING, block);
    const Bytes stripped(block.begin() + 3, block.end());
    struct Case {
        Bytes data;
        CK_RV rv;
    } cases[] = {
        {block, CKR_OK},
        {stripped, CKR_OK},
        {Cat({0, 0, 0, 0, 0}, stripped), CKR_OK},
        {Flip(block, 127), CKR_SIGNATURE_INVALID},
        {Bytes(block.begin(), block.end() - 1), CKR_DATA_LEN_RANGE},
    };
    for (const Case& c : cases) EXPECT_EQ(VerifyOne(CKM_RSA_X_509, key, c.data, sig), c.rv) << ToHex(c.data);
    EXPECT_EQ(VerifyOne(CKM_RSA_X_509, key, block, Bytes(127, 1)), CKR_SIGNATURE_LEN_RANGE);
}

TEST(RsaEncrypt, Pkcs1BlocksOpenWithOpenSsl) {
    struct Case {
        int bits;
        size_t len, outLen;
    } cases[] = {{1024, 1, 128}, {1024, 117, 128}, {1024, 118, 256}, {1024, 300, 384}, {2048, 245, 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " " + std::to_string(c.len));
        auto enc = Create(MECH_FUNC_ENCRYPT, CKM_RSA_PKCS, RsaPublic(c.bits));
        const Bytes msg = Random(c.len);
        uint32_t len = 0;
        ASSERT_EQ(enc->Do(msg.data(), static_cast<uint32_t>(c.len), nullptr, &len), CKR_OK);
        EXPECT_EQ(len, c.outLen);
        Bytes out(len);
        len -= 1;
        EXPECT_EQ(enc->Do(msg.data(), static_cast<uint32_t>(c.len), out.data(), &len), RV_BUFFER_TOO_SMALL);
        ASSERT_EQ(enc->Do(msg.data(), static_cast<uint32_t>(c.len), out.data(), &len), CKR_OK);
        const size_t k = static_cast<size_t>(c.bits / 8);
        Bytes opened;
        for (auto at = out.begin(); at != out.end(); at += static_cast<long>(k))
            opened = Cat(opened, PrivateDecrypt(RsaKey(c.bits), RSA_PKCS1_PADDING, Bytes(at, at + static_cast<long>(k))));
        EXPECT_EQ(ToHex(opened), ToHex(msg));
    }
    auto enc = Create(MECH_FUNC_ENCRYPT, CKM_RSA_PKCS, RsaPublic(1024));
    uint8_t out[128];
    uint32_t len = sizeof out;
    EXPECT_EQ(enc->Do(out, 0, out, &len), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(enc->Do(out, 5, out, nullptr), CKR_ARGUMENTS_BAD);
}

TEST(RsaEncrypt, RawBlockIsRightAligned) {
    auto enc = Create(MECH_FUNC_ENCRYPT, CKM_RSA_X_509, RsaPublic(1024));
    const Bytes msg = Random(127);
    Bytes out(128);
    uint32_t len = 128;
    ASSERT_EQ(enc->Do(msg.data(), 127, out.data(), &len), CKR_OK);
    EXPECT_EQ(ToHex(PrivateDecrypt(RsaKey(1024), RSA_NO_PADDING, out)), "00" + ToHex(msg));
    const Bytes whole = Random(128);
    EXPECT_EQ(enc->Do(whole.data(), 128, out.data(), &len), CKR_DATA_LEN_RANGE);
}

TEST(RsaVerifyRecover, ReturnsTheDataOfACorrectTypeOneBlockOnly) {
    const ObjPtr key = RsaPublic(1024);
    const Bytes data = Random(20);
    auto recover = Create(MECH_FUNC_VERIFY_RECOVER, CKM_RSA_PKCS, key);
    Bytes sig = PrivateOp(RsaKey(1024), RSA_PKCS1_PADDING, data);
    uint32_t len = 0;
    EXPECT_EQ(recover->Do(sig.data(), 128, nullptr, &len), RV_BUFFER_TOO_SMALL);  // null output: the length
    EXPECT_EQ(len, 20u);
    Bytes out(20);
    len = 19;
    EXPECT_EQ(recover->Do(sig.data(), 128, out.data(), &len), RV_BUFFER_TOO_SMALL);
    len = 20;
    ASSERT_EQ(recover->Do(sig.data(), 128, out.data(), &len), CKR_OK);
    EXPECT_EQ(ToHex(out), ToHex(data));
    EXPECT_EQ(recover->Do(sig.data(), 127, out.data(), &len), CKR_SIGNATURE_LEN_RANGE);

    // Blocks made by hand and raised with the private key as they are.
    auto block = [&](const Bytes& head, uint8_t fill, size_t fillLen) {
        Bytes b = Cat(head, Bytes(fillLen, fill));
        b.push_back(0x00);
        return Cat(b, Bytes(128 - b.size(), 0x33));
    };
    struct Case {
        const char* what;
        Bytes block;
        CK_RV rv;
        uint32_t len;
    } cases[] = {
        {"eight FF", block({0x00, 0x01}, 0xFF, 8), CKR_OK, 128 - 11},
        {"seven FF", block({0x00, 0x01}, 0xFF, 7), CKR_SIGNATURE_INVALID, 0},
        {"type 2", block({0x00, 0x02}, 0x5A, 8), CKR_SIGNATURE_INVALID, 0},
        {"FE in the padding", block({0x00, 0x01, 0xFF, 0xFE}, 0xFF, 8), CKR_SIGNATURE_INVALID, 0},
        {"no separator", Cat({0x00, 0x01}, Bytes(126, 0xFF)), CKR_SIGNATURE_INVALID, 0},
    };
    for (const Case& c : cases) {
        Bytes raised = PrivateOp(RsaKey(1024), RSA_NO_PADDING, c.block);
        Bytes got(128);
        len = 128;
        EXPECT_EQ(recover->Do(raised.data(), 128, got.data(), &len), c.rv) << c.what;
        if (c.rv == CKR_OK) {
            EXPECT_EQ(len, c.len);
        }
    }
}

TEST(RsaInit, KeyAndMechanismRules) {
    const PKey& k = RsaKey(1024);
    const Bytes n = BnParam(k, OSSL_PKEY_PARAM_RSA_N), e = BnParam(k, OSSL_PKEY_PARAM_RSA_E);
    const ObjPtr good = RsaPublic(1024);
    const ObjPtr priv = PublicKey(CKK_RSA, CKA_MODULUS, n, CKA_PUBLIC_EXPONENT, e, CKO_PRIVATE_KEY);
    const ObjPtr tiny = PublicKey(CKK_RSA, CKA_MODULUS, Hex("00C5A3E1F0D3B5977911C3"), CKA_PUBLIC_EXPONENT, e);
    const ObjPtr noModulus = PublicKey(CKK_RSA, CKA_MODULUS, {}, CKA_PUBLIC_EXPONENT, e);
    Create(MECH_FUNC_VERIFY, CKM_SHA256_RSA_PKCS, priv, CKR_GENERAL_ERROR);
    Create(MECH_FUNC_ENCRYPT, CKM_RSA_PKCS, tiny, CKR_KEY_SIZE_RANGE);
    Create(MECH_FUNC_VERIFY_RECOVER, CKM_RSA_PKCS, noModulus, CKR_KEY_SIZE_RANGE);

    CK_MECHANISM x509{CKM_RSA_X_509, nullptr, 0};
    EXPECT_EQ(RSAPKCSPubSoftVerify().Init(&x509, priv), CKR_ARGUMENTS_BAD);  // mechanism checked first
    EXPECT_EQ(RSASHA1PubSoftVerify().Init(&x509, good), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(RSAPKCSPubSoftEncrypt().Init(&x509, priv), CKR_GENERAL_ERROR);  // key checked first
    EXPECT_EQ(RSAPKCSPubSoftEncrypt().Init(&x509, good), CKR_MECHANISM_INVALID);
    EXPECT_EQ(RSAPKCSPubSoftVerifyRecover().Init(&x509, good), CKR_MECHANISM_INVALID);
    EXPECT_EQ(RSAPKCSPubSoftVerify().Init(nullptr, good), CKR_ARGUMENTS_BAD);
}

// --- ECDSA --------------------------------------------------------------------

struct Curve {
    const char* name;
    Bytes oid;
    size_t coordLen;
};

const Curve kCurves[] = {{"P-256", Hex("06082A8648CE3D030107"), 32}, {"P-192", Hex("06082A8648CE3D030101"), 24}};

struct EcPair {
    PKey key;
    Bytes point;  // 04 || x || y as OpenSSL gives it
};

EcPair EcKey(const Curve& c) {
    EcPair pair{PKey(EVP_EC_gen(c.name), EVP_PKEY_free), {}};
    size_t len = 0;
    const char* name = OSSL_PKEY_PARAM_PUB_KEY;
    EXPECT_EQ(EVP_PKEY_get_octet_string_param(pair.key.get(), name, nullptr, 0, &len), 1);
    pair.point.resize(len);
    EXPECT_EQ(EVP_PKEY_get_octet_string_param(pair.key.get(), name, pair.point.data(), len, &len), 1);
    EXPECT_EQ(pair.point[0], 0x04);
    return pair;
}

// OpenSSL's DER signature as r || s.
Bytes RawSignature(const Bytes& der, size_t coordLen) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    Bytes rs(2 * coordLen);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), static_cast<int>(coordLen));
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + coordLen, static_cast<int>(coordLen));
    ECDSA_SIG_free(sig);
    return rs;
}

Bytes SignDigest(const PKey& key, const Bytes& digest) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    size_t len = 0;
    EXPECT_EQ(EVP_PKEY_sign_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_sign(ctx, nullptr, &len, digest.data(), digest.size()), 1);
    Bytes der(len);
    EXPECT_EQ(EVP_PKEY_sign(ctx, der.data(), &len, digest.data(), digest.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    der.resize(len);
    return der;
}

ObjPtr EcPublic(const Curve& c, const Bytes& point) {
    return PublicKey(CKK_EC, CKA_EC_PARAMS, c.oid, CKA_EC_POINT, point);
}

TEST(EcdsaVerify, RawDigestSignaturesFromOpenSsl) {
    for (const Curve& c : kCurves) {
        SCOPED_TRACE(c.name);
        EcPair pair = EcKey(c);
        const Bytes xy(pair.point.begin() + 1, pair.point.end());
        const ObjPtr key = EcPublic(c, xy);
        for (size_t digestLen : {20, 32, 48}) {
            const Bytes digest = Random(digestLen);
            const Bytes sig = RawSignature(SignDigest(pair.key, digest), c.coordLen);
            EXPECT_EQ(VerifyOne(CKM_ECDSA, key, digest, sig), CKR_OK) << digestLen;
            EXPECT_EQ(VerifyOne(CKM_ECDSA, key, digest, Flip(sig, 3)), CKR_SIGNATURE_INVALID);
            EXPECT_EQ(VerifyOne(CKM_ECDSA, key, digest, Flip(sig, c.coordLen + 3)), CKR_SIGNATURE_INVALID);
            EXPECT_EQ(VerifyOne(CKM_ECDSA, key, Flip(digest, 0), sig), CKR_SIGNATURE_INVALID);
        }
        const Bytes digest = Random(32);
        const Bytes sig = RawSignature(SignDigest(pair.key, digest), c.coordLen);
        EXPECT_EQ(VerifyOne(CKM_ECDSA, key, digest, Bytes(sig.begin(), sig.end() - 1)), CKR_SIGNATURE_LEN_RANGE);
        EXPECT_EQ(VerifyOne(CKM_ECDSA, key, digest, Cat(sig, {0})), CKR_SIGNATURE_LEN_RANGE);
        Bytes zeroR = sig;
        std::fill(zeroR.begin(), zeroR.begin() + static_cast<long>(c.coordLen), 0);
        EXPECT_EQ(VerifyOne(CKM_ECDSA, key, digest, zeroR), CKR_SIGNATURE_INVALID);
        uint8_t out[8];
        uint32_t len = sizeof out;
        EXPECT_EQ(Create(MECH_FUNC_VERIFY, CKM_ECDSA, key)->Update(digest.data(), 32, out, &len), RV_NOT_SUPPORTED);
    }
}

TEST(EcdsaVerify, Sha1SignaturesInOneAndManyParts) {
    const Bytes msg = Random(1000);
    for (const Curve& c : kCurves) {
        SCOPED_TRACE(c.name);
        EcPair pair = EcKey(c);
        const ObjPtr key = EcPublic(c, Bytes(pair.point.begin() + 1, pair.point.end()));
        const Bytes sig = RawSignature(DigestSign(pair.key, EVP_sha1(), msg), c.coordLen);
        EXPECT_EQ(VerifyOne(CKM_ECDSA_SHA1, key, msg, sig), CKR_OK);
        EXPECT_EQ(VerifyInParts(CKM_ECDSA_SHA1, key, msg, sig), CKR_OK);
        EXPECT_EQ(VerifyInParts(CKM_ECDSA_SHA1, key, Flip(msg, 999), sig), CKR_SIGNATURE_INVALID);
        EXPECT_EQ(VerifyOne(CKM_ECDSA_SHA1, key, msg, Bytes(sig.begin() + 1, sig.end())), CKR_SIGNATURE_LEN_RANGE);
    }
}

TEST(EcdsaInit, PointFormsCurvesAndKeys) {
    const Curve& p256 = kCurves[0];
    EcPair pair = EcKey(p256);
    const Bytes xy(pair.point.begin() + 1, pair.point.end());
    const Bytes der = Cat({0x04, 0x41}, pair.point);  // OCTET STRING of 65 bytes
    Bytes offCurve = xy;
    offCurve.back() ^= 0x01;
    struct Case {
        const char* what;
        Bytes params, point;
        CK_RV rv;
    } cases[] = {
        {"x || y", p256.oid, xy, CKR_OK},
        {"04 || x || y", p256.oid, pair.point, CKR_OK},
        {"DER OCTET STRING", p256.oid, der, CKR_OK},
        {"params with trailing bytes", Cat(p256.oid, {0x00}), xy, CKR_OK},
        {"P-384", Hex("06052B81040022"), xy, CKR_ARGUMENTS_BAD},
        {"P-192 params, P-256 point", kCurves[1].oid, xy, CKR_GENERAL_ERROR},
        {"short point", p256.oid, Bytes(xy.begin(), xy.end() - 1), CKR_GENERAL_ERROR},
        {"03 prefix", p256.oid, Cat({0x03}, xy), CKR_GENERAL_ERROR},
        {"off the curve", p256.oid, offCurve, CKR_GENERAL_ERROR},
    };
    const Bytes digest = Random(32);
    const Bytes sig = RawSignature(SignDigest(pair.key, digest), 32);
    for (const Case& c : cases) {
        auto v = Create(MECH_FUNC_VERIFY, CKM_ECDSA, PublicKey(CKK_EC, CKA_EC_PARAMS, c.params, CKA_EC_POINT, c.point),
                        c.rv);
        if (c.rv == CKR_OK) {
            Bytes s = sig;
            uint32_t len = 64;
            EXPECT_EQ(v->Do(digest.data(), 32, s.data(), &len), CKR_OK) << c.what;
        }
    }
    const ObjPtr good = EcPublic(p256, xy);
    CK_MECHANISM sha1{CKM_ECDSA_SHA1, nullptr, 0};
    EXPECT_EQ(ECCECDSAPubSoftVerify().Init(&sha1, good), CKR_MECHANISM_INVALID);
    EXPECT_EQ(ECCECDSASHA1PubSoftVerify().Init(&sha1, good), CKR_OK);
    EXPECT_EQ(ECCECDSAPubSoftVerify().Init(&sha1, RsaPublic(1024)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(ECCECDSAPubSoftVerify().Init(nullptr, good), CKR_ARGUMENTS_BAD);
}

TEST(PublicKeyClasses, RegisteredForTheirFunctions) {
    struct Entry {
        CK_MECHANISM_TYPE mech;
        KV_MECH_FUNC_E func;
    } entries[] = {{CKM_RSA_PKCS, MECH_FUNC_ENCRYPT},        {CKM_RSA_PKCS, MECH_FUNC_VERIFY},
                   {CKM_RSA_PKCS, MECH_FUNC_VERIFY_RECOVER}, {CKM_RSA_X_509, MECH_FUNC_ENCRYPT},
                   {CKM_RSA_X_509, MECH_FUNC_VERIFY},        {CKM_MD2_RSA_PKCS, MECH_FUNC_VERIFY},
                   {CKM_MD5_RSA_PKCS, MECH_FUNC_VERIFY},     {CKM_SHA1_RSA_PKCS, MECH_FUNC_VERIFY},
                   {CKM_SHA224_RSA_PKCS, MECH_FUNC_VERIFY},  {CKM_SHA256_RSA_PKCS, MECH_FUNC_VERIFY},
                   {CKM_SHA384_RSA_PKCS, MECH_FUNC_VERIFY},  {CKM_SHA512_RSA_PKCS, MECH_FUNC_VERIFY},
                   {CKM_ECDSA, MECH_FUNC_VERIFY},            {CKM_ECDSA_SHA1, MECH_FUNC_VERIFY}};
    for (const Entry& e : entries) {
        EXPECT_EQ(AlgFactory::GetSoftCreators().count({e.mech, e.func}), 1u) << std::hex << e.mech << " " << e.func;
    }
    EXPECT_EQ(AlgFactory::GetSoftCreators().count({CKM_RSA_X_509, MECH_FUNC_VERIFY_RECOVER}), 0u);
}

}  // namespace
