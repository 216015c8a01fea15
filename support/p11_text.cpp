#include "p11_text.h"

#include <cstring>

bool P11_StrToArray(CK_UTF8CHAR* dst, const char* text, size_t width) {
    size_t len = std::strlen(text);
    if (len > width) return false;
    std::memset(dst, ' ', width);
    std::memcpy(dst, text, len);
    return true;
}
