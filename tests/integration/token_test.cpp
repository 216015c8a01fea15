// CTokenTarn against the virtual token: AES, triple DES and no secure
// messaging; file commands, recovery after reset, channel loss and a second
// application on the same token.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "apdu_commands.h"
#include "device_lock.h"
#include "host_socket_bridge.h"
#include "libusb_dev.h"
#include "sim_process.h"
#include "token_tarn.h"
#include "token_wiring.h"

using testing_kv::SimProcess;

namespace {

// A second application on the same token: its own connection and channel.
struct OtherApp {
    explicit OtherApp(const std::string& socket) {
        bridge.SetSocketPath(socket);
        token.SetDev(new libusb_dev_t("", &bridge));
    }
    HostSocketBridge bridge;
    CTokenTarn token{SlotTokenParts()};
};

struct Mode {
    const char* name;
    std::vector<std::string> args;
    bool secure;
};

class TokenOnSim : public ::testing::TestWithParam<Mode> {
protected:
    TokenOnSim() : sim(GetParam().args) {
        HostSocketBridge::Instance().SetSocketPath(sim.Socket());
        token.SetDev(new libusb_dev_t(""));
    }
    // Count of one instruction in the daemon's statistics since the last reset.
    int Count(const std::string& ins) {
        std::string stats = sim.Control("stats");
        auto at = stats.find("ins_" + ins + "=");
        return at == std::string::npos ? 0 : std::stoi(stats.substr(at + 7));
    }

    SimProcess sim;
    CTokenTarn token{SlotTokenParts()};
};

TEST_P(TokenOnSim, ConnectsAndRunsFileCommands) {
    ASSERT_EQ(token.ConnectAndSetenv(), 0u);
    EXPECT_EQ(token.SecureMessaging(), GetParam().secure);
    EXPECT_FALSE(token.IsOldKey());

    uint8_t serial[17];
    ASSERT_EQ(token.GetSerialNumber(serial, sizeof serial), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(serial), "4B56000000000001");

    uint32_t free0 = 0, free1 = 0, count0 = 0, count1 = 0;
    ASSERT_EQ(token.GetFreePublicSize(&free0), 0u);
    ASSERT_EQ(token.GetWriteCount(&count0), 0u);

    ASSERT_EQ(token.CreateFile(0x2460, 1000, 0x90, 0x90, 0x90), 0u);
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    uint32_t size = 0;
    ASSERT_EQ(token.WriteBinary(0x2460, 0, data.data(), 1000, &size), 0u);
    EXPECT_EQ(size, 1000u);
    std::vector<uint8_t> back(1000);
    ASSERT_EQ(token.ReadBinary(0x2460, back.data(), 0, 1000, nullptr), 0u);
    EXPECT_EQ(back, data);
    ASSERT_EQ(token.ReadBinary(0x2460, back.data(), 990, 10, nullptr), 0u);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 10, data.begin() + 990));

    std::vector<uint16_t> list;
    ASSERT_EQ(token.GetFileList(list), 0u);
    EXPECT_NE(std::find(list.begin(), list.end(), 0x2460), list.end());
    EXPECT_NE(std::find(list.begin(), list.end(), 0x6F01), list.end());

    ASSERT_EQ(token.GetFreePublicSize(&free1), 0u);
    EXPECT_LT(free1, free0 + 1);
    ASSERT_EQ(token.GetWriteCount(&count1), 0u);
    EXPECT_NE(count1, count0);

    ASSERT_EQ(token.DeleteFile(0x2460), 0u);
    EXPECT_EQ(token.SelectFile(0x2460), SCARD_E_FILE_NOT_FOUND);
    EXPECT_EQ(token.DeleteFile(0x2460), 0u);  // already gone
    EXPECT_EQ(token.WriteBinary(0x9F00, 0, data.data(), 1, nullptr), CKR_USER_NOT_LOGGED_IN);

    uint8_t random[40];
    EXPECT_EQ(token.GenerateRandom(random, sizeof random), 0u);
}

TEST_P(TokenOnSim, ResetIsRecoveredByOneReselection) {
    ASSERT_EQ(token.ConnectAndSetenv(), 0u);
    sim.Control("stats-reset");
    sim.Control("reset");
    uint8_t buf[8];
    ASSERT_EQ(token.ReadBinary(0x2420, buf, 0, 8, nullptr), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 8), "Virtual ");
    EXPECT_EQ(Count("50"), GetParam().secure ? 1 : 0);  // channel reopened once
    EXPECT_EQ(Count("A4"), 3);                          // refused select, 4E51, select again
    EXPECT_EQ(Count("B0"), 1);
}

TEST_P(TokenOnSim, ChannelLossIsRecoveredAtMostThreeTimes) {
    if (!GetParam().secure) GTEST_SKIP() << "no channel without secure messaging";
    ASSERT_EQ(token.ConnectAndSetenv(), 0u);
    sim.Control("stats-reset");
    sim.Control("fail-mac 3");
    EXPECT_EQ(token.SelectFile(0x2420), 0u);
    EXPECT_EQ(Count("50"), 3);
    sim.Control("stats-reset");
    sim.Control("fail-mac 4");
    EXPECT_EQ(token.SelectFile(0x2420), SCARD_E_UNEXPECTED);  // 6988 after the third reopening
    EXPECT_EQ(Count("50"), 3);
    sim.Control("fail-mac 0");
    EXPECT_EQ(token.SelectFile(0x2420), 0u);
}

TEST_P(TokenOnSim, SecondApplicationInterleaving) {
    OtherApp app(sim.Socket());
    CTokenTarn& other = app.token;

    ASSERT_EQ(token.ConnectAndSetenv(), 0u);
    ASSERT_EQ(token.CreateFile(0x2460, 16, 0x90, 0x90, 0x90), 0u);
    const uint8_t mine[4] = {1, 2, 3, 4};
    ASSERT_EQ(token.WriteBinary(0x2460, 0, mine, 4, nullptr), 0u);

    ASSERT_EQ(other.ConnectAndSetenv(), 0u);  // opens its own channel, selects the application
    uint8_t buf[4];
    ASSERT_EQ(other.ReadBinary(0x2460, buf, 0, 4, nullptr), 0u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), std::vector<uint8_t>(mine, mine + 4));
    const uint8_t theirs[4] = {9, 8, 7, 6};
    ASSERT_EQ(other.WriteBinary(0x2460, 0, theirs, 4, nullptr), 0u);

    ASSERT_EQ(token.ReadBinary(0x2460, buf, 0, 4, nullptr), 0u);  // our channel is gone: reopened
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), std::vector<uint8_t>(theirs, theirs + 4));
    ASSERT_EQ(other.SelectFile(0x2420), 0u);
}

// Another application opens its channel (ours is void from then on) and
// selects its own file between our selection and our write: after reopening
// our channel the write goes to our file, never to the one now current.
TEST_P(TokenOnSim, AReopenedChannelWritesOnlyIntoTheFileItSelected) {
    if (!GetParam().secure) GTEST_SKIP() << "no channel without secure messaging";
    OtherApp app(sim.Socket());
    CTokenTarn& other = app.token;
    ASSERT_EQ(token.ConnectAndSetenv(), 0u);
    ASSERT_EQ(token.CreateFile(0x2460, 16, 0x90, 0x90, 0x90), 0u);
    ASSERT_EQ(other.ConnectAndSetenv(), 0u);
    uint8_t before[8];
    ASSERT_EQ(other.ReadBinary(0x2420, before, 0, 8, nullptr), 0u);

    const uint8_t mine[4] = {1, 2, 3, 4};
    {
        DeviceLock scope(token);  // one scope: the selection is not repeated by the write
        ASSERT_EQ(token.SelectFile(0x2460), 0u);
        ASSERT_EQ(other.SelectFile(0x2420), 0u);  // its channel now, its file current
        EXPECT_EQ(token.im_TransmitAPDU(apdu::UpdateBinary(0, mine, 4), nullptr, nullptr, false), 0x9000);
    }
    uint8_t after[8], written[4];
    ASSERT_EQ(other.ReadBinary(0x2420, after, 0, 8, nullptr), 0u);
    EXPECT_EQ(std::vector<uint8_t>(after, after + 8), std::vector<uint8_t>(before, before + 8));
    ASSERT_EQ(token.ReadBinary(0x2460, written, 0, 4, nullptr), 0u);
    EXPECT_EQ(std::vector<uint8_t>(written, written + 4), std::vector<uint8_t>(mine, mine + 4));
}

INSTANTIATE_TEST_SUITE_P(Modes, TokenOnSim,
                         ::testing::Values(Mode{"aes", {"--cipher", "aes"}, true},
                                           Mode{"tdes", {"--cipher", "3des"}, true},
                                           Mode{"plain", {"--sm", "off"}, false}),
                         [](const ::testing::TestParamInfo<Mode>& p) { return std::string(p.param.name); });

}  // namespace
