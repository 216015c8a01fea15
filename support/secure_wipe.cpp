#include "secure_wipe.h"

#include <openssl/crypto.h>

void SecureWipe(void* p, size_t n) {
    if (p && n) OPENSSL_cleanse(p, n);
}
