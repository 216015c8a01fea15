// Key generation, wrapping, unwrapping, derivation and random bytes.
#include "p11_internal.h"
#include "session_slot.h"
#include "template_rules.h"

CK_RV _C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                     CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
    SessionPtr session;
    CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pMechanism || !phKey) return CKR_ARGUMENTS_BAD;
    if ((rv = CheckTemplatePointers(pTemplate, ulCount))) return rv;
    return session->GenerateKey(pMechanism, pTemplate, ulCount, phKey);
}

CK_RV _C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                         CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                         CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                         CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    SessionPtr session;
    CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pMechanism || !phPublicKey || !phPrivateKey) return CKR_ARGUMENTS_BAD;
    if ((rv = CheckTemplatePointers(pPublicKeyTemplate, ulPublicKeyAttributeCount)) ||
        (rv = CheckTemplatePointers(pPrivateKeyTemplate, ulPrivateKeyAttributeCount)))
        return rv;
    return session->GenerateKeyPair(pMechanism, pPublicKeyTemplate, ulPublicKeyAttributeCount, pPrivateKeyTemplate,
                                    ulPrivateKeyAttributeCount, phPublicKey, phPrivateKey);
}

CK_RV _C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                 CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
    SessionPtr session;
    CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pMechanism || !pulWrappedKeyLen) return CKR_ARGUMENTS_BAD;
    return session->WrapKey(pMechanism, hWrappingKey, hKey, pWrappedKey, pulWrappedKeyLen);
}

CK_RV _C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                   CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                   CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    SessionPtr session;
    CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pMechanism || !pWrappedKey || !ulWrappedKeyLen || !phKey) return CKR_ARGUMENTS_BAD;
    if ((rv = CheckTemplatePointers(pTemplate, ulAttributeCount))) return rv;
    return session->UnwrapKey(pMechanism, hUnwrappingKey, pWrappedKey, ulWrappedKeyLen, pTemplate, ulAttributeCount,
                              phKey);
}

CK_RV _C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                   CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    SessionPtr session;
    CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pMechanism || !phKey) return CKR_ARGUMENTS_BAD;
    if ((rv = CheckTemplatePointers(pTemplate, ulAttributeCount))) return rv;
    return session->DeriveKey(pMechanism, hBaseKey, pTemplate, ulAttributeCount, phKey);
}

// The token's random command, which needs no login; the object views are
// not refreshed, as random bytes need none.
CK_RV _C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    SessionPtr session;
    CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if ((!pRandomData && ulRandomLen) || ulRandomLen > 0xFFFFFFFFUL) return CKR_ARGUMENTS_BAD;
    SessionSlot frame(session->SlotId());
    if (frame.rv) return frame.rv;
    if (!frame.slot->HasToken()) return CKR_TOKEN_NOT_PRESENT;
    if (ulRandomLen == 0) return CKR_OK;
    return frame.slot->GenerateRandom(pRandomData, static_cast<uint32_t>(ulRandomLen));
}
