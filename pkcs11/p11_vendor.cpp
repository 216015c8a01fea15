// The vendor function table and its functions. Each entry runs in the same
// frame as the exported PKCS#11 functions; the working ones also take the
// slot frame (initialised, slot found, slot locked).
#include "p11_vendor.h"

#include <cstring>

#include "iauth_manager.h"
#include "itoken.h"
#include "kv_export.h"
#include "p11_trap.h"
#include "slot_frame.h"

namespace {

static_assert(sizeof(KV_AUX_FUNCTION_LIST) == 202, "the table is 202 packed bytes");
static_assert(sizeof(KV_PIN_INFO) == 12, "the PIN information record is 12 bytes");
static_assert(sizeof(void (*)(void)) == 8, "table entries hold 8-byte addresses");

// Retry counters of one user type: maximum, then left.
CK_RV ReadTries(IAuthManager& auth, CK_USER_TYPE type, CK_BYTE& maximum, CK_BYTE& left) {
    uint32_t ref = 0, max = 0, remaining = 0;
    CK_RV rv = auth.GetRefByP11Type(type, &ref);
    if (rv == CKR_OK) rv = auth.GetAuthMaxTries(ref, &max);
    if (rv == CKR_OK) rv = auth.GetAuthLeftTries(ref, &remaining);
    if (rv) return rv;
    maximum = static_cast<CK_BYTE>(max);
    left = static_cast<CK_BYTE>(remaining);
    return CKR_OK;
}

extern "C" {

CK_RV AuxNotSupported(void) {
    return TrapCall("E_AuxNotSupported", [] { return CKR_FUNCTION_NOT_SUPPORTED; });
}

CK_RV AuxOk(void) {
    return TrapCall("E_AuxOk", [] { return CKR_OK; });
}

CK_RV E_SetTokenLabel(unsigned int slotID, CK_VOID_PTR, CK_VOID_PTR, CK_VOID_PTR, CK_UTF8CHAR_PTR pLabel) {
    return TrapCall("E_SetTokenLabel", [&] { return _E_SetTokenLabel(slotID, pLabel); });
}

CK_RV E_GetPinInfo(unsigned int slotID, KV_PIN_INFO* pInfo) {
    return TrapCall("E_GetPinInfo", [&] { return _E_GetPinInfo(slotID, pInfo); });
}

CK_RV E_ClearLocalCache(unsigned int slotID) {
    return TrapCall("E_ClearLocalCache", [&] { return _E_ClearLocalCache(slotID); });
}

CK_RV E_IsOldKey(unsigned int slotID, CK_BBOOL* pResult) {
    return TrapCall("E_IsOldKey", [&] { return _E_IsOldKey(slotID, pResult); });
}

}  // extern "C"

template <typename Fn>
void SetEntry(KV_AUX_FUNCTION_LIST& table, unsigned k, Fn fn) {
    void (*entry)(void) = reinterpret_cast<void (*)(void)>(fn);
    std::memcpy(table.entries[k], &entry, sizeof entry);
}

// Built once, never cleared or rewritten afterwards: callers on other
// threads may be reading it.
KV_AUX_FUNCTION_LIST BuildTable() {
    KV_AUX_FUNCTION_LIST table;
    std::memset(&table, 0, sizeof table);
    table.version = CK_VERSION{1, 0};
    for (unsigned k : {0u, 3u, 5u, 6u, 7u, 8u, 9u, 15u}) SetEntry(table, k, &AuxNotSupported);
    for (unsigned k : {4u, 14u, 16u}) SetEntry(table, k, &AuxOk);
    SetEntry(table, KV_AUX_SET_TOKEN_LABEL, &E_SetTokenLabel);
    SetEntry(table, KV_AUX_GET_PIN_INFO, &E_GetPinInfo);
    SetEntry(table, KV_AUX_CLEAR_LOCAL_CACHE, &E_ClearLocalCache);
    SetEntry(table, KV_AUX_IS_OLD_KEY, &E_IsOldKey);
    return table;
}

}  // namespace

extern "C" KV_EXPORT CK_RV E_GetAuxFunctionList(KV_AUX_FUNCTION_LIST_PTR_PTR ppTable) {
    return TrapCall("E_GetAuxFunctionList", [&] { return _E_GetAuxFunctionList(ppTable); });
}

CK_RV _E_GetAuxFunctionList(KV_AUX_FUNCTION_LIST_PTR_PTR ppTable) {
    static KV_AUX_FUNCTION_LIST table = BuildTable();
    if (!ppTable) return CKR_ARGUMENTS_BAD;
    *ppTable = &table;
    return CKR_OK;
}

// No login is asked for: the label is not a secret and the token's own
// access rules guard its information file.
CK_RV _E_SetTokenLabel(unsigned int slotID, CK_UTF8CHAR_PTR pLabel) {
    if (!pLabel) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    if (!frame.slot->HasToken()) return CKR_TOKEN_NOT_PRESENT;
    frame.slot->PrepareWrite();
    return frame.slot->SetTokenLabel(pLabel) == 0 ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV _E_GetPinInfo(unsigned int slotID, KV_PIN_INFO* pInfo) {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    Slot& slot = *frame.slot;
    if (!slot.HasToken()) return CKR_TOKEN_NOT_PRESENT;
    IAuthManager* auth = slot.GetAuthManager();
    if (!auth) return CKR_GENERAL_ERROR;
    KV_PIN_INFO info{};
    CK_RV rv = ReadTries(*auth, CKU_USER, info.userMaxTries, info.userTriesLeft);
    if (rv == CKR_OK) rv = ReadTries(*auth, CKU_SO, info.soMaxTries, info.soTriesLeft);
    CK_TOKEN_INFO token;
    if (rv == CKR_OK) rv = slot.GetTokenInfo(&token);
    if (rv) return rv;
    std::memcpy(info.tokenFlags, &token.flags, sizeof info.tokenFlags);
    *pInfo = info;
    return CKR_OK;
}

CK_RV _E_ClearLocalCache(unsigned int slotID) {
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    IToken* token = frame.slot->Token();
    if (!token) return CKR_TOKEN_NOT_PRESENT;
    return token->ClearLocalFileCache() == 0 ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV _E_IsOldKey(unsigned int slotID, CK_BBOOL* pResult) {
    if (!pResult) return CKR_ARGUMENTS_BAD;
    SlotFrame frame(slotID);
    if (frame.rv) return frame.rv;
    IToken* token = frame.slot->Token();
    if (!token) return CKR_TOKEN_NOT_PRESENT;
    *pResult = token->IsOldKey() ? CK_TRUE : CK_FALSE;
    return CKR_OK;
}
