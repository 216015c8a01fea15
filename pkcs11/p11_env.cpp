#include "p11_env.h"

#include <cstring>

#include "session_manager.h"
#include "slot_manager.h"

CP11Env::CP11Env() = default;

CP11Env::~CP11Env() { mutex_.Destroy(); }

CK_RV CP11Env::AddRef() {
    std::lock_guard<std::mutex> lock(countMutex_);
    return ++refCount_ == 1 ? CKR_OK : CKR_CRYPTOKI_ALREADY_INITIALIZED;
}

CK_RV CP11Env::ReleaseRef() {
    std::lock_guard<std::mutex> lock(countMutex_);
    if (refCount_ <= 0) return CKR_CRYPTOKI_NOT_INITIALIZED;
    --refCount_;
    return CKR_OK;
}

bool CP11Env::Initialized() {
    std::lock_guard<std::mutex> lock(countMutex_);
    return refCount_ >= 1;
}

CK_RV CP11Env::InitArgs(const void* p) {
    if (!p) return CKR_OK;
    CK_C_INITIALIZE_ARGS args;
    std::memcpy(&args, p, sizeof args);
    static const CK_C_INITIALIZE_ARGS zero{};
    if (std::memcmp(&args, &zero, sizeof args) == 0) return CKR_OK;
    if (args.pReserved) return CKR_ARGUMENTS_BAD;
    if (args.flags && !(args.flags & (CKF_LIBRARY_CANT_CREATE_OS_THREADS | CKF_OS_LOCKING_OK))) return CKR_ARGUMENTS_BAD;
    const int callbacks = !!args.CreateMutex + !!args.DestroyMutex + !!args.LockMutex + !!args.UnlockMutex;
    if (callbacks != 0 && callbacks != 4) return CKR_ARGUMENTS_BAD;
    // The application's mutex callbacks are never used: the library always
    // locks with its own mutexes.
    return CKR_OK;
}

kv::shared_ptr<CP11Env> KVEnv::GetCP11Env() {
    static const kv::shared_ptr<CP11Env> env = [] {
        kv::shared_ptr<CP11Env> e(new CP11Env());
        e->Initialize();
        return e;
    }();
    return env;
}

kv::shared_ptr<CP11SessionManager> KVEnv::GetCP11SessionManager() {
    static const kv::shared_ptr<CP11SessionManager> manager(new CP11SessionManager());
    return manager;
}

kv::shared_ptr<SlotManager> KVEnv::GetSlotManager() {
    static const kv::shared_ptr<SlotManager> manager = [] {
        kv::shared_ptr<SlotManager> m(new SlotManager());
        m->Initialize();
        return m;
    }();
    return manager;
}
