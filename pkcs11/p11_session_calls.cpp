// Sessions and login.
#include "iauth_manager.h"
#include "p11_env.h"
#include "p11_internal.h"
#include "result_codes.h"
#include "secure_wipe.h"
#include "session_slot.h"
#include "slot_frame.h"
#include "slot_manager.h"

CK_RV _C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR phSession) {
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_ARGUMENTS_BAD;
    if (!phSession) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    Slot* slot = frame.slot.get();
    if (!slot->HasToken()) return CKR_TOKEN_NOT_PRESENT;
    CK_RV rv;
    if ((rv = RefreshResult(slot->CheckUpdate()))) return rv;
    auto sessions = KVEnv::GetCP11SessionManager();
    if (!sessions) return CKR_HOST_MEMORY;
    IAuthManager* auth = slot->GetAuthManager();
    uint32_t soRef = 0;
    AuthInfo so{};
    if (!auth || auth->GetRefByP11Type(CKU_SO, &soRef) != 0 || auth->GetAuthInfo(soRef, &so) != 0)
        return CKR_GENERAL_ERROR;
    if ((so.flags & 1) && sessions->GetRWSessionCount(slotID) > 0 && !(flags & CKF_RW_SESSION))
        return CKR_SESSION_READ_WRITE_SO_EXISTS;
    return sessions->CreateSession(slotID, flags, phSession);
}

CK_RV _C_CloseSession(CK_SESSION_HANDLE hSession) {
    CK_RV rv = CheckInitialized();
    SessionPtr session;
    if (rv || (rv = FindSession(hSession, session))) return rv;
    kv::shared_ptr<Slot> slot;
    if ((rv = FindSlot(session->SlotId(), slot))) return CKR_GENERAL_ERROR;
    LockSlotHolder holder(*slot);
    if (!holder.Locked()) return CKR_GENERAL_ERROR;
    return KVEnv::GetCP11SessionManager()->DestroySession(hSession);
}

CK_RV _C_CloseAllSessions(CK_SLOT_ID slotID) {
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    auto sessions = KVEnv::GetCP11SessionManager();
    return sessions ? sessions->DestroySessionBySlotId(slotID) : CKR_HOST_MEMORY;
}

CK_RV _C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    CK_RV rv = CheckInitialized();
    SessionPtr session;
    if (rv || (rv = FindSession(hSession, session))) return rv;
    return session->GetSessionInfo(pInfo);
}

namespace {

CK_RV Verify(CP11Session& session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    // No protected authentication path: a PIN must be given, and a missing one
    // sends nothing (hashing "nothing" would cost a try).
    if (ulPinLen > 0xFFFFFFFFUL || !pPin) return CKR_ARGUMENTS_BAD;
    auto slots = KVEnv::GetSlotManager();
    if (!slots) return CKR_HOST_MEMORY;
    auto slot = slots->GetSlot(session.SlotId());
    if (!slot) return CKR_GENERAL_ERROR;
    LockSlotHolder holder(*slot);
    IAuthManager* auth = holder.Locked() ? slot->GetAuthManager() : nullptr;
    if (!auth) return CKR_GENERAL_ERROR;
    static const CK_UTF8CHAR empty = 0;
    ByteVec value = GetPinHash(pPin ? pPin : &empty, static_cast<uint32_t>(ulPinLen));
    const bool context = userType == CKU_CONTEXT_SPECIFIC;
    CK_RV rv = CP11SessionManager::LogIn(auth, context ? CKU_USER : userType, value.data(),
                                         static_cast<uint32_t>(value.size()));
    SecureWipe(value);
    // A refused PIN also ends the token's own user login.
    if (rv && context) CP11SessionManager::LogOff(auth);
    // A transfer that failed says nothing about the PIN.
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED || TransferFailedRv(rv)) return rv;
    if (rv) return CKR_GENERAL_ERROR;
    if (context) session.contextLoginDone = true;
    if (userType == CKU_USER) return RefreshResult(slot->CheckUpdate());
    return CKR_OK;
}

}  // namespace

CK_RV _C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    CK_RV rv = CheckInitialized();
    SessionPtr session;
    if (rv || (rv = FindSession(hSession, session))) return rv;
    CK_SESSION_INFO info;
    if ((rv = session->GetSessionInfo(&info))) return rv;
    const bool soState = info.state == CKS_RW_SO_FUNCTIONS;
    const bool userState = info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
    switch (userType) {
        case CKU_SO:
            if (KVEnv::GetCP11SessionManager()->TokenHasROSession(session->SlotId()))
                return CKR_SESSION_READ_ONLY_EXISTS;
            if (soState) return CKR_USER_ALREADY_LOGGED_IN;
            if (userState) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
            break;
        case CKU_USER:
            if (soState) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
            if (userState) return CKR_USER_ALREADY_LOGGED_IN;
            break;
        case CKU_CONTEXT_SPECIFIC:
            // Re-entering the logged-in user's PIN for the operation at hand.
            if (!session->IsSessionOptInit() && !session->contextLoginRequired) return CKR_OPERATION_NOT_INITIALIZED;
            if (!userState) return CKR_USER_NOT_LOGGED_IN;
            break;
        default:
            return CKR_ARGUMENTS_BAD;
    }
    return Verify(*session, userType, pPin, ulPinLen);
}

CK_RV _C_Logout(CK_SESSION_HANDLE hSession) {
    CK_RV rv = CheckInitialized();
    SessionPtr session;
    if (rv || (rv = FindSession(hSession, session))) return rv;
    kv::shared_ptr<Slot> slot;
    if (FindSlot(session->SlotId(), slot)) return CKR_GENERAL_ERROR;
    LockSlotHolder holder(*slot);
    if (!holder.Locked()) return CKR_GENERAL_ERROR;
    CK_SESSION_INFO info;
    if ((rv = session->GetSessionInfo(&info))) return rv;
    if (info.state == CKS_RO_PUBLIC_SESSION || info.state == CKS_RW_PUBLIC_SESSION) return CKR_USER_NOT_LOGGED_IN;
    IAuthManager* auth = slot->GetAuthManager();
    if (!auth) return CKR_GENERAL_ERROR;
    rv = CP11SessionManager::LogOff(auth);
    KVEnv::GetCP11SessionManager()->EndPrivateWork(*slot);
    return rv;
}
