// The simple BER-TLV runs of card commands: one-byte tags, lengths of one
// byte below 0x80, 81 L or 82 hi lo.
#ifndef KVSIM_TLV_H
#define KVSIM_TLV_H

#include <map>
#include <optional>

#include "sim_crypto.h"

namespace sim {

// The objects of data[from, to) by tag (a repeated tag keeps its last value);
// nullopt when an object runs past the end.
std::optional<std::map<uint8_t, Bytes>> ParseTlvRun(const Bytes& data, size_t from, size_t to);

}  // namespace sim

#endif
