#include "itoken.h"

#include <algorithm>
#include <cstring>

#include "secure_wipe.h"

IToken::~IToken() {
    SecureWipe(cachedPin_, sizeof cachedPin_);
    delete device_;
}

void IToken::SetDev(kv_dev_t* device) {
    if (device_ != device) delete device_;
    device_ = device;
}

RV IToken::GetCachedPin(uint8_t* buffer) {
    std::memcpy(buffer, cachedPin_, cachedPinLen_);
    return 0;
}

RV IToken::CacheUPin(const uint8_t* pin, uint32_t length) {
    SecureWipe(cachedPin_, sizeof cachedPin_);
    cachedPinLen_ = std::min<uint32_t>(length, sizeof cachedPin_);
    std::memcpy(cachedPin_, pin, cachedPinLen_);
    return 0;
}
