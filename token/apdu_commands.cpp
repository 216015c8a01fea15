#include "apdu_commands.h"

#include "byte_order.h"

namespace apdu {

namespace {

constexpr uint8_t kIso = 0x00;          // ISO 7816-4 class
constexpr uint8_t kProprietary = 0x80;  // the token's own commands
constexpr uint8_t kProprietaryMac = 0x84;     // ... with a MAC over the command
constexpr uint8_t kProprietaryWrapped = 0x8C;  // ... enciphered and with a MAC

APDU Command(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const uint8_t* data = nullptr, uint32_t length = 0,
             uint32_t le = 0) {
    return APDU(cla, ins, p1, p2, length, data, le);
}

APDU WithFid(uint8_t cla, uint8_t ins, uint16_t fid) {
    uint8_t bytes[2];
    StoreBe16(bytes, fid);
    return Command(cla, ins, 0x00, 0x00, bytes, sizeof bytes);
}

uint8_t OffsetHi(uint32_t offset) { return static_cast<uint8_t>(offset >> 8); }
uint8_t OffsetLo(uint32_t offset) { return static_cast<uint8_t>(offset); }

}  // namespace

APDU SelectFile(uint16_t fid) { return WithFid(kIso, kInsSelect, fid); }

APDU DeleteFile(uint16_t fid) { return WithFid(kIso, kInsDeleteFile, fid); }

APDU CreateFile(const ByteVec& fcp) {
    return Command(kIso, kInsCreateFile, 0x00, 0x00, fcp.data(), static_cast<uint32_t>(fcp.size()));
}

APDU ReadBinary(uint32_t offset, uint32_t le) {
    return Command(kIso, kInsReadBinary, OffsetHi(offset), OffsetLo(offset), nullptr, 0, le);
}

APDU UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t length) {
    return Command(kIso, kInsUpdateBinary, OffsetHi(offset), OffsetLo(offset), data, length);
}

APDU ListFiles() { return Command(kProprietary, kInsListFiles, 0x00, 0x00); }

APDU GetData(uint8_t tag) { return Command(kIso, kInsGetData, 0x01, tag); }

APDU GetChallenge(uint32_t le) { return Command(kIso, kInsGetChallenge, 0x00, 0x00, nullptr, 0, le); }

APDU InitializeUpdate(const uint8_t* hostChallenge) {
    return Command(kProprietary, kInsInitializeUpdate, 0x00, 0x00, hostChallenge, 8);
}

APDU ChannelAuthenticate(const uint8_t* cryptogram) {
    return Command(kProprietaryMac, kInsExternalAuthenticate, 0x03, 0x00, cryptogram, 16);
}

APDU PinAuthenticate(uint8_t p2, const uint8_t* proof, uint32_t length) {
    return Command(kIso, kInsExternalAuthenticate, 0x01, p2, proof, length);
}

APDU UpdatePinKey(uint8_t keyNumber, const uint8_t* data, uint32_t length) {
    return Command(kProprietary, kInsUpdateKey, 0x04, keyNumber, data, length);
}

APDU UpdateSecretKey(uint8_t keyNumber, const ByteVec& data) {
    return Command(kProprietary, kInsUpdateKey, 0x05, keyNumber, data.data(), static_cast<uint32_t>(data.size()));
}

APDU GenerateKeyPair(const uint8_t* data, uint32_t length) {
    return Command(kIso, kInsGenerateKeyPair, 0x00, 0x00, data, length);
}

APDU WriteKeyItem(uint8_t ins, uint8_t part, const ByteVec& item) {
    return Command(kProprietary, ins, part, 0x00, item.data(), static_cast<uint32_t>(item.size()));
}

APDU ReadPublicKey(uint16_t fid) { return WithFid(kProprietary, kInsReadPublicKey, fid); }

APDU MseSet(uint8_t p1, uint8_t p2, const ByteVec& templates) {
    return Command(kIso, kInsMseSet, p1, p2, templates.data(), static_cast<uint32_t>(templates.size()));
}

APDU Pso(PsoKind kind, const uint8_t* data, uint32_t length, uint32_t le) {
    return Command(kIso, kInsPso, kind.p1, kind.p2, data, length, le);
}

APDU Hmac(const uint8_t* data, uint32_t length) {
    return Command(kProprietaryWrapped, kInsHmac, 0x00, 0x00, data, length, 20);
}

}  // namespace apdu
