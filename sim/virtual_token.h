// One virtual token shared by every connection: the card, its persistent
// state, the injected faults, the traffic counters and the trace.
#ifndef KVSIM_VIRTUAL_TOKEN_H
#define KVSIM_VIRTUAL_TOKEN_H

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "card.h"
#include "kv_provisioning.h"

namespace sim {

constexpr int kVendorId = kvprov::kVendorIds[0];  // the virtual token's USB ids
constexpr int kProductId = kvprov::kProductIds[0];

struct Faults {
    int timeExtensions = 0;   // status-byte messages before the next answer
    int rounds61 = 0;         // 61xx rounds before the next answer
    size_t chainChunk = 0;    // answer bytes per message (0: the reader's maximum)
    int sendFailures = 0;     // next sends fail (after sendFailDelay good ones)
    int sendFailDelay = 0;
    int recvFailures = 0;     // next receives fail (after recvFailDelay good ones)
    int recvFailDelay = 0;
    int shortAnswers = 0;     // next answers cut short of their dwLength
    int longAnswers = 0;      // next answers longer than asked for
    uint32_t usbDelayUs = 0;  // latency per USB message
    uint32_t cardDelayUs = 0; // latency per card command
    int vendorId = kVendorId;
    int productId = kProductId;
};

struct Stats {
    uint64_t messagesIn = 0, messagesOut = 0, apdus = 0, bytesIn = 0, bytesOut = 0;
    std::map<uint8_t, uint64_t> perIns;
};

class VirtualToken {
public:
    // statePath empty: nothing is persisted.
    VirtualToken(TokenState state, std::string statePath);

    std::mutex& Mutex() { return mutex_; }
    Card& GetCard() { return card_; }
    Faults& GetFaults() { return faults_; }
    Stats& GetStats() { return stats_; }
    void TraceRaw(char direction, const Bytes& message);

    // Control interface: one command line in, one text answer out.
    // Returns false for an unknown or malformed command.
    bool Control(const std::string& line, std::string& answer);

private:
    void Persist();
    std::string StatsText() const;

    std::mutex mutex_;
    TokenState state_;
    std::string statePath_;
    Card card_;
    Faults faults_;
    Stats stats_;
    std::vector<std::string> trace_;
};

}  // namespace sim

#endif
