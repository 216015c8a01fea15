// A scripted USB bridge: records what is sent, answers from a queue.
#ifndef KV_TESTS_FAKE_BRIDGE_H
#define KV_TESTS_FAKE_BRIDGE_H

#include <cstring>
#include <deque>
#include <vector>

#include "usb_bridge.h"

class FakeBridge : public UsbBridge {
public:
    using Bytes = std::vector<uint8_t>;

    int32_t jgetidVendor() override { return vendor; }
    int32_t jgetidProduct() override { return product; }
    int64_t jSendData(const uint8_t* data, uint32_t len) override {
        if (failSends) return -1;
        sent.emplace_back(data, data + len);
        return len;
    }
    int64_t jRecvData(uint8_t* buffer, uint32_t len, const char*) override {
        if (failReceives > 0) {
            --failReceives;  // lost on the way: the answer stays queued
            return -1;
        }
        if (answers.empty()) return -1;
        Bytes m = answers.front();
        if (!repeatLast || answers.size() > 1) answers.pop_front();
        if (echoSeq && m.size() > 6 && !sent.empty() && sent.back().size() > 6) m[6] = sent.back()[6];
        if (m.size() > len) return -1;
        if (!m.empty()) std::memcpy(buffer, m.data(), m.size());
        return static_cast<int64_t>(m.size());
    }

    // RDR_to_PC_DataBlock around data.
    static Bytes Block(const Bytes& data, uint8_t status = 0, uint8_t chain = 0, uint8_t seq = 0) {
        Bytes m(10 + data.size(), 0);
        m[0] = 0x80;
        m[6] = seq;
        uint32_t n = static_cast<uint32_t>(data.size());
        for (int i = 0; i < 4; ++i) m[1 + i] = static_cast<uint8_t>(n >> (8 * i));
        m[7] = status;
        m[9] = chain;
        std::copy(data.begin(), data.end(), m.begin() + 10);
        return m;
    }
    void Answer(const Bytes& data, uint8_t status = 0, uint8_t chain = 0) { answers.push_back(Block(data, status, chain)); }

    int32_t vendor = 0x2F1A, product = 0x0501;
    bool failSends = false;
    bool repeatLast = false;
    // A reader answers with the bSeq of the message it answers; off: the
    // queued blocks keep their own.
    bool echoSeq = true;
    int failReceives = 0;
    std::vector<Bytes> sent;
    std::deque<Bytes> answers;
};

#endif
