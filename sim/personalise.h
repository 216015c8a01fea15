// Makes the content of a fresh token: named-file table, token information,
// container maps, PIN keys and retry limits.
#ifndef KVSIM_PERSONALISE_H
#define KVSIM_PERSONALISE_H

#include <string>

#include "token_state.h"

namespace sim {

struct Personalisation {
    std::string userPin = "12345678";
    std::string soPin = "87654321";
    int userTries = 5;
    int soTries = 5;
    std::string label = "Virtual Token";
    std::string serial = "4B56000000000001";  // 16 hex digits, or text with serialIsText
    bool serialIsText = false;
    Cipher cipher = Cipher::Aes128;
    bool secureMessaging = true;
    uint32_t capacity = 64 * 1024;
};

// SHA-1 of the PIN followed by its length, big-endian (24 bytes).
Bytes PinValue(const std::string& pin);

TokenState Personalise(const Personalisation& p);

}  // namespace sim

#endif
