// The RSA private-key operations as PKCS#11 asks for them, built on a raw
// private operation on one k-byte block: the token's (mech/hard) or the
// library's (mech/soft). The PKCS#1 blocks themselves are padding.cpp's.
#ifndef KV_MECH_RSA_BLOCKS_H
#define KV_MECH_RSA_BLOCKS_H

#include <cstdint>
#include <functional>

#include "kv_types.h"

// The private-key operation on one k-byte block into out (k bytes).
using RsaRawOperation = std::function<CK_RV(const uint8_t* block, uint8_t* out)>;

// data (1 to k - 11 bytes) in a PKCS#1 type-1 block, through raw; k bytes
// at out.
CK_RV RsaSignPkcs1(const RsaRawOperation& raw, uint32_t k, const uint8_t* data, uint32_t len, uint8_t* out);
// The DigestInfo of a digest mechanism's hash, signed as RsaSignPkcs1 does.
CK_RV RsaSignDigestInfo(const RsaRawOperation& raw, uint32_t k, CK_MECHANISM_TYPE digest, const uint8_t* hash,
                        uint8_t* out);
// data (1 to k bytes) right-aligned in a zeroed k-byte block, through raw.
CK_RV RsaSignRaw(const RsaRawOperation& raw, uint32_t k, const uint8_t* data, uint32_t len, uint8_t* out);
// The single-part signing calls of CKM_RSA_PKCS (1 to k - 11 bytes of
// data) and CKM_RSA_X_509 (1 to k bytes): the lengths checked, a length
// query or a short buffer answered with k, then the signature (k bytes at
// out) through raw.
CK_RV RsaSignPkcs1Call(const RsaRawOperation& raw, uint32_t k, const uint8_t* in, uint32_t inLen, uint8_t* out,
                       uint32_t* outLen);
CK_RV RsaSignRawCall(const RsaRawOperation& raw, uint32_t k, const uint8_t* in, uint32_t inLen, uint8_t* out,
                     uint32_t* outLen);
// A whole number of k-byte blocks: every block through raw first, then the
// messages of their type-2 blocks one after the other. Any malformed block
// is CKR_ENCRYPTED_DATA_INVALID; other lengths CKR_DATA_LEN_RANGE; out
// null asks for the length (inLen).
CK_RV RsaDecryptPkcs1(const RsaRawOperation& raw, uint32_t k, const uint8_t* in, uint32_t inLen, uint8_t* out,
                      uint32_t* outLen);
// One k-byte block through raw; the result without its leading zero bytes.
CK_RV RsaDecryptRaw(const RsaRawOperation& raw, uint32_t k, const uint8_t* in, uint32_t inLen, uint8_t* out,
                    uint32_t* outLen);

#endif
