#include "rsa_prv_soft.h"


#include "digest_soft.h"
#include "key_rules.h"
#include "secure_wipe.h"
#include "soft_registration.h"

namespace {

// An attribute's bytes in place; empty when absent.
RsaPrivateParts::Part PartOf(const ObjPtr& key, uint32_t type) {
    const ByteVec* value = key->Value(type);
    RsaPrivateParts::Part part;
    if (value) {
        part.data = value->data();
        part.size = value->size();
    }
    return part;
}

}  // namespace

CK_RV RSAPrvSoft::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    if (!mechanism || !key) return CKR_ARGUMENTS_BAD;
    rsa_.reset();
    k_ = 0;
    const CK_RV rv = ExpectULongs({{key, CKA_CLASS, CKO_PRIVATE_KEY}, {key, CKA_KEY_TYPE, CKK_RSA}},
                                  CKR_KEY_TYPE_INCONSISTENT);
    if (rv) return rv;
    RsaPrivateParts parts;
    parts.n = PartOf(key, CKA_MODULUS);
    parts.e = PartOf(key, CKA_PUBLIC_EXPONENT);
    parts.d = PartOf(key, CKA_PRIVATE_EXPONENT);
    parts.p = PartOf(key, CKA_PRIME_1);
    parts.q = PartOf(key, CKA_PRIME_2);
    parts.dp = PartOf(key, CKA_EXPONENT_1);
    parts.dq = PartOf(key, CKA_EXPONENT_2);
    parts.qinv = PartOf(key, CKA_COEFFICIENT);
    auto rsa = RsaPrivateKey::Create(parts);
    if (!rsa) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    // Below 12 bytes a PKCS#1 block has no room for data.
    if (rsa->Size() < 12) return CKR_KEY_SIZE_RANGE;
    k_ = static_cast<uint32_t>(rsa->Size());
    rsa_ = std::move(rsa);
    return mechanism->mechanism == mechanism_ ? CKR_OK : CKR_MECHANISM_INVALID;
}

RsaRawOperation RSAPrvSoft::Raw() {
    return [this](const uint8_t* block, uint8_t* out) { return rsa_->Raw(block, out) ? CKR_OK : CKR_DATA_INVALID; };
}

CK_RV RSAPKCSPrvSoftDecrypt::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!Ready()) return CKR_GENERAL_ERROR;
    const CK_RV rv = RsaDecryptPkcs1(Raw(), k_, in, inLen, out, outLen);
    // A block not below the modulus is malformed like any other.
    return rv == CKR_DATA_INVALID ? CKR_ENCRYPTED_DATA_INVALID : rv;
}

CK_RV RSAPKCSPrvSoftSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Ready() ? RsaSignPkcs1Call(Raw(), k_, in, inLen, out, outLen) : CKR_GENERAL_ERROR;
}

CK_RV RSAX509PrvSoftDecrypt::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!Ready()) return CKR_GENERAL_ERROR;
    const CK_RV rv = RsaDecryptRaw(Raw(), k_, in, inLen, out, outLen);
    return rv == CKR_DATA_INVALID ? CKR_ENCRYPTED_DATA_INVALID : rv;
}

CK_RV RSAX509PrvSoftSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Ready() ? RsaSignRawCall(Raw(), k_, in, inLen, out, outLen) : CKR_GENERAL_ERROR;
}

CK_RV RSAHashPrvSoftSign::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    digest_.reset();
    const CK_RV rv = RSAPrvSoft::Init(mechanism, key);
    return rv ? rv : StartDigest(digestMechanism_, digest_);
}

CK_RV RSAHashPrvSoftSign::Update(const uint8_t* in, uint32_t inLen, uint8_t*, uint32_t* outLen) {
    if (outLen) *outLen = 0;
    if (inLen == 0) return CKR_OK;
    if (!in) return CKR_ARGUMENTS_BAD;
    return digest_ ? digest_->Update(in, inLen, nullptr, nullptr) : CKR_GENERAL_ERROR;
}

CK_RV RSAHashPrvSoftSign::Final(uint8_t* out, uint32_t* outLen) { return Sign(nullptr, 0, false, out, outLen); }

CK_RV RSAHashPrvSoftSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Sign(in, inLen, true, out, outLen);
}

CK_RV RSAHashPrvSoftSign::Sign(const uint8_t* in, uint32_t inLen, bool whole, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!Ready() || !digest_) return CKR_GENERAL_ERROR;
    CK_RV rv = OfferOutput(k_, out, outLen);
    if (rv || !out) return rv;
    if (inLen && !in) return CKR_ARGUMENTS_BAD;
    uint8_t hash[64];
    uint32_t hashLen = sizeof hash;
    rv = whole ? digest_->Do(in, inLen, hash, &hashLen) : digest_->Final(hash, &hashLen);
    if (rv == CKR_OK) rv = RsaSignDigestInfo(Raw(), k_, digestMechanism_, hash, out);
    SecureWipe(hash, sizeof hash);
    return rv;
}

KV_REGISTER_SOFT(CKM_RSA_PKCS, RSAPKCSPrvSoftDecrypt)
KV_REGISTER_SOFT(CKM_RSA_PKCS, RSAPKCSPrvSoftSign)
KV_REGISTER_SOFT(CKM_RSA_X_509, RSAX509PrvSoftDecrypt)
KV_REGISTER_SOFT(CKM_RSA_X_509, RSAX509PrvSoftSign)
KV_REGISTER_SOFT(CKM_MD2_RSA_PKCS, RSAMD2PrvSoftSign)
KV_REGISTER_SOFT(CKM_MD5_RSA_PKCS, RSAMD5PrvSoftSign)
KV_REGISTER_SOFT(CKM_SHA1_RSA_PKCS, RSASHA1PrvSoftSign)
KV_REGISTER_SOFT(CKM_SHA224_RSA_PKCS, RSASHA224PrvSoftSign)
KV_REGISTER_SOFT(CKM_SHA256_RSA_PKCS, RSASHA256PrvSoftSign)
KV_REGISTER_SOFT(CKM_SHA384_RSA_PKCS, RSASHA384PrvSoftSign)
KV_REGISTER_SOFT(CKM_SHA512_RSA_PKCS, RSASHA512PrvSoftSign)
