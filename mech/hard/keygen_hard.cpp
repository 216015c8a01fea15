#include "keygen_hard.h"

#include "hard_key.h"
#include "itoken.h"
#include "random_backend.h"
#include "secure_wipe.h"

// DES keys take 8 bytes only; 3DES two or three keys; AES any of its sizes.
// DES and 3DES keys take the key numbers the token keeps for DES.
const SecretKeyRule kDesKeyRule = {CKM_DES_KEY_GEN, CKK_DES, CKK_DES, 8, false, {8, 0, 0}, CKR_TEMPLATE_INCONSISTENT};
const SecretKeyRule kDes3KeyRule = {CKM_DES3_KEY_GEN, CKK_DES3, CKK_DES, 24, true, {16, 24, 0}, CKR_ARGUMENTS_BAD};
const SecretKeyRule kAesKeyRule = {CKM_AES_KEY_GEN, CKK_AES, CKK_AES, 16, true, {16, 24, 32},
                                   CKR_TEMPLATE_INCONSISTENT};

CK_RV GenerateKeyHard::Init(const CK_MECHANISM* mechanism, ObjPtr newKey) {
    if (!mechanism || !newKey) return CKR_ARGUMENTS_BAD;
    CK_RV rv = ExpectULong(newKey, CKA_CLASS, CKO_SECRET_KEY, CKR_ARGUMENTS_BAD);
    if (rv) return rv;
    if (mechanism->mechanism != rule_.mechanism) return CKR_GENERAL_ERROR;
    rv = ExpectULong(newKey, CKA_KEY_TYPE, static_cast<uint32_t>(rule_.keyType), CKR_TEMPLATE_INCONSISTENT);
    if (rv) return rv;
    uint32_t length = 0;
    if (ReadULong(newKey, CKA_VALUE_LEN, length) != CKR_OK || (length == 0 && rule_.zeroIsDefault)) {
        length = rule_.defaultLen;
    } else if (length == 0 ||
               (length != rule_.lengths[0] && length != rule_.lengths[1] && length != rule_.lengths[2])) {
        return rule_.badLength;
    }
    key_ = newKey;
    length_ = length;
    return CKR_OK;
}

CK_RV GenerateKeyHard::GenerateRandom(uint8_t* buf, uint32_t len) {
    return genrate_random_bytes(buf, len) == len ? CKR_OK : CKR_HOST_MEMORY;
}

CK_RV GenerateKeyHard::Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    if (!key_) return CKR_GENERAL_ERROR;
    bool onToken = false;
    if (ReadFlag(key_, CKA_TOKEN, onToken) != CKR_OK || !onToken) return CKR_TEMPLATE_INCONSISTENT;
    if (!token_) return CKR_GENERAL_ERROR;
    uint16_t fid = 0;
    CK_RV rv = token_->AllocKeyFID(CKO_SECRET_KEY, rule_.keyNumberKind, &fid);
    if (rv) return rv;
    ByteVec value(length_);
    rv = GenerateRandom(value.data(), length_);
    if (rv == CKR_OK && token_->UpdateKey(fid & 0xFFu, value.data(), length_) != 0) rv = CKR_DEVICE_ERROR;
    if (rv == CKR_OK) rv = WriteBytes(key_, CKA_VALUE, value);
    if (rv == CKR_OK) rv = WriteULong(key_, CKA_VENDOR_KEY_REF, fid | kSecretKeyRef);
    SecureWipe(value);
    return rv;
}
