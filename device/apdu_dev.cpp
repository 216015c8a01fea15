#include "apdu_dev.h"

#include <cstring>
#include <vector>

namespace {

const uint8_t kFetch[5] = {0x00, 0x0C, 0x00, 0x00, 0x00};

}  // namespace

RV apdu_dev_t::Transmit(const uint8_t* command, uint32_t commandLen, uint8_t* response, uint32_t* responseLen,
                        uint8_t* sw1, uint8_t* sw2) {
    std::vector<uint8_t> buffer(kResponseMax);
    uint32_t received = 0;
    // An answer without a status word fails the exchange.
    auto exchange = [&](const uint8_t* apdu, uint32_t length) {
        RV rv = Exchange(apdu, length, buffer.data(), received);
        return rv ? rv : received < 2 ? CKR_DEVICE_ERROR : 0;
    };
    RV rv = exchange(command, commandLen);
    if (rv) return rv;
    for (int round = 0; buffer[received - 2] == 0x61; ++round) {
        if (round == kMaxFetchRounds) return CKR_DEVICE_ERROR;
        rv = exchange(kFetch, sizeof kFetch);
        if (rv) return rv;
    }
    uint32_t dataLen = received - 2;
    if (response && responseLen) {
        if (dataLen > *responseLen) return CKR_DEVICE_ERROR;
        std::memcpy(response, buffer.data(), dataLen);
    }
    if (responseLen) *responseLen = dataLen;
    *sw1 = buffer[received - 2];
    *sw2 = buffer[received - 1];
    return 0;
}
