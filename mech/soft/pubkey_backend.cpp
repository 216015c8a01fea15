#include "pubkey_backend.h"

#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/x509_crt.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <vector>

namespace {

// A failed call leaves its reasons on the thread's error queue; they are
// dropped so that they do not surface in some later caller's report.
bool Settle(bool ok) {
    if (!ok) ERR_clear_error();
    return ok;
}

// Builds a public key of the named type from parameters; null on failure.
EVP_PKEY* PublicKeyFromParams(const char* type, OSSL_PARAM* params) {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    if (!ctx || EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    Settle(key != nullptr);
    return key;
}

// Owns a key and one operation context on it.
class EvpPublicKey {
public:
    explicit EvpPublicKey(EVP_PKEY* key) : key_(key), ctx_(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr)) {}
    ~EvpPublicKey() {
        EVP_PKEY_CTX_free(ctx_);
        EVP_PKEY_free(key_);
    }
    EvpPublicKey(const EvpPublicKey&) = delete;
    EvpPublicKey& operator=(const EvpPublicKey&) = delete;

    bool Usable() const { return ctx_ != nullptr; }
    EVP_PKEY_CTX* Ctx() { return ctx_; }

private:
    EVP_PKEY* key_;
    EVP_PKEY_CTX* ctx_;
};

class OpensslRsa : public RsaPublicKey {
public:
    OpensslRsa(EVP_PKEY* key, size_t k) : key_(key), k_(k) {}

    bool EncryptPkcs1(const uint8_t* in, size_t len, uint8_t* out) override {
        return Encrypt(RSA_PKCS1_PADDING, in, len, out);
    }
    bool Raw(const uint8_t* block, uint8_t* out) override { return Encrypt(RSA_NO_PADDING, block, k_, out); }
    bool RecoverPkcs1(const uint8_t* signature, uint8_t* out, size_t* outLen) override {
        EVP_PKEY_CTX* ctx = key_.Ctx();
        *outLen = k_;
        return Settle(EVP_PKEY_verify_recover_init(ctx) == 1 &&
                      EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                      EVP_PKEY_verify_recover(ctx, out, outLen, signature, k_) == 1);
    }
    bool Usable() const { return key_.Usable(); }

private:
    bool Encrypt(int padding, const uint8_t* in, size_t len, uint8_t* out) {
        EVP_PKEY_CTX* ctx = key_.Ctx();
        size_t outLen = k_;
        return Settle(EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
                      EVP_PKEY_encrypt(ctx, out, &outLen, in, len) == 1 && outLen == k_);
    }

    EvpPublicKey key_;
    size_t k_;
};

// r and s as the DER ECDSA-Sig-Value the library verifies; empty on failure.
std::vector<uint8_t> DerSignature(const uint8_t* r, const uint8_t* s, size_t len) {
    std::vector<uint8_t> der;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* bnR = BN_bin2bn(r, static_cast<int>(len), nullptr);
    BIGNUM* bnS = BN_bin2bn(s, static_cast<int>(len), nullptr);
    if (sig && bnR && bnS && ECDSA_SIG_set0(sig, bnR, bnS) == 1) {
        bnR = bnS = nullptr;  // now owned by sig
        unsigned char* encoded = nullptr;
        const int n = i2d_ECDSA_SIG(sig, &encoded);
        if (n > 0) der.assign(encoded, encoded + n);
        OPENSSL_free(encoded);
    }
    BN_free(bnR);
    BN_free(bnS);
    ECDSA_SIG_free(sig);
    return der;
}

class OpensslEc : public EcPublicKey {
public:
    OpensslEc(EVP_PKEY* key, size_t coordLen) : key_(key), coordLen_(coordLen) {}

    Result Verify(const uint8_t* digest, size_t len, const uint8_t* r, const uint8_t* s) override {
        static const uint8_t kEmpty = 0;
        const std::vector<uint8_t> der = DerSignature(r, s, coordLen_);
        int verdict = -1;
        if (!der.empty() && EVP_PKEY_verify_init(key_.Ctx()) == 1)
            verdict = EVP_PKEY_verify(key_.Ctx(), der.data(), der.size(), len ? digest : &kEmpty, len);
        Settle(verdict == 1);
        return verdict == 1 ? kValid : verdict == 0 ? kInvalid : kError;
    }
    bool Usable() const { return key_.Usable(); }

private:
    EvpPublicKey key_;
    size_t coordLen_;
};

// Building an OpenSSL key from n and e, and the Montgomery set-up of its
// first use, cost about as much as checking a signature; an application
// checks many signatures with one key (C_VerifyInit and C_Verify each time),
// so each thread keeps the last key it built. A key is only read once built,
// so the objects of several threads may share it.
class RecentRsaKey {
public:
    RecentRsaKey() = default;
    ~RecentRsaKey() { EVP_PKEY_free(key_); }
    RecentRsaKey(const RecentRsaKey&) = delete;
    RecentRsaKey& operator=(const RecentRsaKey&) = delete;

    // A new reference to the key of n and e when it is the one kept; null otherwise.
    EVP_PKEY* Find(const uint8_t* n, size_t nLen, const uint8_t* e, size_t eLen) const {
        if (!key_ || !Same(n_, n, nLen) || !Same(e_, e, eLen) || EVP_PKEY_up_ref(key_) != 1) return nullptr;
        return key_;
    }
    void Keep(const uint8_t* n, size_t nLen, const uint8_t* e, size_t eLen, EVP_PKEY* key) {
        if (EVP_PKEY_up_ref(key) != 1) return;
        EVP_PKEY_free(key_);
        key_ = key;
        n_.assign(n, n + nLen);
        e_.assign(e, e + eLen);
    }

private:
    static bool Same(const std::vector<uint8_t>& kept, const uint8_t* p, size_t len) {
        return kept.size() == len && std::equal(kept.begin(), kept.end(), p);
    }

    EVP_PKEY* key_ = nullptr;
    std::vector<uint8_t> n_, e_;
};

EVP_PKEY* BuildRsaKey(const uint8_t* n, size_t nLen, const uint8_t* e, size_t eLen) {
    BIGNUM* bnN = BN_bin2bn(n, static_cast<int>(nLen), nullptr);
    BIGNUM* bnE = BN_bin2bn(e, static_cast<int>(eLen), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    if (bnN && bnE && bld && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bnN) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, bnE) == 1)
        params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY* key = params ? PublicKeyFromParams("RSA", params) : nullptr;
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(bnN);
    BN_free(bnE);
    return key;
}

}  // namespace

size_t RsaPublicKey::MaxModulusBytes() { return OPENSSL_RSA_MAX_MODULUS_BITS / 8; }

std::unique_ptr<RsaPublicKey> RsaPublicKey::Create(const uint8_t* n, size_t nLen, const uint8_t* e, size_t eLen) {
    thread_local RecentRsaKey recent;
    EVP_PKEY* key = recent.Find(n, nLen, e, eLen);
    if (!key) {
        key = BuildRsaKey(n, nLen, e, eLen);
        if (!key) return nullptr;
        recent.Keep(n, nLen, e, eLen, key);
    }
    auto rsa = std::make_unique<OpensslRsa>(key, static_cast<size_t>(EVP_PKEY_get_size(key)));
    return rsa->Usable() ? std::move(rsa) : nullptr;
}

std::unique_ptr<EcPublicKey> EcPublicKey::Create(EcCurve curve, const uint8_t* x, const uint8_t* y, size_t coordLen) {
    std::vector<uint8_t> point(1 + 2 * coordLen);
    point[0] = POINT_CONVERSION_UNCOMPRESSED;
    std::copy(x, x + coordLen, point.begin() + 1);
    std::copy(y, y + coordLen, point.begin() + 1 + static_cast<std::ptrdiff_t>(coordLen));
    char p256[] = "prime256v1";
    char p192[] = "prime192v1";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, curve == EcCurve::P192 ? p192 : p256, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()), OSSL_PARAM_END};
    EVP_PKEY* key = PublicKeyFromParams("EC", params);
    if (!key) return nullptr;
    auto ec = std::make_unique<OpensslEc>(key, coordLen);
    return ec->Usable() ? std::move(ec) : nullptr;
}

bool CertificateRsaModulus(const uint8_t* der, size_t len, std::vector<uint8_t>& modulus) {
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    bool ok = false;
    if (der && len && mbedtls_x509_crt_parse_der(&crt, der, len) == 0 && mbedtls_pk_get_type(&crt.pk) == MBEDTLS_PK_RSA) {
        const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(crt.pk);
        modulus.resize(mbedtls_mpi_size(&rsa->N));
        ok = mbedtls_mpi_write_binary(&rsa->N, modulus.data(), modulus.size()) == 0;
    }
    mbedtls_x509_crt_free(&crt);
    return ok;
}
