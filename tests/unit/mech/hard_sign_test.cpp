// RSA and ECDSA private-key operations with keys on a token that signs and
// decrypts with OpenSSL: every signature is checked by OpenSSL with the
// public key, every decryption undoes an OpenSSL encryption.
#include <gtest/gtest.h>

#include "ecc_prv_hard.h"
#include "fake_key_token.h"
#include "rsa_prv_hard.h"
#include "test_vectors.h"

using fake_token::Bytes;
using fake_token::Harness;
using fake_token::PKey;
using fake_token::Random;
using fake_token::TokenKey;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

constexpr uint32_t kPrivateFid = 0xA020;

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const PKey& RsaKey(int bits) {
    static const PKey k1024 = fake_token::Own(EVP_RSA_gen(1024));
    static const PKey k2048 = fake_token::Own(EVP_RSA_gen(2048));
    return bits == 1024 ? k1024 : k2048;
}

// A token holding the key under kPrivateFid, and the private key object.
struct RsaSetup {
    Harness h;
    ObjPtr key;
    explicit RsaSetup(int bits) {
        h.token.keys[kPrivateFid] = RsaKey(bits);
        key = TokenKey(CKO_PRIVATE_KEY, CKK_RSA, kPrivateFid)
                  .Value(CKA_MODULUS, fake_token::BnParam(RsaKey(bits), OSSL_PKEY_PARAM_RSA_N))
                  .Make();
    }
};

// The whole output of Do after a length query, or of Updates and Final.
Bytes Output(AlgMultiPart& a, const Bytes& in, bool inParts) {
    uint32_t len = 0;
    if (inParts) {
        const uint32_t first = static_cast<uint32_t>(in.size() / 3);
        EXPECT_EQ(a.Update(in.data(), first, nullptr, &len), CKR_OK);
        EXPECT_EQ(a.Update(in.data() + first, static_cast<uint32_t>(in.size()) - first, nullptr, &len), CKR_OK);
        EXPECT_EQ(a.Final(nullptr, &len), CKR_OK);
    } else {
        EXPECT_EQ(a.Do(in.data(), static_cast<uint32_t>(in.size()), nullptr, &len), CKR_OK);
    }
    Bytes out(len);
    const CK_RV rv =
        inParts ? a.Final(out.data(), &len) : a.Do(in.data(), static_cast<uint32_t>(in.size()), out.data(), &len);
    EXPECT_EQ(rv, CKR_OK);
    out.resize(rv == CKR_OK ? len : 0);
    return out;
}

// The RSA public-key operation: encryption of data, or the recovery of a
// signature's data (PKCS#1 type 1) or block (raw).
Bytes PublicOp(const PKey& key, int padding, const Bytes& in, bool encrypt) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key.get())));
    size_t len = out.size();
    EXPECT_EQ(encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_verify_recover_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, padding), 1);
    EXPECT_EQ(encrypt ? EVP_PKEY_encrypt(ctx, out.data(), &len, in.data(), in.size())
                      : EVP_PKEY_verify_recover(ctx, out.data(), &len, in.data(), in.size()),
              1);
    EVP_PKEY_CTX_free(ctx);
    out.resize(len);
    return out;
}

Bytes Recover(const PKey& key, int padding, const Bytes& sig) { return PublicOp(key, padding, sig, false); }
Bytes Encrypt(const PKey& key, int padding, const Bytes& in) { return PublicOp(key, padding, in, true); }

bool DigestVerify(const PKey& key, const EVP_MD* md, const Bytes& msg, const Bytes& sig) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key.get()) == 1 &&
                    EVP_DigestVerify(ctx, sig.data(), sig.size(), msg.data(), msg.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

// --- RSA --------------------------------------------------------------------

TEST(RsaPrvHard, HashAndSignVerifiesWhoeverHashes) {
    const CK_MECHANISM_TYPE mechanisms[] = {CKM_MD5_RSA_PKCS,    CKM_SHA1_RSA_PKCS,   CKM_SHA224_RSA_PKCS,
                                            CKM_SHA256_RSA_PKCS, CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS};
    const Bytes msg = Random(700);
    for (int bits : {1024, 2048}) {
        for (CK_MECHANISM_TYPE mech : mechanisms) {
            for (bool tokenHashes : {false, true}) {
                for (bool inParts : {false, true}) {
                    SCOPED_TRACE(std::to_string(bits) + " mech " + std::to_string(mech) +
                                 (tokenHashes ? " token" : "") + (inParts ? " parts" : ""));
                    RsaSetup s(bits);
                    if (tokenHashes) s.h.token.hardware.insert(mech);
                    const Bytes sig = Output(*s.h.Multi(MECH_FUNC_SIGN, mech, s.key), msg, inParts);
                    EXPECT_EQ(sig.size(), size_t(bits / 8));
                    EXPECT_TRUE(DigestVerify(RsaKey(bits), fake_token::DigestOf(mech), msg, sig));
                    // The token gets the whole message, or only the block of prefix || digest.
                    EXPECT_EQ(s.h.token.CallsOf("RSASign").size(), tokenHashes ? 1u : 0u);
                    EXPECT_EQ(s.h.token.CallsOf("RSAPrvRawCipher").size(), tokenHashes ? 0u : 1u);
                    if (tokenHashes) {
                        EXPECT_EQ(ToHex(s.h.token.signedMessage), ToHex(msg));
                    }
                }
            }
        }
    }
}

TEST(RsaPrvHard, Md2SignsTheDigestInfoOfThePublishedHash) {
    // MD2("abc") from RFC 1319 in the DigestInfo of RFC 8017, 9.2 note 1.
    const Bytes digestInfo = Hex("3020300C06082A864886F70D020205000410DA853B0D3F88D99B30283A69E6DED6BB");
    RsaSetup s(1024);
    const Bytes sig = Output(*s.h.Multi(MECH_FUNC_SIGN, CKM_MD2_RSA_PKCS, s.key), {'a', 'b', 'c'}, true);
    EXPECT_EQ(ToHex(Recover(RsaKey(1024), RSA_PKCS1_PADDING, sig)), ToHex(digestInfo));
}

// Whether the token hashes is asked once, at Init: a token that changes its
// answer halfway through does not switch the operation.
TEST(RsaPrvHard, HashChoiceIsMadeOnceAtInit) {
    const Bytes msg = Random(100);
    for (bool atInit : {false, true}) {
        RsaSetup s(1024);
        if (atInit) s.h.token.hardware.insert(CKM_SHA256_RSA_PKCS);
        auto alg = s.h.Multi(MECH_FUNC_SIGN, CKM_SHA256_RSA_PKCS, s.key);
        if (atInit) {
            s.h.token.hardware.clear();
        } else {
            s.h.token.hardware.insert(CKM_SHA256_RSA_PKCS);
        }
        const Bytes sig = Output(*alg, msg, true);
        EXPECT_EQ(s.h.token.hardwareQueries, 1);
        EXPECT_EQ(s.h.token.CallsOf("RSASign").size(), atInit ? 1u : 0u);
        EXPECT_TRUE(DigestVerify(RsaKey(1024), EVP_sha256(), msg, sig));
    }
}

TEST(RsaPrvHard, PkcsAndRawSigning) {
    RsaSetup s(1024);
    const Bytes most = Random(128 - 11);
    EXPECT_EQ(ToHex(Recover(RsaKey(1024), RSA_PKCS1_PADDING,
                            Output(*s.h.Multi(MECH_FUNC_SIGN, CKM_RSA_PKCS, s.key), most, false))),
              ToHex(most));
    const Bytes tooMuch = Random(128 - 10);
    uint32_t len = 0;
    EXPECT_EQ(s.h.Multi(MECH_FUNC_SIGN, CKM_RSA_PKCS, s.key)->Do(tooMuch.data(), 118, nullptr, &len),
              CKR_DATA_LEN_RANGE);
    // Raw: the data right-aligned in a zeroed block.
    const Bytes data = Random(20);
    EXPECT_EQ(ToHex(Recover(RsaKey(1024), RSA_NO_PADDING,
                            Output(*s.h.Multi(MECH_FUNC_SIGN, CKM_RSA_X_509, s.key), data, false))),
              ToHex(Cat(Bytes(108, 0), data)));
    const Bytes longer = Random(129);
    EXPECT_EQ(s.h.Multi(MECH_FUNC_SIGN, CKM_RSA_X_509, s.key)->Do(longer.data(), 129, nullptr, &len),
              CKR_DATA_LEN_RANGE);
    // A short buffer learns the length; a failing token is a device error.
    Bytes out(127);
    len = 127;
    auto alg = s.h.Multi(MECH_FUNC_SIGN, CKM_RSA_PKCS, s.key);
    EXPECT_EQ(alg->Do(data.data(), 20, out.data(), &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 128u);
    EXPECT_EQ(alg->Update(data.data(), 20, nullptr, &len), RV_NOT_SUPPORTED);
    s.h.token.failOn = "RSAPrvRawCipher";
    out.resize(128);
    EXPECT_EQ(alg->Do(data.data(), 20, out.data(), &len), CKR_DEVICE_ERROR);
}

TEST(RsaPrvHard, DecryptsOpenSslCiphertexts) {
    RsaSetup s(1024);
    const Bytes m1 = Random(50), m2 = Random(117);
    const Bytes in = Cat(Encrypt(RsaKey(1024), RSA_PKCS1_PADDING, m1), Encrypt(RsaKey(1024), RSA_PKCS1_PADDING, m2));
    auto alg = s.h.Multi(MECH_FUNC_DECRYPT, CKM_RSA_PKCS, s.key);
    uint32_t len = 0;
    EXPECT_EQ(alg->Do(in.data(), 256, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, 256u);
    Bytes out(256);
    len = 166;
    EXPECT_EQ(alg->Do(in.data(), 256, out.data(), &len), RV_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 167u);
    len = 256;
    EXPECT_EQ(alg->Do(in.data(), 256, out.data(), &len), CKR_OK);
    out.resize(len);
    EXPECT_EQ(ToHex(out), ToHex(Cat(m1, m2)));
    EXPECT_EQ(alg->Do(in.data(), 200, out.data(), &len), CKR_DATA_LEN_RANGE);  // not whole blocks
    // Raw: the result without its three leading zero bytes.
    Bytes tail = Random(125);
    tail[0] |= 0x01;  // exactly three leading zeros
    const Bytes block = Cat({0, 0, 0}, tail);
    const Bytes raw = Output(*s.h.Multi(MECH_FUNC_DECRYPT, CKM_RSA_X_509, s.key),
                             Encrypt(RsaKey(1024), RSA_NO_PADDING, block), false);
    EXPECT_EQ(ToHex(raw), ToHex(Bytes(block.begin() + 3, block.end())));
}

TEST(RsaPrvHard, InitChecksTheKeyAndMechanism) {
    const Bytes n1000(125, 0xC5), n1024(128, 0xC5), n2048(256, 0xC5), n2560(320, 0xC5);
    struct Case {
        const char* what;
        ObjPtr key;
        CK_MECHANISM_TYPE mech;
        CK_RV want;
    } cases[] = {
        {"1000 bits", TokenKey(CKO_PRIVATE_KEY, CKK_RSA, kPrivateFid).Value(CKA_MODULUS, n1000).Make(), CKM_RSA_PKCS,
         CKR_KEY_TYPE_INCONSISTENT},
        {"1024 bits", TokenKey(CKO_PRIVATE_KEY, CKK_RSA, kPrivateFid).Value(CKA_MODULUS, n1024).Make(), CKM_RSA_PKCS,
         CKR_OK},
        {"2048 bits", TokenKey(CKO_PRIVATE_KEY, CKK_RSA, kPrivateFid).Value(CKA_MODULUS, n2048).Make(), CKM_RSA_PKCS,
         CKR_OK},
        {"2560 bits, more than a key file holds",
         TokenKey(CKO_PRIVATE_KEY, CKK_RSA, kPrivateFid).Value(CKA_MODULUS, n2560).Make(), CKM_RSA_PKCS,
         CKR_KEY_TYPE_INCONSISTENT},
        {"another mechanism", TokenKey(CKO_PRIVATE_KEY, CKK_RSA, kPrivateFid).Value(CKA_MODULUS, n1024).Make(),
         CKM_RSA_X_509, CKR_MECHANISM_INVALID},
        {"a session key", TokenKey(CKO_PRIVATE_KEY, CKK_RSA, kPrivateFid, false).Value(CKA_MODULUS, n1024).Make(),
         CKM_RSA_PKCS, CKR_GENERAL_ERROR},
        {"an EC key", TokenKey(CKO_PRIVATE_KEY, CKK_EC, kPrivateFid).Make(), CKM_RSA_PKCS, CKR_GENERAL_ERROR},
        {"a public key", TokenKey(CKO_PUBLIC_KEY, CKK_RSA, kPrivateFid).Value(CKA_MODULUS, n1024).Make(), CKM_RSA_PKCS,
         CKR_GENERAL_ERROR},
    };
    fake_token::FakeKeyToken token;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CK_MECHANISM m{c.mech, nullptr, 0};
        EXPECT_EQ(RSAPKCSPrvHardSign(&token).Init(&m, c.key), c.want);
    }
}

// --- ECDSA ------------------------------------------------------------------

struct Curve {
    const char* name;
    Bytes oid;
    size_t coordLen;
};
const Curve kCurves[] = {{"P-256", Hex("06082A8648CE3D030107"), 32}, {"P-192", Hex("06082A8648CE3D030101"), 24}};

// r || s as the DER signature OpenSSL verifies.
Bytes DerFromRaw(const Bytes& rs) {
    ECDSA_SIG* sig = ECDSA_SIG_new();
    const int half = static_cast<int>(rs.size() / 2);
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), half, nullptr), BN_bin2bn(rs.data() + half, half, nullptr));
    unsigned char* der = nullptr;
    const int len = i2d_ECDSA_SIG(sig, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

bool VerifyDigest(const PKey& key, const Bytes& digest, const Bytes& rs) {
    const Bytes der = DerFromRaw(rs);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    const bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
                    EVP_PKEY_verify(ctx, der.data(), der.size(), digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

TEST(EccPrvHard, SignaturesAreRawAndVerifyWithOpenSsl) {
    for (const Curve& c : kCurves) {
        SCOPED_TRACE(c.name);
        Harness h;
        const PKey key = fake_token::Own(EVP_EC_gen(c.name));
        h.token.keys[kPrivateFid] = key;
        const ObjPtr obj = TokenKey(CKO_PRIVATE_KEY, CKK_EC, kPrivateFid).Value(CKA_EC_PARAMS, c.oid).Make();
        for (size_t digestLen : {20, 32}) {
            const Bytes digest = Random(digestLen);
            const Bytes sig = Output(*h.Multi(MECH_FUNC_SIGN, CKM_ECDSA, obj), digest, false);
            EXPECT_EQ(sig.size(), 2 * c.coordLen);
            EXPECT_TRUE(VerifyDigest(key, digest, sig));
        }
        const Bytes msg = Random(500);
        for (bool inParts : {false, true}) {
            const Bytes sig = Output(*h.Multi(MECH_FUNC_SIGN, CKM_ECDSA_SHA1, obj), msg, inParts);
            EXPECT_EQ(sig.size(), 2 * c.coordLen);
            EXPECT_TRUE(DigestVerify(key, EVP_sha1(), msg, DerFromRaw(sig)));
            EXPECT_EQ(ToHex(h.token.signedMessage), ToHex(msg));  // the token hashes
        }
        // CKM_ECDSA is single-part and takes at most 32 bytes.
        auto raw = h.Multi(MECH_FUNC_SIGN, CKM_ECDSA, obj);
        Bytes out(64);
        uint32_t len = 64;
        EXPECT_EQ(raw->Do(msg.data(), 33, out.data(), &len), CKR_DATA_LEN_RANGE);
        EXPECT_EQ(raw->Update(msg.data(), 20, out.data(), &len), RV_NOT_SUPPORTED);
        len = static_cast<uint32_t>(2 * c.coordLen - 1);
        EXPECT_EQ(raw->Do(msg.data(), 20, out.data(), &len), RV_BUFFER_TOO_SMALL);
        EXPECT_EQ(len, 2 * c.coordLen);
        h.token.failOn = "ECCSign";
        EXPECT_EQ(raw->Do(msg.data(), 20, out.data(), &len), CKR_DEVICE_ERROR);
    }
}

TEST(EccPrvHard, InitNeedsAKnownCurve) {
    fake_token::FakeKeyToken token;
    CK_MECHANISM m{CKM_ECDSA, nullptr, 0};
    const Bytes p384 = Hex("06052B81040022");
    EXPECT_EQ(ECCECDSAPrvHardSign(&token).Init(&m, TokenKey(CKO_PRIVATE_KEY, CKK_EC, kPrivateFid).Make()),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(ECCECDSAPrvHardSign(&token).Init(
                  &m, TokenKey(CKO_PRIVATE_KEY, CKK_EC, kPrivateFid).Value(CKA_EC_PARAMS, p384).Make()),
              CKR_ARGUMENTS_BAD);
    CK_MECHANISM sha1{CKM_ECDSA_SHA1, nullptr, 0};
    EXPECT_EQ(ECCECDSAPrvHardSign(&token).Init(
                  &sha1, TokenKey(CKO_PRIVATE_KEY, CKK_EC, kPrivateFid).Value(CKA_EC_PARAMS, kCurves[1].oid).Make()),
              CKR_MECHANISM_INVALID);
}

}  // namespace
