// Block ciphers of the secure channel: AES-128 and DES / triple DES, CBC
// without padding over whole blocks, through the software cipher backend.
#ifndef KV_TOKEN_SM_CRYPTO_H
#define KV_TOKEN_SM_CRYPTO_H

#include <cstddef>
#include <cstdint>

enum class SessionCipher : uint8_t { Aes128 = 1, Tdes2 = 2 };

inline size_t BlockSizeOf(SessionCipher c) { return c == SessionCipher::Aes128 ? 16 : 8; }

// key: 16 bytes (AES-128 or two-key 3DES). iv: a block, or null for zeros.
// len must be a multiple of the block size. False on failure.
bool SmCbcEncrypt(SessionCipher c, const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out);
bool SmCbcDecrypt(SessionCipher c, const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t len, uint8_t* out);
// Each block on its own.
bool SmEcbEncrypt(SessionCipher c, const uint8_t* key, const uint8_t* in, size_t len, uint8_t* out);
// ISO/IEC 9797-1 MAC algorithm 3 with a 16-byte key and an 8-byte IV.
bool SmRetailMac(const uint8_t* key16, const uint8_t* iv8, const uint8_t* in, size_t len, uint8_t* mac8);
// Three-key (24-byte key) or two-key (16-byte key) triple DES CBC, zero IV.
bool TdesCbcEncrypt(const uint8_t* key, size_t keyLen, const uint8_t* in, size_t len, uint8_t* out);

#endif
