// Wipes secrets in a way the compiler keeps.
#ifndef KV_SUPPORT_SECURE_WIPE_H
#define KV_SUPPORT_SECURE_WIPE_H

#include <cstddef>
#include <vector>

void SecureWipe(void* p, size_t n);

inline void SecureWipe(std::vector<unsigned char>& v) {
    SecureWipe(v.data(), v.size());
    v.clear();
}

#endif
