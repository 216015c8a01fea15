#include "import_hard.h"

#include "ecdsa_soft.h"
#include "hard_key.h"
#include "itoken.h"
#include "secure_wipe.h"

namespace {

// A non-empty value of at most max bytes, or null.
const ByteVec* KeyPart(const ObjPtr& key, uint32_t type, size_t max) {
    const ByteVec* v = key->Value(type);
    return v && !v->empty() && v->size() <= max ? v : nullptr;
}

}  // namespace

CK_RV ImportKeyHard::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    if (!mechanism || !key) return CKR_ARGUMENTS_BAD;
    if (mechanism->mechanism != CKM_VENDOR_IMPORT_KEY) return CKR_MECHANISM_INVALID;
    bool onToken = false;
    uint32_t cls = 0;
    if (ReadFlag(key, CKA_TOKEN, onToken) != CKR_OK || !onToken || ReadULong(key, CKA_CLASS, cls) != CKR_OK ||
        (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY))
        return RV_NOT_SUPPORTED;
    key_ = key;
    return CKR_OK;
}

CK_RV ImportKeyHard::Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    if (!key_) return CKR_GENERAL_ERROR;
    uint32_t cls = 0, keyType = 0;
    CK_RV rv = ReadULong(key_, CKA_CLASS, cls);
    if (rv == CKR_OK) rv = ReadULong(key_, CKA_KEY_TYPE, keyType);
    if (rv) return rv;
    KeyFilesGuard files(token_);
    uint16_t fid = 0;
    rv = token_->AllocKeyFID(cls, keyType, &fid);
    if (rv) return rv;
    uint32_t ref = fid;
    if (cls == CKO_SECRET_KEY) {
        if (keyType != CKK_DES && keyType != CKK_DES3 && keyType != CKK_AES) return CKR_OK;
        const ByteVec* value = key_->Value(CKA_VALUE);
        if (value && !value->empty() &&
            token_->UpdateKey(fid & 0xFFu, value->data(), static_cast<uint32_t>(value->size())) != 0)
            return CKR_DEVICE_ERROR;
        ref = fid | kSecretKeyRef;
    } else if (keyType == CKK_RSA) {
        rv = cls == CKO_PRIVATE_KEY ? WriteRsaPrivate(fid, files) : WriteRsaPublic(fid, files);
    } else if (keyType == CKK_EC) {
        rv = WriteEc(fid, cls == CKO_PRIVATE_KEY, files);
    }
    if (rv == CKR_OK) rv = WriteULong(key_, CKA_VENDOR_KEY_REF, ref);
    if (rv == CKR_OK) files.Keep();
    return rv;
}

CK_RV ImportKeyHard::WriteRsaPrivate(uint16_t fid, KeyFilesGuard& files) {
    const ByteVec* n = KeyPart(key_, CKA_MODULUS, kMaxModulusBytes);
    const ByteVec* d = n ? KeyPart(key_, CKA_PRIVATE_EXPONENT, n->size()) : nullptr;
    if (!d) return CKR_ARGUMENTS_BAD;
    const ByteVec modulus = *n;
    // The token takes a private exponent of the modulus's length.
    ByteVec exponent(modulus.size() - d->size(), 0);
    exponent.insert(exponent.end(), d->begin(), d->end());
    CK_RV rv = d->size() < modulus.size() ? WriteBytes(key_, CKA_PRIVATE_EXPONENT, exponent) : CKR_OK;
    if (rv == CKR_OK) {
        files.Track(fid);
        const uint32_t bits = 8 * static_cast<uint32_t>(modulus.size());
        if (token_->CreateRSAReference(0, fid, bits) != 0 ||
            token_->RSAWritePrvKey(fid, modulus, exponent, {}, false) != 0)
            rv = CKR_DEVICE_ERROR;
    }
    SecureWipe(exponent);
    return rv;
}

CK_RV ImportKeyHard::WriteRsaPublic(uint16_t fid, KeyFilesGuard& files) {
    const ByteVec* n = KeyPart(key_, CKA_MODULUS, kMaxModulusBytes);
    if (!n) return CKR_ARGUMENTS_BAD;
    const ByteVec modulus = *n;
    const uint32_t bits = 8 * static_cast<uint32_t>(modulus.size());
    CK_RV rv = WriteULong(key_, CKA_MODULUS_BITS, bits);
    if (rv) return rv;
    const ByteVec* e = key_->Value(CKA_PUBLIC_EXPONENT);
    files.Track(fid);
    if (token_->CreateRSAReference(fid, 0, bits) != 0 || token_->RSAWritePubKey(fid, modulus, e ? *e : ByteVec()) != 0)
        return CKR_DEVICE_ERROR;
    return CKR_OK;
}

CK_RV ImportKeyHard::WriteEc(uint16_t fid, bool isPrivate, KeyFilesGuard& files) {
    const ByteVec* params = key_->Value(CKA_EC_PARAMS);
    const NamedCurve* curve = params ? FindCurve(*params) : nullptr;
    if (!curve) return CKR_ARGUMENTS_BAD;
    // A private value is one scalar of the curve's length at most.
    const ByteVec* value = isPrivate ? KeyPart(key_, CKA_VALUE, curve->coordLen) : key_->Value(CKA_EC_POINT);
    if (!value || value->empty()) return CKR_ARGUMENTS_BAD;
    const uint32_t bits = 8 * curve->coordLen;
    const uint32_t len = static_cast<uint32_t>(value->size());
    files.Track(fid);
    const RV rv = isPrivate ? token_->CreateECCReference(0, fid, bits) : token_->CreateECCReference(fid, 0, bits);
    if (rv != 0) return CKR_DEVICE_ERROR;
    const RV written =
        isPrivate ? token_->ECCWritePrvKey(fid, value->data(), len) : token_->ECCWritePubKey(fid, value->data(), len);
    return written ? CKR_DEVICE_ERROR : CKR_OK;
}
