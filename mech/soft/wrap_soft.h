// Key wrapping and unwrapping in the library: a secret key's value encrypted
// with an RSA public key, and a wrapped value decrypted into a new key. The
// cipher is the caller's encryption or decryption object for the mechanism.
#ifndef KV_MECH_SOFT_WRAP_SOFT_H
#define KV_MECH_SOFT_WRAP_SOFT_H

#include "alg.h"

// Whether the key to wrap matches every entry of the wrapping key's
// CKA_WRAP_TEMPLATE (absent or empty: it does). A CK_ULONG entry counts in
// the 4 bytes the object keeps. A key that lacks an entry's attribute or
// holds another value is CKR_OBJECT_HANDLE_INVALID, a malformed template
// CKR_GENERAL_ERROR, a missing key CKR_OBJECT_HANDLE_INVALID.
CK_RV CheckWrappingTemplate(const ObjPtr& wrappingKey, const ObjPtr& keyToWrap);

class WrapKeySoft : public AlgWrap {
public:
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_WRAP; }
    // The mechanism, both keys and the cipher present, else
    // CKR_ARGUMENTS_BAD; the wrapping key's CKA_WRAP true, else
    // CKR_GENERAL_ERROR; the key to wrap's CKA_EXTRACTABLE true, else
    // CKR_KEY_UNEXTRACTABLE; a key to wrap with CKA_WRAP_WITH_TRUSTED needs a
    // wrapping key with CKA_TRUSTED, else CKR_GENERAL_ERROR; then the
    // wrapping template. A failed read gives its own status.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr wrappingKey, ObjPtr keyToWrap, AlgMultiPart* cipher) override;
    // Encrypts the key's CKA_VALUE (empty: CKR_KEY_NOT_WRAPPABLE) with the
    // cipher, started again on the wrapping key; the input is not used.
    // Every call encrypts, so a length query reports what the call that
    // follows produces; a short buffer gets RV_BUFFER_TOO_SMALL and the
    // length.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t* out, uint32_t* outLen) override;

private:
    ObjPtr wrappingKey_, keyToWrap_;
    CK_MECHANISM_TYPE mechanism_ = 0;
    ByteVec parameter_;
    AlgMultiPart* cipher_ = nullptr;
};

// CKM_RSA_PKCS or CKM_RSA_X_509, else CKR_MECHANISM_INVALID.
class WrapSecKeyWithRSAPubSoft : public WrapKeySoft {
public:
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr wrappingKey, ObjPtr keyToWrap, AlgMultiPart* cipher) override;
};

class UnwrapKey : public AlgUnwrap {
public:
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_UNWRAP; }
    // CKM_RSA_PKCS or CKM_RSA_X_509, else CKR_MECHANISM_INVALID; both keys
    // and the cipher present, else CKR_ARGUMENTS_BAD; the unwrapping key an
    // RSA private key on the token with CKA_UNWRAP true, else
    // CKR_GENERAL_ERROR.
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr unwrappingKey, ObjPtr newKey, AlgMultiPart* cipher) override;
    // Decrypts the wrapped value (null or empty: CKR_ARGUMENTS_BAD) with the
    // cipher, already started on the unwrapping key by the caller, into the
    // new key's CKA_VALUE; the output arguments are not used.
    CK_RV Do(const uint8_t* wrapped, uint32_t wrappedLen, uint8_t*, uint32_t*) override;

private:
    ObjPtr newKey_;
    AlgMultiPart* cipher_ = nullptr;
};

#endif
