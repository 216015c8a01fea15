// One command APDU as the token commands describe it, and its plain encoding.
#ifndef KV_TOKEN_APDU_H
#define KV_TOKEN_APDU_H

#include <cstdint>

#include "kv_types.h"

struct APDU {
    APDU(uint32_t cla_, uint32_t ins_, uint32_t p1_, uint32_t p2_, uint32_t lc_ = 0, const uint8_t* data_ = nullptr,
         uint32_t le_ = 0)
        : cla(cla_), ins(ins_), p1(p1_), p2(p2_), lc(lc_), le(le_) {
        if (lc && data_) data.assign(data_, data_ + lc);
    }
    uint32_t cla, ins, p1, p2, lc, le;
    ByteVec data;
};

// Lc: one byte up to 255, else 00 hi lo; Le likewise (three bytes above 255);
// with neither, five bytes ending 00. False when it would not fit in cap or
// data does not hold exactly lc bytes.
bool Build_Plaintext_APDU(const APDU& apdu, uint8_t* buffer, uint32_t cap, uint32_t* length);

#endif
