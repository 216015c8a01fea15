// The process-wide environment: initialisation count and the singletons.
#ifndef KV_PKCS11_P11_ENV_H
#define KV_PKCS11_P11_ENV_H

#include <mutex>

#include "p11_mutex.h"
#include "pkcs11.h"
#include "shared_ptr.h"

class CP11SessionManager;
class SlotManager;

class CP11Env {
public:
    CP11Env();
    ~CP11Env();
    CP11Env(const CP11Env&) = delete;
    CP11Env& operator=(const CP11Env&) = delete;

    CK_RV Initialize() { return mutex_.Create(); }
    // count + 1: CKR_OK for the first, CKR_CRYPTOKI_ALREADY_INITIALIZED after.
    CK_RV AddRef();
    // count - 1, never below 0: CKR_CRYPTOKI_NOT_INITIALIZED when it was 0.
    CK_RV ReleaseRef();
    bool Initialized();
    CK_RV InitArgs(const void* args);
    P11Mutex& Mutex() { return mutex_; }

private:
    int64_t refCount_ = 0;
    std::mutex countMutex_;
    P11Mutex mutex_;
};

// Accessors of the three singletons, each created once, thread-safely.
class KVEnv {
public:
    static kv::shared_ptr<CP11Env> GetCP11Env();
    static kv::shared_ptr<CP11SessionManager> GetCP11SessionManager();
    static kv::shared_ptr<SlotManager> GetSlotManager();
};

#endif
