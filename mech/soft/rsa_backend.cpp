#include "rsa_backend.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/crypto.h>
#include <openssl/rsa.h>

#include "secure_wipe.h"

namespace {

// A failed call leaves its reasons on the thread's error queue; they are
// dropped so that they do not surface in some later caller's report.
bool Settle(bool ok) {
    if (!ok) ERR_clear_error();
    return ok;
}

// The names OpenSSL gives the parts, in the order of RsaPrivateParts and
// RsaGeneratedKey.
const char* const kPartNames[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                                  OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                  OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                  OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
constexpr size_t kPublicAndPrivate = 3;  // n, e, d
constexpr size_t kAllParts = sizeof kPartNames / sizeof kPartNames[0];

// Frees parameters that hold key material, wiping their values first.
void FreeSecretParams(OSSL_PARAM* params) {
    for (OSSL_PARAM* p = params; p && p->key; ++p) OPENSSL_cleanse(p->data, p->data_size);
    OSSL_PARAM_free(params);
}

// Builds the key from the parts that are pushed; null on failure. The
// copies OpenSSL's parameters hold are wiped.
EVP_PKEY* KeyFromParts(const RsaPrivateParts::Part* parts, size_t count) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    BIGNUM* values[kAllParts] = {};
    bool pushed = bld != nullptr;
    for (size_t i = 0; pushed && i < count; ++i) {
        values[i] = BN_bin2bn(parts[i].data, static_cast<int>(parts[i].size), nullptr);
        pushed = values[i] && OSSL_PARAM_BLD_push_BN(bld, kPartNames[i], values[i]) == 1;
    }
    OSSL_PARAM* params = pushed ? OSSL_PARAM_BLD_to_param(bld) : nullptr;
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = params ? EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr) : nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    FreeSecretParams(params);
    OSSL_PARAM_BLD_free(bld);
    for (BIGNUM* value : values) BN_clear_free(value);
    Settle(key != nullptr);
    return key;
}

class OpensslRsaPrivate : public RsaPrivateKey {
public:
    OpensslRsaPrivate(EVP_PKEY* key, size_t k) : key_(key), ctx_(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr)), k_(k) {}
    ~OpensslRsaPrivate() override {
        EVP_PKEY_CTX_free(ctx_);
        EVP_PKEY_free(key_);
    }
    OpensslRsaPrivate(const OpensslRsaPrivate&) = delete;
    OpensslRsaPrivate& operator=(const OpensslRsaPrivate&) = delete;

    bool Usable() const { return ctx_ != nullptr; }
    size_t Size() const override { return k_; }
    bool Raw(const uint8_t* in, uint8_t* out) override {
        size_t outLen = k_;
        return Settle(EVP_PKEY_decrypt_init(ctx_) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx_, RSA_NO_PADDING) == 1 &&
                      EVP_PKEY_decrypt(ctx_, out, &outLen, in, k_) == 1 && outLen == k_);
    }

private:
    EVP_PKEY* key_;
    EVP_PKEY_CTX* ctx_;
    size_t k_;
};

// One part of a generated key, big-endian without leading zeros.
bool ReadPart(EVP_PKEY* key, const char* name, ByteVec& out) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return false;
    out.resize(static_cast<size_t>(BN_num_bytes(bn)));
    const bool ok = BN_bn2bin(bn, out.data()) == static_cast<int>(out.size());
    BN_clear_free(bn);
    return ok;
}

}  // namespace

RsaGeneratedKey::~RsaGeneratedKey() {
    for (ByteVec* part : {&n, &e, &d, &p, &q, &dp, &dq, &qinv}) SecureWipe(*part);
}

std::unique_ptr<RsaPrivateKey> RsaPrivateKey::Create(const RsaPrivateParts& parts) {
    const RsaPrivateParts::Part all[kAllParts] = {parts.n, parts.e,  parts.d,  parts.p,
                                                  parts.q, parts.dp, parts.dq, parts.qinv};
    size_t present = 0;
    while (present < kAllParts && all[present].Present()) ++present;
    if (present < kPublicAndPrivate) return nullptr;
    EVP_PKEY* key = KeyFromParts(all, present == kAllParts ? kAllParts : kPublicAndPrivate);
    if (!key) return nullptr;
    auto rsa = std::make_unique<OpensslRsaPrivate>(key, static_cast<size_t>(EVP_PKEY_get_size(key)));
    return rsa->Usable() ? std::move(rsa) : nullptr;
}

bool RsaPrivateKey::ExponentUsable(const uint8_t* e, size_t eLen) {
    if (!e || eLen == 0 || eLen > 8 || (e[eLen - 1] & 1) == 0) return false;
    uint64_t value = 0;
    for (size_t i = 0; i < eLen; ++i) value = value << 8 | e[i];
    return value >= 3;
}

bool RsaPrivateKey::Generate(uint32_t bits, const uint8_t* e, size_t eLen, RsaGeneratedKey& out) {
    if (bits < kMinGenerateBits || bits > kMaxGenerateBits || !ExponentUsable(e, eLen)) return false;
    BIGNUM* exponent = BN_bin2bn(e, static_cast<int>(eLen), nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    bool ok = exponent && ctx && EVP_PKEY_keygen_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, static_cast<int>(bits)) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, exponent) == 1 && EVP_PKEY_generate(ctx, &key) == 1;
    ByteVec* parts[kAllParts] = {&out.n, &out.e, &out.d, &out.p, &out.q, &out.dp, &out.dq, &out.qinv};
    for (size_t i = 0; ok && i < kAllParts; ++i) ok = ReadPart(key, kPartNames[i], *parts[i]);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    BN_free(exponent);
    return Settle(ok);
}
