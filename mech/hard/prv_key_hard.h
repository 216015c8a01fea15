// What the private-key classes of keys on the token share: the key checks
// of Init, the key's reference, and single-part operation unless a
// subclass says more.
#ifndef KV_MECH_HARD_PRV_KEY_HARD_H
#define KV_MECH_HARD_PRV_KEY_HARD_H

#include "alg.h"

class IToken;

class PrvKeyHard : public AlgMultiPart {
public:
    PrvKeyHard(IToken* token, CK_MECHANISM_TYPE mechanism, CK_KEY_TYPE keyType)
        : token_(token), mechanism_(mechanism), keyType_(keyType) {}
    // A CKO_PRIVATE_KEY of the class's key type with CKA_TOKEN true (else
    // CKR_GENERAL_ERROR; a failed read is returned as it is), parameters
    // GetKeyParams accepts, then the class's own mechanism (else
    // CKR_MECHANISM_INVALID).
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    CK_RV Update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }
    CK_RV Final(uint8_t*, uint32_t*) override { return RV_NOT_SUPPORTED; }
    // Takes the key's size from its attributes.
    virtual CK_RV GetKeyParams(ObjPtr key) = 0;

protected:
    // Whether Init succeeded.
    bool Ready() const { return static_cast<bool>(key_); }
    // The key's reference; CKR_GENERAL_ERROR before a successful Init.
    CK_RV KeyRef(uint32_t& ref) const;

    IToken* token_;
    CK_MECHANISM_TYPE mechanism_;

private:
    CK_KEY_TYPE keyType_;
    ObjPtr key_;
};

#endif
