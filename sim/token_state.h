// Everything the virtual token keeps across power cycles, and its file form.
#ifndef KVSIM_TOKEN_STATE_H
#define KVSIM_TOKEN_STATE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "sim_crypto.h"

namespace sim {

// File descriptor bytes of CREATE FILE.
enum FileKind : uint8_t {
    kTransparentFile = 0x01,
    kRsaPrivateFile = 0x11,
    kRsaPublicFile = 0x12,
    kEcPrivateFile = 0x13,
    kEcPublicFile = 0x14,
};

// Key items of key files, by the part number of their write command.
constexpr uint8_t kRsaExponent = 1;  // public exponent
constexpr uint8_t kRsaModulus = 2;
constexpr uint8_t kRsaPrivateExponent = 3;
constexpr uint8_t kEcPrivateScalar = 1;
constexpr uint8_t kEcPublicPoint = 2;  // x || y

struct ElementaryFile {
    Bytes data;              // its size is the file size (0 for key files)
    uint8_t readCond = 0x90;  // 0x90 always, 0x96 user, 0xB8 SO, 0x9F and 0xFF never
    uint8_t writeCond = 0x90;
    uint8_t extraCond = 0x90;  // the delete condition
    uint8_t kind = kTransparentFile;
    std::map<uint8_t, SecretBytes> keyItems;

    bool IsKeyFile() const { return kind != kTransparentFile; }
};

struct PinKey {
    Bytes value;             // 24-byte PIN value (16 accepted)
    uint8_t retry = 0x55;    // maximum tries << 4 | tries left
    uint8_t Max() const { return retry >> 4; }
    uint8_t Left() const { return retry & 0x0F; }
};

struct TokenState {
    std::string serial;      // text (format 0x86) or 16 hex digits (format 0x06)
    bool serialIsText = false;
    Cipher cipher = Cipher::Aes128;
    bool secureMessaging = true;
    Bytes kEnc, kMac;        // static channel keys
    uint8_t keyGenByte = 0x88;
    uint32_t capacity = 64 * 1024;
    uint16_t writeCounter = 1;
    std::map<uint16_t, ElementaryFile> files;  // EFs of the application directory
    PinKey pins[2];          // key 1 user, key 2 security officer
    std::map<uint8_t, SecretBytes> secretKeys;  // DES/3DES/AES keys by key number

    uint32_t UsedBytes() const;
    Bytes Serialize() const;
    static std::optional<TokenState> Parse(const Bytes& raw);
};

// Writes to a temporary file beside path and renames it over path.
bool SaveState(const std::string& path, const TokenState& st);
std::optional<TokenState> LoadState(const std::string& path);

}  // namespace sim

#endif
