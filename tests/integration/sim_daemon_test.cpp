// The kvtoken daemon over its socket: ids, CCID exchanges, control,
// persistence across a restart, two clients on one card.
#include <gtest/gtest.h>

#include "sim_process.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::SimClient;
using testing_kv::SimProcess;
using testing_kv::ToHex;

namespace {

Bytes XfrBlock(const Bytes& apdu, uint8_t seq) {
    Bytes m(10 + apdu.size(), 0);
    m[0] = 0x6F;
    m[1] = static_cast<uint8_t>(apdu.size());
    m[6] = seq;
    std::copy(apdu.begin(), apdu.end(), m.begin() + 10);
    return m;
}

// Sends one short APDU and returns the answer's data block (data || SW).
Bytes Exchange(SimClient& c, const std::string& apduHex) {
    Bytes msg = XfrBlock(Hex(apduHex), 0);
    EXPECT_EQ(c.Call(3, msg), static_cast<int32_t>(msg.size()));
    Bytes answer;
    int32_t n = c.Call(4, {0x4A, 0x08, 0, 0}, &answer);
    EXPECT_GT(n, 10);
    if (n <= 10) return {};
    return Bytes(answer.begin() + 10, answer.end());
}

std::string Sw(const Bytes& r) { return r.size() < 2 ? "" : ToHex(Bytes(r.end() - 2, r.end())); }

TEST(SimDaemon, AnswersIdsApdusAndControl) {
    SimProcess sim({"--sm", "off"});
    SimClient c(sim.Socket());
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.Call(1, {}), 0x2F1A);
    EXPECT_EQ(c.Call(2, {}), 0x0501);
    EXPECT_EQ(Sw(Exchange(c, "00A40000024E51")), "9000");
    Bytes none;
    EXPECT_EQ(c.Call(4, {0x4A, 0x08, 0, 0}, &none), -1);  // nothing waiting
    EXPECT_EQ(c.Control("ids 0x1234 0x5678"), "");
    EXPECT_EQ(c.Call(1, {}), 0x1234);
    int32_t v = 0;
    c.Control("no-such-command", &v);
    EXPECT_EQ(v, -1);
    std::string trace = c.Control("trace");
    EXPECT_NE(trace.find("> 6F07"), std::string::npos) << trace;
    EXPECT_NE(trace.find("APDU 00A40000 data=4E51"), std::string::npos) << trace;
}

TEST(SimDaemon, TokenSurvivesARestart) {
    SimProcess sim({"--sm", "off", "--user-tries", "4"});
    {
        SimClient c(sim.Socket());
        Exchange(c, "0084000008");
        EXPECT_EQ(Sw(Exchange(c, "00820181080000000000000000")), "63C3");
        EXPECT_EQ(Sw(Exchange(c, "00A40000026F01")), "9000");
        EXPECT_EQ(Sw(Exchange(c, "00D6000003ABCDEF")), "9000");
    }
    std::string counter = sim.Control("counter");
    sim.Stop();
    sim.Start();
    SimClient c(sim.Socket());
    EXPECT_EQ(c.Control("tries"), "user=3/4 so=5/5");
    EXPECT_EQ(c.Control("counter"), counter);
    EXPECT_EQ(Sw(Exchange(c, "00A40000026F01")), "9000");
    EXPECT_EQ(ToHex(Exchange(c, "00B0000003")), "ABCDEF9000");
}

TEST(SimDaemon, SecondDaemonLeavesAServedTokenAlone) {
    SimProcess sim;
    const std::string serve = std::string(KV_SIM_BINARY) + " serve --state " + sim.Dir() + "/token.state --socket ";
    EXPECT_NE(std::system((serve + sim.Socket() + " 2>/dev/null").c_str()), 0);
    SimClient c(sim.Socket());
    ASSERT_TRUE(c.Connected());
    EXPECT_FALSE(c.Control("counter").empty());  // the first daemon still answers
}

TEST(SimDaemon, TwoClientsShareOneCard) {
    SimProcess sim({"--sm", "off"});
    SimClient a(sim.Socket()), b(sim.Socket());
    EXPECT_EQ(Sw(Exchange(a, "00A40000026F01")), "9000");
    EXPECT_EQ(Sw(Exchange(b, "00A40000022420")), "9000");
    // a's selection was replaced by b's: it now reads the token information file.
    EXPECT_EQ(ToHex(Exchange(a, "00B0000001")), "569000");
    sim.Control("reset");
    EXPECT_EQ(Sw(Exchange(b, "00B0000001")), "6985");
}

}  // namespace
