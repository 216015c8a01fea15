#include "rsa_pub_soft.h"

#include <algorithm>
#include <cstring>

#include "key_attrs.h"
#include "padding.h"
#include "secure_wipe.h"
#include "soft_registration.h"

namespace {

// The bytes after the leading zeros.
const uint8_t* SkipZeros(const uint8_t* p, uint32_t& len) {
    while (len && *p == 0) {
        ++p;
        --len;
    }
    return p;
}

}  // namespace

CK_RV AlgRSAPubSoft::GetKeyParams(ObjPtr key) {
    const ByteVec* n = nullptr;
    const ByteVec* e = nullptr;
    CK_RV rv = AttrBytes(key, CKA_MODULUS, n, CKA_PUBLIC_EXPONENT, e);
    if (rv) return rv;
    uint32_t k = static_cast<uint32_t>(std::min<size_t>(n->size(), UINT32_MAX));
    const uint8_t* modulus = SkipZeros(n->data(), k);
    // Below 12 bytes a PKCS#1 block has no room for data.
    if (k < 12 || k > RsaPublicKey::MaxModulusBytes()) return CKR_KEY_SIZE_RANGE;
    rsa_ = RsaPublicKey::Create(modulus, k, e->data(), e->size());
    if (!rsa_) return CKR_GENERAL_ERROR;
    k_ = k;
    return CKR_OK;
}

CK_RV AlgRSAPubSoft::VerifyPkcs1(const uint8_t* message, uint32_t len, const uint8_t* signature) {
    if (len && !message) return CKR_ARGUMENTS_BAD;
    ByteVec recovered(k_);
    size_t recoveredLen = 0;
    // A signature of the right length that does not open, or opens to other
    // data, is a wrong signature, whatever went wrong inside it.
    if (!rsa_->RecoverPkcs1(signature, recovered.data(), &recoveredLen)) return CKR_SIGNATURE_INVALID;
    const bool same = recoveredLen == len && (len == 0 || std::memcmp(recovered.data(), message, len) == 0);
    return same ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV RSAPKCSPubSoftEncrypt::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!rsa_) return CKR_GENERAL_ERROR;
    if (inLen == 0) return CKR_DATA_LEN_RANGE;
    const uint32_t chunk = k_ - 11;
    const uint64_t total = uint64_t(k_) * ((uint64_t(inLen) + chunk - 1) / chunk);
    if (total > UINT32_MAX) return CKR_DATA_LEN_RANGE;
    const uint32_t capacity = *outLen;
    *outLen = static_cast<uint32_t>(total);
    if (!out) return CKR_OK;
    if (!in) return CKR_ARGUMENTS_BAD;
    if (capacity < total) return RV_BUFFER_TOO_SMALL;
    for (uint32_t done = 0; done < inLen; done += chunk, out += k_) {
        if (!rsa_->EncryptPkcs1(in + done, std::min(chunk, inLen - done), out)) return CKR_GENERAL_ERROR;
    }
    return CKR_OK;
}

CK_RV RSAX509PubSoftEncrypt::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!rsa_) return CKR_GENERAL_ERROR;
    const uint32_t capacity = *outLen;
    *outLen = k_;
    if (!out) return CKR_OK;
    if (inLen && !in) return CKR_ARGUMENTS_BAD;
    if (inLen >= k_) return CKR_DATA_LEN_RANGE;
    if (capacity < k_) return RV_BUFFER_TOO_SMALL;
    ByteVec block(k_, 0);
    if (inLen) std::memcpy(block.data() + (k_ - inLen), in, inLen);
    const bool ok = rsa_->Raw(block.data(), out);
    SecureWipe(block);
    return ok ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV RSAPKCSPubSoftVerify::Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) {
    CK_RV rv = CheckSignature(signature, signatureLen);
    return rv ? rv : VerifyPkcs1(in, inLen, signature);
}

CK_RV RSAX509PubSoftVerify::Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) {
    CK_RV rv = CheckSignature(signature, signatureLen);
    if (rv) return rv;
    if (inLen && !in) return CKR_ARGUMENTS_BAD;
    ByteVec raised(k_);
    if (!rsa_->Raw(signature, raised.data())) return CKR_SIGNATURE_INVALID;
    uint32_t raisedLen = k_;
    const uint8_t* recovered = SkipZeros(raised.data(), raisedLen);
    const uint8_t* expected = SkipZeros(in, inLen);
    if (raisedLen != inLen) return CKR_DATA_LEN_RANGE;
    return inLen == 0 || std::memcmp(recovered, expected, inLen) == 0 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV RSAPKCSPubSoftVerifyRecover::Do(const uint8_t* signature, uint32_t signatureLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen || !signature) return CKR_ARGUMENTS_BAD;
    if (!rsa_) return CKR_GENERAL_ERROR;
    if (signatureLen != k_) return CKR_SIGNATURE_LEN_RANGE;
    ByteVec recovered(k_);
    size_t len = 0;
    if (!rsa_->RecoverPkcs1(signature, recovered.data(), &len)) return CKR_SIGNATURE_INVALID;
    const uint32_t capacity = *outLen;
    *outLen = static_cast<uint32_t>(len);
    if (!out || capacity < len) return RV_BUFFER_TOO_SMALL;
    if (len) std::memcpy(out, recovered.data(), len);
    return CKR_OK;
}

CK_RV RSAPubHashSoft::VerifyDigest(const uint8_t* hash, uint32_t, const uint8_t* signature) {
    const ByteVec encoded = DigestInfo(hashMechanism_, hash);
    if (encoded.empty()) return CKR_GENERAL_ERROR;
    return VerifyPkcs1(encoded.data(), static_cast<uint32_t>(encoded.size()), signature);
}

KV_REGISTER_SOFT(CKM_RSA_PKCS, RSAPKCSPubSoftEncrypt)
KV_REGISTER_SOFT(CKM_RSA_PKCS, RSAPKCSPubSoftVerify)
KV_REGISTER_SOFT(CKM_RSA_PKCS, RSAPKCSPubSoftVerifyRecover)
KV_REGISTER_SOFT(CKM_RSA_X_509, RSAX509PubSoftEncrypt)
KV_REGISTER_SOFT(CKM_RSA_X_509, RSAX509PubSoftVerify)
KV_REGISTER_SOFT(CKM_MD2_RSA_PKCS, RSAMD2PubSoftVerify)
KV_REGISTER_SOFT(CKM_MD5_RSA_PKCS, RSAMD5PubSoftVerify)
KV_REGISTER_SOFT(CKM_SHA1_RSA_PKCS, RSASHA1PubSoftVerify)
KV_REGISTER_SOFT(CKM_SHA256_RSA_PKCS, RSASHA256PubSoftVerify)
KV_REGISTER_SOFT(CKM_SHA384_RSA_PKCS, RSASHA384PubSoftVerify)
KV_REGISTER_SOFT(CKM_SHA512_RSA_PKCS, RSASHA512PubSoftVerify)
KV_REGISTER_SOFT(CKM_SHA224_RSA_PKCS, RSASHA224PubSoftVerify)
