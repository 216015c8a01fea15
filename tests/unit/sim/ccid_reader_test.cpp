// Reader side of the virtual token's CCID: answers, chaining, time
// extensions, 61xx rounds and padded commands.
#include <gtest/gtest.h>

#include "ccid_reader.h"
#include "personalise.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

// PC_to_RDR_XfrBlock with the host's padding rule (64-byte units from 64 up).
Bytes XfrBlock(const Bytes& apdu, uint8_t seq) {
    size_t total = apdu.size() + 10;
    if (total >= 64 && total % 64) total += 64 - total % 64;
    Bytes m(total, 0);
    m[0] = 0x6F;
    uint32_t len = static_cast<uint32_t>(total - 10);
    for (int i = 0; i < 4; ++i) m[1 + i] = static_cast<uint8_t>(len >> (8 * i));
    m[6] = seq;
    std::copy(apdu.begin(), apdu.end(), m.begin() + 10);
    return m;
}

class Reader : public ::testing::Test {
protected:
    Reader() : token(Personalised(), "") {}
    static sim::TokenState Personalised() {
        sim::Personalisation p;
        p.secureMessaging = false;
        return sim::Personalise(p);
    }
    Bytes Next() {
        Bytes m;
        EXPECT_TRUE(reader.Receive(2122, m));
        return m;
    }
    std::string Control(const std::string& line) {
        std::string answer;
        EXPECT_TRUE(token.Control(line, answer)) << line;
        return answer;
    }
    static uint32_t DwLength(const Bytes& m) { return m[1] | m[2] << 8 | m[3] << 16 | uint32_t(m[4]) << 24; }
    static Bytes Data(const Bytes& m) { return Bytes(m.begin() + 10, m.end()); }

    sim::VirtualToken token;
    sim::CcidReader reader{token};
};

TEST_F(Reader, AnswersWithOneDataBlock) {
    ASSERT_EQ(reader.Send(XfrBlock(Hex("00CA018600"), 7)), 15);
    Bytes m = Next();
    EXPECT_EQ(m[0], 0x80);
    EXPECT_EQ(DwLength(m), m.size() - 10);
    EXPECT_EQ(m[6], 7);
    EXPECT_EQ(m[7], 0);
    EXPECT_EQ(m[9], 0);
    EXPECT_EQ(ToHex(Bytes(m.end() - 2, m.end())), "9000");
    Bytes none;
    EXPECT_FALSE(reader.Receive(2122, none));
}

TEST_F(Reader, ChainsLongAnswersOnContinuationRequests) {
    Control("chain 10");
    reader.Send(XfrBlock(Hex("00CA018100"), 0));  // 32 data bytes + SW
    Bytes all, m = Next();
    EXPECT_EQ(m[9], 0x01);
    all = Data(m);
    for (uint8_t expected : {0x03, 0x03, 0x02}) {
        reader.Send(XfrBlock({}, 1));
        m = Next();
        EXPECT_EQ(m[9], expected);
        Bytes d = Data(m);
        all.insert(all.end(), d.begin(), d.end());
    }
    EXPECT_EQ(all.size(), 34u);
    EXPECT_EQ(ToHex(Bytes(all.end() - 2, all.end())), "9000");
}

TEST_F(Reader, TimeExtensionsComeFirst) {
    Control("time-ext 2");
    reader.Send(XfrBlock(Hex("00CA018600"), 0));
    EXPECT_EQ(Next()[7], 0x80);
    EXPECT_EQ(Next()[7], 0x80);
    Bytes m = Next();
    EXPECT_EQ(m[7], 0x00);
    EXPECT_EQ(ToHex(Bytes(m.end() - 2, m.end())), "9000");
}

TEST_F(Reader, HoldsTheAnswerBehind61xxUntilFetched) {
    Control("rounds61 2");
    reader.Send(XfrBlock(Hex("00CA018100"), 0));
    EXPECT_EQ(ToHex(Data(Next())), "6120");
    reader.Send(XfrBlock(Hex("000C000000"), 1));
    EXPECT_EQ(ToHex(Data(Next())), "6120");
    reader.Send(XfrBlock(Hex("000C000000"), 2));
    Bytes d = Data(Next());
    EXPECT_EQ(d.size(), 34u);
    EXPECT_EQ(ToHex(Bytes(d.end() - 2, d.end())), "9000");
}

TEST_F(Reader, ParsesPaddedCommands) {
    reader.Send(XfrBlock(Hex("00A40000026F01"), 0));
    Next();
    Bytes apdu = Hex("00D6000032");  // 5 + 50 bytes: sent as a 128-byte message
    for (int i = 0; i < 50; ++i) apdu.push_back(static_cast<uint8_t>(0x30 + i));
    Bytes msg = XfrBlock(apdu, 1);
    ASSERT_EQ(msg.size(), 128u);
    reader.Send(msg);
    EXPECT_EQ(ToHex(Data(Next())), "9000");
    reader.Send(XfrBlock(Hex("00B0000032"), 2));
    Bytes d = Data(Next());
    EXPECT_EQ(ToHex(Bytes(d.begin(), d.end() - 2)), ToHex(Bytes(apdu.begin() + 5, apdu.end())));
}

TEST_F(Reader, RefusesAMessageWhoseLengthDisagrees) {
    Bytes msg = XfrBlock(Hex("00CA018600"), 0);
    msg[1] = 9;
    reader.Send(msg);
    Bytes m = Next();
    EXPECT_EQ(m[7], 0x40);
}

TEST_F(Reader, InjectedTransportFaults) {
    Control("send-fail 1");
    EXPECT_EQ(reader.Send(XfrBlock(Hex("00CA018600"), 0)), -1);
    reader.Send(XfrBlock(Hex("00CA018600"), 0));
    Control("short 1");
    Bytes m = Next();
    EXPECT_EQ(DwLength(m), m.size() - 9);  // one byte missing
    reader.Send(XfrBlock(Hex("00CA018600"), 1));
    Control("long 1");
    Bytes big;
    ASSERT_TRUE(reader.Receive(20, big));
    EXPECT_GT(big.size(), 20u);
    std::string stats = Control("stats");
    EXPECT_NE(stats.find("apdus=2"), std::string::npos) << stats;
    EXPECT_NE(stats.find("ins_CA=2"), std::string::npos) << stats;
}

}  // namespace
