#include "alg.h"

CK_RV AlgMultiPart::Init(const CK_MECHANISM* mechanism, ObjPtr key) {
    if (!mechanism || !key) return CKR_ARGUMENTS_BAD;
    uint32_t cls = 0, len = sizeof cls;
    CK_RV rv = key->GetAttr(CKA_CLASS, &cls, &len);
    if (rv) return rv;
    if (cls != CKO_SECRET_KEY) return CKR_GENERAL_ERROR;
    pending_.Reset();
    return CKR_OK;
}

CK_RV AlgMultiPart::Update(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!in || inLen == 0) {
        if (outLen) *outLen = 0;
        return CKR_OK;
    }
    if (!outLen) return CKR_ARGUMENTS_BAD;
    uint32_t queued = pending_.Size();
    if (uint64_t(queued) + inLen > UINT32_MAX) return RV_INPUT_TOO_LONG;
    Blocker next;
    if (queued && !next.PushBack(pending_.Head(queued, 0), queued)) return RV_INPUT_TOO_LONG;
    if (!next.PushBack(in, inLen)) return RV_INPUT_TOO_LONG;
    const uint32_t b = GetBlockSize();
    uint32_t n = 0;
    uint8_t* head = next.Head(b, &n, holdLastBlock_ ? b : 0);
    const uint32_t capacity = *outLen;
    *outLen = n;
    if (!out) return CKR_OK;
    if (!head) {
        pending_.Swap(next);
        return CKR_OK;
    }
    if (capacity < n) return RV_BUFFER_TOO_SMALL;
    CK_RV rv = DoCryptBlocks(head, out, n);
    if (rv) return rv;
    next.PopFront(n);
    pending_.Swap(next);
    return CKR_OK;
}

CK_RV AlgMultiPart::Final(uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    const uint32_t b = GetBlockSize();
    uint32_t n = 0;
    uint8_t* head = pending_.Head(b, &n, 0);
    const uint32_t capacity = *outLen;
    *outLen = n;
    if (!out) return CKR_OK;
    // A partial block left over is an error, not silently dropped.
    if (pending_.Size() != n) return CKR_DATA_LEN_RANGE;
    if (!head) return CKR_OK;
    if (capacity < n) return RV_BUFFER_TOO_SMALL;
    CK_RV rv = DoCryptBlocks(head, out, n);
    if (rv == CKR_OK) pending_.Reset();
    return rv;
}

CK_RV AlgMultiPart::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    const uint32_t b = GetBlockSize();
    if (b && inLen % b) return CKR_DATA_LEN_RANGE;
    if (!outLen) return CKR_ARGUMENTS_BAD;
    const uint32_t capacity = *outLen;
    *outLen = inLen;
    if (!out) return CKR_OK;
    if (capacity < inLen) return RV_BUFFER_TOO_SMALL;
    if (inLen > 0 && in) return DoCryptBlocks(in, out, inLen);
    return CKR_OK;
}

CK_RV AlgMultiPart::DoCryptBlocks(const uint8_t* in, uint8_t* out, uint32_t len) {
    const uint32_t b = GetBlockSize();
    for (uint32_t i = 0; b && i + b <= len; i += b) {
        CK_RV rv = DoCryptSingleBlock(in + i, out + i);
        if (rv) return rv;
    }
    return CKR_OK;
}

CK_RV AlgMultiPart::CheckDoParameter(uint32_t inLen, uint32_t* outLen) {
    const uint32_t b = GetBlockSize();
    *outLen = b + (b ? inLen / b * b : 0);
    return CKR_OK;
}

CK_RV AlgMultiPart::CheckFinalParameter(uint32_t* outLen) {
    const uint32_t b = GetBlockSize();
    const uint32_t queued = pending_.Size();
    if (GetFunc() == MECH_FUNC_ENCRYPT) *outLen = b + (b ? queued / b * b : 0);
    if (GetFunc() == MECH_FUNC_DECRYPT) *outLen = queued;
    return CKR_OK;
}

CK_RV OfferOutput(uint32_t need, const uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    const uint32_t capacity = *outLen;
    *outLen = need;
    if (out && capacity < need) return RV_BUFFER_TOO_SMALL;
    return CKR_OK;
}
