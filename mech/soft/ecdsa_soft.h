// Software ECDSA verification on P-192 and P-256 public keys: of a digest
// given as the data, and of a message hashed with SHA-1. Signatures are r || s,
// each half of the curve's byte length.
#ifndef KV_MECH_SOFT_ECDSA_SOFT_H
#define KV_MECH_SOFT_ECDSA_SOFT_H

#include <memory>

#include "alg.h"
#include "pubkey_backend.h"
#include "pubkey_soft.h"

// The two named curves, known by the DER object identifier that starts
// CKA_EC_PARAMS.
struct NamedCurve {
    uint8_t oid[10];
    EcCurve curve;
    uint32_t coordLen;  // bytes of one coordinate, of r and of s
};

// The curve a CKA_EC_PARAMS value names (matched on its first 10 bytes), or null.
const NamedCurve* FindCurve(const ByteVec& params);

// An EC public key; the block size is the curve's byte length, 24 or 32. A
// key other than CKO_PUBLIC_KEY of type CKK_EC is CKR_ARGUMENTS_BAD.
class AlgECCPubSoft : public AlgPubKeySoft {
public:
    explicit AlgECCPubSoft(CK_MECHANISM_TYPE mechanism)
        : AlgPubKeySoft(mechanism, CKK_EC, CKR_ARGUMENTS_BAD, false) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_VERIFY; }
    uint32_t GetBlockSize() const override { return coordLen_; }
    // CKA_EC_PARAMS names prime256v1 or prime192v1 (else CKR_ARGUMENTS_BAD);
    // CKA_EC_POINT is x || y, 04 || x || y, or that in a DER OCTET STRING
    // (else, or off the curve, CKR_GENERAL_ERROR).
    CK_RV GetKeyParams(ObjPtr key) override;

protected:
    uint32_t SignatureLength() const override { return 2 * coordLen_; }
    // Valid: CKR_OK; wrong: CKR_SIGNATURE_INVALID; failure: CKR_GENERAL_ERROR.
    CK_RV VerifyDigest(const uint8_t* digest, uint32_t len, const uint8_t* signature);

private:
    std::unique_ptr<EcPublicKey> ec_;
    uint32_t coordLen_ = 0;
};

// The data is the digest; its length is not restricted.
class ECCECDSAPubSoftVerify : public AlgECCPubSoft {
public:
    ECCECDSAPubSoftVerify() : AlgECCPubSoft(CKM_ECDSA) {}
    CK_RV Do(const uint8_t* in, uint32_t inLen, uint8_t* signature, uint32_t* signatureLen) override;
};

class ECCECDSASHA1PubSoftVerify : public HashThenVerify<AlgECCPubSoft> {
public:
    ECCECDSASHA1PubSoftVerify() : HashThenVerify<AlgECCPubSoft>(CKM_SHA_1, CKM_ECDSA_SHA1) {}
};

#endif
