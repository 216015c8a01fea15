#include "ecc_prv_hard.h"

#include "ecdsa_soft.h"
#include "hard_key.h"
#include "itoken.h"

CK_RV ECCPrvHard::GetKeyParams(ObjPtr key) {
    const ByteVec* params = key->Value(CKA_EC_PARAMS);
    const NamedCurve* curve = params ? FindCurve(*params) : nullptr;
    if (!curve) return CKR_ARGUMENTS_BAD;
    coordLen_ = curve->coordLen;
    return CKR_OK;
}

CK_RV ECCPrvHard::Sign(const uint8_t* message, uint32_t len, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!Ready()) return CKR_GENERAL_ERROR;
    const uint32_t signatureLen = 2 * coordLen_;
    CK_RV rv = OfferOutput(signatureLen, out, outLen);
    if (rv || !out) return rv;
    if (len && !message) return CKR_ARGUMENTS_BAD;
    uint32_t ref = 0;
    rv = KeyRef(ref);
    if (rv) return rv;
    uint32_t got = signatureLen;
    return ExactAnswer(token_->ECCSign(ref, message, len, out, &got, static_cast<uint32_t>(mechanism_)), got,
                       signatureLen);
}

CK_RV ECCECDSAPrvHardSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (inLen > 32) return CKR_DATA_LEN_RANGE;
    return Sign(in, inLen, out, outLen);
}

CK_RV ECCECDSASHA1PrvHardSign::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    message_.clear();
    return ECCPrvHard::Init(mechanism, key);
}

CK_RV ECCECDSASHA1PrvHardSign::Update(const uint8_t* in, uint32_t inLen, uint8_t*, uint32_t* outLen) {
    if (outLen) *outLen = 0;
    if (inLen == 0) return CKR_OK;
    if (!in) return CKR_ARGUMENTS_BAD;
    message_.insert(message_.end(), in, in + inLen);
    return CKR_OK;
}

CK_RV ECCECDSASHA1PrvHardSign::Final(uint8_t* out, uint32_t* outLen) {
    return Sign(message_.data(), static_cast<uint32_t>(message_.size()), out, outLen);
}

CK_RV ECCECDSASHA1PrvHardSign::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    return Sign(in, inLen, out, outLen);
}
