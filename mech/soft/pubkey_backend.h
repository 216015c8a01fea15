// The public-key primitives behind the RSA and ECDSA classes, through
// OpenSSL, and the RSA key of a certificate, through mbed TLS's X.509
// parser. Nothing above this file knows which library runs.
#ifndef KV_MECH_SOFT_PUBKEY_BACKEND_H
#define KV_MECH_SOFT_PUBKEY_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// An RSA public key; k is the modulus length in bytes.
class RsaPublicKey {
public:
    virtual ~RsaPublicKey() = default;
    // PKCS#1 v1.5 encryption (block type 2, random non-zero padding) of at
    // most k - 11 bytes into k bytes at out.
    virtual bool EncryptPkcs1(const uint8_t* in, size_t len, uint8_t* out) = 0;
    // A k-byte value below the modulus raised to e modulo n, k bytes at out.
    virtual bool Raw(const uint8_t* block, uint8_t* out) = 0;
    // Raises a k-byte signature to e and opens the block, which must be
    // 00 01, at least eight FF, 00, message; the message goes to out (room
    // for k bytes) and its length to outLen. False for anything else.
    virtual bool RecoverPkcs1(const uint8_t* signature, uint8_t* out, size_t* outLen) = 0;

    // Modulus and exponent big-endian; null when the library refuses them.
    static std::unique_ptr<RsaPublicKey> Create(const uint8_t* n, size_t nLen, const uint8_t* e, size_t eLen);
    // The largest modulus the library takes for public operations, in bytes.
    static size_t MaxModulusBytes();
};

enum class EcCurve { P192, P256 };

// An EC public key on a named prime curve.
class EcPublicKey {
public:
    enum Result { kValid, kInvalid, kError };
    virtual ~EcPublicKey() = default;
    // ECDSA verification of a digest against r and s, each of the curve's
    // byte length.
    virtual Result Verify(const uint8_t* digest, size_t len, const uint8_t* r, const uint8_t* s) = 0;

    // x and y of coordLen bytes each; null for a point not on the curve.
    static std::unique_ptr<EcPublicKey> Create(EcCurve curve, const uint8_t* x, const uint8_t* y, size_t coordLen);
};

// The RSA modulus of a DER certificate, big-endian without leading zeros;
// false when the certificate does not parse or its key is not RSA.
bool CertificateRsaModulus(const uint8_t* der, size_t len, std::vector<uint8_t>& modulus);

#endif
