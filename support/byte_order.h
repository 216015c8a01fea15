// Loads and stores of 16-, 32- and 64-bit values in little- and big-endian
// byte order: the token's records are little-endian, its command data and
// answers (file sizes, FIDs, mechanism records) big-endian.
#ifndef KV_SUPPORT_BYTE_ORDER_H
#define KV_SUPPORT_BYTE_ORDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace byte_order {

template <typename T>
inline T LoadLe(const uint8_t* p) {
    T v = 0;
    for (size_t i = sizeof(T); i-- > 0;) v = static_cast<T>(v << 8 | p[i]);
    return v;
}

template <typename T>
inline T LoadBe(const uint8_t* p) {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v << 8 | p[i]);
    return v;
}

template <typename T>
inline void StoreLe(uint8_t* p, T v) {
    for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

template <typename T>
inline void StoreBe(uint8_t* p, T v) {
    for (size_t i = 0; i < sizeof(T); ++i) p[sizeof(T) - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
}

template <typename T>
inline void AppendLe(std::vector<uint8_t>& out, T v) {
    uint8_t bytes[sizeof(T)];
    StoreLe(bytes, v);
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

template <typename T>
inline void AppendBe(std::vector<uint8_t>& out, T v) {
    uint8_t bytes[sizeof(T)];
    StoreBe(bytes, v);
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

}  // namespace byte_order

inline uint16_t LoadLe16(const uint8_t* p) { return byte_order::LoadLe<uint16_t>(p); }
inline uint32_t LoadLe32(const uint8_t* p) { return byte_order::LoadLe<uint32_t>(p); }
inline uint64_t LoadLe64(const uint8_t* p) { return byte_order::LoadLe<uint64_t>(p); }
inline uint16_t LoadBe16(const uint8_t* p) { return byte_order::LoadBe<uint16_t>(p); }
inline uint32_t LoadBe32(const uint8_t* p) { return byte_order::LoadBe<uint32_t>(p); }

inline void StoreLe16(uint8_t* p, uint16_t v) { byte_order::StoreLe(p, v); }
inline void StoreLe32(uint8_t* p, uint32_t v) { byte_order::StoreLe(p, v); }
inline void StoreLe64(uint8_t* p, uint64_t v) { byte_order::StoreLe(p, v); }
inline void StoreBe16(uint8_t* p, uint16_t v) { byte_order::StoreBe(p, v); }
inline void StoreBe32(uint8_t* p, uint32_t v) { byte_order::StoreBe(p, v); }

inline void AppendLe16(std::vector<uint8_t>& out, uint16_t v) { byte_order::AppendLe(out, v); }
inline void AppendLe32(std::vector<uint8_t>& out, uint32_t v) { byte_order::AppendLe(out, v); }
inline void AppendLe64(std::vector<uint8_t>& out, uint64_t v) { byte_order::AppendLe(out, v); }
inline void AppendBe16(std::vector<uint8_t>& out, uint16_t v) { byte_order::AppendBe(out, v); }

#endif
