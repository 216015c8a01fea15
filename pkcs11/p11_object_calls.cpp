// Object calls: create, destroy, read and change attributes, find.
#include "p11_internal.h"

CK_RV _C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                      CK_OBJECT_HANDLE_PTR phObject) {
    SessionPtr session;
    const CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!phObject || (!pTemplate && ulCount)) return CKR_ARGUMENTS_BAD;
    return session->CreateObject(pTemplate, ulCount, phObject);
}

CK_RV _C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    SessionPtr session;
    const CK_RV rv = SessionFrame(hSession, session);
    return rv ? rv : session->DestroyObject(hObject);
}

CK_RV _C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                           CK_ULONG ulCount) {
    SessionPtr session;
    const CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pTemplate && ulCount) return CKR_ARGUMENTS_BAD;
    return session->GetAttributeValue(hObject, pTemplate, ulCount);
}

CK_RV _C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                           CK_ULONG ulCount) {
    SessionPtr session;
    const CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pTemplate && ulCount) return CKR_ARGUMENTS_BAD;
    return session->SetAttributeValue(hObject, pTemplate, ulCount);
}

CK_RV _C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    SessionPtr session;
    const CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pTemplate && ulCount) return CKR_ARGUMENTS_BAD;
    return session->FindObjInit(pTemplate, ulCount);
}

CK_RV _C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                     CK_ULONG_PTR pulObjectCount) {
    SessionPtr session;
    const CK_RV rv = SessionFrame(hSession, session);
    if (rv) return rv;
    if (!pulObjectCount || (!phObject && ulMaxObjectCount)) return CKR_ARGUMENTS_BAD;
    return session->FindObj(phObject, ulMaxObjectCount, pulObjectCount);
}

CK_RV _C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    SessionPtr session;
    const CK_RV rv = SessionFrame(hSession, session);
    return rv ? rv : session->FindObjFinal();
}
