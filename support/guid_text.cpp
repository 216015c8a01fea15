#include "guid_text.h"

#include <cstdio>

std::string GuidText(const uint8_t* bytes, size_t length) {
    constexpr size_t kGuidBytes = 16;
    uint8_t b[kGuidBytes] = {};
    for (size_t i = 0; i < kGuidBytes && i < length; ++i) b[i] = bytes[i];
    char text[40];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}
