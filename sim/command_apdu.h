// A command APDU as the card receives it, parsed from raw bytes that may
// carry trailing pad bytes (the reader pads long messages to 64-byte units).
#ifndef KVSIM_COMMAND_APDU_H
#define KVSIM_COMMAND_APDU_H

#include <cstdint>
#include <optional>

#include "sim_crypto.h"

namespace sim {

struct CommandApdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    uint32_t le = 0;      // 0: none or "all available"
    bool hasLe = false;
};

// Short form: Lc 1 byte; extended: 00 hi lo. An Le of 00 in the short
// form means 256. nullopt when the bytes are too short for what they claim.
std::optional<CommandApdu> ParseCommand(const Bytes& raw);

}  // namespace sim

#endif
