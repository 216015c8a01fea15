// A device whose answers are the next frames of a fuzz input: each frame is
// the answer data followed by the status word (its last two bytes). A frame
// shorter than two bytes, or no frame left, is a failed exchange.
#ifndef KV_TESTS_FUZZ_SCRIPTED_DEVICE_H
#define KV_TESTS_FUZZ_SCRIPTED_DEVICE_H

#include <cstring>

#include "fuzz_input.h"
#include "kv_dev.h"

namespace kvfuzz {

class ScriptedDevice : public kv_dev_base {
public:
    explicit ScriptedDevice(FuzzInput& script) : kv_dev_base(""), script_(script) {}

    RV Disconnect() override { return 0; }
    RV Lock() override { return 0; }
    RV Unlock() override { return 0; }
    RV Transmit(const uint8_t*, uint32_t, uint8_t* response, uint32_t* responseLen, uint8_t* sw1,
                uint8_t* sw2) override {
        const Bytes answer = script_.Frame();
        if (answer.size() < 2) return CKR_DEVICE_ERROR;
        const uint32_t dataLen = static_cast<uint32_t>(answer.size() - 2);
        if (response && responseLen) {
            if (dataLen > *responseLen) return CKR_DEVICE_ERROR;
            if (dataLen) std::memcpy(response, answer.data(), dataLen);
        }
        if (responseLen) *responseLen = dataLen;
        *sw1 = answer[dataLen];
        *sw2 = answer[dataLen + 1];
        return 0;
    }

private:
    FuzzInput& script_;
};

}  // namespace kvfuzz

#endif
