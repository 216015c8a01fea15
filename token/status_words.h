// Status words of the token mapped to result codes.
#ifndef KV_TOKEN_STATUS_WORDS_H
#define KV_TOKEN_STATUS_WORDS_H

#include <cstdint>

#include "kv_types.h"

RV GetDevErr(uint16_t sw);

#endif
