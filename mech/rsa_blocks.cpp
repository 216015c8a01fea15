#include "rsa_blocks.h"

#include <cstring>

#include "alg.h"
#include "padding.h"
#include "secure_wipe.h"

CK_RV RsaSignPkcs1(const RsaRawOperation& raw, uint32_t k, const uint8_t* data, uint32_t len, uint8_t* out) {
    ByteVec block(k);
    CK_RV rv = RSA_padding_add_PKCS1_before_sign(block.data(), static_cast<int>(k), data, static_cast<int>(len));
    rv = rv ? CKR_GENERAL_ERROR : raw(block.data(), out);
    SecureWipe(block);
    return rv;
}

CK_RV RsaSignDigestInfo(const RsaRawOperation& raw, uint32_t k, CK_MECHANISM_TYPE digest, const uint8_t* hash,
                        uint8_t* out) {
    ByteVec encoded = DigestInfo(digest, hash);
    if (encoded.empty()) return CKR_GENERAL_ERROR;
    const CK_RV rv = RsaSignPkcs1(raw, k, encoded.data(), static_cast<uint32_t>(encoded.size()), out);
    SecureWipe(encoded);
    return rv;
}

CK_RV RsaSignRaw(const RsaRawOperation& raw, uint32_t k, const uint8_t* data, uint32_t len, uint8_t* out) {
    ByteVec block(k, 0);
    std::memcpy(block.data() + (k - len), data, len);
    const CK_RV rv = raw(block.data(), out);
    SecureWipe(block);
    return rv;
}

namespace {

using RsaSignStep = CK_RV (*)(const RsaRawOperation&, uint32_t, const uint8_t*, uint32_t, uint8_t*);

CK_RV SignCall(RsaSignStep sign, uint32_t maxData, const RsaRawOperation& raw, uint32_t k, const uint8_t* in,
               uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (inLen == 0 || inLen > maxData) return CKR_DATA_LEN_RANGE;
    const CK_RV rv = OfferOutput(k, out, outLen);
    if (rv || !out) return rv;
    return in ? sign(raw, k, in, inLen, out) : CKR_ARGUMENTS_BAD;
}

}  // namespace

CK_RV RsaSignPkcs1Call(const RsaRawOperation& raw, uint32_t k, const uint8_t* in, uint32_t inLen, uint8_t* out,
                       uint32_t* outLen) {
    return k < 11 ? CKR_GENERAL_ERROR : SignCall(RsaSignPkcs1, k - 11, raw, k, in, inLen, out, outLen);
}

CK_RV RsaSignRawCall(const RsaRawOperation& raw, uint32_t k, const uint8_t* in, uint32_t inLen, uint8_t* out,
                     uint32_t* outLen) {
    return SignCall(RsaSignRaw, k, raw, k, in, inLen, out, outLen);
}

CK_RV RsaDecryptPkcs1(const RsaRawOperation& raw, uint32_t k, const uint8_t* in, uint32_t inLen, uint8_t* out,
                      uint32_t* outLen) {
    if (!outLen) return CKR_ARGUMENTS_BAD;
    if (k == 0) return CKR_GENERAL_ERROR;
    if (inLen == 0 || inLen % k) return CKR_DATA_LEN_RANGE;
    if (!out) {
        *outLen = inLen;
        return CKR_OK;
    }
    if (!in) return CKR_ARGUMENTS_BAD;
    ByteVec blocks(inLen);
    ByteVec plain(inLen);
    uint32_t total = 0;
    CK_RV rv = CKR_OK;
    for (uint32_t at = 0; rv == CKR_OK && at < inLen; at += k) rv = raw(in + at, blocks.data() + at);
    for (uint32_t at = 0; rv == CKR_OK && at < inLen; at += k) {
        int len = static_cast<int>(k);
        rv = RSA_padding_strip_PKCS1_after_decrypt(plain.data() + total, len, blocks.data() + at, static_cast<int>(k));
        if (rv == CKR_OK) total += static_cast<uint32_t>(len);
    }
    if (rv == CKR_OK) {
        const uint32_t capacity = *outLen;
        *outLen = total;
        if (capacity < total) {
            rv = RV_BUFFER_TOO_SMALL;
        } else if (total) {
            std::memcpy(out, plain.data(), total);
        }
    }
    SecureWipe(blocks);
    SecureWipe(plain);
    return rv;
}

CK_RV RsaDecryptRaw(const RsaRawOperation& raw, uint32_t k, const uint8_t* in, uint32_t inLen, uint8_t* out,
                    uint32_t* outLen) {
    if (!outLen || !in) return CKR_ARGUMENTS_BAD;
    if (k == 0) return CKR_GENERAL_ERROR;
    if (inLen != k) return CKR_DATA_LEN_RANGE;
    CK_RV rv = OfferOutput(k, out, outLen);
    if (rv || !out) return rv;
    ByteVec result(k);
    rv = raw(in, result.data());
    if (rv == CKR_OK) {
        uint32_t zeros = 0;
        while (zeros < k && result[zeros] == 0) ++zeros;
        if (k > zeros) std::memcpy(out, result.data() + zeros, k - zeros);
        *outLen = k - zeros;
    }
    SecureWipe(result);
    return rv;
}
