// Import of key material given in an object's attributes into key files or
// key numbers of the token (mechanism CKM_VENDOR_IMPORT_KEY), used when a
// token key object is created from a template.
#ifndef KV_MECH_HARD_IMPORT_HARD_H
#define KV_MECH_HARD_IMPORT_HARD_H

#include "alg.h"

class IToken;
class KeyFilesGuard;

class ImportKeyHard : public AlgImportKey {
public:
    explicit ImportKeyHard(IToken* token) : token_(token) {}
    KV_MECH_FUNC_E GetFunc() const override { return MECH_FUNC_IMPORT_KEY; }
    // CKM_VENDOR_IMPORT_KEY (else CKR_MECHANISM_INVALID) and a public,
    // private or secret key object with CKA_TOKEN true (else RV_NOT_SUPPORTED).
    CK_RV Init(const CK_MECHANISM* mechanism, ObjPtr key) override;
    // No data. Writes RSA and EC keys to a new key file (removed again when
    // a later step fails) and DES, 3DES and AES keys to a key number, then
    // sets CKA_VENDOR_KEY_REF. A secret key of another type is left alone;
    // public and private keys of other types get a reference only.
    CK_RV Do(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override;

private:
    // The key parts into the file fid; bad key material is
    // CKR_ARGUMENTS_BAD before anything is created, a token failure
    // CKR_DEVICE_ERROR.
    CK_RV WriteRsaPrivate(uint16_t fid, KeyFilesGuard& files);
    CK_RV WriteRsaPublic(uint16_t fid, KeyFilesGuard& files);
    CK_RV WriteEc(uint16_t fid, bool isPrivate, KeyFilesGuard& files);

    IToken* token_;
    ObjPtr key_;
};

#endif
