#include "utils.h"

#include <algorithm>
#include <cstring>

#include "kv_types.h"

namespace {
const char kHexDigits[] = "0123456789ABCDEF";
// Indexed by remainder + 35, so negative remainders find their digit too.
const char kRadixDigits[] = "zyxwvutsrqponmlkjihgfedcba9876543210123456789abcdefghijklmnopqrstuvwxyz";
}  // namespace

int32_t HexToAsc(char* dst, const uint8_t* src, int32_t len) {
    if (len <= 0) {
        dst[0] = 0;
        return 0;
    }
    for (int32_t i = 0; i < len; ++i) {
        dst[2 * i] = kHexDigits[src[i] >> 4];
        dst[2 * i + 1] = kHexDigits[src[i] & 0x0F];
    }
    dst[2 * len] = 0;
    return 2 * len;
}

char* itoa(int32_t value, char* buffer, int32_t radix) {
    if (radix < 2 || radix > 36) {
        buffer[0] = 0;
        return buffer;
    }
    char* p = buffer;
    int32_t last;
    do {
        last = value;
        int32_t quotient = value / radix;
        int32_t remainder = value - quotient * radix;
        *p++ = kRadixDigits[remainder + 35];
        value = quotient;
    } while (value != 0);
    if (last < 0) *p++ = '-';
    *p = 0;
    std::reverse(buffer, p);
    return buffer;
}

std::string ToStringA(const char* text, uint32_t /*from*/, uint32_t /*to*/) {
    return text ? std::string(text) : std::string();
}

void ConvertU2ToCharArray(const uint16_t* src, char* dst, uint32_t len) {
    if (len < 2) return;
    for (uint32_t i = 0; i + 1 < len; ++i) dst[i] = static_cast<char>(src[i] & 0xFF);
    dst[len - 1] = 0;
}

void ConvertCharArrayToU2(uint16_t* dst, const char* src, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) dst[i] = static_cast<uint8_t>(src[i]);
}

bool IsULongAttribute(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
        case CKA_CLASS:
        case CKA_CERTIFICATE_TYPE:
        case CKA_CERTIFICATE_CATEGORY:
        case CKA_KEY_TYPE:
        case CKA_MODULUS_BITS:
        case CKA_VALUE_BITS:
        case CKA_VALUE_LEN:
        case CKA_VENDOR_KEY_REF:
            return true;
        default:
            return false;
    }
}

uint32_t ResizeLength(uint32_t type, uint32_t* len) {
    if (IsULongAttribute(type) && *len == 8) *len = 4;
    return *len;
}

void RestoreInitialLength(CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        if (IsULongAttribute(tmpl[i].type) && tmpl[i].ulValueLen == 4) tmpl[i].ulValueLen = 8;
    }
}
