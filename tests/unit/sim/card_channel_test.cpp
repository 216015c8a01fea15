// The virtual token's secure channel against the independently computed
// wire vectors (both ciphers).
#include <gtest/gtest.h>

#include "card.h"
#include "personalise.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

class CardChannel : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        v = testing_kv::Channel(GetParam());
        state = sim::Personalise({});
        state.cipher = GetParam() == "aes128" ? sim::Cipher::Aes128 : sim::Cipher::Tdes2;
        state.kEnc = Hex(v["k_enc"]);
        state.kMac = Hex(v["k_mac"]);
        card.SetObserver([this](const sim::CommandApdu& c, const sim::Answer&) { seen.push_back(c); });
    }

    Bytes Sw(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }

    void Open() {
        Bytes answer = Hex(v["initialize_update_answer_data"]);
        card.SetNextChannelValues(Bytes(answer.begin(), answer.begin() + 12), Hex(v["card_challenge"]));
        Bytes r = card.Process(Hex(v["initialize_update"]));
        Bytes expected = answer;
        expected.insert(expected.end(), {0x90, 0x00});
        ASSERT_EQ(ToHex(r), ToHex(expected));
        ASSERT_EQ(ToHex(card.Channel().SessionEnc()), v["s_enc"].get<std::string>());
        ASSERT_EQ(ToHex(card.Channel().SessionMac()), v["s_mac"].get<std::string>());
        ASSERT_EQ(card.Process(Hex(v["external_authenticate"])), Sw(0x9000));
        ASSERT_EQ(ToHex(card.Channel().Counter()), v["counter_after_opening"].get<std::string>());
    }

    nlohmann::json v;
    sim::TokenState state;
    sim::Card card{state, nullptr};
    std::vector<sim::CommandApdu> seen;
};

TEST_P(CardChannel, OpensAndAcceptsEveryWrappedVectorCommand) {
    Open();
    for (const auto& cmd : v["commands_in_order"]) {
        seen.clear();
        Bytes r = card.Process(Hex(cmd["wrapped"]));
        ASSERT_GE(r.size(), 2u);
        EXPECT_NE(ToHex(Bytes(r.end() - 2, r.end())), "6988") << cmd["what"];
        EXPECT_EQ(ToHex(card.Channel().Counter()), cmd["counter_used"].get<std::string>()) << cmd["what"];
        ASSERT_EQ(seen.size(), 1u) << cmd["what"];
        EXPECT_EQ(seen[0].cla, cmd["cla"].get<int>());
        EXPECT_EQ(seen[0].ins, cmd["ins"].get<int>());
        EXPECT_EQ(seen[0].p1, cmd["p1"].get<int>());
        EXPECT_EQ(seen[0].p2, cmd["p2"].get<int>());
        EXPECT_EQ(ToHex(seen[0].data), cmd["data"].get<std::string>()) << cmd["what"];
        EXPECT_EQ(seen[0].le, cmd["le"].get<uint32_t>()) << cmd["what"];
    }
}

TEST_P(CardChannel, WrapsAnswerDataAsTheVectorSays) {
    Open();
    EXPECT_EQ(ToHex(card.Channel().WrapAnswer(Hex(v["answer"]["plain_data"]))),
              v["answer"]["wrapped_data_object"].get<std::string>());
}

TEST_P(CardChannel, BadMacClosesTheChannelUntilReopened) {
    Open();
    const auto& cmds = v["commands_in_order"];
    Bytes tampered = Hex(cmds[0]["wrapped"]);
    tampered[tampered.size() - 3] ^= 0x01;  // inside the MAC object
    EXPECT_EQ(card.Process(tampered), Sw(0x6988));
    EXPECT_EQ(card.Process(Hex(cmds[1]["wrapped"])), Sw(0x6988));
    Open();
    EXPECT_NE(card.Process(Hex(cmds[0]["wrapped"])), Sw(0x6988));
}

TEST_P(CardChannel, PlainCommandsOutsideTheChannelLeaveItOpen) {
    Open();
    Bytes challenge = card.Process(Hex("0084000008"));
    EXPECT_EQ(challenge.size(), 10u);
    Bytes config = card.Process(Hex("00CA018600"));
    EXPECT_EQ(ToHex(Bytes(config.end() - 2, config.end())), "9000");
    EXPECT_NE(card.Process(Hex(v["commands_in_order"][0]["wrapped"])), Sw(0x6988));
    // Other plain commands are refused while messaging is on.
    EXPECT_EQ(card.Process(Hex("00A40000024E51")), Sw(0x6982));
}

TEST_P(CardChannel, InjectedMacFailuresAnswer6988) {
    Open();
    card.FailNextMacs(1);
    EXPECT_EQ(card.Process(Hex(v["commands_in_order"][0]["wrapped"])), Sw(0x6988));
    EXPECT_FALSE(card.Channel().IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Ciphers, CardChannel, ::testing::Values("aes128", "tdes2"));

}  // namespace
