#include "p11_mutex.h"

CK_RV P11Mutex::Create() {
    mutex_ = std::make_unique<ThreadMutex>();
    return CKR_OK;
}

CK_RV P11Mutex::Destroy() {
    mutex_.reset();
    return CKR_OK;
}

CK_RV P11Mutex::Lock() {
    if (!mutex_) return CKR_MUTEX_BAD;
    mutex_->Lock();
    return CKR_OK;
}

CK_RV P11Mutex::Unlock() {
    if (!mutex_) return CKR_MUTEX_BAD;
    mutex_->Unlock();
    return CKR_OK;
}
