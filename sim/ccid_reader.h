// Reader side of CCID for one host connection: takes PC_to_RDR_XfrBlock
// messages, runs their APDUs on the shared card and queues RDR_to_PC_DataBlock
// answers (chained, preceded by time extensions, or held behind 61xx as the
// faults say).
#ifndef KVSIM_CCID_READER_H
#define KVSIM_CCID_READER_H

#include <deque>

#include "virtual_token.h"

namespace sim {

class CcidReader {
public:
    static constexpr size_t kMaxMessage = 2122;  // the host never asks for more

    explicit CcidReader(VirtualToken& token) : token_(token) {}

    // Returns the number of bytes taken, or -1 for a failed send.
    int Send(const Bytes& message);
    // The next answer message; false when none is waiting or the receive fails.
    bool Receive(size_t capacity, Bytes& message);

private:
    void Answer(const Bytes& data);
    void QueueChunk(uint8_t chain);
    Bytes DataBlock(const Bytes& data, uint8_t status, uint8_t chain);

    VirtualToken& token_;
    std::deque<Bytes> outbox_;
    Bytes chained_;       // answer bytes still to be sent on continuation requests
    Bytes held61_;        // full answer held behind 61xx
    int rounds61Left_ = 0;
    uint8_t seq_ = 0;     // bSeq of the message being answered
};

}  // namespace sim

#endif
