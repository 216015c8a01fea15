#include "blocker.h"

#include <cstring>
#include <utility>

#include "secure_wipe.h"

void Blocker::Reset() {
    if (data_) {
        SecureWipe(data_, capacity_);
        delete[] data_;
    }
    data_ = nullptr;
    begin_ = end_ = capacity_ = 0;
}

void Blocker::Swap(Blocker& other) {
    std::swap(data_, other.data_);
    std::swap(begin_, other.begin_);
    std::swap(end_, other.end_);
    std::swap(capacity_, other.capacity_);
}

bool Blocker::PushBack(const uint8_t* bytes, uint32_t len) {
    if (len == 0) return true;
    const uint32_t queued = Size();
    if (uint64_t(queued) + len > UINT32_MAX) return false;
    if (uint64_t(end_) + len <= capacity_) {
        std::memcpy(data_ + end_, bytes, len);
        end_ += len;
        return true;
    }
    if (queued + len <= capacity_) {
        std::memmove(data_, data_ + begin_, queued);
        begin_ = 0;
        end_ = queued;
        std::memcpy(data_ + end_, bytes, len);
        end_ += len;
        return true;
    }
    auto* grown = new uint8_t[queued + len];
    if (queued) std::memcpy(grown, data_ + begin_, queued);
    std::memcpy(grown + queued, bytes, len);
    Reset();
    data_ = grown;
    begin_ = 0;
    end_ = capacity_ = queued + len;
    return true;
}

uint8_t* Blocker::Head(uint32_t n, uint32_t reserve) {
    return uint64_t(Size()) >= uint64_t(n) + reserve && data_ ? data_ + begin_ : nullptr;
}

uint8_t* Blocker::Head(uint32_t blockSize, uint32_t* count, uint32_t reserve) {
    const uint32_t queued = Size();
    if (blockSize == 0 || uint64_t(queued) < uint64_t(blockSize) + reserve || !data_) {
        *count = 0;
        return nullptr;
    }
    *count = (queued - reserve) / blockSize * blockSize;
    return data_ + begin_;
}
