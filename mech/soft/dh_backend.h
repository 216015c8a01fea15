// Diffie-Hellman over a prime group (PKCS#3) behind the DH classes, through
// mbed TLS, with random values from the library's generator. Nothing above
// this file knows which library runs.
#ifndef KV_MECH_SOFT_DH_BACKEND_H
#define KV_MECH_SOFT_DH_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kv_types.h"

// One party of an exchange in the group of prime P and base G. All values
// are big-endian; what it produces has no leading zero bytes. Secrets are
// wiped with the object.
class DhParty {
public:
    // The largest prime taken, in bytes.
    static constexpr size_t kMaxPrimeBytes = 1024;

    virtual ~DhParty() = default;
    // Draws a private value X of privateBytes bytes (as many as the prime's
    // or more: any value from 2 to P - 2) and computes G^X mod P.
    virtual bool Generate(size_t privateBytes) = 0;
    // Takes a kept private value; false unless 1 < X < P - 1.
    virtual bool SetPrivate(const uint8_t* x, size_t len) = 0;
    // Takes the other party's public value; false unless 1 < Y < P - 1.
    virtual bool SetPeer(const uint8_t* y, size_t len) = 0;
    virtual bool PrivateValue(ByteVec& x) const = 0;
    virtual bool PublicValue(ByteVec& gx) const = 0;
    // Z = Y^X mod P.
    virtual bool SharedSecret(ByteVec& z) = 0;

    // Null when the library refuses the group (empty, or a prime longer than
    // kMaxPrimeBytes).
    static std::unique_ptr<DhParty> Create(const uint8_t* p, size_t pLen, const uint8_t* g, size_t gLen);
};

#endif
