// GET DATA and GET CHALLENGE of the card.
#include <cstring>

#include "card.h"

namespace sim {
namespace {

void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void Put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

// The token's mechanism records: type, minimum, maximum (for RSA a set of
// key-size bits in the low byte), flags to add.
struct MechRecord {
    uint32_t type;
    uint16_t min, max;
    uint32_t flags;
};
const MechRecord kMechanisms[] = {
    {0x0000, 512, 0x000F, 0x00010001},  // RSA key pair generation, 512..2048
    {0x0001, 512, 0x000F, 0x00000001},  // RSA PKCS
    {0x0003, 512, 0x000F, 0x00000001},  // RSA X.509
    {0x0006, 512, 0x000F, 0x00000001},  // SHA-1 RSA PKCS
    {0x0040, 512, 0x000F, 0x00000001},  // SHA-256 RSA PKCS
    {0x1040, 192, 256, 0x00010001},     // EC key pair generation
    {0x1041, 192, 256, 0x00002801},     // ECDSA
    {0x1081, 128, 128, 0x00000001},     // AES ECB
    {0x1082, 128, 128, 0x00000001},     // AES CBC
    {0x0132, 128, 192, 0x00000001},     // DES3 ECB
    {0x0133, 128, 192, 0x00000001},     // DES3 CBC
};

}  // namespace

Answer Card::GetData(const CommandApdu& c) {
    if (c.p1 != 0x01) return {{}, 0x6A86};
    switch (c.p2) {
        case 0x81: {  // identification: serial format and number, key generation byte
            Bytes d(32, 0);
            d[0] = 0x81;
            if (state_.serialIsText) {
                d[1] = 0x86;
                std::memset(&d[4], ' ', 16);
                std::memcpy(&d[4], state_.serial.data(), std::min<size_t>(16, state_.serial.size()));
            } else {
                d[1] = 0x06;
                for (size_t i = 0; i < 8 && 2 * i + 1 < state_.serial.size(); ++i)
                    d[4 + i] = static_cast<uint8_t>(std::stoul(state_.serial.substr(2 * i, 2), nullptr, 16));
            }
            d[31] = state_.keyGenByte;
            return {d, 0x9000};
        }
        case 0x82: {  // memory in KiB: byte 3 total, byte 4 free
            Bytes d(16, 0);
            uint32_t total = state_.capacity / 1024;
            uint32_t free = (state_.capacity - std::min(state_.capacity, state_.UsedBytes())) / 1024;
            d[3] = static_cast<uint8_t>(std::min<uint32_t>(total, 255));
            d[4] = static_cast<uint8_t>(std::min<uint32_t>(free, 255));
            return {d, 0x9000};
        }
        case 0x83: {  // versions
            Bytes d(16, 0);
            d[12] = 0x12;
            return {d, 0x9000};
        }
        case 0x85: {  // mechanism records
            const size_t n = sizeof kMechanisms / sizeof kMechanisms[0];
            Bytes d(2 + 12 * n, 0);
            Put16(d, 0, n);
            for (size_t i = 0; i < n; ++i) {
                Put32(d, 2 + 12 * i, kMechanisms[i].type);
                Put16(d, 6 + 12 * i, kMechanisms[i].min);
                Put16(d, 8 + 12 * i, kMechanisms[i].max);
                Put32(d, 10 + 12 * i, kMechanisms[i].flags);
            }
            return {d, 0x9000};
        }
        case 0x86: {  // configuration and the write counter
            Bytes d(32, 0);
            d[1] = 0x10;
            d[2] = state_.cipher == Cipher::Aes128 ? 1 : 2;
            d[14] = 0x84;
            d[15] = 0x01;
            d[16] = state_.secureMessaging ? 1 : 0;
            d[20] = 0x85;
            d[21] = 0x0A;
            Put16(d, 22, state_.writeCounter);
            return {d, 0x9000};
        }
        default:
            return {{}, 0x6A88};
    }
}

Answer Card::GetChallenge(const CommandApdu& c) {
    size_t n = c.le ? c.le : 8;
    if (n > 256) return {{}, 0x6700};
    Bytes r = RandomBytes(n);
    pendingChallenge_ = n >= 8 ? Bytes(r.begin(), r.begin() + 8) : Bytes();
    return {r, 0x9000};
}

}  // namespace sim
