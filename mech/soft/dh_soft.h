// Diffie-Hellman in the library (PKCS#3): key pair generation, and the
// derivation of a secret key from a private DH key and the other party's
// public value.
#ifndef KV_MECH_SOFT_DH_SOFT_H
#define KV_MECH_SOFT_DH_SOFT_H

#include "alg.h"

class GenerateKeyPairDHSoft : public AlgGenerateKeyPair {
public:
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_GENERATE_KEY_PAIR; }
    // CKM_DH_PKCS_KEY_PAIR_GEN, a CKO_PUBLIC_KEY and a CKO_PRIVATE_KEY, both
    // CKK_DH; anything else is CKR_ARGUMENTS_BAD (a failed read its own
    // status).
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr publicKey, ObjPtr privateKey) override;
    // Draws a private value in the group of the public key's CKA_PRIME and
    // CKA_BASE, of the private key's CKA_VALUE_BITS (0: the prime's length),
    // and fills in CKA_VALUE of both keys and the group of the private one.
    // An empty prime or base is CKR_TEMPLATE_INCONSISTENT, a prime longer
    // than the largest the library takes CKR_KEY_SIZE_RANGE.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;

private:
    ObjPtr public_, private_;
};

class DeriveKeyDHPKCS : public AlgDerive {
public:
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_DERIVE; }
    // CKM_DH_PKCS_DERIVE with the other party's public value as its
    // parameter (null: CKR_MECHANISM_INVALID; empty or longer than the
    // largest prime: CKR_MECHANISM_PARAM_INVALID). The base key must be a
    // CKK_DH private key with CKA_DERIVE true and the new key a secret key,
    // else CKR_GENERAL_ERROR; a failed read gives its own status.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr baseKey, ObjPtr newKey) override;
    // Computes the shared secret Z and sets the new key's CKA_VALUE to its
    // last L bytes, L being the key type's length (Z is padded with zero
    // bytes at the end when it is shorter). A base key without a usable
    // private value is CKR_KEY_HANDLE_INVALID; a peer value outside
    // 1 < Y < P - 1 is CKR_MECHANISM_PARAM_INVALID.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;

private:
    // The new key's length from its type and CKA_VALUE_LEN.
    CK_RV NewKeyLength(uint32_t& length) const;
    // CKA_LOCAL, CKA_ALWAYS_SENSITIVE and CKA_NEVER_EXTRACTABLE of the new
    // key after those of the base key.
    void InheritFlags() const;

    ObjPtr base_, newKey_;
    ByteVec peer_;
};

#endif
