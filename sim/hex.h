// Hex text of bytes and back, for the control interface and the CLI.
#ifndef KVSIM_HEX_H
#define KVSIM_HEX_H

#include <optional>
#include <string>

#include "sim_crypto.h"

namespace sim {

std::string ToHex(const Bytes& b);
std::optional<Bytes> FromHex(const std::string& text);

}  // namespace sim

#endif
