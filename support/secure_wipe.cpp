#include "secure_wipe.h"

#include <cstring>

namespace {

// Called through a volatile pointer: the compiler cannot tell it is memset,
// so it cannot drop the store to memory that is never read again.
void* (*const volatile kWipe)(void*, int, size_t) = std::memset;

}  // namespace

void SecureWipe(void* p, size_t n) {
    if (p && n) kWipe(p, 0, n);
}
