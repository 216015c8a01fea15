// Secret key generation in the library: DES, 3DES, AES, RC2, RC4 and generic
// secrets get a random value of a length their key type takes.
#ifndef KV_MECH_SOFT_KEYGEN_SOFT_H
#define KV_MECH_SOFT_KEYGEN_SOFT_H

#include "alg.h"
#include "key_rules.h"

class GenerateKeySoft : public AlgGenerateKey {
public:
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_GENERATE_KEY; }
    // The new key must be a CKO_SECRET_KEY and the mechanism the class's,
    // else CKR_GENERAL_ERROR; its CKA_KEY_TYPE must be the class's and a
    // CKA_VALUE_LEN it carries one the key type takes, else
    // CKR_TEMPLATE_INCONSISTENT. Without a length the key gets the standard
    // one.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr newKey) override;
    // Sets the new key's CKA_VALUE to fresh random bytes; the arguments are
    // not used. DES parity bits are left as drawn and CKA_VALUE_LEN is not
    // written.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;
    // Fills buf from the library's generator; CKR_HOST_MEMORY when it falls
    // short.
    virtual CK_RV GenerateRandom(uint8_t* buf, uint32_t len);

protected:
    // zeroIsAbsent: a CKA_VALUE_LEN of 0 asks for the standard length.
    GenerateKeySoft(CK_MECHANISM_TYPE mechanism, KeyLengthRule rule, bool zeroIsAbsent)
        : mechanism_(mechanism), rule_(rule), zeroIsAbsent_(zeroIsAbsent) {}

private:
    CK_MECHANISM_TYPE mechanism_;
    KeyLengthRule rule_;
    bool zeroIsAbsent_;
    ObjPtr key_;
    uint32_t length_ = 0;
};

// Lengths in bytes: Min to Max in steps of Step, Standard without a length.
#define KV_GENERATE_KEY_SOFT(Name, Mechanism, KeyType, Min, Max, Step, Standard, ZeroIsAbsent)   \
    class Name : public GenerateKeySoft {                                                        \
    public:                                                                                      \
        Name() : GenerateKeySoft(Mechanism, {KeyType, Min, Max, Step, Standard}, ZeroIsAbsent) {} \
    };
KV_GENERATE_KEY_SOFT(GenerateKeyDESSoft, CKM_DES_KEY_GEN, CKK_DES, 8, 8, 1, 8, false)
KV_GENERATE_KEY_SOFT(GenerateKeyDES3Soft, CKM_DES3_KEY_GEN, CKK_DES3, 16, 24, 8, 24, true)
KV_GENERATE_KEY_SOFT(GenerateKeyAESSoft, CKM_AES_KEY_GEN, CKK_AES, 16, 32, 8, 16, true)
KV_GENERATE_KEY_SOFT(GenerateKeyGenericSoft, CKM_GENERIC_SECRET_KEY_GEN, CKK_GENERIC_SECRET, 1, 256, 1, 64, true)
KV_GENERATE_KEY_SOFT(GenerateKeyRC2Soft, CKM_RC2_KEY_GEN, CKK_RC2, 1, 128, 1, 5, true)
KV_GENERATE_KEY_SOFT(GenerateKeyRC4Soft, CKM_RC4_KEY_GEN, CKK_RC4, 1, 256, 1, 5, true)
#undef KV_GENERATE_KEY_SOFT

#endif
