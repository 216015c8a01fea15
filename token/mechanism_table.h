// The mechanism templates and their refinement by the token's own answer
// (GET DATA 0x85).
#ifndef KV_TOKEN_MECHANISM_TABLE_H
#define KV_TOKEN_MECHANISM_TABLE_H

#include <cstdint>
#include <map>
#include <vector>

#include "kv_types.h"

struct MechanismTable {
    std::map<CK_MECHANISM_TYPE, CK_MECHANISM_INFO> info;
    std::vector<uint32_t> hardware;  // types in the order of the answer, at most 128
    uint8_t rsaLengthBits = 0;       // key-size bits of the RSA key-pair record
};

// Builds a token's table from its answer; the templates are copied, never
// changed. False when the answer is malformed (count beyond the data).
bool BuildMechanismTable(const uint8_t* answer, uint32_t length, MechanismTable& table);

#endif
