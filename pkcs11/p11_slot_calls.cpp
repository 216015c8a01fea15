// Slot, token and mechanism queries.
#include <cstring>
#include <vector>

#include "alg_factory.h"
#include "p11_env.h"
#include "p11_internal.h"
#include "p11_text.h"
#include "slot_frame.h"
#include "slot_manager.h"

CK_RV _C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    if (!pulCount) return CKR_ARGUMENTS_BAD;
    CK_RV rv = CheckInitialized();
    if (rv) return rv;
    auto slots = KVEnv::GetSlotManager();
    if (!slots) return CKR_HOST_MEMORY;
    std::vector<CK_SLOT_ID> ids;
    slots->FindSlots(tokenPresent != CK_FALSE, pSlotList, ids);
    const CK_ULONG capacity = *pulCount;
    *pulCount = ids.size();
    if (!pSlotList) return CKR_OK;
    if (capacity < ids.size()) return CKR_BUFFER_TOO_SMALL;
    std::copy(ids.begin(), ids.end(), pSlotList);
    return CKR_OK;
}

CK_RV _C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    Slot* slot = frame.slot.get();
    std::memset(pInfo, 0, sizeof *pInfo);
    std::memset(pInfo->slotDescription, ' ', sizeof pInfo->slotDescription);
    char text[32];
    std::snprintf(text, sizeof text, "KV SLOT %lu", slotID);
    std::memcpy(pInfo->slotDescription, text, std::min<size_t>(9, std::strlen(text)));
    P11_StrToArray(pInfo->manufacturerID, "Korvanite", sizeof pInfo->manufacturerID);
    pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot->HasToken() ? CKF_TOKEN_PRESENT : 0);
    pInfo->hardwareVersion = CK_VERSION{1, 0};
    pInfo->firmwareVersion = CK_VERSION{1, 0};
    return CKR_OK;
}

CK_RV _C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    Slot* slot = frame.slot.get();
    if (!slot->HasToken()) return CKR_TOKEN_NOT_PRESENT;
    if (slot->CheckUpdate() != 0) return CKR_GENERAL_ERROR;
    return slot->GetTokenInfo(pInfo);
}

CK_RV _C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
    if (!pulCount) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    Slot* slot = frame.slot.get();
    if (!slot->HasToken()) return CKR_TOKEN_NOT_PRESENT;
    AlgFactory* factory = slot->GetAlgFactory();
    return factory ? factory->GetMechanismList(pMechanismList, pulCount) : CKR_GENERAL_ERROR;
}

CK_RV _C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    Slot* slot = frame.slot.get();
    if (!slot->HasToken()) return CKR_TOKEN_NOT_PRESENT;
    AlgFactory* factory = slot->GetAlgFactory();
    return factory ? factory->GetMechanismInfo(type, pInfo) : CKR_GENERAL_ERROR;
}
