// Reading one fuzz input: single bytes, big-endian numbers and framed
// messages. A frame is a 2-byte big-endian length followed by that many
// bytes; a length that runs past the end takes what is left. Reads past the
// end give zeros and empty frames, so every input is a valid script.
#ifndef KV_TESTS_FUZZ_INPUT_H
#define KV_TESTS_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kvfuzz {

using Bytes = std::vector<uint8_t>;

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - pos_; }

    uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
    uint16_t U16() {
        const uint16_t high = Byte();
        return static_cast<uint16_t>(high << 8 | Byte());
    }
    uint32_t U32() {
        const uint32_t high = U16();
        return high << 16 | U16();
    }
    bool Bit() { return Byte() & 1; }

    Bytes Take(size_t n) {
        if (n > Left()) n = Left();
        Bytes out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    Bytes Frame() { return Take(U16()); }
    Bytes Rest() { return Take(Left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A property every input must keep; a broken one ends the run like a crash.
inline void Check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace kvfuzz

#endif
