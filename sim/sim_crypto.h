// Block-cipher helpers of the virtual token (OpenSSL EVP).
#ifndef KVSIM_SIM_CRYPTO_H
#define KVSIM_SIM_CRYPTO_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

enum class Cipher { Aes128, Tdes2 };

size_t BlockSize(Cipher c);

// CBC without padding; input must be whole blocks. Key: 16 bytes (AES-128 or
// two-key 3DES) or 24 bytes (three-key 3DES, Tdes2 cipher only).
Bytes CbcEncrypt(Cipher c, const Bytes& key, const Bytes& iv, const Bytes& in);
Bytes CbcDecrypt(Cipher c, const Bytes& key, const Bytes& iv, const Bytes& in);
// ECB: each block on its own.
Bytes EcbEncrypt(Cipher c, const Bytes& key, const Bytes& in);

// ISO/IEC 9797-1 MAC algorithm 3 (single DES CBC, then DES-1/DES with key halves).
Bytes RetailMac(const Bytes& key16, const Bytes& iv8, const Bytes& in);

Bytes RandomBytes(size_t n);

// data || 80 || 00.. up to a multiple of block.
Bytes PadIso(const Bytes& data, size_t block);

}  // namespace sim

#endif
