#include "key_admission.h"

#include "attribute_policy.h"
#include "byte_order.h"
#include "key_rules.h"
#include "session_slot.h"
#include "template_rules.h"

CK_RV CheckNewKeyTemplate(bool readWrite, bool securityOfficer, const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    CK_RV rv = CheckCallerTemplate(tmpl, count, securityOfficer);
    if (rv) return rv;
    if (!readWrite && TemplateFlag(tmpl, count, CKA_TOKEN)) return CKR_SESSION_READ_ONLY;
    return CheckModulusLength(tmpl, count);
}

CK_RV CheckNewKeySpace(Slot& slot, const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    return TemplateFlag(tmpl, count, CKA_TOKEN) ? CheckFreeSpace(slot, tmpl, count) : CKR_OK;
}

namespace {

// Whether a private key may be used or made: only with the user logged in.
CK_RV PrivateNeedsUser(Slot& slot, const ObjPtr& key) {
    bool isPrivate = false;
    if (ReadFlag(key, CKA_PRIVATE, isPrivate) != CKR_OK) return CKR_GENERAL_ERROR;
    if (!isPrivate) return CKR_OK;
    bool user = false;
    const CK_RV rv = UserAuthenticated(slot, user);
    if (rv) return rv;
    return user ? CKR_OK : CKR_USER_NOT_LOGGED_IN;
}

}  // namespace

CK_RV AdmitNewKey(Slot& slot, const ObjPtr& key, const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool privateDefault) {
    if (!FindAttr(tmpl, count, CKA_PRIVATE)) {
        const CK_BBOOL value = privateDefault ? CK_TRUE : CK_FALSE;
        if (key->SetAttr(CKA_PRIVATE, &value, 1) != CKR_OK) return CKR_GENERAL_ERROR;
    }
    return PrivateNeedsUser(slot, key);
}

CK_RV TokenKeyNeedsUser(Slot& slot, bool onToken) {
    if (!onToken) return CKR_OK;
    bool user = false;
    const CK_RV rv = UserAuthenticated(slot, user);
    return rv ? rv : user ? CKR_OK : CKR_USER_NOT_LOGGED_IN;
}

CK_RV CheckKeyInUse(Slot& slot, const ObjPtr& key) { return PrivateNeedsUser(slot, key); }

CK_RV CheckKeyPermits(const ObjPtr& key, CK_ATTRIBUTE_TYPE usage) {
    bool allowed = false;
    return ReadFlag(key, static_cast<uint32_t>(usage), allowed) == CKR_OK && allowed ? CKR_OK
                                                                                     : CKR_KEY_FUNCTION_NOT_PERMITTED;
}

CK_RV CheckAllowedMechanism(const ObjPtr& key, CK_MECHANISM_TYPE mechanism) {
    const ByteVec* allowed = key ? key->Value(CKA_ALLOWED_MECHANISMS) : nullptr;
    if (!allowed || allowed->empty()) return CKR_OK;  // no list: no limit
    // Kept as 8-byte little-endian entries; a malformed list allows nothing.
    if (allowed->size() % 8) return CKR_MECHANISM_INVALID;
    for (size_t at = 0; at < allowed->size(); at += 8) {
        if (LoadLe64(allowed->data() + at) == mechanism) return CKR_OK;
    }
    return CKR_MECHANISM_INVALID;
}
