// A growable byte queue: input received but not yet processed.
#ifndef KV_MECH_BLOCKER_H
#define KV_MECH_BLOCKER_H

#include <cstdint>

class Blocker {
public:
    Blocker() = default;
    virtual ~Blocker() { Reset(); }
    Blocker(const Blocker&) = delete;
    Blocker& operator=(const Blocker&) = delete;

    // Frees (after wiping) and empties.
    void Reset();
    void Swap(Blocker& other);
    // Queues len bytes; false, with nothing queued, when the queue would
    // pass 32 bits.
    bool PushBack(const uint8_t* bytes, uint32_t len);
    // First queued byte when at least n + reserve bytes are queued.
    uint8_t* Head(uint32_t n, uint32_t reserve);
    // First queued byte, with count = the largest multiple of blockSize that
    // leaves reserve bytes queued; null and count 0 below blockSize + reserve.
    uint8_t* Head(uint32_t blockSize, uint32_t* count, uint32_t reserve);
    void PopFront(uint32_t n) { begin_ += n; }
    uint32_t Size() const { return end_ - begin_; }

private:
    uint8_t* data_ = nullptr;
    uint32_t begin_ = 0;
    uint32_t end_ = 0;
    uint32_t capacity_ = 0;
};

#endif
