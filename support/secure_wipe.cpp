#include "secure_wipe.h"

#include <cstring>

namespace {

// memset called through a volatile pointer: the compiler cannot see which
// function runs, so it cannot drop the store as dead.
void* (*const volatile g_wipe)(void*, int, size_t) = std::memset;

}  // namespace

void SecureWipe(void* p, size_t n) {
    if (p && n) g_wipe(p, 0, n);
}
