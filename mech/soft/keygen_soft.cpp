#include "keygen_soft.h"

#include "random.h"
#include "secure_wipe.h"
#include "soft_registration.h"

CK_RV GenerateKeySoft::Init(const CK_MECHANISM* mechanism, ObjPtr newKey) {
    if (!mechanism || !newKey) return CKR_GENERAL_ERROR;
    CK_RV rv = ExpectULong(newKey, CKA_CLASS, CKO_SECRET_KEY, CKR_GENERAL_ERROR);
    if (rv) return rv;
    if (mechanism->mechanism != mechanism_) return CKR_GENERAL_ERROR;
    rv = ExpectULong(newKey, CKA_KEY_TYPE, static_cast<uint32_t>(rule_.keyType), CKR_TEMPLATE_INCONSISTENT);
    if (rv) return rv;
    if (!AskedLength(newKey, rule_, zeroIsAbsent_, length_)) return CKR_TEMPLATE_INCONSISTENT;
    key_ = newKey;
    return CKR_OK;
}

CK_RV GenerateKeySoft::Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    if (!key_) return CKR_GENERAL_ERROR;
    ByteVec value(length_);
    CK_RV rv = GenerateRandom(value.data(), length_);
    if (rv == CKR_OK) rv = key_->SetAttr(CKA_VALUE, value.data(), length_);
    SecureWipe(value);
    return rv;
}

CK_RV GenerateKeySoft::GenerateRandom(uint8_t* buf, uint32_t len) {
    return genrate_random_bytes(buf, len) == len ? CKR_OK : CKR_HOST_MEMORY;
}

KV_REGISTER_SOFT(CKM_RC2_KEY_GEN, GenerateKeyRC2Soft)
KV_REGISTER_SOFT(CKM_RC4_KEY_GEN, GenerateKeyRC4Soft)
KV_REGISTER_SOFT(CKM_DES_KEY_GEN, GenerateKeyDESSoft)
KV_REGISTER_SOFT(CKM_DES3_KEY_GEN, GenerateKeyDES3Soft)
KV_REGISTER_SOFT(CKM_GENERIC_SECRET_KEY_GEN, GenerateKeyGenericSoft)
KV_REGISTER_SOFT(CKM_AES_KEY_GEN, GenerateKeyAESSoft)
