// Provisioning values shared by the library and the virtual token: the two
// static secure-channel keys and the host challenge of every channel opening.
// The library's own expectations of the token (its USB ids, its answer to
// reset) stand here as well.
#ifndef KV_PROVISIONING_H
#define KV_PROVISIONING_H

#include <cstdint>

namespace kvprov {

constexpr uint8_t kStaticEncKey[16] = {0x6B, 0x21, 0xD4, 0x0E, 0x93, 0x5A, 0xC7, 0x18,
                                       0x2F, 0xB0, 0x44, 0xE9, 0x71, 0x3C, 0x86, 0x5D};
constexpr uint8_t kStaticMacKey[16] = {0xA2, 0x57, 0x1C, 0xF8, 0x3D, 0x90, 0x6E, 0xB4,
                                       0x05, 0xC9, 0x7A, 0x12, 0xE6, 0x4F, 0x98, 0x23};
constexpr uint8_t kHostChallenge[8] = {0x3A, 0x91, 0x5C, 0x07, 0xE2, 0x48, 0xBD, 0x16};

// USB ids the library accepts; the virtual token answers the first pair.
constexpr int kVendorIds[2] = {0x2F1A, 0x2F1B};
constexpr int kProductIds[2] = {0x0501, 0x0502};

#ifndef __ANDROID__
// Host builds: the environment variable naming the virtual token's socket.
// There is no default: nothing named, no socket is used.
constexpr const char* kSocketVariable = "KVP11_SOCKET";

// Host builds, PC/SC: a reader's card is this token when the historical
// bytes of its answer to reset are these: category indicator 80, then a
// compact-TLV card issuer's data object (tag 5, length 8) "KVTOKEN1".
constexpr uint8_t kAtrHistorical[10] = {0x80, 0x58, 'K', 'V', 'T', 'O', 'K', 'E', 'N', '1'};
#endif

}  // namespace kvprov

#endif
