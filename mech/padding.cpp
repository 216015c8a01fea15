#include "padding.h"

#include <cstring>
#include <vector>

#include "random_backend.h"

CK_RV AddPKCSPadding(Blocker& queue, uint32_t blockSize) {
    const uint32_t p = blockSize - queue.Size() % blockSize;
    std::vector<uint8_t> pad(p, static_cast<uint8_t>(p));
    return queue.PushBack(pad.data(), p) ? CKR_OK : CKR_DATA_LEN_RANGE;
}

namespace {

// All-ones masks for padding checks that never branch on the bytes they
// check: 0xFFFFFFFF for true, 0 for false. Values below 2^31.
uint32_t ZeroMask(uint32_t v) { return 0u - (((v | (0u - v)) >> 31) ^ 1u); }
uint32_t LessMask(uint32_t a, uint32_t b) { return 0u - ((a - b) >> 31); }

}  // namespace

CK_RV StripPKCSPadding(const uint8_t* buf, uint32_t len, uint32_t blockSize, uint32_t* outLen) {
    if (!buf || len == 0 || blockSize == 0 || blockSize > 255 || len < blockSize) return CKR_ARGUMENTS_BAD;
    const uint32_t p = buf[len - 1];
    uint32_t bad = ZeroMask(p) | LessMask(blockSize, p);
    for (uint32_t i = 0; i < blockSize; ++i) {
        const uint32_t inPadding = LessMask(i, p);
        bad |= inPadding & ~ZeroMask(buf[len - 1 - i] ^ p);
    }
    if (bad) return CKR_ENCRYPTED_DATA_INVALID;
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
    if (k < 11) return CKR_ENCRYPTED_DATA_INVALID;  // k is the key's size, not a secret
    uint32_t good = ZeroMask(block[0]) & ZeroMask(block[1] ^ 2u);
    uint32_t searching = 0xFFFFFFFFu, separator = 0;
    for (int i = 2; i < k; ++i) {
        const uint32_t found = searching & ZeroMask(block[i]);
        separator |= found & static_cast<uint32_t>(i);
        searching &= ~found;
    }
    good &= ~searching;                  // a separator was found
    good &= ~LessMask(separator, 10u);   // after at least eight padding bytes
    if (!good) return CKR_ENCRYPTED_DATA_INVALID;
    return CopyMessage(out, outLen, block, k, static_cast<int>(separator));
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

ByteVec DigestInfo(CK_MECHANISM_TYPE digest, const uint8_t* hash) {
    // AlgorithmIdentifier and OCTET STRING header of each hash (PKCS#1 v2.2,
    // section 9.2, note 1); the last byte is the hash length.
    struct Prefix {
        CK_MECHANISM_TYPE digest;
        uint8_t len;
        uint8_t bytes[19];
    };
    static const Prefix kPrefixes[] = {
        {CKM_MD2, 18,
         {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10}},
        {CKM_MD5, 18,
         {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10}},
        {CKM_SHA_1, 15,
         {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14}},
        {CKM_SHA224, 19,
         {0x30, 0x2D, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1C}},
        {CKM_SHA256, 19,
         {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20}},
        {CKM_SHA384, 19,
         {0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30}},
        {CKM_SHA512, 19,
         {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40}},
    };
    for (const Prefix& p : kPrefixes) {
        if (p.digest != digest) continue;
        ByteVec encoded(p.bytes, p.bytes + p.len);
        encoded.insert(encoded.end(), hash, hash + p.bytes[p.len - 1]);
        return encoded;
    }
    return {};
}
