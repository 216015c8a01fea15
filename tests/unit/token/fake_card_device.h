// A kv_dev_t that answers plain commands like a small card and records them.
#ifndef KV_TESTS_FAKE_CARD_DEVICE_H
#define KV_TESTS_FAKE_CARD_DEVICE_H

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "kv_dev.h"
#include "test_vectors.h"

class FakeCardDevice : public kv_dev_base {
public:
    using Bytes = std::vector<uint8_t>;
    FakeCardDevice() : kv_dev_base("") {}

    RV Disconnect() override { return 0; }
    RV Connect() override { return connectResult; }
    RV Lock() override { return 0; }
    RV Unlock() override { return 0; }
    RV Transmit(const uint8_t* cmd, uint32_t len, uint8_t* resp, uint32_t* respLen, uint8_t* sw1,
                uint8_t* sw2) override {
        Bytes c(cmd, cmd + len);
        sent.push_back(testing_kv::ToHex(c));
        if (transmitFailure) return transmitFailure;
        Bytes data;
        uint16_t sw = 0x9000;
        uint16_t force = 0;
        if (!forced.empty()) {
            force = forced.front();
            forced.pop_front();
        }
        if (force) {
            sw = force;
        } else {
            Answer(c, data, sw);
        }
        if (resp && respLen) {
            if (data.size() > *respLen) return CKR_DEVICE_ERROR;
            if (!data.empty()) std::memcpy(resp, data.data(), data.size());
        }
        if (respLen) *respLen = static_cast<uint32_t>(data.size());
        *sw1 = static_cast<uint8_t>(sw >> 8);
        *sw2 = static_cast<uint8_t>(sw);
        return 0;
    }

    void Answer(const Bytes& c, Bytes& data, uint16_t& sw) {
        uint8_t ins = c[1];
        uint32_t le = c.size() == 5 ? c[4] : (c.size() == 7 && c[4] == 0 ? (c[5] << 8 | c[6]) : 0);
        if (ins == 0x84) {
            data.assign(le, 0x5A);
        } else if (ins == 0xCA) {
            uint8_t tag = c[3];
            if (tag == 0x86) {
                data = config;
            } else if (tag == 0x81) {
                data = identification;
            } else if (tag == 0x82) {
                data = Bytes{0, 0, 0, 64, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
            } else if (otherData.count(tag)) {
                data = otherData[tag];
            } else {
                sw = 0x6A88;
            }
        } else if (ins == 0xA4) {
            uint16_t fid = static_cast<uint16_t>(c[5] << 8 | c[6]);
            auto it = fileSizes.find(fid);
            if (fid == 0x4E51 || fid == 0x3F00) {
                data = {0x62, 0x06, 0x80, 0x02, 0x00, 0x00, 0x82, 0x02};
            } else if (it == fileSizes.end()) {
                sw = 0x6A82;
            } else {
                data = fci.empty() ? Bytes{0x62, 0x08, 0x80, 0x02, static_cast<uint8_t>(it->second >> 8),
                                           static_cast<uint8_t>(it->second), 0x82, 0x02, 0x01, 0x00}
                                   : fci;
            }
        } else if (ins == 0xB0) {
            data.assign(le ? le : 256, 0xAB);
        } else if (ins == 0x34) {
            data = {0x24, 0x00, 0x6F, 0x01, 0x9F};
        } else if (ins == 0xB4) {
            data = publicKey;
        } else if (ins == 0x22 && c.size() > 7) {
            algorithm = c[7];  // 80 01 algorithm
        } else if (ins == 0x2A && (c[2] == 0x86 || c[2] == 0x80) && c.size() > 5) {
            // The block cipher is XOR 5C on every byte; algorithms 2 and 4 run
            // it in CBC with a zero IV inside the command, as the token does.
            const size_t lc = c[4] ? c[4] : (size_t(c[5]) << 8 | c[6]);
            const size_t at = c[4] ? 5 : 7;
            const size_t block = algorithm == 4 ? 16 : algorithm == 2 ? 8 : 0;
            const bool encipher = c[2] == 0x86;
            for (size_t i = 0; i < lc && at + i < c.size(); ++i) {
                uint8_t chain = 0;
                if (block && i >= block) chain = encipher ? data[i - block] : c[at + i - block];
                data.push_back(encipher ? (c[at + i] ^ chain) ^ 0x5C : (c[at + i] ^ 0x5C) ^ chain);
            }
        } else if (ins == 0x2A) {
            data = psoAnswer;
        }
    }

    // Configuration answer: AES, byte 14 = 84, messaging as given.
    static Bytes Config(bool secureMessaging, uint16_t counter = 0x0102) {
        Bytes d(32, 0);
        d[2] = 1;
        d[14] = 0x84;
        d[16] = secureMessaging ? 1 : 0;
        d[20] = 0x85;
        d[21] = 0x0A;
        d[22] = static_cast<uint8_t>(counter >> 8);
        d[23] = static_cast<uint8_t>(counter);
        return d;
    }
    static Bytes Identification(uint8_t format, uint8_t keyGeneration) {
        Bytes d(32, 0);
        d[1] = format;
        for (int i = 0; i < 16; ++i) d[4 + i] = static_cast<uint8_t>(format == 0x86 ? 'A' + i : 0x10 * (i % 16) + i);
        d[31] = keyGeneration;
        return d;
    }

    RV connectResult = 0;
    RV transmitFailure = 0;  // what Transmit answers in place of an exchange
    Bytes config = Config(false);
    Bytes identification = Identification(0x06, 0x88);
    std::map<uint8_t, Bytes> otherData;  // GET DATA answers of further tags
    Bytes publicKey;                      // answer to 80 B4
    Bytes psoAnswer;                      // answer to hashing and signing
    uint8_t algorithm = 0;                // of the last security environment
    Bytes fci;  // non-empty: the answer to every EF selection
    std::map<uint16_t, uint32_t> fileSizes{{0x2400, 0x0400}};
    std::deque<uint16_t> forced;  // status words for the next commands (0: answer normally)
    std::vector<std::string> sent;
};

#endif
