// The device channel against the virtual token through the host socket path.
#include <gtest/gtest.h>

#include "host_socket_bridge.h"
#include "libusb_dev.h"
#include "sim_process.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::SimProcess;
using testing_kv::ToHex;

namespace {

class DeviceChannel : public ::testing::Test {
protected:
    DeviceChannel() : sim({"--sm", "off"}) { HostSocketBridge::Instance().SetSocketPath(sim.Socket()); }

    RV Send(const std::string& apdu, Bytes* data = nullptr) {
        Bytes a = Hex(apdu);
        uint8_t buf[4096];
        uint32_t len = sizeof buf;
        RV rv = dev.Transmit(a.data(), static_cast<uint32_t>(a.size()), buf, &len, &sw1, &sw2);
        if (data && rv == 0) data->assign(buf, buf + len);
        return rv;
    }
    std::string Sw() const { return ToHex(Bytes{sw1, sw2}); }

    SimProcess sim;
    libusb_dev_t dev{""};
    uint8_t sw1 = 0, sw2 = 0;
};

TEST_F(DeviceChannel, ConnectsAndExchangesApdus) {
    EXPECT_EQ(dev.Connect(), 0u);
    Bytes data;
    ASSERT_EQ(Send("00CA018100", &data), 0u);
    EXPECT_EQ(Sw(), "9000");
    EXPECT_EQ(data.size(), 32u);
    ASSERT_EQ(Send("00A40000020001"), 0u);
    EXPECT_EQ(Sw(), "6A82");
    sim.Control("ids 0x1234 0x0501");
    EXPECT_EQ(dev.Connect(), 1u);
}

TEST_F(DeviceChannel, SurvivesChainingTimeExtensionsAnd61xx) {
    Bytes plain;
    ASSERT_EQ(Send("00CA018500", &plain), 0u);
    for (const char* fault : {"chain 7", "time-ext 3", "rounds61 2"}) {
        sim.Control("chain 0");
        sim.Control(fault);
        Bytes data;
        ASSERT_EQ(Send("00CA018500", &data), 0u) << fault;
        EXPECT_EQ(Sw(), "9000") << fault;
        EXPECT_EQ(ToHex(data), ToHex(plain)) << fault;
    }
    sim.Control("chain 0");
    sim.Control("stats-reset");
    sim.Control("rounds61 3");
    Send("00CA018100");
    EXPECT_NE(sim.Control("stats").find("ins_0C=3"), std::string::npos);
}

TEST_F(DeviceChannel, TransportFailuresAreDeviceErrors) {
    Bytes serial;
    ASSERT_EQ(Send("00CA018100", &serial), 0u);
    for (const char* fault : {"send-fail 1", "short 1", "long 1", "recv-fail 1"}) {
        sim.Control(fault);
        EXPECT_EQ(Send("00CA018100"), CKR_DEVICE_ERROR) << fault;
    }
    // The answer whose receipt failed is still in the reader: the next
    // exchange drops it and takes its own.
    Bytes data;
    ASSERT_EQ(Send("00A40000023F00", &data), 0u);
    EXPECT_EQ(Sw(), "9000");
    ASSERT_EQ(Send("00CA018100", &data), 0u);
    EXPECT_EQ(ToHex(data), ToHex(serial));
    // A fresh exchange works again.
    libusb_dev_t fresh("");
    Bytes a = Hex("00CA018100");
    uint32_t len = 0;
    EXPECT_EQ(fresh.Transmit(a.data(), 5, nullptr, &len, &sw1, &sw2), 0u);
}

}  // namespace
