// Block-cipher and PKCS#1 v1.5 padding shared by the ciphers and RSA classes.
#ifndef KV_MECH_PADDING_H
#define KV_MECH_PADDING_H

#include <cstdint>

#include "blocker.h"
#include "kv_types.h"

// Appends p bytes of value p (1..blockSize) so the queue is whole blocks.
CK_RV AddPKCSPadding(Blocker& queue, uint32_t blockSize);
// Checks PKCS#5 padding at the end of buf and stores the unpadded length.
// The padding checks of decryption give one code for every malformed block
// (CKR_ENCRYPTED_DATA_INVALID), decided after all of it was read with no
// branch on its bytes: the answer tells nothing of where it went wrong.
CK_RV StripPKCSPadding(const uint8_t* buf, uint32_t len, uint32_t blockSize, uint32_t* outLen);

// k-byte blocks: 00 02 nonzero-random 00 data, and 00 01 FF.. 00 data.
CK_RV RSA_padding_add_PKCS1_before_encrypt(uint8_t* block, int k, const uint8_t* data, int dataLen);
CK_RV RSA_padding_add_PKCS1_before_sign(uint8_t* block, int k, const uint8_t* data, int dataLen);
// outLen in: capacity of out; out: message length.
CK_RV RSA_padding_strip_PKCS1_after_decrypt(uint8_t* out, int& outLen, const uint8_t* block, int k);
CK_RV RSA_padding_strip_PKCS1_after_verify(uint8_t* out, int& outLen, const uint8_t* block, int k);

// The DER DigestInfo of PKCS#1 signatures: the prefix for the digest
// mechanism (CKM_MD2 .. CKM_SHA512) followed by the hash of that digest's
// length. Empty for any other mechanism.
ByteVec DigestInfo(CK_MECHANISM_TYPE digest, const uint8_t* hash);

#endif
