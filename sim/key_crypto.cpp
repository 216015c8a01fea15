#include "key_crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>

namespace sim {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Bn = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>>;
using Mont = std::unique_ptr<BN_MONT_CTX, Deleter<BN_MONT_CTX, BN_MONT_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using Sig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF, EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;

// Marked secure, so that parameters built from it are wiped when freed.
template <class Buffer>
Bn ToBn(const Buffer& b) {
    Bn n(BN_secure_new());
    if (n && !BN_bin2bn(b.data(), static_cast<int>(b.size()), n.get())) n.reset();
    return n;
}

// Big-endian, left-padded to width; empty when the number is wider.
SecretBytes FromBn(const BIGNUM* b, size_t width) {
    SecretBytes out(width);
    if (BN_bn2binpad(b, out.data(), static_cast<int>(width)) < 0) out.clear();
    return out;
}

SecretBytes BnParam(const EVP_PKEY* key, const char* name, size_t width) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
    Bn b(raw);
    return FromBn(b.get(), width ? width : static_cast<size_t>(BN_num_bytes(b.get())));
}

const char* GroupName(Curve c) { return c == Curve::P256 ? "prime256v1" : "prime192v1"; }

// An EC key of the curve made of a private scalar or of a public point x || y.
template <class Buffer>
Pkey EcKey(Curve c, const Buffer& material, bool isPrivate) {
    ParamBld bld(OSSL_PARAM_BLD_new());
    Bn priv;
    Bytes point{0x04};
    if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, GroupName(c), 0))
        return nullptr;
    if (isPrivate) {
        priv = ToBn(material);
        if (!priv || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get())) return nullptr;
    } else {
        point.insert(point.end(), material.begin(), material.end());
        if (!OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()))
            return nullptr;
    }
    Params params(OSSL_PARAM_BLD_to_param(bld.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, isPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return Pkey(key);
}

// Z: the x coordinate of d·R.
std::optional<SecretBytes> SharedSecret(Curve c, const SecretBytes& d, const Bytes& peerPoint) {
    Pkey own = EcKey(c, d, true), peer = EcKey(c, peerPoint, false);
    if (!own || !peer) return std::nullopt;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1)
        return std::nullopt;
    SecretBytes z(len);
    if (EVP_PKEY_derive(ctx.get(), z.data(), &len) != 1) return std::nullopt;
    z.resize(len);
    return z;
}

std::optional<SecretBytes> X963Kdf(const SecretBytes& z, size_t length) {
    Kdf kdf(EVP_KDF_fetch(nullptr, "X963KDF", nullptr));
    KdfCtx ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!ctx) return std::nullopt;
    char digest[] = "SHA256";
    SecretBytes secret(z);
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, secret.data(), secret.size()),
                           OSSL_PARAM_construct_end()};
    SecretBytes out(length);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) return std::nullopt;
    return out;
}

}  // namespace

size_t CurveBytes(Curve c) { return c == Curve::P256 ? 32 : 24; }

std::optional<Curve> CurveOfWidth(size_t bytes) {
    if (bytes == 32) return Curve::P256;
    if (bytes == 24) return Curve::P192;
    return std::nullopt;
}

std::optional<RsaKeyPair> GenerateRsaKey(unsigned bits) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &raw) != 1)
        return std::nullopt;
    Pkey key(raw);
    size_t k = bits / 8;
    RsaKeyPair pair{BnParam(key.get(), OSSL_PKEY_PARAM_RSA_N, k), BnParam(key.get(), OSSL_PKEY_PARAM_RSA_E, 0),
                    BnParam(key.get(), OSSL_PKEY_PARAM_RSA_D, k)};
    if (pair.modulus.empty() || pair.exponent.empty() || pair.privateExponent.empty()) return std::nullopt;
    return pair;
}

bool RsaModulusUsable(const SecretBytes& n) { return !n.empty() && n.front() != 0 && (n.back() & 1); }

std::optional<Bytes> RsaPrivateOp(const SecretBytes& n, const SecretBytes& d, const Bytes& in) {
    BnCtx ctx(BN_CTX_new());
    Mont mont(BN_MONT_CTX_new());
    Bn bn = ToBn(n), bd = ToBn(d), m = ToBn(in), r(BN_new());
    if (!ctx || !mont || !bn || !bd || !m || !r || !BN_is_odd(bn.get()) || BN_cmp(m.get(), bn.get()) >= 0)
        return std::nullopt;
    BN_set_flags(bd.get(), BN_FLG_CONSTTIME);
    if (BN_MONT_CTX_set(mont.get(), bn.get(), ctx.get()) != 1 ||
        BN_mod_exp_mont_consttime(r.get(), m.get(), bd.get(), bn.get(), ctx.get(), mont.get()) != 1)
        return std::nullopt;
    SecretBytes out = FromBn(r.get(), n.size());
    return Bytes(out.begin(), out.end());
}

std::optional<Bytes> Pkcs1SignatureBlock(const Bytes& hash, size_t k) {
    // DER DigestInfo prefixes of PKCS#1 v2.2, section 9.2, note 1.
    static const uint8_t kSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                    0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    static const uint8_t kSha256[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes t;
    if (hash.size() == 20) t.assign(kSha1, kSha1 + sizeof kSha1);
    else if (hash.size() == 32) t.assign(kSha256, kSha256 + sizeof kSha256);
    else return std::nullopt;
    t.insert(t.end(), hash.begin(), hash.end());
    if (k < t.size() + 11) return std::nullopt;
    Bytes block(k, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[k - t.size() - 1] = 0x00;
    std::copy(t.begin(), t.end(), block.end() - static_cast<long>(t.size()));
    return block;
}

std::optional<EcKeyPair> GenerateEcKey(Curve c) {
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", GroupName(c)));
    if (!key) return std::nullopt;
    size_t w = CurveBytes(c);
    Bytes point(2 * w + 1);
    size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &len) != 1 ||
        len != point.size() || point[0] != 0x04)
        return std::nullopt;
    EcKeyPair pair{BnParam(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, w), Bytes(point.begin() + 1, point.end())};
    if (pair.scalar.empty()) return std::nullopt;
    return pair;
}

bool EcScalarUsable(Curve c, const SecretBytes& d) {
    Group group(EC_GROUP_new_by_curve_name(c == Curve::P256 ? NID_X9_62_prime256v1 : NID_X9_62_prime192v1));
    Bn scalar = ToBn(d);
    return group && scalar && !BN_is_zero(scalar.get()) && BN_cmp(scalar.get(), EC_GROUP_get0_order(group.get())) < 0;
}

bool EcPointUsable(Curve c, const Bytes& xy) { return xy.size() == 2 * CurveBytes(c) && EcKey(c, xy, false); }

std::optional<Bytes> EcdsaSign(Curve c, const SecretBytes& d, const Bytes& hash) {
    Pkey key = EcKey(c, d, true);
    PkeyCtx ctx(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr);
    size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, hash.data(), hash.size()) != 1)
        return std::nullopt;
    Bytes der(len);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &len, hash.data(), hash.size()) != 1) return std::nullopt;
    const unsigned char* p = der.data();
    Sig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len)));
    if (!sig) return std::nullopt;
    size_t w = CurveBytes(c);
    Bytes out(2 * w);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), static_cast<int>(w)) < 0 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + w, static_cast<int>(w)) < 0)
        return std::nullopt;
    return out;
}

std::optional<Bytes> EcDecrypt(Curve c, const SecretBytes& d, const Bytes& in) {
    const size_t w = CurveBytes(c);
    if (in.size() != 4 * w) return std::nullopt;
    Bytes r(in.begin(), in.begin() + static_cast<long>(2 * w));
    const uint8_t* ciphertext = in.data() + 2 * w;
    const uint8_t* tag = in.data() + 3 * w;
    auto z = SharedSecret(c, d, r);
    auto k = z ? X963Kdf(*z, w + 32) : std::nullopt;
    if (!k) return std::nullopt;
    uint8_t mac[32];
    size_t macLen = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, k->data() + w, 32, ciphertext, w, mac, sizeof mac,
                   &macLen) ||
        macLen != sizeof mac || CRYPTO_memcmp(mac, tag, w) != 0)
        return std::nullopt;
    Bytes message(w);
    for (size_t i = 0; i < w; ++i) message[i] = ciphertext[i] ^ (*k)[i];
    return message;
}

}  // namespace sim
