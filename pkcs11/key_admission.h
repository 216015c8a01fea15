// The rules every key-management call applies to the keys it uses and to the
// keys it makes, before anything is written to the token or filed.
#ifndef KV_PKCS11_KEY_ADMISSION_H
#define KV_PKCS11_KEY_ADMISSION_H

#include <memory>

#include "alg.h"
#include "iobj.h"
#include "pkcs11.h"
#include "result_codes.h"

class Slot;

// Before the slot is locked: the checks of every caller's template (see
// CheckCallerTemplate); a template asking for a token object in a
// read-only session is CKR_SESSION_READ_ONLY; a key template carrying a
// modulus outside 65 to 511 bytes CKR_TEMPLATE_INCONSISTENT.
// A key whose CKA_ALLOWED_MECHANISMS lists mechanisms serves those alone:
// any other is CKR_MECHANISM_INVALID.
CK_RV CheckAllowedMechanism(const ObjPtr& key, CK_MECHANISM_TYPE mechanism);

CK_RV CheckNewKeyTemplate(bool readWrite, bool securityOfficer, const CK_ATTRIBUTE* tmpl, CK_ULONG count);

// Under the slot lock, for the templates of new token keys only: their
// value lengths together must fit in the token's free memory, else
// CKR_DEVICE_MEMORY. Session keys take no token memory and cost no command.
CK_RV CheckNewKeySpace(Slot& slot, const CK_ATTRIBUTE* tmpl, CK_ULONG count);

// A new key built from a template: CKA_PRIVATE gets privateDefault when the
// template does not name it; a private key needs the user logged in, else
// CKR_USER_NOT_LOGGED_IN.
CK_RV AdmitNewKey(Slot& slot, const ObjPtr& key, const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool privateDefault);

// A key generated on the token needs the token's user verification, so
// this process's own user login (CKR_USER_NOT_LOGGED_IN), whatever state
// another process left the token in; decided before any command.
CK_RV TokenKeyNeedsUser(Slot& slot, bool onToken);

// An existing key used by the call (wrapping, unwrapping or base key): a
// private one needs the user logged in, else CKR_USER_NOT_LOGGED_IN.
CK_RV CheckKeyInUse(Slot& slot, const ObjPtr& key);

// An existing key must allow what the call does with it (CKA_WRAP,
// CKA_UNWRAP or CKA_DERIVE true), else CKR_KEY_FUNCTION_NOT_PERMITTED.
CK_RV CheckKeyPermits(const ObjPtr& key, CK_ATTRIBUTE_TYPE usage);

// Runs a factory call, create(Alg** out), and keeps what it made in holder
// (emptied first); a failure as KeyFactoryRefusalRv, nothing made
// CKR_GENERAL_ERROR.
template <class Create>
CK_RV KeepCreated(std::unique_ptr<Alg>& holder, Create create) {
    holder.reset();
    Alg* created = nullptr;
    const CK_RV rv = create(&created);
    holder.reset(created);
    if (rv) return KeyFactoryRefusalRv(rv);
    return created ? CKR_OK : CKR_GENERAL_ERROR;
}

#endif
