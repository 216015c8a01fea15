#include "pubkey_soft.h"

CK_RV AlgPubKeySoft::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    if (!mechanism || !key) return CKR_ARGUMENTS_BAD;
    if (mechanismFirst_ && mechanism->mechanism != mechanism_) return CKR_ARGUMENTS_BAD;
    uint32_t cls = 0, type = 0, len = sizeof cls;
    CK_RV rv = key->GetAttr(CKA_CLASS, &cls, &len);
    len = sizeof type;
    if (rv == CKR_OK) rv = key->GetAttr(CKA_KEY_TYPE, &type, &len);
    if (rv) return rv;
    if (cls != CKO_PUBLIC_KEY || type != keyType_) return wrongKey_;
    rv = GetKeyParams(key);
    if (rv) return rv;
    return mechanism->mechanism == mechanism_ ? CKR_OK : CKR_MECHANISM_INVALID;
}

CK_RV AlgPubKeySoft::CheckSignature(const uint8_t* signature, const uint32_t* signatureLen) const {
    if (!signature || !signatureLen) return CKR_ARGUMENTS_BAD;
    const uint32_t expected = SignatureLength();
    if (expected == 0) return CKR_GENERAL_ERROR;  // no key loaded
    return *signatureLen == expected ? CKR_OK : CKR_SIGNATURE_LEN_RANGE;
}
