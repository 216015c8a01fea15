#include "prv_key_hard.h"

#include "hard_key.h"

CK_RV PrvKeyHard::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    if (!mechanism || !key) return CKR_ARGUMENTS_BAD;
    key_ = ObjPtr();
    CK_RV rv = CheckTokenKey(key, CKO_PRIVATE_KEY, static_cast<uint32_t>(keyType_));
    if (rv == CKR_OK) rv = GetKeyParams(key);
    if (rv) return rv;
    if (mechanism->mechanism != mechanism_) return CKR_MECHANISM_INVALID;
    key_ = key;
    return CKR_OK;
}

CK_RV PrvKeyHard::KeyRef(uint32_t& ref) const { return key_ ? ReadKeyRef(key_, ref) : CKR_GENERAL_ERROR; }
