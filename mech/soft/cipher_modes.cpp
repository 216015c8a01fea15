#include "cipher_modes.h"

#include <cstring>

#include "padding.h"
#include "secure_wipe.h"

CBC::~CBC() { SecureWipe(iv_, sizeof iv_); }

CK_RV CBC::SetIV(const void* param, CK_ULONG len) {
    std::memset(iv_, 0, sizeof iv_);
    if (!param || len < GetBlockSize() || len > kIVAreaSize) return CKR_MECHANISM_PARAM_INVALID;
    std::memcpy(iv_, param, len);
    return CKR_OK;
}

bool CBCPAD::PaddedLength(uint32_t extra, uint32_t* padded) {
    const uint64_t b = GetBlockSize();
    const uint64_t total = (uint64_t(pending_.Size()) + extra) / b * b + b;
    if (total > UINT32_MAX) return false;
    *padded = static_cast<uint32_t>(total);
    return true;
}

CK_RV CBCPAD::Do(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (inLen && !in) return CKR_ARGUMENTS_BAD;
    return GetFunc() == MECH_FUNC_ENCRYPT ? EncryptDo(in, inLen, out, outLen) : DecryptDo(in, inLen, out, outLen);
}

CK_RV CBCPAD::EncryptDo(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!out) return CheckDoParameter(inLen, outLen);
    uint32_t padded = 0;
    if (!PaddedLength(inLen, &padded)) return CKR_DATA_LEN_RANGE;
    if (*outLen < padded) {
        *outLen = padded;
        return RV_BUFFER_TOO_SMALL;
    }
    if (!pending_.PushBack(in, inLen) || AddPKCSPadding(pending_, GetBlockSize())) {
        pending_.Reset();
        return CKR_DATA_LEN_RANGE;
    }
    CK_RV rv = AlgMultiPart::Do(pending_.Head(padded, 0), padded, out, outLen);
    pending_.Reset();
    return rv;
}

CK_RV CBCPAD::DecryptDo(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    CK_RV rv = AlgMultiPart::Do(in, inLen, out, outLen);
    if (rv || !out) return rv;
    rv = StripPKCSPadding(out, inLen, GetBlockSize(), outLen);
    if (rv) SecureWipe(out, inLen);  // no plaintext behind a refused padding
    return rv;
}

CK_RV CBCPAD::Final(uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (!out) return CheckFinalParameter(outLen);
    if (GetFunc() == MECH_FUNC_ENCRYPT) {
        uint32_t padded = 0;
        if (!PaddedLength(0, &padded)) return CKR_DATA_LEN_RANGE;
        if (*outLen < padded) {
            *outLen = padded;
            return RV_BUFFER_TOO_SMALL;
        }
        if (AddPKCSPadding(pending_, GetBlockSize())) return CKR_DATA_LEN_RANGE;
        return AlgMultiPart::Final(out, outLen);
    }
    CK_RV rv = AlgMultiPart::Final(out, outLen);
    if (rv) return rv;
    const uint32_t decrypted = *outLen;
    rv = StripPKCSPadding(out, decrypted, GetBlockSize(), outLen);
    if (rv) SecureWipe(out, decrypted);
    return rv;
}
