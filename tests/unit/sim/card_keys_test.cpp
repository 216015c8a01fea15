// Key files, key generation, key parts, public-key reads, the security
// environment and the security operations of the virtual token. Commands are
// written out byte by byte; every cryptographic result is checked with
// OpenSSL.
//
// The chaining value of a partly hashed message is read from OpenSSL's
// low-level SHA contexts, whose routines are marked deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstdio>
#include <memory>

#include "card.h"
#include "personalise.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

// ---- OpenSSL on the test's side ----

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct CtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t len) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len));
}

Pkey FromData(const char* type, OSSL_PARAM_BLD* bld, int selection) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx.get());
    EVP_PKEY_fromdata(ctx.get(), &key, selection, params);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return Pkey(key);
}

Pkey RsaPublicKey(const Bytes& n, const Bytes& e) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be);
    Pkey key = FromData("RSA", bld, EVP_PKEY_PUBLIC_KEY);
    BN_free(bn);
    BN_free(be);
    return key;
}

Pkey EcPublicKey(const char* group, const Bytes& xy) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    Bytes point = Cat({{0x04}, xy});
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, group, 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return FromData("EC", bld, EVP_PKEY_PUBLIC_KEY);
}

Bytes BnParam(const EVP_PKEY* key, const char* name, size_t width) {
    BIGNUM* b = nullptr;
    EVP_PKEY_get_bn_param(key, name, &b);
    Bytes out(width ? width : static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2binpad(b, out.data(), static_cast<int>(out.size()));
    BN_clear_free(b);
    return out;
}

Bytes PublicPoint(const EVP_PKEY* key) {  // x || y
    Bytes point(133);
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &len);
    return Slice(point, 1, len - 1);
}

Bytes Sha(const EVP_MD* md, const Bytes& m) {
    Bytes out(static_cast<size_t>(EVP_MD_get_size(md)));
    EVP_Digest(m.data(), m.size(), out.data(), nullptr, md, nullptr);
    return out;
}

// A message signature with the digest done by OpenSSL.
bool VerifyMessage(EVP_PKEY* key, const EVP_MD* md, const Bytes& message, const Bytes& signature) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

// r || s of fixed width to the DER form OpenSSL verifies.
Bytes DerEcdsa(const Bytes& rs) {
    size_t w = rs.size() / 2;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), static_cast<int>(w), nullptr),
                   BN_bin2bn(rs.data() + w, static_cast<int>(w), nullptr));
    unsigned char* der = nullptr;
    int len = i2d_ECDSA_SIG(sig, &der);
    Bytes out(der, der + len);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

bool VerifyEcdsaHash(EVP_PKEY* key, const Bytes& hash, const Bytes& rs) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    Bytes der = DerEcdsa(rs);
    return EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der.data(), der.size(), hash.data(), hash.size()) == 1;
}

Bytes EvpCipher(const EVP_CIPHER* type, const Bytes& key, const Bytes& iv, const Bytes& in, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    EVP_CipherInit_ex(ctx, type, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), encrypt);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

// SEC 1 ECIES as the card deciphers it: ephemeral R (x || y), Z = x of k·Q,
// K = X9.63 KDF (SHA-256) of Z, C = M XOR K[0, w), T = HMAC-SHA-256 under
// K[w, w + 32) over C, cut to w bytes.
Bytes EciesEncrypt(const char* group, const Bytes& recipient, const Bytes& message) {
    const size_t w = message.size();
    Pkey ephemeral(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", group));
    Pkey peer = EcPublicKey(group, recipient);
    PkeyCtx derive(EVP_PKEY_CTX_new_from_pkey(nullptr, ephemeral.get(), nullptr));
    Bytes z(w);
    size_t zLen = z.size();
    EVP_PKEY_derive_init(derive.get());
    EVP_PKEY_derive_set_peer(derive.get(), peer.get());
    EVP_PKEY_derive(derive.get(), z.data(), &zLen);

    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "X963KDF", nullptr);
    EVP_KDF_CTX* kctx = EVP_KDF_CTX_new(kdf);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, z.data(), z.size()),
                           OSSL_PARAM_construct_end()};
    Bytes k(w + 32);
    EVP_KDF_derive(kctx, k.data(), k.size(), params);
    EVP_KDF_CTX_free(kctx);
    EVP_KDF_free(kdf);

    Bytes c(w);
    for (size_t i = 0; i < w; ++i) c[i] = message[i] ^ k[i];
    Bytes t(32);
    size_t tLen = 0;
    EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, k.data() + w, 32, c.data(), c.size(), t.data(), t.size(),
              &tLen);
    return Cat({PublicPoint(ephemeral.get()), c, Slice(t, 0, w)});
}

// ---- command bytes ----

std::string H8(unsigned v) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}
std::string H16(unsigned v) { return H8(v >> 8) + H8(v); }

// Lc: one byte up to 255, else 00 hi lo.
std::string Lc(size_t n) { return n <= 255 ? H8(static_cast<unsigned>(n)) : "00" + H16(static_cast<unsigned>(n)); }

// Public-key file: 62 1A | 82 02 kind 00 | 83 02 FID | 85 02 bits | 86 08 90 B6 B6 96 FF FF FF FF | 87 02 00 66.
std::string CreatePublicKeyFile(unsigned fid, unsigned kind, unsigned bits) {
    return "00E000001C621A8202" + H8(kind) + "008302" + H16(fid) + "8502" + H16(bits) + "860890B6B696FFFFFFFF87020066";
}
// Private-key file: 62 16 | 82 02 kind 00 | 83 02 FID | 85 02 bits | 86 08 FF B6 B6 96 FF FF FF FF.
std::string CreatePrivateKeyFile(unsigned fid, unsigned kind, unsigned bits) {
    return "00E000001862168202" + H8(kind) + "008302" + H16(fid) + "8502" + H16(bits) + "8608FFB6B696FFFFFFFF";
}
// 00 46 00 00 07: algorithm, bits, private FID, public FID.
std::string GenerateKeyPair(unsigned algorithm, unsigned bits, unsigned prv, unsigned pub) {
    return "0046000007" + H8(algorithm) + H16(bits) + H16(prv) + H16(pub);
}
// MSE with 80 01 algorithm and 81 02 FID or 83 01 key number.
std::string Mse(const std::string& p1p2, unsigned algorithm, unsigned fid) {
    return "0022" + p1p2 + "078001" + H8(algorithm) + "8102" + H16(fid);
}
std::string MseSecret(const std::string& p1p2, unsigned algorithm, unsigned key) {
    return "0022" + p1p2 + "068001" + H8(algorithm) + "8301" + H8(key);
}
std::string Pso(const std::string& p1p2, const Bytes& data) {
    return data.empty() ? "002A" + p1p2 + "00" : "002A" + p1p2 + Lc(data.size()) + ToHex(data);
}
// 80 E7 / 80 E9 part 00, data FID || bytes.
std::string WriteKeyItem(const std::string& ins, unsigned part, unsigned fid, const Bytes& value) {
    return "80" + ins + H8(part) + "00" + Lc(2 + value.size()) + H16(fid) + ToHex(value);
}
std::string ReadPublicKey(unsigned fid) { return "80B4000002" + H16(fid); }
std::string LoadSecretKey(unsigned k, const Bytes& key) { return "80E505" + H8(k) + Lc(1 + key.size()) + "00" + ToHex(key); }

// 80 B4 answers. RSA: 82 L1 exponent, 81 82 L2 modulus (L2 in bytes L1+4, L1+5);
// EC: 86 L x, 87 L y.
struct RsaPublic {
    Bytes e, n;
};
RsaPublic ParseRsaPublic(const Bytes& d) {
    EXPECT_GE(d.size(), 8u);
    if (d.size() < 8) return {};
    size_t l1 = d[1];
    EXPECT_EQ(d[0], 0x82);
    EXPECT_EQ(d[l1 + 2], 0x81);
    EXPECT_EQ(d[l1 + 3], 0x82);
    size_t l2 = size_t(d[l1 + 4]) << 8 | d[l1 + 5];
    EXPECT_EQ(d.size(), l1 + 6 + l2);
    return {Slice(d, 2, l1), Slice(d, l1 + 6, std::min(l2, d.size() - l1 - 6))};
}
Bytes ParseEcPublic(const Bytes& d) {
    EXPECT_GE(d.size(), 4u);
    if (d.size() < 4) return {};
    size_t w = d[1];
    EXPECT_EQ(d[0], 0x86);
    EXPECT_EQ(d.size(), 2 * w + 4);
    EXPECT_EQ(d[w + 2], 0x87);
    EXPECT_EQ(d[w + 3], w);
    return Cat({Slice(d, 2, w), Slice(d, w + 4, std::min(w, d.size() - w - 4))});
}

constexpr unsigned kPrv = 0xA020, kPub = 0x8000;
constexpr unsigned kRsa = 1, kEc = 2;

Bytes Message(size_t n) {
    Bytes m(n);
    for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i * 7 + 3);
    return m;
}

class CardKeys : public ::testing::Test {
protected:
    CardKeys() {
        sim::Personalisation p;
        p.secureMessaging = false;
        state = sim::Personalise(p);
    }

    static std::string Run(sim::Card& c, const std::string& hex, Bytes* data = nullptr) {
        Bytes r = c.Process(Hex(hex));
        if (data) data->assign(r.begin(), r.end() - 2);
        return ToHex(Bytes(r.end() - 2, r.end()));
    }
    std::string Run(const std::string& hex, Bytes* data = nullptr) { return Run(card, hex, data); }
    Bytes Ok(const std::string& hex) {
        Bytes d;
        EXPECT_EQ(Run(hex, &d), "9000") << hex;
        return d;
    }
    static std::string Login(sim::Card& c) {
        Bytes challenge;
        Run(c, "0084000008", &challenge);
        Bytes response = EvpCipher(EVP_des_ede3_cbc(), sim::PinValue("12345678"), Bytes(8, 0), challenge, true);
        return Run(c, "0082018108" + ToHex(response));
    }

    // A key pair made by the card: the files, then 00 46.
    void Generate(unsigned algorithm, unsigned bits, unsigned prv = kPrv, unsigned pub = kPub) {
        unsigned fileBits = algorithm == kRsa ? bits : 256;
        Ok(CreatePrivateKeyFile(prv, algorithm == kRsa ? 0x11 : 0x13, fileBits));
        Ok(CreatePublicKeyFile(pub, algorithm == kRsa ? 0x12 : 0x14, fileBits));
        Ok(GenerateKeyPair(algorithm, bits, prv, pub));
    }
    Pkey RsaKeyOnCard(unsigned fid = kPub) {
        RsaPublic pub = ParseRsaPublic(Ok(ReadPublicKey(fid)));
        return RsaPublicKey(pub.n, pub.e);
    }
    // RSA signature of the kept hash, checked against the message.
    void ExpectRsaSignatureOf(const Bytes& message, EVP_PKEY* key, const EVP_MD* md) {
        Bytes signature = Ok(Pso("9E9A", {}));
        EXPECT_EQ(signature.size(), static_cast<size_t>(EVP_PKEY_get_size(key)));
        EXPECT_TRUE(VerifyMessage(key, md, message, signature));
    }

    sim::TokenState state;
    sim::Card card{state, nullptr};
};

TEST_F(CardKeys, KeyFilesFromTheirTemplates) {
    // 1024-bit RSA private key file: 85 02 04 00 and FF B6 B6 96 FF FF FF FF.
    const std::string prv = "00E0000018" "6216" "82021100" "8302A020" "85020400" "8608FFB6B696FFFFFFFF";
    const std::string pub = "00E000001C" "621A" "82021200" "83028000" "85020400" "860890B6B696FFFFFFFF" "87020066";
    EXPECT_EQ(CreatePrivateKeyFile(0xA020, 0x11, 1024), prv);
    EXPECT_EQ(CreatePublicKeyFile(0x8000, 0x12, 1024), pub);
    EXPECT_EQ(Run(prv), "9000");
    EXPECT_EQ(Run(pub), "9000");
    EXPECT_EQ(Run(pub), "6A89");
    Bytes fci;
    EXPECT_EQ(Run("00A4000002A020", &fci), "9000");
    ASSERT_GE(fci.size(), 9u);
    EXPECT_EQ(fci[8], 0x11);                       // the descriptor
    EXPECT_EQ(Run("00B0000001"), "6981");          // key files have no bytes to read
    EXPECT_EQ(Run("00D6000001FF"), "6981");
    EXPECT_EQ(Run(ReadPublicKey(0x8000)), "6A88");  // nothing generated yet
    EXPECT_EQ(Run("00E4000002A020"), "6982");      // delete condition 96: the user
    ASSERT_EQ(Login(card), "9000");
    EXPECT_EQ(Run("00E4000002A020"), "9000");
    EXPECT_EQ(Run("00A4000002A020"), "6A82");
}

struct RsaCase {
    unsigned bits, algorithm;
};

TEST_F(CardKeys, GeneratedRsaKeysSignWhatOpenSslVerifies) {
    ASSERT_EQ(Login(card), "9000");
    // Public key 0x2401, private key 0x2402, 1024 bits: algorithm 01, bits, private FID, public FID.
    Ok(CreatePrivateKeyFile(0x2402, 0x11, 1024));
    Ok(CreatePublicKeyFile(0x2401, 0x12, 1024));
    EXPECT_EQ(Run("00460000070104002402" "2401"), "9000");
    EXPECT_EQ(ParseRsaPublic(Ok(ReadPublicKey(0x2401))).n.size(), 128u);
    const RsaCase cases[] = {{512, 0x81}, {768, 0x82}, {1024, 0x81}, {1536, 0x82}, {2048, 0x82}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.bits);
        Generate(kRsa, k.bits);
        RsaPublic pub = ParseRsaPublic(Ok(ReadPublicKey(kPub)));
        EXPECT_EQ(ToHex(pub.e), "010001");
        ASSERT_EQ(pub.n.size(), k.bits / 8);
        Pkey key = RsaPublicKey(pub.n, pub.e);
        const EVP_MD* md = k.algorithm == 0x81 ? EVP_sha1() : EVP_sha256();
        Bytes message = Message(100);
        Ok(Mse("41B6", k.algorithm, kPrv));
        EXPECT_EQ(ToHex(Ok(Pso("9080", message))), ToHex(Sha(md, message)));
        ExpectRsaSignatureOf(message, key.get(), md);
        EXPECT_EQ(Run(Pso("9E9A", {})), "6986");  // the hash serves one signature
        Ok("00E4000002" + H16(kPrv));
        Ok("00E4000002" + H16(kPub));
    }
}

struct EcCase {
    unsigned bits;
    const char* group;
};

TEST_F(CardKeys, GeneratedEcKeysSignGivenAndKeptHashes) {
    ASSERT_EQ(Login(card), "9000");
    for (const auto& k : {EcCase{256, "prime256v1"}, EcCase{192, "prime192v1"}}) {
        SCOPED_TRACE(k.bits);
        Generate(kEc, k.bits);
        Bytes xy = ParseEcPublic(Ok(ReadPublicKey(kPub)));
        ASSERT_EQ(xy.size(), 2 * k.bits / 8);
        Pkey key = EcPublicKey(k.group, xy);
        ASSERT_TRUE(key);
        Bytes message = Message(50);
        for (unsigned algorithm : {0x91u, 0x92u}) {
            Bytes hash = Sha(algorithm == 0x91 ? EVP_sha1() : EVP_sha256(), message);
            Ok(Mse("41B6", algorithm, kPrv));
            Bytes rs = Ok(Pso("9E9A", hash));
            ASSERT_EQ(rs.size(), 2 * k.bits / 8);
            EXPECT_TRUE(VerifyEcdsaHash(key.get(), hash, rs));
        }
        Ok(Mse("41B6", 0x91, kPrv));  // ECDSA with SHA-1: the card hashes
        Ok(Pso("9080", message));
        EXPECT_TRUE(VerifyMessage(key.get(), EVP_sha1(), message, DerEcdsa(Ok(Pso("9E9A", {})))));
        Ok("00E4000002" + H16(kPrv));
        Ok("00E4000002" + H16(kPub));
    }
}

TEST_F(CardKeys, WrittenRsaKeyWithoutPublicExponentDeciphersAndSigns) {
    ASSERT_EQ(Login(card), "9000");
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
    Bytes n = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_N, 128), e = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_E, 0),
          d = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_D, 128);
    Ok(CreatePrivateKeyFile(kPrv, 0x11, 1024));
    Ok(CreatePublicKeyFile(kPub, 0x12, 1024));
    Ok(WriteKeyItem("E7", 2, kPrv, n));  // modulus and private exponent only
    Ok(WriteKeyItem("E7", 3, kPrv, d));
    Ok(WriteKeyItem("E7", 1, kPub, e));
    Ok(WriteKeyItem("E7", 2, kPub, n));
    RsaPublic back = ParseRsaPublic(Ok(ReadPublicKey(kPub)));
    EXPECT_EQ(ToHex(back.n), ToHex(n));
    EXPECT_EQ(ToHex(back.e), ToHex(e));

    // PKCS#1 v1.5 ciphertext made by OpenSSL; raw RSA on the card gives 00 02 PS 00 M.
    Bytes secret = Message(24);
    PkeyCtx enc(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    Bytes ciphertext(128);
    size_t len = ciphertext.size();
    ASSERT_EQ(EVP_PKEY_encrypt_init(enc.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(enc.get(), RSA_PKCS1_PADDING);
    ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), ciphertext.data(), &len, secret.data(), secret.size()), 1);
    Ok(Mse("41B8", 0x84, kPrv));
    Bytes block = Ok(Pso("8086", ciphertext));
    ASSERT_EQ(block.size(), 128u);
    EXPECT_EQ(ToHex(Slice(block, 0, 2)), "0002");
    EXPECT_EQ(block[128 - 25], 0x00);
    EXPECT_EQ(ToHex(Slice(block, 128 - 24, 24)), ToHex(secret));

    Bytes message = Message(10);
    Ok(Mse("41B6", 0x82, kPrv));
    Ok(Pso("9080", message));
    ExpectRsaSignatureOf(message, key.get(), EVP_sha256());
}

TEST_F(CardKeys, WrittenEcKeySignsAndTakesBothPointForms) {
    ASSERT_EQ(Login(card), "9000");
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Bytes d = BnParam(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, 32), xy = PublicPoint(key.get());
    Ok(CreatePrivateKeyFile(kPrv, 0x13, 256));
    Ok(CreatePublicKeyFile(kPub, 0x14, 256));
    Ok(CreatePublicKeyFile(kPub + 0x20, 0x14, 256));
    Ok(WriteKeyItem("E9", 1, kPrv, d));
    Ok(WriteKeyItem("E9", 2, kPub, xy));
    Ok(WriteKeyItem("E9", 2, kPub + 0x20, Cat({{0x04}, xy})));
    EXPECT_EQ(ToHex(ParseEcPublic(Ok(ReadPublicKey(kPub)))), ToHex(xy));
    EXPECT_EQ(ToHex(ParseEcPublic(Ok(ReadPublicKey(kPub + 0x20)))), ToHex(xy));
    Bytes off = xy;
    off.back() ^= 1;
    EXPECT_EQ(Run(WriteKeyItem("E9", 2, kPub, off)), "6A80");  // not on the curve
    EXPECT_EQ(Run(WriteKeyItem("E9", 1, kPrv, Bytes(33, 1))), "6700");
    EXPECT_EQ(Run(WriteKeyItem("E9", 1, kPrv, Bytes(32, 0xFF))), "6A80");  // not below the order

    Bytes hash = Sha(EVP_sha256(), Message(77));
    Ok(Mse("41B6", 0x92, kPrv));
    EXPECT_TRUE(VerifyEcdsaHash(key.get(), hash, Ok(Pso("9E9A", hash))));
}

TEST_F(CardKeys, EcDecipherOfAnOpenSslCiphertext) {
    ASSERT_EQ(Login(card), "9000");
    Generate(kEc, 256);
    Bytes xy = ParseEcPublic(Ok(ReadPublicKey(kPub)));
    Bytes secret = Message(32);
    Bytes ciphertext = EciesEncrypt("prime256v1", xy, secret);
    ASSERT_EQ(ciphertext.size(), 128u);
    Ok(Mse("41B8", 0x93, kPrv));
    EXPECT_EQ(ToHex(Ok(Pso("8086", ciphertext))), ToHex(secret));  // a quarter of the input
    ciphertext.back() ^= 1;
    EXPECT_EQ(Run(Pso("8086", ciphertext)), "6A80");
}

struct SecretCase {
    unsigned algorithm;
    size_t keyLength;
    const EVP_CIPHER* (*cipher)();
};

TEST_F(CardKeys, SecretKeysMatchOpenSslAndLeaveThePinKeysAlone) {
    ASSERT_EQ(Login(card), "9000");
    const Bytes pins[2] = {state.pins[0].value, state.pins[1].value};
    const SecretCase cases[] = {
        {1, 8, EVP_des_ede3_ecb},   // single DES: three-key EDE with one key thrice
        {2, 16, EVP_des_ede_cbc},   {1, 24, EVP_des_ede3_ecb}, {2, 24, EVP_des_ede3_cbc},
        {3, 16, EVP_aes_128_ecb},   {4, 16, EVP_aes_128_cbc},  {3, 24, EVP_aes_192_ecb},
        {4, 32, EVP_aes_256_cbc},
    };
    const Bytes data = Message(48);
    unsigned number = 1;  // 1 and 2 are also the PIN keys' numbers
    for (const auto& k : cases) {
        SCOPED_TRACE(ToHex({static_cast<uint8_t>(k.algorithm), static_cast<uint8_t>(k.keyLength)}));
        Bytes key = Slice(Message(40), 3, k.keyLength);
        Bytes evpKey = k.keyLength == 8 ? Cat({key, key, key}) : key;
        Bytes expected = EvpCipher(k.cipher(), evpKey, Bytes(16, 0), data, true);
        Ok(LoadSecretKey(number, key));
        Ok(MseSecret("81B8", k.algorithm, number));
        EXPECT_EQ(ToHex(Ok(Pso("8680", data))), ToHex(expected));
        Ok(MseSecret("41B8", k.algorithm, number));
        EXPECT_EQ(ToHex(Ok(Pso("8086", expected))), ToHex(data));
        ++number;
    }
    EXPECT_EQ(state.pins[0].value, pins[0]);
    EXPECT_EQ(state.pins[1].value, pins[1]);
    EXPECT_EQ(Login(card), "9000");
    Ok(MseSecret("81B8", 3, 1));  // AES with the 8-byte DES key
    EXPECT_EQ(Run(Pso("8680", Bytes(16, 1))), "6981");
    Ok(MseSecret("81B8", 1, 8));  // triple DES with the 32-byte AES key
    EXPECT_EQ(Run(Pso("8680", Bytes(16, 1))), "6981");
}

// Continuation template of a message whose head was hashed elsewhere:
// 81 04 block count, 90 L chaining value, 80 L the last h bytes.
Bytes ContinuationTemplate(bool sha1, const Bytes& message) {
    size_t h = message.size() % 64 ? message.size() % 64 : 64;
    size_t head = message.size() - h;
    Bytes chaining;
    if (sha1) {
        SHA_CTX ctx;
        SHA1_Init(&ctx);
        SHA1_Update(&ctx, message.data(), head);
        for (SHA_LONG w : {ctx.h0, ctx.h1, ctx.h2, ctx.h3, ctx.h4})
            chaining.insert(chaining.end(), {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)});
    } else {
        SHA256_CTX ctx;
        SHA256_Init(&ctx);
        SHA256_Update(&ctx, message.data(), head);
        for (SHA_LONG w : ctx.h)
            chaining.insert(chaining.end(), {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)});
    }
    uint32_t blocks = static_cast<uint32_t>(head / 64);
    return Cat({{0x81, 0x04, uint8_t(blocks >> 24), uint8_t(blocks >> 16), uint8_t(blocks >> 8), uint8_t(blocks)},
                {0x90, uint8_t(chaining.size())},
                chaining,
                {0x80, uint8_t(h)},
                Slice(message, head, h)});
}

TEST_F(CardKeys, ContinuedHashEqualsTheDigestOfTheWholeMessage) {
    ASSERT_EQ(Login(card), "9000");
    Generate(kRsa, 1024);
    Pkey key = RsaKeyOnCard();
    // 336 bytes: five blocks hashed elsewhere, 16 left; 384: five blocks and a full 64.
    Bytes t336 = ContinuationTemplate(true, Message(336));
    EXPECT_EQ(ToHex(Slice(t336, 0, 8)), "8104000000059014");
    EXPECT_EQ(ToHex(Slice(t336, 28, 2)), "8010");
    EXPECT_EQ(t336.size(), 30u + 16u);
    Bytes t384 = ContinuationTemplate(true, Message(384));
    EXPECT_EQ(ToHex(Slice(t384, 0, 8)), "8104000000059014");
    EXPECT_EQ(ToHex(Slice(t384, 28, 2)), "8040");
    for (unsigned algorithm : {0x81u, 0x82u}) {
        const EVP_MD* md = algorithm == 0x81 ? EVP_sha1() : EVP_sha256();
        for (size_t length : {335u, 336u, 384u, 1000u}) {
            SCOPED_TRACE(std::to_string(algorithm) + "/" + std::to_string(length));
            Bytes message = Message(length);
            Ok(Mse("41B6", algorithm, kPrv));
            Bytes hash = length < 336 ? Ok(Pso("9080", message))
                                      : Ok(Pso("90A0", ContinuationTemplate(algorithm == 0x81, message)));
            EXPECT_EQ(ToHex(hash), ToHex(Sha(md, message)));
            ExpectRsaSignatureOf(message, key.get(), md);
        }
    }
    Ok(Mse("41B6", 0x81, kPrv));
    Bytes wrongChaining = ContinuationTemplate(false, Message(336));  // 32 bytes for SHA-1
    EXPECT_EQ(Run(Pso("90A0", wrongChaining)), "6A80");
}

// Status words of the access rules and of missing or unfit keys, each on a
// fresh card over the same prepared token.
struct Rule {
    const char* what;
    bool login;
    std::vector<std::string> before;
    std::string command;
    const char* sw;
};

TEST_F(CardKeys, AccessRulesAndMissingKeys) {
    ASSERT_EQ(Login(card), "9000");
    Generate(kRsa, 512);                        // A020 / 8000
    Generate(kEc, 256, 0xA040, 0x8020);
    Ok(CreatePrivateKeyFile(0xA060, 0x11, 512));  // no key in these two
    Ok(CreatePublicKeyFile(0x8040, 0x12, 512));
    Ok(LoadSecretKey(0x11, Bytes(16, 0x5A)));
    const std::string hashAbc = Pso("9080", {'a', 'b', 'c'});
    const Bytes block64(64, 0x01), hash20(20, 0x02);
    const Rule rules[] = {
        {"RSA signature needs the user PIN", false, {Mse("41B6", 0x81, kPrv), hashAbc}, Pso("9E9A", {}), "6982"},
        {"RSA decipher needs the user PIN", false, {Mse("41B8", 0x84, kPrv)}, Pso("8086", block64), "6982"},
        {"ECDSA needs the user PIN", false, {Mse("41B6", 0x91, 0xA040)}, Pso("9E9A", hash20), "6982"},
        {"EC decipher needs the user PIN", false, {Mse("41B8", 0x93, 0xA040)}, Pso("8086", Bytes(128, 1)), "6982"},
        {"secret-key encipher needs the user PIN", false, {MseSecret("81B8", 3, 0x11)}, Pso("8680", Bytes(16)), "6982"},
        {"secret-key decipher needs the user PIN", false, {MseSecret("41B8", 4, 0x11)}, Pso("8086", Bytes(16)), "6982"},
        {"loading a secret key needs the user PIN", false, {}, LoadSecretKey(0x12, Bytes(16)), "6982"},
        {"generation needs the user PIN", false, {}, GenerateKeyPair(kRsa, 512, kPrv, kPub), "6982"},
        {"a private key part needs the user PIN", false, {}, WriteKeyItem("E7", 3, kPrv, block64), "6982"},
        {"private key files are not readable", true, {}, ReadPublicKey(kPrv), "6982"},
        {"HMAC only in secure messaging", true, {}, "80ED000003616263" "14", "6982"},
        {"no security environment", true, {}, Pso("8680", Bytes(16)), "6A88"},
        {"missing key file", true, {Mse("41B6", 0x81, 0x2499), hashAbc}, Pso("9E9A", {}), "6A88"},
        {"key file without a key", true, {Mse("41B8", 0x84, 0xA060)}, Pso("8086", block64), "6A88"},
        {"missing secret key", true, {MseSecret("81B8", 3, 0x12)}, Pso("8680", Bytes(16)), "6A88"},
        {"public key not written", true, {}, ReadPublicKey(0x8040), "6A88"},
        {"generation without its private file", true, {}, GenerateKeyPair(kRsa, 512, 0xA099, kPub), "6A82"},
        {"generation without its public file", true, {}, GenerateKeyPair(kRsa, 512, kPrv, 0x8099), "6A82"},
        {"key part into a missing file", true, {}, WriteKeyItem("E7", 1, 0x8099, {1, 0, 1}), "6A82"},
        {"public key of a missing file", true, {}, ReadPublicKey(0x8099), "6A82"},
        {"RSA algorithm on an EC key", true, {Mse("41B6", 0x81, 0xA040), hashAbc}, Pso("9E9A", {}), "6981"},
        {"private part into a public file", true, {}, WriteKeyItem("E7", 3, kPub, block64), "6981"},
        {"EC generation into RSA files", true, {}, GenerateKeyPair(kEc, 256, kPrv, kPub), "6981"},
        {"RSA size the card lacks", true, {}, GenerateKeyPair(kRsa, 1000, kPrv, kPub), "6A80"},
        {"curve the card lacks", true, {}, GenerateKeyPair(kEc, 384, 0xA040, 0x8020), "6A80"},
        {"signature algorithm in the decipher template", true, {}, Mse("41B8", 0x81, kPrv), "6A80"},
        {"ECDSA hash of 21 bytes", true, {Mse("41B6", 0x91, 0xA040)}, Pso("9E9A", Bytes(21, 1)), "6700"},
        {"RSA block shorter than the modulus", true, {Mse("41B8", 0x84, kPrv)}, Pso("8086", Bytes(63, 1)), "6700"},
        {"secret key of 7 bytes", true, {}, LoadSecretKey(0x12, Bytes(7, 1)), "6700"},
        {"AES data not whole blocks", true, {MseSecret("81B8", 3, 0x11)}, Pso("8680", Bytes(15)), "6700"},
        {"RSA signature with nothing hashed", true, {Mse("41B6", 0x81, kPrv)}, Pso("9E9A", {}), "6986"},
    };
    for (const auto& rule : rules) {
        SCOPED_TRACE(rule.what);
        sim::TokenState copy = state;
        sim::Card fresh(copy, nullptr);
        if (rule.login) {
            ASSERT_EQ(Login(fresh), "9000");
        }
        for (const auto& b : rule.before) {
            ASSERT_EQ(Run(fresh, b), "9000") << b;
        }
        EXPECT_EQ(Run(fresh, rule.command), rule.sw);
    }
}

TEST_F(CardKeys, KeysSurviveTheStateFile) {
    ASSERT_EQ(Login(card), "9000");
    Generate(kRsa, 1024);
    Pkey key = RsaKeyOnCard();
    Ok(LoadSecretKey(0x11, Bytes(16, 0x33)));
    std::string path = ::testing::TempDir() + "/kvtoken-keys-test";
    ASSERT_TRUE(sim::SaveState(path, state));
    auto loaded = sim::LoadState(path);
    ASSERT_TRUE(loaded);
    sim::Card restarted(*loaded, nullptr);
    ASSERT_EQ(Login(restarted), "9000");
    Bytes message = Message(20), d;
    ASSERT_EQ(Run(restarted, Mse("41B6", 0x81, kPrv)), "9000");
    ASSERT_EQ(Run(restarted, Pso("9080", message)), "9000");
    ASSERT_EQ(Run(restarted, Pso("9E9A", {}), &d), "9000");
    EXPECT_TRUE(VerifyMessage(key.get(), EVP_sha1(), message, d));
    ASSERT_EQ(Run(restarted, MseSecret("81B8", 3, 0x11)), "9000");
    ASSERT_EQ(Run(restarted, Pso("8680", Bytes(16)), &d), "9000");
    EXPECT_EQ(ToHex(d), ToHex(EvpCipher(EVP_aes_128_ecb(), Bytes(16, 0x33), {}, Bytes(16), true)));
}

TEST(TokenStateFormats, FirstFormatStillLoads) {
    // Format 1, written out field by field: little-endian counts, blobs with a
    // four-byte length, one transparent file 2460.
    Bytes raw;
    auto u8 = [&](uint8_t v) { raw.push_back(v); };
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) raw.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto blob = [&](const Bytes& b) {
        u32(static_cast<uint32_t>(b.size()));
        raw.insert(raw.end(), b.begin(), b.end());
    };
    const std::string magic = "KVTOKEN1", serial = "4B56000000000001";
    blob(Bytes(magic.begin(), magic.end()));
    blob(Bytes(serial.begin(), serial.end()));
    u8(0);  // serial as hex digits
    u8(1);  // AES-128
    u8(1);  // secure messaging on
    blob(Bytes(16, 0x11));
    blob(Bytes(16, 0x22));
    u8(0x88);
    u32(65536);
    u32(7);  // write counter
    for (int i = 0; i < 2; ++i) {
        blob(Bytes(24, static_cast<uint8_t>(i + 1)));
        u8(0x55);
    }
    u32(1);
    u32(0x2460);
    u8(0x90);
    u8(0x96);
    u8(0x96);
    blob({1, 2, 3});

    auto st = sim::TokenState::Parse(raw);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->writeCounter, 7);
    ASSERT_EQ(st->files.count(0x2460), 1u);
    EXPECT_EQ(ToHex(st->files.at(0x2460).data), "010203");
    EXPECT_FALSE(st->files.at(0x2460).IsKeyFile());
    EXPECT_TRUE(st->secretKeys.empty());
    auto again = sim::TokenState::Parse(st->Serialize());  // now in the current format
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Serialize(), st->Serialize());
    raw.pop_back();
    EXPECT_FALSE(sim::TokenState::Parse(raw));
}

// The on-card HMAC over the AES-128 channel of the wire vectors; commands are
// wrapped here: 87 L 01 CBC(S_ENC, data 80 00..), 97 01 Le, 8E 08 MAC where
// the MAC is the first 8 bytes of the last block of CBC(S_MAC, counter + 1,
// header 80 00.. || objects 80 00..).
class CardHmac : public ::testing::Test {
protected:
    void SetUp() override {
        v = testing_kv::Channel("aes128");
        const auto& pin = testing_kv::Vectors()["pin"][0];
        sim::Personalisation p;
        p.userPin = pin["pin_ascii"];
        pinValue = Hex(pin["pin_value"]);
        state = sim::Personalise(p);
        state.kEnc = Hex(v["k_enc"]);
        state.kMac = Hex(v["k_mac"]);
        Bytes answer = Hex(v["initialize_update_answer_data"]);
        card.SetNextChannelValues(Slice(answer, 0, 12), Hex(v["card_challenge"]));
        ASSERT_EQ(ToHex(Sw(card.Process(Hex(v["initialize_update"])))), "9000");
        ASSERT_EQ(ToHex(card.Process(Hex(v["external_authenticate"]))), "9000");
        sEnc = Hex(v["s_enc"]);
        sMac = Hex(v["s_mac"]);
        counter = Hex(v["counter_after_opening"]);
    }

    static Bytes Sw(const Bytes& r) { return Slice(r, r.size() - 2, 2); }
    static Bytes Pad(Bytes b) {
        b.push_back(0x80);
        while (b.size() % 16) b.push_back(0);
        return b;
    }

    Bytes Wrap(const Bytes& header, const Bytes& data, uint8_t le) {
        Bytes objects;
        if (!data.empty()) {
            Bytes ct = EvpCipher(EVP_aes_128_cbc(), sEnc, Bytes(16, 0), Pad(data), true);
            objects = Cat({{0x87, uint8_t(ct.size() + 1), 0x01}, ct});
        }
        if (le) objects.insert(objects.end(), {0x97, 0x01, le});
        for (size_t i = 16; i-- > 0;) {
            if (++counter[i] != 0) break;
        }
        Bytes input = Pad(header);
        if (!objects.empty()) input = Cat({input, Pad(objects)});
        Bytes chain = EvpCipher(EVP_aes_128_cbc(), sMac, counter, input, true);
        Bytes body = Cat({objects, {0x8E, 0x08}, Slice(chain, chain.size() - 16, 8)});
        Bytes command = Cat({header, {uint8_t(body.size())}, body});
        if (le) command.push_back(le);
        return command;
    }
    // Answer data of a wrapped command: 87 L 01 CBC(S_ENC, data 80 00..).
    Bytes Unwrap(const Bytes& r) {
        if (r.size() < 5 || r[0] != 0x87) return {};
        Bytes plain = EvpCipher(EVP_aes_128_cbc(), sEnc, Bytes(16, 0), Slice(r, 3, r.size() - 5), false);
        while (!plain.empty() && plain.back() == 0) plain.pop_back();
        if (!plain.empty()) plain.pop_back();  // the 80
        return plain;
    }

    nlohmann::json v;
    Bytes pinValue, sEnc, sMac, counter;
    sim::TokenState state;
    sim::Card card{state, nullptr};
};

TEST_F(CardHmac, HmacSha1UnderTheUserPinKeyOnlyWrappedAndLoggedIn) {
    const Bytes data = Message(45);
    const Bytes hmac = Wrap({0x8C, 0xED, 0x00, 0x00}, data, 20);
    EXPECT_EQ(ToHex(card.Process(hmac)), "6982");  // user PIN not verified
    Bytes challenge = card.Process(Hex("0084000008"));
    ASSERT_EQ(challenge.size(), 10u);
    Bytes response = EvpCipher(EVP_des_ede3_cbc(), pinValue, Bytes(8, 0), Slice(challenge, 0, 8), true);
    ASSERT_EQ(ToHex(card.Process(Wrap({0x0C, 0x82, 0x01, 0x81}, response, 0))), "9000");

    Bytes r = card.Process(Wrap({0x8C, 0xED, 0x00, 0x00}, data, 20));
    ASSERT_EQ(ToHex(Sw(r)), "9000");
    Bytes expected(20);
    size_t len = 0;
    EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, pinValue.data(), pinValue.size(), data.data(), data.size(),
              expected.data(), expected.size(), &len);
    EXPECT_EQ(ToHex(Unwrap(r)), ToHex(expected));
}

}  // namespace
