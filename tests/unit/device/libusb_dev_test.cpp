// CCID framing of the USB device against hand-worked bytes.
#include <gtest/gtest.h>

#include "fake_bridge.h"
#include "libusb_dev.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

class Ccid : public ::testing::Test {
protected:
    RV Send(const Bytes& apdu, Bytes* data = nullptr) {
        uint8_t buf[4096];
        uint32_t len = sizeof buf;
        RV rv = dev.Transmit(apdu.data(), static_cast<uint32_t>(apdu.size()), buf, &len, &sw1, &sw2);
        if (data && rv == 0) data->assign(buf, buf + len);
        return rv;
    }
    static Bytes Apdu(size_t n) {
        Bytes a(n, 0);
        a[1] = 0xB0;
        return a;
    }

    FakeBridge bridge;
    libusb_dev_t dev{"", &bridge};
    uint8_t sw1 = 0, sw2 = 0;
};

TEST_F(Ccid, MessageLayoutAndPaddingByHand) {
    struct Case {
        size_t apduLen;
        size_t messageLen;
        const char* header;  // first ten bytes
    } cases[] = {
        {5, 15, "6F050000000000000000"},     // under 64: no padding
        {54, 64, "6F360000000001000000"},    // exactly 64
        {55, 128, "6F760000000002000000"},   // 65 rounds up to 128, dwLength 118
        {2102, 2112, "6F360800000003000000"},  // largest command: 2112-byte message
    };
    for (const auto& c : cases) {
        bridge.Answer(Hex("9000"));
        ASSERT_EQ(Send(Apdu(c.apduLen)), 0u);
        const Bytes& m = bridge.sent.back();
        EXPECT_EQ(m.size(), c.messageLen);
        EXPECT_EQ(ToHex(Bytes(m.begin(), m.begin() + 10)), c.header);
        EXPECT_EQ(ToHex(Bytes(m.begin() + 10, m.begin() + 10 + static_cast<long>(c.apduLen))), ToHex(Apdu(c.apduLen)));
    }
}

TEST_F(Ccid, MatchesTheSharedXfrBlockVectors) {
    for (const auto& v : testing_kv::Vectors()["ccid_xfrblock"]) {
        FakeBridge b;
        libusb_dev_t d("", &b);
        uint8_t s1, s2;
        Bytes apdu = Apdu(v["apdu_length"].get<size_t>());
        for (int i = 0; i <= v["seq"].get<int>(); ++i) {
            b.Answer(Hex("9000"));
            ASSERT_EQ(d.Transmit(apdu.data(), static_cast<uint32_t>(apdu.size()), nullptr, nullptr, &s1, &s2), 0u);
        }
        EXPECT_EQ(ToHex(b.sent.back()), v["message"].get<std::string>());
    }
}

TEST_F(Ccid, CommandsTooLongForTheMessageBufferAreRefused) {
    EXPECT_NE(Send(Apdu(2103)), 0u);
    EXPECT_TRUE(bridge.sent.empty());
}

TEST_F(Ccid, SequenceWrapsAndContinuationsTakeNumbers) {
    for (int i = 0; i < 255; ++i) {
        bridge.Answer(Hex("9000"));
        Send(Apdu(5));
    }
    bridge.Answer(Hex("01"), 0, 0x01);  // seq 255, then a continuation with seq 0
    bridge.Answer(Hex("9000"), 0, 0x02);
    Bytes data;
    ASSERT_EQ(Send(Apdu(5), &data), 0u);
    EXPECT_EQ(ToHex(data), "01");
    ASSERT_EQ(bridge.sent.size(), 257u);
    EXPECT_EQ(bridge.sent[255][6], 0xFF);
    EXPECT_EQ(ToHex(bridge.sent[256]), "6F000000000000000000");
    bridge.Answer(Hex("9000"));
    Send(Apdu(5));
    EXPECT_EQ(bridge.sent.back()[6], 0x01);
}

TEST_F(Ccid, SkipsStatusMessagesAndTakesTwoByteAnswers) {
    bridge.Answer({}, 0x80);
    bridge.Answer({}, 0x80);
    bridge.Answer(Hex("6A82"));
    Bytes data{1};
    ASSERT_EQ(Send(Apdu(5), &data), 0u);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(sw1, 0x6A);
    EXPECT_EQ(sw2, 0x82);
}

// A lost answer stays in the reader: the next exchange drops it (and any
// block of another type or sequence number) and takes its own answer.
TEST_F(Ccid, AnswersToEarlierMessagesAreDropped) {
    bridge.echoSeq = false;
    bridge.failReceives = 1;
    bridge.answers.push_back(FakeBridge::Block(Hex("AA9000"), 0, 0, 0));
    EXPECT_EQ(Send(Apdu(5)), CKR_DEVICE_ERROR);
    Bytes wrongType = FakeBridge::Block(Hex("CC9000"), 0, 0, 1);
    wrongType[0] = 0x81;  // RDR_to_PC_SlotStatus
    bridge.answers.push_back(wrongType);
    bridge.answers.push_back(FakeBridge::Block({}, 0x80, 0, 1));  // time extension
    bridge.answers.push_back(FakeBridge::Block(Hex("BB9000"), 0, 0, 1));
    Bytes data;
    ASSERT_EQ(Send(Apdu(5), &data), 0u);
    EXPECT_EQ(ToHex(data), "BB");
    EXPECT_TRUE(bridge.answers.empty());
    // A reader that reports the command failed (bStatus 01xxxxxx) fails the exchange.
    bridge.answers.push_back(FakeBridge::Block(Hex("9000"), 0x40, 0, 2));
    EXPECT_EQ(Send(Apdu(5)), CKR_DEVICE_ERROR);
}

TEST_F(Ccid, Follows61xxWithTheFetchCommand) {
    bridge.Answer(Hex("CCDD6104"));
    bridge.Answer(Hex("AABB9000"));
    Bytes data;
    ASSERT_EQ(Send(Apdu(5), &data), 0u);
    EXPECT_EQ(ToHex(data), "AABB");  // replaced, not appended
    ASSERT_EQ(bridge.sent.size(), 2u);
    EXPECT_EQ(ToHex(bridge.sent[1]), "6F050000000001000000000C000000");
}

TEST_F(Ccid, BoundsThe61xxLoop) {
    bridge.Answer(Hex("6110"));
    bridge.repeatLast = true;
    EXPECT_EQ(Send(Apdu(5)), CKR_DEVICE_ERROR);
    EXPECT_EQ(bridge.sent.size(), 1u + libusb_dev_t::kMaxFetchRounds);
}

TEST_F(Ccid, AppendsChainedAnswers) {
    bridge.Answer(Hex("0102"), 0, 0x01);
    bridge.Answer(Hex("03"), 0, 0x03);
    bridge.Answer(Hex("04"), 0, 0x10);
    bridge.Answer(Hex("059000"), 0, 0x02);
    Bytes data;
    ASSERT_EQ(Send(Apdu(5), &data), 0u);
    EXPECT_EQ(ToHex(data), "0102030405");
    EXPECT_EQ(bridge.sent.size(), 4u);
}

TEST_F(Ccid, ChainingIsBoundedAndMustMakeProgress) {
    bridge.Answer(Hex(""), 0, 0x01);  // continues without data, for ever
    bridge.repeatLast = true;
    EXPECT_EQ(Send(Apdu(5)), CKR_DEVICE_ERROR);
    EXPECT_EQ(bridge.sent.size(), 1u);  // no continuation asked after an empty part
    bridge.answers.clear();
    bridge.sent.clear();
    bridge.Answer(Hex("01"), 0, 0x03);  // one byte at a time, for ever
    EXPECT_EQ(Send(Apdu(5)), CKR_DEVICE_ERROR);
    EXPECT_EQ(bridge.sent.size(), size_t(libusb_dev_t::kMaxChainRounds));
}

TEST_F(Ccid, BrokenAnswersAreDeviceErrors) {
    auto expectError = [&](const char* what) {
        EXPECT_EQ(Send(Apdu(5)), CKR_DEVICE_ERROR) << what;
        bridge.answers.clear();
    };
    bridge.answers.push_back(Hex("800200000000000000"));  // 9 bytes: no room for a header
    expectError("short message");
    Bytes m = FakeBridge::Block(Hex("9000"));
    m[1] = 3;  // claims one byte more than it carries
    bridge.answers.push_back(m);
    expectError("dwLength mismatch");
    Bytes big(2000, 0x11);
    bridge.Answer(big, 0, 0x01);
    bridge.Answer(big, 0, 0x03);
    bridge.Answer(Hex("119000"), 0, 0x02);  // 4003 bytes fit
    EXPECT_EQ(Send(Apdu(5)), 0u);
    bridge.Answer(big, 0, 0x01);
    bridge.Answer(big, 0, 0x03);
    bridge.Answer(Bytes(97, 0x11), 0, 0x02);  // 4097: one past the buffer
    expectError("answer longer than 4096 bytes");
    expectError("nothing to receive");
    bridge.failSends = true;
    expectError("send failed");
}

// bStatus of a failed block: command status 01 in bits 7-6; the card's
// status in bits 1-0 (00 active, 01 inactive, 10 absent).
TEST_F(Ccid, AFailedBlockTellsAPulledCardFromOtherFailures) {
    const struct {
        uint8_t status;
        RV expected;
    } cases[] = {{0x42, CKR_TOKEN_NOT_PRESENT}, {0x40, CKR_DEVICE_ERROR}, {0x41, CKR_DEVICE_ERROR}};
    for (const auto& c : cases) {
        bridge.Answer(Hex("9000"), c.status);
        EXPECT_EQ(Send(Apdu(5)), c.expected) << int(c.status);
        bridge.answers.clear();
    }
}

TEST_F(Ccid, ResponseLongerThanTheCallersBufferIsRefused) {
    bridge.Answer(Hex("0102039000"));
    uint8_t buf[2];
    uint32_t len = sizeof buf;
    EXPECT_EQ(dev.Transmit(Apdu(5).data(), 5, buf, &len, &sw1, &sw2), CKR_DEVICE_ERROR);
}

TEST_F(Ccid, ConnectAcceptsOnlySupportedIds) {
    struct Case {
        int vendor, product;
        RV expected;
    } cases[] = {{0x2F1A, 0x0501, 0}, {0x2F1B, 0x0502, 0}, {0x2F1A, 0x0502, 0}, {0x2F1B, 0x0501, 0},
                 {0x1234, 0x0501, 1}, {0x2F1A, 0x9999, 1}, {0, 0, 1},            {-1, -1, 1}};
    for (auto c : cases) {
        bridge.vendor = c.vendor;
        bridge.product = c.product;
        EXPECT_EQ(dev.Connect(), c.expected) << std::hex << c.vendor << ":" << c.product;
    }
}

}  // namespace
