#include "hmac_soft.h"

#include <vector>

#include "soft_registration.h"
#include "hash_backend.h"
#include "secure_wipe.h"

CK_RV HmacSoft::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    if (!mechanism || mechanism->mechanism != mechanism_) return CKR_MECHANISM_INVALID;
    if (!key) return CKR_GENERAL_ERROR;
    key_ = key;
    return CKR_OK;
}

CK_RV HmacSoft::Compute(const uint8_t* in, uint32_t inLen, uint8_t* mac) {
    if (inLen && !in) return CKR_ARGUMENTS_BAD;
    uint32_t keyLen = 0;
    CK_RV rv = key_->GetAttr(CKA_VALUE, nullptr, &keyLen);
    if (rv) return rv;
    std::vector<uint8_t> key(keyLen);
    rv = key_->GetAttr(CKA_VALUE, key.data(), &keyLen);
    if (rv == CKR_OK && !HashBackend::Hmac(digest_, key.data(), keyLen, in, inLen, mac)) rv = CKR_GENERAL_ERROR;
    SecureWipe(key);
    return rv;
}

CK_RV HmacSignSoft::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    const uint32_t capacity = *outLen;
    *outLen = GetBlockSize();
    if (!out) return CKR_OK;
    if (capacity < GetBlockSize()) return RV_BUFFER_TOO_SMALL;
    return Compute(in, inLen, out);
}

CK_RV HmacVerifySoft::Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) {
    if (!signatureLen || !signature) return CKR_ARGUMENTS_BAD;
    if (*signatureLen != GetBlockSize()) return CKR_SIGNATURE_LEN_RANGE;
    uint8_t mac[64];
    CK_RV rv = Compute(in, inLen, mac);
    if (rv == CKR_OK && !HashBackend::SameMac(mac, signature, GetBlockSize())) rv = CKR_SIGNATURE_INVALID;
    SecureWipe(mac, sizeof mac);
    return rv;
}

KV_REGISTER_SOFT(CKM_MD2_HMAC, MD2HmacSignSoft)
KV_REGISTER_SOFT(CKM_MD2_HMAC, MD2HmacVerifySoft)
KV_REGISTER_SOFT(CKM_MD5_HMAC, MD5HmacSignSoft)
KV_REGISTER_SOFT(CKM_MD5_HMAC, MD5HmacVerifySoft)
KV_REGISTER_SOFT(CKM_SHA_1_HMAC, SHA1HmacSignSoft)
KV_REGISTER_SOFT(CKM_SHA_1_HMAC, SHA1HmacVerifySoft)
KV_REGISTER_SOFT(CKM_SHA224_HMAC, SHA224HmacSignSoft)
KV_REGISTER_SOFT(CKM_SHA224_HMAC, SHA224HmacVerifySoft)
KV_REGISTER_SOFT(CKM_SHA256_HMAC, SHA256HmacSignSoft)
KV_REGISTER_SOFT(CKM_SHA256_HMAC, SHA256HmacVerifySoft)
KV_REGISTER_SOFT(CKM_SHA384_HMAC, SHA384HmacSignSoft)
KV_REGISTER_SOFT(CKM_SHA384_HMAC, SHA384HmacVerifySoft)
KV_REGISTER_SOFT(CKM_SHA512_HMAC, SHA512HmacSignSoft)
KV_REGISTER_SOFT(CKM_SHA512_HMAC, SHA512HmacVerifySoft)
