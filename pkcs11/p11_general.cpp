// C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList and the calls
// answered with a fixed code.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "logger.h"
#include "p11_env.h"
#include "p11_internal.h"
#include "p11_text.h"
#include "slot_manager.h"
#include "template_values.h"
#include "thread_mutex.h"

namespace {

std::atomic<bool> g_initialisedOnce{false};

ThreadMutex& InitialisationLock() {
    static ThreadMutex lock;
    return lock;
}

// The product record.
const char kLibraryDescription[] = "Korvanite PKCS#11 Library.";
const char kManufacturer[] = "Halvorn Technologies Co., Ltd.";

}  // namespace

CK_RV CheckInitialized() {
    auto env = KVEnv::GetCP11Env();
    if (!env) return CKR_HOST_MEMORY;
    return env->Initialized() ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV FindSlot(CK_SLOT_ID id, kv::shared_ptr<Slot>& slot) {
    auto slots = KVEnv::GetSlotManager();
    if (!slots) return CKR_HOST_MEMORY;
    slot = slots->GetSlot(id);
    return slot ? CKR_OK : CKR_SLOT_ID_INVALID;
}

CK_RV FindSession(CK_SESSION_HANDLE handle, SessionPtr& session) {
    auto sessions = KVEnv::GetCP11SessionManager();
    if (!sessions) return CKR_HOST_MEMORY;
    session = sessions->GetSession(handle);
    return session ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV SessionFrame(CK_SESSION_HANDLE handle, SessionPtr& session) {
    const CK_RV rv = CheckInitialized();
    return rv ? rv : FindSession(handle, session);
}

CK_RV _C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    static CK_FUNCTION_LIST list;
    if (!ppFunctionList) return CKR_ARGUMENTS_BAD;
    list.version = CK_VERSION{2, 20};
#define KV_P11_FUNC(name, params, args) list.name = &name;
#include "pkcs11f.h"
#undef KV_P11_FUNC
    *ppFunctionList = &list;
    return CKR_OK;
}

CK_RV _C_Initialize(CK_VOID_PTR pInitArgs) {
    ThreadMutexGuard guard(InitialisationLock());
    auto env = KVEnv::GetCP11Env();
    if (!env) return CKR_HOST_MEMORY;
    if (!g_initialisedOnce.load()) {
        CK_RV rv = env->InitArgs(pInitArgs);
        if (rv) return rv;
        if (!KVEnv::GetSlotManager() || !KVEnv::GetCP11SessionManager()) return CKR_HOST_MEMORY;
        g_initialisedOnce.store(true);
    }
    ChooseEcPointForm(std::getenv("KVP11_EC_POINT"));
#ifndef __ANDROID__
    ConfigureLogging(std::getenv("KVP11_LOG"));  // the Android build logs only where the app asks
#endif
    env->Mutex().Lock();
    CK_RV rv = env->AddRef();
    env->Mutex().Unlock();
    return rv;
}

CK_RV _C_Finalize(CK_VOID_PTR pReserved) {
    if (pReserved) return CKR_ARGUMENTS_BAD;
    auto env = KVEnv::GetCP11Env();
    if (!env) return CKR_HOST_MEMORY;
    if (!env->Initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    auto slots = KVEnv::GetSlotManager();
    if (!slots) return CKR_HOST_MEMORY;
    slots->CancelWait4SlotEvent();
    env->Mutex().Lock();
    CK_RV rv = env->ReleaseRef();
    env->Mutex().Unlock();
    return rv;
}

CK_RV _C_GetInfo(CK_INFO_PTR pInfo) {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    CK_RV rv = CheckInitialized();
    if (rv) return rv;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->cryptokiVersion = CK_VERSION{2, 20};
    pInfo->flags = 0;
    pInfo->libraryVersion = CK_VERSION{1, 20};
    P11_StrToArray(pInfo->libraryDescription, kLibraryDescription, sizeof pInfo->libraryDescription);
    P11_StrToArray(pInfo->manufacturerID, kManufacturer, sizeof pInfo->manufacturerID);
    return CKR_OK;
}

// Fixed codes, before and without any other check.
CK_RV _C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV _C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV _C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV _C_GetObjectSize(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV _C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV _C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV _C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV _C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV _C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV _C_GetFunctionStatus(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV _C_CancelFunction(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV _C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV _C_SeedRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return CKR_RANDOM_SEED_NOT_SUPPORTED; }
