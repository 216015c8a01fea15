// DES, 3DES and AES key generation for keys held on the token: random key
// bytes are loaded into a key number of the token and kept in the object.
#ifndef KV_MECH_HARD_KEYGEN_HARD_H
#define KV_MECH_HARD_KEYGEN_HARD_H

#include "alg.h"

class IToken;

// What a key family accepts: CKA_VALUE_LEN when absent (or 0, when
// zeroIsDefault) gives defaultLen; a value present must be one of the
// non-zero lengths, else badLength.
struct SecretKeyRule {
    CK_MECHANISM_TYPE mechanism;
    CK_KEY_TYPE keyType;
    uint32_t keyNumberKind;  // the key type AllocKeyFID is asked for
    uint32_t defaultLen;
    bool zeroIsDefault;
    uint32_t lengths[3];
    CK_RV badLength;
};

class GenerateKeyHard : public AlgGenerateKey {
public:
    GenerateKeyHard(IToken* token, const SecretKeyRule& rule) : token_(token), rule_(rule) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_GENERATE_KEY; }
    // A CKO_SECRET_KEY (else CKR_ARGUMENTS_BAD), the rule's mechanism (else
    // CKR_GENERAL_ERROR) and key type (else CKR_TEMPLATE_INCONSISTENT), and
    // the key length.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr newKey) override;
    // No data. CKA_TOKEN must be true (else CKR_TEMPLATE_INCONSISTENT); the
    // key goes to a key number AllocKeyFID chooses, and the object gets
    // CKA_VALUE and CKA_VENDOR_KEY_REF = number | 0x500.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;

protected:
    // Fills buf with random bytes; CKR_HOST_MEMORY when the source falls short.
    virtual CK_RV GenerateRandom(uint8_t* buf, uint32_t len);

private:
    IToken* token_;
    const SecretKeyRule& rule_;
    ObjPtr key_;
    uint32_t length_ = 0;
};

extern const SecretKeyRule kDesKeyRule;
extern const SecretKeyRule kDes3KeyRule;
extern const SecretKeyRule kAesKeyRule;

#define KV_SECRET_KEYGEN(Name, Rule)                                   \
    class Name : public GenerateKeyHard {                              \
    public:                                                            \
        explicit Name(IToken* token) : GenerateKeyHard(token, Rule) {} \
    };
KV_SECRET_KEYGEN(GenerateKeyDESHard, kDesKeyRule)
KV_SECRET_KEYGEN(GenerateKeyDES3Hard, kDes3KeyRule)
KV_SECRET_KEYGEN(GenerateKeyAESHard, kAesKeyRule)
#undef KV_SECRET_KEYGEN

#endif
