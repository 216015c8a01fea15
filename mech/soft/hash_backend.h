// The hash functions behind the digest and HMAC classes. OpenSSL's EVP
// serves MD5 and the SHA family (it uses the processor's instructions);
// mbed TLS serves MD2, which OpenSSL 3 lacks. Nothing above this file knows.
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
};

#endif
