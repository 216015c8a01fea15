// The Java bridge in a real JVM: JNI_OnLoad captures the VM, and APDUs reach
// the virtual token through the host app's callback class (the Java stand-in).
#include <gtest/gtest.h>
#include <jni.h>

#include <memory>
#include <thread>

#include "jni_otg.h"
#include "libusb_dev.h"
#include "sim_process.h"
#include "test_vectors.h"

using testing_kv::Bytes;
using testing_kv::Hex;
using testing_kv::SimProcess;
using testing_kv::ToHex;

namespace {

class JavaBridge : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sim = new SimProcess({"--sm", "off"});
        std::string classPath = std::string("-Djava.class.path=") + KV_JAVA_CLASSES;
        std::string socket = "-Dkvtoken.socket=" + sim->Socket();
        JavaVMOption options[2];
        options[0].optionString = const_cast<char*>(classPath.c_str());
        options[1].optionString = const_cast<char*>(socket.c_str());
        JavaVMInitArgs args{};
        args.version = JNI_VERSION_1_8;
        args.nOptions = 2;
        args.options = options;
        JNIEnv* env = nullptr;
        ASSERT_EQ(JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &args), JNI_OK);
        ASSERT_EQ(JNI_OnLoad(vm, nullptr), 0x00010004);
    }

    static void TearDownTestSuite() {
        delete sim;  // the VM stays: a process gets only one
        sim = nullptr;
    }

    static RV Send(libusb_dev_t& dev, const std::string& apdu, Bytes* data, std::string* sw) {
        Bytes a = Hex(apdu);
        uint8_t buf[4096], sw1 = 0, sw2 = 0;
        uint32_t len = sizeof buf;
        RV rv = dev.Transmit(a.data(), static_cast<uint32_t>(a.size()), buf, &len, &sw1, &sw2);
        if (rv == 0) {
            if (data) data->assign(buf, buf + len);
            if (sw) *sw = ToHex(Bytes{sw1, sw2});
        }
        return rv;
    }

    static SimProcess* sim;
    static JavaVM* vm;
};

SimProcess* JavaBridge::sim = nullptr;
JavaVM* JavaBridge::vm = nullptr;

TEST_F(JavaBridge, CapturesTheVmAndExchangesApdus) {
    EXPECT_EQ(CapturedVm(), vm);
    libusb_dev_t dev("");
    EXPECT_EQ(dev.Connect(), 0u);
    Bytes data;
    std::string sw;
    ASSERT_EQ(Send(dev, "00CA018100", &data, &sw), 0u);
    EXPECT_EQ(sw, "9000");
    EXPECT_EQ(data.size(), 32u);
    sim->Control("chain 5");
    ASSERT_EQ(Send(dev, "00CA018100", &data, &sw), 0u);
    EXPECT_EQ(data.size(), 32u);
    sim->Control("chain 0");
}

TEST_F(JavaBridge, UnattachedThreadFails) {
    int32_t vendor = 0, product = 0;
    int64_t sent = 0, received = 0;
    std::thread native([&] {
        uint8_t buf[16] = {};
        vendor = JniOtg::Instance().jgetidVendor();
        product = JniOtg::Instance().jgetidProduct();
        sent = JniOtg::Instance().jSendData(buf, sizeof buf);
        received = JniOtg::Instance().jRecvData(buf, sizeof buf, nullptr);
    });
    native.join();
    EXPECT_EQ(vendor, -1);
    EXPECT_EQ(product, -1);
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(received, -1);

    // Attached through the exported helper, the same thread gets through.
    std::thread attached([&] {
        ASSERT_NE(jm_AttachCurrentThread(), nullptr);
        vendor = JniOtg::Instance().jgetidVendor();
        jm_DetachCurrentThread();
    });
    attached.join();
    EXPECT_EQ(vendor, 0x2F1A);
}

TEST_F(JavaBridge, JavaExceptionsAndOverlongArraysFailCleanly) {
    uint8_t buf[16];
    // A negative Java int makes the stand-in throw; the exception is cleared.
    EXPECT_EQ(JniOtg::Instance().jRecvData(buf, 0x80000000u, nullptr), -1);
    JNIEnv* env = nullptr;
    vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_4);
    EXPECT_FALSE(env->ExceptionCheck());

    // An answer longer than asked for is refused, not written past the buffer.
    libusb_dev_t dev("");
    sim->Control("long 1");
    EXPECT_EQ(Send(dev, "00CA018600", nullptr, nullptr), CKR_DEVICE_ERROR);
    EXPECT_EQ(JniOtg::Instance().jgetidVendor(), 0x2F1A);
}

}  // namespace
