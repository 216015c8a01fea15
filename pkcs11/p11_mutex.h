// The environment's mutex, always on the library's own ThreadMutex.
#ifndef KV_PKCS11_P11_MUTEX_H
#define KV_PKCS11_P11_MUTEX_H

#include <memory>

#include "pkcs11.h"
#include "thread_mutex.h"

class P11Mutex {
public:
    P11Mutex() = default;
    ~P11Mutex() { Destroy(); }
    P11Mutex(const P11Mutex&) = delete;
    P11Mutex& operator=(const P11Mutex&) = delete;

    CK_RV Create();
    CK_RV Destroy();
    CK_RV Lock();
    CK_RV Unlock();

private:
    std::unique_ptr<ThreadMutex> mutex_;
};

#endif
