// The virtual token as the card in a reader of the virtual PC/SC reader
// driver (vpcd, Debian package vsmartcard-vpcd). The driver listens on a TCP
// port (35963 for its first reader unless its reader.conf says otherwise);
// the card connects to it on 127.0.0.1. Each message either way is a length
// (2 bytes, big-endian) and a body. From the driver, a body of one byte is a
// control: 00 power off, 01 power on, 02 reset, 04 send the ATR; a longer one
// is a command APDU. The card answers the ATR request with its ATR and each
// command APDU with the response APDU; the power controls get no answer.
// Power off and reset are a card reset (channel closed, PINs unverified).
#ifndef KVSIM_VPCD_CARD_H
#define KVSIM_VPCD_CARD_H

#include <cstdint>

#include "virtual_token.h"

namespace sim {

// The virtual token's answer to reset: direct convention, T=0 and T=1
// offered, historical bytes 80 58 "KVTOKEN1" (category 80, card issuer's
// data of 8 bytes), check byte.
extern const Bytes kVpcdAtr;

// Connects to the driver at 127.0.0.1:port, trying for up to ten seconds;
// -1 when it could not. The socket then goes to ServeVpcd.
int ConnectVpcd(uint16_t port);
// Answers the driver's messages on fd until it closes the connection, then
// closes fd. Counts the APDUs in the token's statistics as the CCID reader does.
void ServeVpcd(int fd, VirtualToken& token);

}  // namespace sim

#endif
