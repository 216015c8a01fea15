#include "key_files.h"

#include "pkcs11.h"

bool KeyFileRangeFor(uint32_t keyClass, uint32_t keyType, KeyFileRange& range) {
    if (keyClass == CKO_PUBLIC_KEY) range = {0x8000, 0x20, 0x9FE0};
    else if (keyClass == CKO_PRIVATE_KEY) range = {0xA020, 0x20, 0xC000};
    else if (keyClass != CKO_SECRET_KEY) return false;
    else if (keyType == CKK_DES || keyType == CKK_DES3) range = {0x0501, 1, 0x050A};
    else if (keyType == CKK_AES) range = {0x0511, 1, 0x051A};
    else return false;
    return true;
}

bool IsKeyFileOf(uint32_t keyClass, uint32_t keyType, uint32_t fid) {
    KeyFileRange range{};
    return KeyFileRangeFor(keyClass, keyType, range) && range.Holds(fid);
}

bool IsKeyFile(uint32_t fid) {
    return IsKeyFileOf(CKO_PUBLIC_KEY, 0, fid) || IsKeyFileOf(CKO_PRIVATE_KEY, 0, fid) ||
           IsKeyFileOf(CKO_SECRET_KEY, CKK_DES3, fid) || IsKeyFileOf(CKO_SECRET_KEY, CKK_AES, fid);
}
