// Card commands of the virtual token in plain form (secure messaging off).
#include <gtest/gtest.h>

#include "card.h"
#include "personalise.h"
#include "sim_crypto.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::ToHex;

namespace {

class CardCommands : public ::testing::Test {
protected:
    CardCommands() {
        sim::Personalisation p;
        p.secureMessaging = false;
        p.capacity = 8 * 1024;
        p.userTries = 3;
        state = sim::Personalise(p);
    }

    // Status word as hex; data (if any) into *data.
    std::string Run(const std::string& hex, Bytes* data = nullptr) {
        Bytes r = card.Process(Hex(hex));
        if (data) data->assign(r.begin(), r.end() - 2);
        return ToHex(Bytes(r.end() - 2, r.end()));
    }

    uint16_t Counter() {
        Bytes d;
        Run("00CA018600", &d);
        return static_cast<uint16_t>(d[22] << 8 | d[23]);
    }

    std::string Login(unsigned key, const Bytes& pinValue) {
        Bytes challenge;
        if (Run("0084000008", &challenge) != "9000") return "challenge failed";
        Bytes response = sim::CbcEncrypt(sim::Cipher::Tdes2, pinValue, Bytes(), challenge);
        return Run(std::string("008201") + (key == 1 ? "81" : "82") + "08" + ToHex(response));
    }

    sim::TokenState state;
    sim::Card card{state, nullptr};
};

TEST_F(CardCommands, FileLifecycleWithStatusWords) {
    // 24-byte template: size 0x0100, FID 0x2460, access 90 90 FF 90.
    const std::string fcp = "62168002010082020100830224608608" "9090FF90FFFFFFFF";
    EXPECT_EQ(Run("00E0000018" + fcp), "9000");
    EXPECT_EQ(Run("00E0000018" + fcp), "6A89");
    Bytes fci;
    EXPECT_EQ(Run("00A40000022460", &fci), "9000");
    ASSERT_GE(fci.size(), 6u);
    EXPECT_EQ(fci[4] << 8 | fci[5], 0x0100);

    EXPECT_EQ(Run("00D600F804AABBCCDD"), "9000");
    EXPECT_EQ(Run("00D600FD04AABBCCDD"), "6B00");  // past the end: nothing written
    Bytes data;
    EXPECT_EQ(Run("00B000F808", &data), "9000");
    EXPECT_EQ(ToHex(data), "AABBCCDD00000000");
    EXPECT_EQ(Run("00B000F909"), "6B00");
    EXPECT_EQ(Run("00B00000000100", &data), "9000");  // three-byte Le 256
    EXPECT_EQ(data.size(), 256u);

    Bytes list;
    EXPECT_EQ(Run("8034000000", &list), "9000");
    EXPECT_NE(ToHex(list).find("2460"), std::string::npos);
    EXPECT_EQ(list.size() % 2, 0u);

    EXPECT_EQ(Run("00E40000022460"), "9000");
    EXPECT_EQ(Run("00E40000022460"), "6A82");
    EXPECT_EQ(Run("00A40000022460"), "6A82");
}

TEST_F(CardCommands, MemoryFullAndAccessConditions) {
    // 8 KiB token already holds the personalised files; 0x1F00 bytes more do not fit.
    EXPECT_EQ(Run("00E0000018621680021F00820201008302246086089090FF90FFFFFFFF"), "6A84");
    // 9F00 is written by the security officer only.
    EXPECT_EQ(Run("00A40000029F00"), "9000");
    EXPECT_EQ(Run("00D60000020505"), "6982");
    ASSERT_EQ(Login(2, sim::PinValue("87654321")), "9000");
    EXPECT_EQ(Run("00A40000029F00"), "9000");
    EXPECT_EQ(Run("00D60000020505"), "9000");
}

TEST_F(CardCommands, GetDataLayouts) {
    Bytes d;
    ASSERT_EQ(Run("00CA018600", &d), "9000");
    ASSERT_GE(d.size(), 24u);
    EXPECT_EQ(d[2], 1);     // AES-128
    EXPECT_EQ(d[14], 0x84);
    EXPECT_EQ(d[16], 0);    // messaging off
    EXPECT_EQ(ToHex(Bytes(d.begin() + 20, d.begin() + 22)), "850A");

    ASSERT_EQ(Run("00CA018100", &d), "9000");
    ASSERT_EQ(d.size(), 32u);
    EXPECT_EQ(d[1], 0x06);
    EXPECT_EQ(ToHex(Bytes(d.begin() + 4, d.begin() + 12)), "4B56000000000001");
    EXPECT_EQ(d[31], 0x88);

    ASSERT_EQ(Run("00CA018200", &d), "9000");
    EXPECT_EQ(d[3], 8);
    EXPECT_LT(d[4], 8);

    ASSERT_EQ(Run("00CA018500", &d), "9000");
    ASSERT_GE(d.size(), 2u);
    EXPECT_EQ(d.size(), 2u + 12u * (d[0] << 8 | d[1]));
    EXPECT_EQ(Run("00CA019900"), "6A88");
}

TEST_F(CardCommands, WriteCounterMovesOnEveryChange) {
    uint16_t c0 = Counter();
    EXPECT_EQ(Run("00A40000022400"), "9000");
    EXPECT_EQ(Counter(), c0);
    EXPECT_EQ(Run("00D600000101"), "6982");  // cmapfile: user writes
    EXPECT_EQ(Counter(), c0);
    ASSERT_EQ(Login(1, sim::PinValue("12345678")), "9000");
    EXPECT_EQ(Run("00A40000022400"), "9000");
    EXPECT_EQ(Run("00D600000101"), "9000");
    EXPECT_EQ(Counter(), c0 + 1);
    EXPECT_EQ(Run("00E40000022400"), "9000");
    EXPECT_EQ(Counter(), c0 + 2);
}

TEST_F(CardCommands, PinValuesAndResponsesMatchTheVectors) {
    for (const auto& p : testing_kv::Vectors()["pin"]) {
        Bytes value = sim::PinValue(p["pin_ascii"]);
        EXPECT_EQ(ToHex(value), p["pin_value"].get<std::string>());
        Bytes challenge = Hex(p["challenge"]);
        EXPECT_EQ(ToHex(sim::CbcEncrypt(sim::Cipher::Tdes2, value, Bytes(), challenge)),
                  p["response_3key"].get<std::string>());
        EXPECT_EQ(ToHex(sim::CbcEncrypt(sim::Cipher::Tdes2, Bytes(value.begin(), value.begin() + 16), Bytes(),
                                        challenge)),
                  p["response_2key_first16"].get<std::string>());
    }
}

TEST_F(CardCommands, WrongPinsCountDownToBlockedAndProbeReports) {
    Bytes wrong = sim::PinValue("00000000"), right = sim::PinValue("12345678");
    EXPECT_EQ(Login(1, wrong), "63C2");
    EXPECT_EQ(Run("0084000008"), "9000");
    EXPECT_EQ(Run("0082018100"), "63C2");  // probe
    EXPECT_EQ(Login(1, right), "9000");     // success restores the counter
    EXPECT_EQ(state.pins[0].Left(), 3);
    EXPECT_EQ(Login(1, wrong), "63C2");
    EXPECT_EQ(Login(1, wrong), "63C1");
    EXPECT_EQ(Login(1, wrong), "6983");
    EXPECT_EQ(Login(1, right), "6983");
    EXPECT_EQ(Run("0084000008"), "9000");
    EXPECT_EQ(Run("0082018100"), "6983");
    EXPECT_EQ(Run("0082018100"), "6984");  // no pending challenge
}

TEST_F(CardCommands, PinKeyUpdateNeedsAuthentication) {
    Bytes fresh = sim::PinValue("11112222");
    std::string update = "80E5040119" "33" + ToHex(fresh);
    EXPECT_EQ(Run(update), "6982");
    ASSERT_EQ(Login(2, sim::PinValue("87654321")), "9000");
    EXPECT_EQ(Run(update), "9000");
    EXPECT_EQ(state.pins[0].retry, 0x33);
    EXPECT_EQ(Login(1, fresh), "9000");
}

TEST_F(CardCommands, ResetAsksForReselection) {
    card.Reset();
    EXPECT_EQ(Run("00B0000001"), "6985");
    EXPECT_EQ(Run("8034000000"), "6985");
    EXPECT_EQ(Run("00A40000024E51"), "9000");
    EXPECT_EQ(Run("8034000000"), "9000");
}

TEST_F(CardCommands, OtherApplicationKeepsThisSelection) {
    EXPECT_EQ(Run("00A40000022420"), "9000");
    Bytes r = card.ProcessAsOtherApp(Hex("00A4000002244000"));
    EXPECT_EQ(ToHex(Bytes(r.end() - 2, r.end())), "9000");
    card.ProcessAsOtherApp(Hex("00D6000001FF"));  // writes containermap, bypassing access
    Bytes d;
    EXPECT_EQ(Run("00B0000001", &d), "9000");
    EXPECT_EQ(ToHex(d), "56");  // still reading tokeninfo ("V" of the label)
    EXPECT_EQ(state.files.at(0x2440).data[0], 0xFF);
}

TEST(TokenStateFile, RoundTripsThroughAnAtomicSave) {
    sim::TokenState st = sim::Personalise({});
    st.pins[0].retry = 0x52;
    st.files[0x2460].data = {1, 2, 3};
    std::string path = ::testing::TempDir() + "/kvtoken-state-test";
    ASSERT_TRUE(sim::SaveState(path, st));
    auto back = sim::LoadState(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Serialize(), st.Serialize());
    Bytes cut = st.Serialize();
    cut.resize(cut.size() - 1);
    EXPECT_FALSE(sim::TokenState::Parse(cut));
}

}  // namespace
