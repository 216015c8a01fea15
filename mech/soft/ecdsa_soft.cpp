#include "ecdsa_soft.h"

#include <cstring>

#include "key_attrs.h"
#include "soft_registration.h"

namespace {

const NamedCurve kCurves[] = {
    {{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}, EcCurve::P256, 32},  // prime256v1
    {{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x01}, EcCurve::P192, 24},  // prime192v1
};

// x || y inside the forms a point comes in, or null.
const uint8_t* RawCoordinates(const ByteVec& point, size_t coordLen) {
    const size_t raw = 2 * coordLen;
    const uint8_t* p = point.data();
    if (point.size() == raw) return p;
    if (point.size() == raw + 1 && p[0] == 0x04) return p + 1;
    if (point.size() == raw + 3 && p[0] == 0x04 && p[1] == raw + 1 && p[2] == 0x04) return p + 3;
    return nullptr;
}

}  // namespace

const NamedCurve* FindCurve(const ByteVec& params) {
    for (const NamedCurve& c : kCurves) {
        if (params.size() >= sizeof c.oid && std::memcmp(params.data(), c.oid, sizeof c.oid) == 0) return &c;
    }
    return nullptr;
}

CK_RV AlgECCPubSoft::GetKeyParams(ObjPtr key) {
    const ByteVec* params = nullptr;
    const ByteVec* point = nullptr;
    CK_RV rv = AttrBytes(key, CKA_EC_PARAMS, params, CKA_EC_POINT, point);
    if (rv) return rv;
    const NamedCurve* curve = FindCurve(*params);
    if (!curve) return CKR_ARGUMENTS_BAD;
    const uint8_t* xy = RawCoordinates(*point, curve->coordLen);
    if (!xy) return CKR_GENERAL_ERROR;
    ec_ = EcPublicKey::Create(curve->curve, xy, xy + curve->coordLen, curve->coordLen);
    if (!ec_) return CKR_GENERAL_ERROR;
    coordLen_ = curve->coordLen;
    return CKR_OK;
}

CK_RV AlgECCPubSoft::VerifyDigest(const uint8_t* digest, uint32_t len, const uint8_t* signature) {
    if (len && !digest) return CKR_ARGUMENTS_BAD;
    switch (ec_->Verify(digest, len, signature, signature + coordLen_)) {
        case EcPublicKey::kValid: return CKR_OK;
        case EcPublicKey::kInvalid: return CKR_SIGNATURE_INVALID;
        default: return CKR_GENERAL_ERROR;
    }
}

CK_RV ECCECDSAPubSoftVerify::Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) {
    CK_RV rv = CheckSignature(signature, signatureLen);
    return rv ? rv : VerifyDigest(in, inLen, signature);
}

KV_REGISTER_SOFT(CKM_ECDSA, ECCECDSAPubSoftVerify)
KV_REGISTER_SOFT(CKM_ECDSA_SHA1, ECCECDSASHA1PubSoftVerify)
