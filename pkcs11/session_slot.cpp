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

CK_RV SessionSlot::Refresh(bool containers) {
    if (slot->CheckUpdate() != 0 || (containers && slot->CheckUpdate2() != 0)) return CKR_GENERAL_ERROR;
    return CKR_OK;
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
