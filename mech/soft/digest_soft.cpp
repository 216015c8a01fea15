#include "digest_soft.h"

#include "soft_registration.h"

DigestSoft::DigestSoft(CK_MECHANISM_TYPE mechanism, uint32_t length)
    : hash_(HashBackend::ForDigest(mechanism)), length_(length) {}

CK_RV DigestSoft::Init(const CK_MECHANISM*, ObjPtr) {
    return hash_ && hash_->Start() ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV DigestSoft::Update(const uint8_t* in, uint32_t inLen, uint8_t*, uint32_t*) {
    if (inLen && !in) return CKR_ARGUMENTS_BAD;
    return !inLen || hash_->Update(in, inLen) ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV DigestSoft::Final(uint8_t* out, uint32_t* outLen) {
    if (!out) {
        if (outLen) *outLen = length_;
        return outLen ? CKR_OK : CKR_ARGUMENTS_BAD;
    }
    if (outLen && *outLen < length_) {
        *outLen = length_;
        return RV_BUFFER_TOO_SMALL;
    }
    if (!hash_->Finish(out)) return CKR_GENERAL_ERROR;
    if (outLen) *outLen = length_;
    return CKR_OK;
}

CK_RV DigestSoft::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!out) {
        *outLen = length_;
        return CKR_OK;
    }
    if (*outLen < length_) {
        *outLen = length_;
        return RV_BUFFER_TOO_SMALL;
    }
    if (inLen && !in) return CKR_ARGUMENTS_BAD;
    if (!hash_->Start() || (inLen && !hash_->Update(in, inLen)) || !hash_->Finish(out)) return CKR_GENERAL_ERROR;
    *outLen = length_;
    return CKR_OK;
}

CK_RV StartDigest(CK_MECHANISM_TYPE digest, std::unique_ptr<AlgMultiPart>& out) {
    CK_MECHANISM m{digest, nullptr, 0};
    Alg* created = nullptr;
    CK_RV rv = AlgFactory().CreateDigestAlg(&m, &created);
    out.reset(dynamic_cast<AlgMultiPart*>(created));
    if (!out) {
        delete created;
        return rv ? rv : CKR_GENERAL_ERROR;
    }
    return rv;
}

KV_REGISTER_SOFT(CKM_MD2, MD2Soft)
KV_REGISTER_SOFT(CKM_MD5, MD5Soft)
KV_REGISTER_SOFT(CKM_SHA_1, SHA1Soft)
KV_REGISTER_SOFT(CKM_SHA256, SHA256Soft)
KV_REGISTER_SOFT(CKM_SHA224, SHA224Soft)
KV_REGISTER_SOFT(CKM_SHA384, SHA384Soft)
KV_REGISTER_SOFT(CKM_SHA512, SHA512Soft)
