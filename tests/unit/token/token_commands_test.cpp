// CTokenTarn over a fake device (secure messaging off): connection, GET DATA
// caching, block splitting, random bytes, bounds and recovery.
#include <gtest/gtest.h>

#include "fake_card_device.h"
#include "token_tarn.h"
#include "token_wiring.h"

using testing_kv::Bytes;
using testing_kv::ToHex;

namespace {

class TokenCommands : public ::testing::Test {
protected:
    TokenCommands() {
        dev = new FakeCardDevice;
        token.SetDev(dev);
    }
    void Connect() {
        ASSERT_EQ(token.ConnectAndSetenv(), 0u);
        dev->sent.clear();
    }
    FakeCardDevice* dev;
    CTokenTarn token{SlotTokenParts()};
};

TEST_F(TokenCommands, ConnectsWithoutMessagingWhenTheTokenSaysSo) {
    EXPECT_TRUE(token.IsOldKey());
    ASSERT_EQ(token.ConnectAndSetenv(), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"0084000008", "00CA018600", "00A40000024E51", "00CA018100"}));
    EXPECT_FALSE(token.SecureMessaging());
    EXPECT_TRUE(token.Ready());
    EXPECT_FALSE(token.IsOldKey());
    dev->sent.clear();
    EXPECT_EQ(token.ConnectAndSetenv(), 0u);
    EXPECT_TRUE(dev->sent.empty());
}

TEST_F(TokenCommands, MessagingStaysOnUnlessByte14Says84) {
    dev->config[14] = 0x00;  // byte 16 is zero, but byte 14 does not announce the setting
    EXPECT_NE(token.ConnectAndSetenv(), 0u);  // the fake cannot open a channel
    EXPECT_EQ(dev->sent.back(), "80500000083A915C07E248BD16");
    EXPECT_TRUE(token.SecureMessaging());
    EXPECT_FALSE(token.Connected());
}

TEST_F(TokenCommands, FailedConnectionLeavesTheFlagClear) {
    dev->connectResult = 1;
    EXPECT_EQ(token.ConnectAndSetenv(), 1u);
    EXPECT_FALSE(token.Connected());
    dev->connectResult = 0;
    dev->config.resize(16);  // too short to hold byte 16
    EXPECT_EQ(token.ConnectAndSetenv(), CKR_DEVICE_ERROR);
    EXPECT_FALSE(token.Connected());
    dev->config = FakeCardDevice::Config(false);
    dev->identification.resize(31);
    EXPECT_EQ(token.ConnectAndSetenv(), CKR_DEVICE_ERROR);
    EXPECT_FALSE(token.Connected());
}

TEST_F(TokenCommands, GetDataCachesAllButFreeSpaceAndConfiguration) {
    Connect();
    uint8_t buf[64];
    for (uint8_t tag : {0x81, 0x82, 0x86, 0x81, 0x82, 0x86}) {
        uint32_t len = sizeof buf;
        EXPECT_EQ(token.cmdGetData(tag, buf, &len), 0u);
    }
    // 0x81 was cached during connection.
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"00CA018200", "00CA018600", "00CA018200", "00CA018600"}));
}

TEST_F(TokenCommands, EmptyGetDataAnswerIsCachedAndServedEmpty) {
    Connect();
    dev->otherData[0x83] = {};
    uint8_t buf[32];
    for (int i = 0; i < 2; ++i) {
        uint32_t len = sizeof buf;
        EXPECT_EQ(token.cmdGetData(0x83, buf, &len), 0u);
        EXPECT_EQ(len, 0u);
    }
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"00CA018300"}));
}

TEST_F(TokenCommands, ReadsAndWritesIn336ByteBlocks) {
    Connect();
    std::vector<uint8_t> buf(700);
    uint32_t size = 0;
    ASSERT_EQ(token.ReadBinary(0x2400, buf.data(), 0, 336, &size), 0u);
    EXPECT_EQ(size, 0x400u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"00A40000022400", "00B00000000150"}));
    dev->sent.clear();
    ASSERT_EQ(token.ReadBinary(0x2400, buf.data(), 16, 337, nullptr), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"00A40000022400", "00B00010000150", "00B0016001"}));
    dev->sent.clear();
    ASSERT_EQ(token.WriteBinary(0x2400, 0, buf.data(), 0, nullptr), 0u);
    EXPECT_EQ(dev->sent, std::vector<std::string>{"00A40000022400"});
    dev->sent.clear();
    ASSERT_EQ(token.WriteBinary(0x2400, 0x100, buf.data(), 337, nullptr), 0u);
    ASSERT_EQ(dev->sent.size(), 3u);
    EXPECT_EQ(dev->sent[1].substr(0, 14), "00D60100000150");
    EXPECT_EQ(dev->sent[2], "00D6025001AB");
}

TEST_F(TokenCommands, RefusesRangesBeforeSendingAnything) {
    Connect();
    std::vector<uint8_t> buf(0x400);
    dev->fileSizes[0x2400] = 0xFFFF;
    EXPECT_EQ(token.ReadBinary(0x2400, buf.data(), 0xFFF0, 0x11, nullptr), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(token.WriteBinary(0x2400, 0xFFFF, buf.data(), 2, nullptr), CKR_DATA_LEN_RANGE);
    EXPECT_TRUE(dev->sent.empty());
    dev->fileSizes[0x2400] = 0x100;
    EXPECT_EQ(token.WriteBinary(0x2400, 0xF0, buf.data(), 0x20, nullptr), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(dev->sent, std::vector<std::string>{"00A40000022400"});  // nothing half-written
}

TEST_F(TokenCommands, ShortAnswersAreDeviceErrors) {
    Connect();
    uint8_t buf[16];
    dev->fci = {0x62, 0x03, 0x80, 0x02, 0x00};
    EXPECT_EQ(token.SelectFile(0x2400), CKR_DEVICE_ERROR);
    dev->fci.clear();
    dev->forced = {0x9000, 0x9000};  // SELECT answered without data, then READ without data
    EXPECT_EQ(token.ReadBinary(0x2400, buf, 0, 4, nullptr), CKR_DEVICE_ERROR);
}

// What the device knows of a failure reaches the caller: a pulled card or a
// reader gone; every other failure is a device error.
TEST_F(TokenCommands, ACardOrReaderGoneIsPassedThrough) {
    Connect();
    const struct {
        RV device, expected;
    } cases[] = {{CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_PRESENT},
                 {CKR_DEVICE_REMOVED, CKR_DEVICE_REMOVED},
                 {CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
                 {CKR_FUNCTION_FAILED, CKR_DEVICE_ERROR}};
    for (const auto& c : cases) {
        dev->transmitFailure = c.device;
        EXPECT_EQ(token.SelectFile(0x2400), c.expected) << c.device;
    }
}

TEST_F(TokenCommands, RandomBytesInChallengesOf16Or8) {
    Connect();
    uint8_t buf[24];
    ASSERT_EQ(token.GenerateRandom(buf, 24), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"0084000010", "0084000008"}));
    dev->sent.clear();
    ASSERT_EQ(token.GenerateRandom(buf, 20), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"0084000010", "0084000010"}));
    EXPECT_EQ(token.GenerateRandom(nullptr, 8), CKR_ARGUMENTS_BAD);
}

TEST_F(TokenCommands, SerialNumberFormats) {
    uint8_t buf[17];
    ASSERT_EQ(token.GetSerialNumber(buf, sizeof buf), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "0011223344556677");

    for (uint8_t format : {0x86, 0x07}) {
        CTokenTarn t{SlotTokenParts()};
        auto* d = new FakeCardDevice;
        d->identification = FakeCardDevice::Identification(format, 0x88);
        t.SetDev(d);
        std::memset(buf, 0, sizeof buf);
        if (format == 0x86) {
            ASSERT_EQ(t.GetSerialNumber(buf, sizeof buf), 0u);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 16), "ABCDEFGHIJKLMNOP");
        } else {
            EXPECT_EQ(t.GetSerialNumber(buf, sizeof buf), CKR_DEVICE_ERROR);
        }
    }
    EXPECT_EQ(token.GetSerialNumber(buf, 16), CKR_ARGUMENTS_BAD);
}

TEST_F(TokenCommands, WriteCounterIsOneRawCommand) {
    uint32_t count = 0;
    ASSERT_EQ(token.GetWriteCount(&count), 0u);
    EXPECT_EQ(count, 0x0102u);
    EXPECT_EQ(dev->sent, std::vector<std::string>{"00CA018600"});  // no connection, no selection
    dev->config.resize(28);  // 85 0A present but its value cut short
    EXPECT_EQ(token.GetWriteCount(&count), CKR_DEVICE_ERROR);
}

TEST_F(TokenCommands, FreeSpaceListAndDelete) {
    Connect();
    uint32_t free = 0;
    ASSERT_EQ(token.GetFreePublicSize(&free), 0u);
    EXPECT_EQ(free, 12u * 1024);
    std::vector<uint16_t> list;
    ASSERT_EQ(token.GetFileList(list), 0u);
    EXPECT_EQ(list, (std::vector<uint16_t>{0x2400, 0x6F01}));  // the odd byte is dropped
    dev->forced = {0x6A82};
    EXPECT_EQ(token.DeleteFile(0x2460), 0u);
    dev->forced = {0x6982};
    EXPECT_EQ(token.DeleteFile(0x2460), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(TokenCommands, CreateDeletesFirstThenSendsTheTemplate) {
    Connect();
    ASSERT_EQ(token.CreateFile(0x2460, 0x0123, 0x90, 0x96, 0xB8), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{
                             "00E40000022460", "00E00000186216800201238202010083022460860890" "96FFB8FFFFFFFF"}));
}

TEST_F(TokenCommands, ReselectsExactlyOnceAfter6985) {
    Connect();
    dev->forced = {0x6985};
    EXPECT_EQ(token.SelectFile(0x2400), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"00A40000022400", "00A40000024E51", "00A40000022400"}));
    dev->sent.clear();
    dev->forced = {0x6985, 0, 0x6985};
    EXPECT_EQ(token.SelectFile(0x2400), SCARD_E_NO_SUCH_FILE);
    EXPECT_EQ(dev->sent.size(), 3u);
}

TEST_F(TokenCommands, FailedReselectionDoesNotEndRecovery) {
    Connect();
    dev->forced = {0x6985, 0x6A82};  // the application cannot be selected this time
    EXPECT_NE(token.SelectFile(0x2400), 0u);
    dev->sent.clear();
    dev->forced = {0x6985};
    EXPECT_EQ(token.SelectFile(0x2400), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"00A40000022400", "00A40000024E51", "00A40000022400"}));
}

// After a reset the token's current file and security environment are
// gone: a write on the current file goes out again only after its file is
// selected again; a security operation is not sent again at all.
TEST_F(TokenCommands, AfterAResetTheFileIsSelectedAgainAndNoSecurityOperationIsResent) {
    Connect();
    dev->fileSizes[0x2400] = 0x10;
    const uint8_t data[2] = {0xAB, 0xCD};
    dev->forced = {0, 0x6985};  // SELECT answered, the UPDATE meets the reset
    EXPECT_EQ(token.WriteBinary(0x2400, 0, data, 2, nullptr), 0u);
    EXPECT_EQ(dev->sent, (std::vector<std::string>{"00A40000022400", "00D6000002ABCD", "00A40000024E51",
                                                   "00A40000022400", "00D6000002ABCD"}));
    dev->sent.clear();
    uint8_t out[128];
    uint32_t outLen = sizeof out;
    const uint8_t block[4] = {0, 1, 2, 3};
    dev->forced = {0x9000, 0x6985};  // MSE taken, the PSO meets the reset
    EXPECT_EQ(token.RSAPrvRawCipher(0x3F11, block, 4, out, &outLen), CKR_DEVICE_ERROR);
    ASSERT_EQ(dev->sent.size(), 3u);
    EXPECT_EQ(dev->sent[1].substr(2, 2), "2A");
    EXPECT_EQ(dev->sent[2], "00A40000024E51");  // the application again, and no second PSO
}

}  // namespace
