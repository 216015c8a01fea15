// Block-cipher helpers of the virtual token (OpenSSL EVP).
#ifndef KVSIM_SIM_CRYPTO_H
#define KVSIM_SIM_CRYPTO_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// Overwrites memory with zeros in a way the compiler keeps (OPENSSL_cleanse).
void Wipe(void* p, size_t n);

// An allocator that wipes what it hands back, so key material held in a
// SecretBytes leaves nothing behind when it is replaced, grows or dies.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, size_t n) {
        Wipe(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const { return true; }
    template <class U>
    bool operator!=(const WipingAllocator<U>&) const { return false; }
};
using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

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

// The card's secret-key ciphers, without padding: DES with an 8-byte key,
// two- or three-key triple DES with 16 or 24 bytes, AES-128/192/256. CBC
// starts from a zero IV. nullopt for a key size the family lacks or input
// that is not whole blocks.
enum class SecretFamily { Des, Aes };
size_t BlockSize(SecretFamily f);
std::optional<Bytes> SecretKeyCrypt(SecretFamily f, bool cbc, const SecretBytes& key, const Bytes& in, bool encrypt);

// data || 80 || 00.. up to a multiple of block.
Bytes PadIso(const Bytes& data, size_t block);

}  // namespace sim

#endif
