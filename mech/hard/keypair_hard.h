// RSA and EC key pair generation on the token: two key files are allocated
// and created, the token generates the pair, and the public part read back
// is set on both key objects with their key references.
#ifndef KV_MECH_HARD_KEYPAIR_HARD_H
#define KV_MECH_HARD_KEYPAIR_HARD_H

#include <utility>
#include <vector>

#include "alg.h"

class IToken;
class KeyFilesGuard;

class KeyPairHard : public AlgGenerateKeyPair {
public:
    KeyPairHard(IToken* token, CK_MECHANISM_TYPE mechanism, CK_KEY_TYPE keyType)
        : token_(token), mechanism_(mechanism), keyType_(keyType) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_GENERATE_KEY_PAIR; }
    // Both objects present, the class's mechanism, a CKO_PUBLIC_KEY and a
    // CKO_PRIVATE_KEY of the class's key type; any mismatch is
    // CKR_ARGUMENTS_BAD, a failed read is returned as it is.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr publicKey, ObjPtr privateKey) override;

protected:
    using Attribute = std::pair<uint32_t, const ByteVec*>;
    // Whether either object has CKA_TOKEN true: CKR_OK, else neither.
    CK_RV EitherOnToken(CK_RV neither) const;
    using KeyFileOp = RV (IToken::*)(uint32_t publicFid, uint32_t privateFid, uint32_t bits);
    // Allocates the files of the two halves (AllocKeyFID's failures as they
    // are), which files tracks from then on, creates them and has the token
    // generate the pair (a failure of either is CKR_DEVICE_ERROR).
    CK_RV MakePair(KeyFilesGuard& files, uint16_t& publicFid, uint16_t& privateFid, uint32_t bits, KeyFileOp create,
                   KeyFileOp generate);
    // Sets the attributes on the public and then the private object, then
    // each object's CKA_VENDOR_KEY_REF; the first failed write is returned.
    CK_RV StoreKeys(const std::vector<Attribute>& attributes, uint16_t publicFid, uint16_t privateFid);

    IToken* token_;
    ObjPtr public_;
    ObjPtr private_;

private:
    CK_MECHANISM_TYPE mechanism_;
    CK_KEY_TYPE keyType_;
};

// CKA_MODULUS_BITS of the public template (up to 2048) chooses the size;
// both objects receive CKA_MODULUS and CKA_PUBLIC_EXPONENT.
class GenerateKeyPairRSAHard : public KeyPairHard {
public:
    explicit GenerateKeyPairRSAHard(IToken* token) : KeyPairHard(token, CKM_RSA_PKCS_KEY_PAIR_GEN, CKK_RSA) {}
    // No data; every failure after the files were created removes both.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;
};

// CKA_EC_PARAMS of the public template chooses the curve, prime192v1 or
// prime256v1; both objects receive CKA_EC_POINT as x || y, and the private
// object the public template's CKA_EC_PARAMS.
class GenerateKeyPairECCHard : public KeyPairHard {
public:
    explicit GenerateKeyPairECCHard(IToken* token) : KeyPairHard(token, CKM_EC_KEY_PAIR_GEN, CKK_EC) {}
    // No data; every failure after the files were created removes both.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;
};

#endif
