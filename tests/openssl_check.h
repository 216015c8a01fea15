// OpenSSL checks of what the token made: public keys from their parts,
// RSA and ECDSA (r ‖ s) signature verification, digests.
#ifndef KV_TESTS_OPENSSL_CHECK_H
#define KV_TESTS_OPENSSL_CHECK_H

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <functional>
#include <memory>
#include <vector>

namespace testing_kv {

using Bytes = std::vector<uint8_t>;

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// A public key from its parts, built with OpenSSL's parameter builder.
inline PKey PublicKey(const char* type, const std::function<void(OSSL_PARAM_BLD*)>& fill) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    fill(bld);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return PKey(key, EVP_PKEY_free);
}

inline PKey RsaKey(const Bytes& n, const Bytes& e) {
    BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
    PKey key = PublicKey("RSA", [&](OSSL_PARAM_BLD* b) {
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_N, bn);
        OSSL_PARAM_BLD_push_BN(b, OSSL_PKEY_PARAM_RSA_E, be);
    });
    BN_free(bn);
    BN_free(be);
    return key;
}

inline PKey EcKey(const char* curve, const Bytes& x, const Bytes& y) {
    Bytes point{0x04};
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    return PublicKey("EC", [&](OSSL_PARAM_BLD* b) {
        OSSL_PARAM_BLD_push_utf8_string(b, OSSL_PKEY_PARAM_GROUP_NAME, curve, 0);
        OSSL_PARAM_BLD_push_octet_string(b, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    });
}

inline bool VerifyRsa(EVP_PKEY* key, const EVP_MD* md, const Bytes& message, const Bytes& signature) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

// r ‖ s of fixed width checked as an ECDSA signature over a given hash.
inline bool VerifyEcdsa(EVP_PKEY* key, const Bytes& hash, const Bytes& rs) {
    const int half = static_cast<int>(rs.size() / 2);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), half, nullptr), BN_bin2bn(rs.data() + half, half, nullptr));
    unsigned char* der = nullptr;
    int derLen = i2d_ECDSA_SIG(sig, &der);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_verify(ctx, der, static_cast<size_t>(derLen), hash.data(), hash.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return ok;
}

inline Bytes Digest(const EVP_MD* md, const Bytes& m) {
    Bytes out(EVP_MD_get_size(md));
    unsigned int len = 0;
    EVP_Digest(m.data(), m.size(), out.data(), &len, md, nullptr);
    return out;
}

inline Bytes Message(size_t n) {
    Bytes m(n);
    for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i * 13 + 5);
    return m;
}

// OpenSSL's RSA public operation with a padding (RSA_PKCS1_PADDING, or
// RSA_NO_PADDING for a block chosen whole); empty on failure.
inline Bytes RsaPublicEncrypt(EVP_PKEY* key, int padding, const Bytes& data) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t len = 0;
    Bytes out;
    if (EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
        EVP_PKEY_encrypt(ctx, nullptr, &len, data.data(), data.size()) == 1) {
        out.resize(len);
        if (EVP_PKEY_encrypt(ctx, out.data(), &len, data.data(), data.size()) != 1) out.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

}  // namespace testing_kv

#endif
