#include "apdu.h"

#include <cstring>

bool Build_Plaintext_APDU(const APDU& apdu, uint8_t* buffer, uint32_t cap, uint32_t* length) {
    if (apdu.data.size() != apdu.lc) return false;
    uint64_t need = 4 + (apdu.lc ? (apdu.lc <= 255 ? 1 : 3) + uint64_t(apdu.lc) : 0) +
                    (apdu.le ? (apdu.le <= 255 ? 1 : 3) : 0) + ((apdu.lc || apdu.le) ? 0 : 1);
    if (need > cap) return false;
    std::memset(buffer, 0, cap);
    uint32_t n = 0;
    buffer[n++] = static_cast<uint8_t>(apdu.cla);
    buffer[n++] = static_cast<uint8_t>(apdu.ins);
    buffer[n++] = static_cast<uint8_t>(apdu.p1);
    buffer[n++] = static_cast<uint8_t>(apdu.p2);
    auto field = [&](uint32_t v) {
        if (v <= 255) {
            buffer[n++] = static_cast<uint8_t>(v);
        } else {
            buffer[n++] = static_cast<uint8_t>(v >> 16);
            buffer[n++] = static_cast<uint8_t>(v >> 8);
            buffer[n++] = static_cast<uint8_t>(v);
        }
    };
    if (apdu.lc) {
        field(apdu.lc);
        std::memcpy(buffer + n, apdu.data.data(), apdu.lc);
        n += apdu.lc;
    }
    if (apdu.le) field(apdu.le);
    if (!apdu.lc && !apdu.le) buffer[n++] = 0;
    *length = n;
    return true;
}
