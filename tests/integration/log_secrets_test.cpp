// A whole session with the logger on (login, a token key imported, a key
// pair generated, a signature, a PIN change): the log shows the calls and
// the APDUs, and neither the PINs, their PIN values nor any key.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "iauth_manager.h"
#include "kv_provisioning.h"
#include "logger.h"
#include "p11_fresh_token.h"

using namespace testing_kv;

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0x0F];
    }
    return out;
}

// The hex digits of every dump in the log, each dump's lines joined, and the
// contiguous hex texts of the records; a secret shows in one of them in full.
std::string DumpedHex(const std::string& log) {
    std::istringstream in(log);
    std::string joined;
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find("   : ");
        const size_t dump = line.find("    ");
        if (colon != std::string::npos && dump != std::string::npos && dump < colon) {
            for (size_t i = dump; i < colon; ++i)
                if (std::isxdigit(static_cast<unsigned char>(line[i]))) joined += line[i];
        } else {
            joined += '|';  // a record that is not a dump line ends the dump
            joined += line;
            joined += '|';
        }
    }
    return joined;
}

class LogSecrets : public FreshToken {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvlog-session-XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
        // The switch a desktop user turns: read at C_Initialize.
        setenv("KVP11_LOG", path_.c_str(), 1);
        FreshToken::SetUp();
        ASSERT_TRUE(get_msg_logger().Enabled());
    }
    void TearDown() override {
        FreshToken::TearDown();
        unsetenv("KVP11_LOG");
        get_msg_logger().Configure(LogOutput::Off);
        if (!HasFailure()) std::remove(path_.c_str());
    }
    std::string Log() const {
        std::ifstream in(path_);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string path_;
};

TEST_F(LogSecrets, AFullSessionLeavesNoSecretInTheLog) {
    const std::string newPin = "Qz7-new-user-pin";
    const Bytes aesKey = {0x3C, 0x9A, 0x51, 0xE2, 0x07, 0xB8, 0x6D, 0x44,
                          0xF1, 0x2E, 0x95, 0x60, 0xCB, 0x18, 0x7F, 0xA3};

    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, kUserPin), CKR_OK);

    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    CK_KEY_TYPE aes = CKK_AES;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE secret[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
                             {CKA_KEY_TYPE, &aes, sizeof aes},
                             {CKA_TOKEN, &yes, sizeof yes},
                             {CKA_ENCRYPT, &yes, sizeof yes},
                             {CKA_VALUE, const_cast<uint8_t*>(aesKey.data()), aesKey.size()}};
    CK_OBJECT_HANDLE aesHandle = 0;
    ASSERT_EQ(C_CreateObject(h, secret, 5, &aesHandle), CKR_OK);

    CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 1024;
    CK_ATTRIBUTE pubTmpl[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_MODULUS_BITS, &bits, sizeof bits},
                              {CKA_VERIFY, &yes, sizeof yes}};
    CK_ATTRIBUTE prvTmpl[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_SIGN, &yes, sizeof yes},
                              {CKA_PRIVATE, &yes, sizeof yes}};
    CK_OBJECT_HANDLE pub = 0, prv = 0;
    ASSERT_EQ(C_GenerateKeyPair(h, &gen, pubTmpl, 3, prvTmpl, 3, &pub, &prv), CKR_OK);
    CK_MECHANISM sign{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(C_SignInit(h, &sign, prv), CKR_OK);
    CK_BYTE message[] = "signed while the logger listens";
    CK_BYTE signature[256];
    CK_ULONG signatureLen = sizeof signature;
    ASSERT_EQ(C_Sign(h, message, sizeof message, signature, &signatureLen), CKR_OK);
    ASSERT_EQ(signatureLen, 128u);
    ASSERT_EQ(C_SetPIN(h, Utf8(kUserPin), 8, Utf8(newPin), newPin.size()), CKR_OK);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    ASSERT_EQ(UserLoginResult(newPin), CKR_OK);

    const std::string log = Log();
    // The log is not empty: the calls and the token's answers are there.
    for (const char* expected : {"FUNC -> C_Login()", "FUNC <- C_SetPIN(),dwRet=0x0", "FUNC <- C_Sign(),dwRet=0x0",
                                 "APDU > 00 A4", "APDU < 82: SW=9000", "data withheld"})
        EXPECT_NE(log.find(expected), std::string::npos) << expected;

    const std::string hex = DumpedHex(log);
    auto absent = [&](const std::string& what, const std::string& secretText) {
        EXPECT_EQ(log.find(secretText), std::string::npos) << what;
        EXPECT_EQ(hex.find(secretText), std::string::npos) << what;
    };
    absent("user PIN", kUserPin);
    absent("new PIN", newPin);
    absent("user PIN in hex", Hex(reinterpret_cast<const uint8_t*>(kUserPin), 8));
    absent("new PIN in hex", Hex(reinterpret_cast<const uint8_t*>(newPin.data()), newPin.size()));
    for (const std::string& pin : {std::string(kUserPin), newPin}) {
        const Bytes value = GetPinHash(reinterpret_cast<const uint8_t*>(pin.data()), static_cast<uint32_t>(pin.size()));
        ASSERT_EQ(value.size(), 24u);
        absent("PIN value of " + pin, Hex(value.data(), 8));
        absent("PIN value tail of " + pin, Hex(value.data() + 12, 8));
    }
    absent("AES key", Hex(aesKey.data(), 8));
    absent("AES key tail", Hex(aesKey.data() + 8, 8));
    absent("channel encryption key", Hex(kvprov::kStaticEncKey, 8));
    absent("channel MAC key", Hex(kvprov::kStaticMacKey, 8));
}

}  // namespace
