// RSA key pair generation in the library, for pairs of session keys; pairs
// on the token are the token's (mech/hard/keypair_hard.h).
#ifndef KV_MECH_SOFT_RSA_KEYGEN_SOFT_H
#define KV_MECH_SOFT_RSA_KEYGEN_SOFT_H

#include "alg.h"

// CKA_MODULUS_BITS of the public key (1024 to 4096) and its
// CKA_PUBLIC_EXPONENT (65537 when empty). Both objects receive CKA_MODULUS
// and CKA_PUBLIC_EXPONENT, the public one CKA_MODULUS_BITS, the private one
// its private parts.
class GenerateKeyPairRSASoft : public AlgGenerateKeyPair {
public:
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_GENERATE_KEY_PAIR; }
    // CKM_RSA_PKCS_KEY_PAIR_GEN, a CKO_PUBLIC_KEY and a CKO_PRIVATE_KEY, both
    // CKK_RSA; anything else is CKR_ARGUMENTS_BAD (a failed read its own
    // status). A public half with CKA_TOKEN true beside a session private
    // half is CKR_TEMPLATE_INCONSISTENT: the pair is made here only when
    // neither half goes to the token.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr publicKey, ObjPtr privateKey) override;
    // No data. A size outside 1024 to 4096 (none given: 0) is
    // CKR_KEY_SIZE_RANGE, as the token's generation answers a size it does
    // not take; an exponent that is even, below 3 or longer than 8 bytes is
    // CKR_TEMPLATE_INCONSISTENT.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;

private:
    ObjPtr public_, private_;
};

#endif
