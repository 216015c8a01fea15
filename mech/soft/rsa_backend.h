// RSA private keys behind the software RSA private-key classes, through
// OpenSSL: the raw private operation (blinded) that signing and decryption
// are built on, and key pair generation. The PKCS#1 blocks are made and
// opened above this file (mech/padding.cpp). Nothing above this file knows
// which library runs.
#ifndef KV_MECH_SOFT_RSA_BACKEND_H
#define KV_MECH_SOFT_RSA_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kv_types.h"

// The parts of an RSA private key, big-endian, read in place: n, e and d
// always; the CRT parts (p, q, d mod p-1, d mod q-1, q^-1 mod p) are used
// only when all five are present.
struct RsaPrivateParts {
    struct Part {
        const uint8_t* data = nullptr;
        size_t size = 0;
        bool Present() const { return data && size; }
    };
    Part n, e, d, p, q, dp, dq, qinv;
};

// The parts of a generated key; every value is wiped with the object.
struct RsaGeneratedKey {
    RsaGeneratedKey() = default;
    ~RsaGeneratedKey();
    RsaGeneratedKey(const RsaGeneratedKey&) = delete;
    RsaGeneratedKey& operator=(const RsaGeneratedKey&) = delete;

    ByteVec n, e, d, p, q, dp, dq, qinv;
};

class RsaPrivateKey {
public:
    // The modulus sizes generation takes, in bits.
    static constexpr uint32_t kMinGenerateBits = 1024;
    static constexpr uint32_t kMaxGenerateBits = 4096;

    virtual ~RsaPrivateKey() = default;
    // The modulus length in bytes.
    virtual size_t Size() const = 0;
    // A Size()-byte value below the modulus raised to d modulo n, Size()
    // bytes at out; false for a value not below the modulus.
    virtual bool Raw(const uint8_t* in, uint8_t* out) = 0;

    // Null when n, e or d is missing or the library refuses the parts.
    static std::unique_ptr<RsaPrivateKey> Create(const RsaPrivateParts& parts);
    // Whether generation takes the public exponent: odd, at least 3, at
    // most 8 bytes.
    static bool ExponentUsable(const uint8_t* e, size_t eLen);
    // A fresh key of the given modulus size (kMinGenerateBits to
    // kMaxGenerateBits) and a usable public exponent; false for anything
    // else or a failure of the library.
    static bool Generate(uint32_t bits, const uint8_t* e, size_t eLen, RsaGeneratedKey& out);
};

#endif
