// Token initialisation and PIN management. PINs are turned into the token's
// PIN form at once and the clear PIN goes no further; every PIN form is
// wiped when the call ends.
#include <optional>
#include <vector>

#include "iauth_manager.h"
#include "iobject_manager.h"
#include "p11_env.h"
#include "p11_internal.h"
#include "result_codes.h"
#include "secure_wipe.h"
#include "session_slot.h"
#include "slot_frame.h"

namespace {

// After C_InitToken the user PIN is this one again, in PIN form, until the
// user changes it with C_SetPIN or the SO sets another with C_InitPIN.
constexpr CK_UTF8CHAR kResetUserPin[] = {'1', '2', '3', '4', '5', '6', '7', '8'};

// A PIN argument: a null pointer only with length 0, a length that fits 32 bits.
bool PinArgumentOk(CK_UTF8CHAR_PTR pin, CK_ULONG len) { return (pin || len == 0) && len <= 0xFFFFFFFFUL; }

// The PIN form of a PIN argument, wiped when it goes out of scope.
class PinValue {
public:
    PinValue(const CK_UTF8CHAR* pin, CK_ULONG len) {
        static const CK_UTF8CHAR empty = 0;
        value_ = GetPinHash(pin ? pin : &empty, static_cast<uint32_t>(len));
    }
    ~PinValue() { SecureWipe(value_); }
    PinValue(const PinValue&) = delete;
    PinValue& operator=(const PinValue&) = delete;
    const uint8_t* Data() const { return value_.data(); }
    uint32_t Size() const { return static_cast<uint32_t>(value_.size()); }

private:
    ByteVec value_;
};

// The reference of a user type with its authentication record.
CK_RV AuthRecord(IAuthManager* auth, CK_USER_TYPE type, uint32_t& ref, AuthInfo& info) {
    if (!auth || auth->GetRefByP11Type(type, &ref) != 0 || auth->GetAuthInfo(ref, &info) != 0)
        return CKR_GENERAL_ERROR;
    return CKR_OK;
}

bool LengthInRange(const AuthInfo& info, CK_ULONG len) { return len >= info.minLength && len <= info.maxLength; }

// The session with its slot locked and refreshed, and the session state.
struct SessionCall {
    explicit SessionCall(CK_SESSION_HANDLE h) {
        rv = CheckInitialized();
        if (rv == CKR_OK) rv = FindSession(h, session);
        if (rv == CKR_OK) frame.emplace(session->SlotId());
        if (rv == CKR_OK) rv = frame->rv;
    }
    CK_RV Ready(CK_STATE& state) {
        if (!frame->slot->HasToken()) return CKR_TOKEN_NOT_PRESENT;
        CK_RV r = frame->Refresh(false, true);  // PIN commands write the token's PIN flags
        if (r) return r;
        CK_SESSION_INFO info;
        if ((r = session->GetSessionInfo(&info))) return r;
        state = info.state;
        return CKR_OK;
    }

    CK_RV rv;
    SessionPtr session;
    std::optional<SessionSlot> frame;
};

}  // namespace

CK_RV _C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
    if (!pPin || ulPinLen == 0 || !pLabel || !PinArgumentOk(pPin, ulPinLen)) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    Slot& slot = *frame.slot;
    if (!slot.HasToken()) return CKR_TOKEN_NOT_PRESENT;
    slot.PrepareWrite();
    if (slot.CheckUpdate() != 0 || slot.CheckUpdate2() != 0) return CKR_GENERAL_ERROR;
    auto sessions = KVEnv::GetCP11SessionManager();
    if (!sessions) return CKR_HOST_MEMORY;
    if (sessions->GetSessionCount(slotID) > 0) return CKR_SESSION_EXISTS;
    IAuthManager* auth = slot.GetAuthManager();
    if (!auth) return CKR_GENERAL_ERROR;
    {
        PinValue so(pPin, ulPinLen);
        CK_RV rv = CP11SessionManager::LogIn(auth, CKU_SO, so.Data(), so.Size());
        if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED || TransferFailedRv(rv)) return rv;
        if (rv) return CKR_GENERAL_ERROR;
    }
    // The SO's login serves this call only: afterwards nobody is logged in,
    // whatever the outcome. A failure to destroy one object does not stop
    // the others from going.
    struct LogOffAtEnd {
        IAuthManager* auth;
        ~LogOffAtEnd() { CP11SessionManager::LogOff(auth); }
    } logOff{auth};
    IObjectManager* objects = slot.GetObjectManager();
    std::vector<ObjPtr> all;
    if (!objects || objects->GetAllObj(all) != 0) return CKR_GENERAL_ERROR;
    for (const ObjPtr& obj : all) objects->DestroyObject(obj);
    if (slot.SetTokenLabel(pLabel) != 0) return CKR_GENERAL_ERROR;
    uint32_t userRef = 0;
    if (auth->GetRefByP11Type(CKU_USER, &userRef) != 0) return CKR_GENERAL_ERROR;
    PinValue reset(kResetUserPin, sizeof kResetUserPin);
    return auth->UnblockAuthenticator(userRef, reset.Data(), reset.Size()) == 0 ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV _C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    if (!PinArgumentOk(pPin, ulPinLen)) return CKR_ARGUMENTS_BAD;
    SessionCall call(hSession);
    if (call.rv) return call.rv;
    CK_STATE state = 0;
    CK_RV rv = call.Ready(state);
    if (rv) return rv;
    if (state != CKS_RW_SO_FUNCTIONS) return CKR_USER_NOT_LOGGED_IN;
    IAuthManager* auth = call.frame->slot->GetAuthManager();
    uint32_t userRef = 0;
    AuthInfo info{};
    if ((rv = AuthRecord(auth, CKU_USER, userRef, info))) return rv;
    if (!LengthInRange(info, ulPinLen)) return CKR_PIN_LEN_RANGE;
    PinValue user(pPin, ulPinLen);
    rv = auth->UnblockAuthenticator(userRef, user.Data(), user.Size());
    if (rv == CKR_OK || TransferFailedRv(rv)) return rv;
    return CKR_GENERAL_ERROR;
}

CK_RV _C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
                CK_ULONG ulNewLen) {
    if (!PinArgumentOk(pOldPin, ulOldLen) || !PinArgumentOk(pNewPin, ulNewLen)) return CKR_ARGUMENTS_BAD;
    SessionCall call(hSession);
    if (call.rv) return call.rv;
    CK_STATE state = 0;
    CK_RV rv = call.Ready(state);
    if (rv) return rv;
    CK_USER_TYPE who;
    if (state == CKS_RW_SO_FUNCTIONS) who = CKU_SO;
    else if (state == CKS_RW_PUBLIC_SESSION || state == CKS_RW_USER_FUNCTIONS) who = CKU_USER;
    else return CKR_SESSION_READ_ONLY;
    IAuthManager* auth = call.frame->slot->GetAuthManager();
    uint32_t ref = 0;
    AuthInfo info{};
    if ((rv = AuthRecord(auth, who, ref, info))) return rv;
    if (!LengthInRange(info, ulNewLen)) return CKR_PIN_LEN_RANGE;
    PinValue oldValue(pOldPin, ulOldLen);
    PinValue newValue(pNewPin, ulNewLen);
    return auth->ChangeAuthenticator(ref, oldValue.Data(), oldValue.Size(), newValue.Data(), newValue.Size());
}
