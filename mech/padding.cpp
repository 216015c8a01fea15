#include "padding.h"

#include <cstring>
#include <vector>

#include "random.h"

CK_RV AddPKCSPadding(Blocker& queue, uint32_t blockSize) {
    const uint32_t p = blockSize - queue.Size() % blockSize;
    std::vector<uint8_t> pad(p, static_cast<uint8_t>(p));
    queue.PushBack(pad.data(), p);
    return CKR_OK;
}

CK_RV StripPKCSPadding(const uint8_t* buf, uint32_t len, uint32_t blockSize, uint32_t* outLen) {
    if (!buf || len == 0 || len < blockSize) return CKR_ARGUMENTS_BAD;
    const uint32_t p = buf[len - 1];
    if (p == 0 || p > blockSize) return CKR_GENERAL_ERROR;
    for (uint32_t i = len - p; i + 1 < len; ++i) {
        if (buf[i] != p) return CKR_DATA_INVALID;
    }
    *outLen = len - p;
    return CKR_OK;
}

namespace {

CK_RV AddPkcs1(uint8_t* block, int k, const uint8_t* data, int dataLen, uint8_t type) {
    if (dataLen < 0 || dataLen >= k - 10) return CKR_DATA_LEN_RANGE;
    const int padLen = k - dataLen - 3;
    block[0] = 0x00;
    block[1] = type;
    uint8_t* pad = block + 2;
    if (type == 1) {
        std::memset(pad, 0xFF, static_cast<size_t>(padLen));
    } else {
        if (genrate_random_bytes(pad, static_cast<uint32_t>(padLen)) == 0) return CKR_GENERAL_ERROR;
        for (int i = 0; i < padLen; ++i) {
            while (pad[i] == 0) {
                if (genrate_random_bytes(&pad[i], 1) == 0) return CKR_GENERAL_ERROR;
            }
        }
    }
    block[2 + padLen] = 0x00;
    if (dataLen) std::memcpy(block + 3 + padLen, data, static_cast<size_t>(dataLen));
    return CKR_OK;
}

CK_RV CopyMessage(uint8_t* out, int& outLen, const uint8_t* block, int k, int separator) {
    const int m = k - separator - 1;
    if (m > outLen) {
        outLen = m;
        return RV_BUFFER_TOO_SMALL;
    }
    if (m) std::memcpy(out, block + separator + 1, static_cast<size_t>(m));
    outLen = m;
    return CKR_OK;
}

}  // namespace

CK_RV RSA_padding_add_PKCS1_before_encrypt(uint8_t* block, int k, const uint8_t* data, int dataLen) {
    return AddPkcs1(block, k, data, dataLen, 2);
}

CK_RV RSA_padding_add_PKCS1_before_sign(uint8_t* block, int k, const uint8_t* data, int dataLen) {
    return AddPkcs1(block, k, data, dataLen, 1);
}

CK_RV RSA_padding_strip_PKCS1_after_decrypt(uint8_t* out, int& outLen, const uint8_t* block, int k) {
    if (k < 2 || block[0] != 0 || block[1] != 2) return CKR_ARGUMENTS_BAD;
    if (k <= 2 || block[2] == 0) return CKR_DATA_LEN_RANGE;
    int separator = 2;
    while (separator < k && block[separator] != 0) ++separator;
    if (separator == k || separator - 2 < 8) return CKR_DATA_LEN_RANGE;
    return CopyMessage(out, outLen, block, k, separator);
}

CK_RV RSA_padding_strip_PKCS1_after_verify(uint8_t* out, int& outLen, const uint8_t* block, int k) {
    if (k < 2 || block[0] != 0 || block[1] != 1) return CKR_ARGUMENTS_BAD;
    int separator = 2;
    for (; separator < k && block[separator] != 0; ++separator) {
        if (block[separator] != 0xFF) return CKR_GENERAL_ERROR;
    }
    if (separator == k) return CKR_DATA_LEN_RANGE;
    if (separator - 2 < 8) return CKR_ARGUMENTS_BAD;
    return CopyMessage(out, outLen, block, k, separator);
}
