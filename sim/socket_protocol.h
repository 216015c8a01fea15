// The virtual token daemon's socket protocol (Unix-domain stream socket).
//
// Request:  op (1 byte) | payload length (4 bytes LE) | payload
// Response: value (4 bytes LE, signed) | payload length (4 bytes LE) | payload
//
// op 1 VENDOR_ID   no payload; value = USB vendor id
// op 2 PRODUCT_ID  no payload; value = USB product id
// op 3 SEND        payload = one CCID message; value = bytes taken, -1 on failure
// op 4 RECEIVE     payload = capacity (4 bytes LE); value = message length or -1;
//                  payload = the message
// op 5 CONTROL     payload = one command line (text); value = 0, or -1 for an
//                  unknown command; payload = the answer text
//
// Control commands: reset | fail-mac N | time-ext N | rounds61 N | chain N |
// send-fail N | send-fail-after GOOD N | recv-fail N | recv-fail-after GOOD N | short N | long N | ids VID PID |
// latency USB_US CARD_US | stats | stats-reset | trace | trace-clear |
// counter | tries | faults (the injected faults not yet met) |
// other APDU-HEX (run as another application)
//
// Each connection is one host with its own CCID exchange; all share one card.
#ifndef KVSIM_SOCKET_PROTOCOL_H
#define KVSIM_SOCKET_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace sim {

enum SocketOp : uint8_t { kOpVendorId = 1, kOpProductId = 2, kOpSend = 3, kOpReceive = 4, kOpControl = 5 };

constexpr size_t kRequestHead = 5;   // op, payload length
constexpr size_t kResponseHead = 8;  // value, payload length

inline uint32_t GetLe32(const uint8_t* p) {
    return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void PutLe32(uint32_t v, uint8_t* p) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace sim

#endif
