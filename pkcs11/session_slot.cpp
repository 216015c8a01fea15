#include "session_slot.h"

#include "iauth_manager.h"
#include "p11_env.h"
#include "slot_manager.h"

SessionSlot::SessionSlot(CK_SLOT_ID id) {
    auto slots = KVEnv::GetSlotManager();
    if (!slots) {
        rv = CKR_HOST_MEMORY;
        return;
    }
    slot = slots->GetSlot(id);
    locked_ = slot && slot->Lock() == 0;
    rv = locked_ ? CKR_OK : CKR_GENERAL_ERROR;
}

SessionSlot::~SessionSlot() {
    if (locked_) slot->Unlock();
}

CK_RV SessionSlot::Refresh(bool containers, bool writes) {
    if (writes) slot->PrepareWrite();
    RV failed = slot->CheckUpdate();
    if (failed == 0 && containers) failed = slot->CheckUpdate2();
    return RefreshResult(failed);
}

CK_RV RefreshResult(RV rv) {
    // The refresh only reads the token: what stops it is the token's
    // answer or the transfer, never the caller.
    // A token whose file system could not be read during a transfer fault
    // is not unknown: that is a device error too.
    if (rv == 0 || rv == CKR_HOST_MEMORY || rv == CKR_TOKEN_NOT_PRESENT) return rv;
    return CKR_DEVICE_ERROR;
}

CK_RV UserAuthenticated(Slot& slot, bool& user) {
    IAuthManager* auth = slot.GetAuthManager();
    uint32_t ref = 0;
    AuthInfo info{};
    if (!auth || auth->GetRefByP11Type(CKU_USER, &ref) != 0 || auth->GetAuthInfo(ref, &info) != 0)
        return CKR_GENERAL_ERROR;
    user = (info.flags & 1) != 0;
    return CKR_OK;
}
