// The token's device lock for one scope: two-command operations (MSE then
// PSO) hold it across both commands and release it on every path.
#ifndef KV_TOKEN_DEVICE_LOCK_H
#define KV_TOKEN_DEVICE_LOCK_H

#include "itoken.h"

class DeviceLock {
public:
    explicit DeviceLock(IToken& token) : token_(token), result_(token.Lock()) {}
    ~DeviceLock() {
        if (result_ == 0) token_.Unlock();
    }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
    // 0 when the lock is held, else the failure of Lock().
    RV Result() const { return result_; }

private:
    IToken& token_;
    RV result_;
};

#endif
