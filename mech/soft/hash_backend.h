// The hash functions behind the digest and HMAC classes and the token's
// hash continuation. OpenSSL's EVP serves MD5 and the SHA family (it uses the
// processor's instructions); mbed TLS serves MD2, which OpenSSL 3 lacks, and
// the chaining value of SHA-1 and SHA-256, whose state EVP does not show.
// Nothing above this file knows.
#ifndef KV_MECH_SOFT_HASH_BACKEND_H
#define KV_MECH_SOFT_HASH_BACKEND_H

#include <cstdint>
#include <memory>

#include "kv_types.h"

class HashBackend {
public:
    virtual ~HashBackend() = default;
    virtual bool Start() = 0;
    virtual bool Update(const uint8_t* data, size_t len) = 0;
    virtual bool Finish(uint8_t* out) = 0;

    // A hash for a digest mechanism (CKM_MD2 .. CKM_SHA512); null if unknown.
    static std::unique_ptr<HashBackend> ForDigest(CK_MECHANISM_TYPE digest);
    // One-shot HMAC with the hash of a digest mechanism; false on failure.
    static bool Hmac(CK_MECHANISM_TYPE digest, const uint8_t* key, size_t keyLen, const uint8_t* data, size_t len,
                     uint8_t* out);
    // Whether two MACs of len bytes are equal, in time independent of where
    // they differ.
    static bool SameMac(const uint8_t* a, const uint8_t* b, size_t len);
    // The SHA-1 (digestLen 20) or SHA-256 (digestLen 32) state after hashing
    // len bytes of whole 64-byte blocks, each state word appended to out
    // big-endian.
    static void ChainingValue(size_t digestLen, const uint8_t* blocks, size_t len, ByteVec& out);
};

#endif
