// A whole session with the logger on (login, a token key imported, a key
// pair generated, a signature, a PIN change): the log shows the calls and
// the APDUs, and neither the PINs, their PIN values nor any key.
#include <gtest/gtest.h>
#include <sys/stat.h>
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
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/kvp11.log";  // made by the module
        // The switch a desktop user turns: read at C_Initialize.
        setenv("KVP11_LOG", path_.c_str(), 1);
        FreshToken::SetUp();
        ASSERT_TRUE(get_msg_logger().Enabled());
    }
    void TearDown() override {
        FreshToken::TearDown();
        unsetenv("KVP11_LOG");
        get_msg_logger().Configure(LogOutput::Off);
        if (!HasFailure()) {
            std::remove(path_.c_str());
            rmdir(dir_.c_str());
        }
    }
    std::string Log() const {
        std::ifstream in(path_);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string dir_, path_;
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
    // A session key protected by enciphering it with the token key.
    const Bytes sessionKey = {0x5E, 0x17, 0xC2, 0x8B, 0x40, 0xDD, 0x93, 0x6A,
                              0x21, 0xF4, 0x0C, 0xB7, 0x68, 0x3F, 0xA5, 0x12};
    CK_MECHANISM ecb{CKM_AES_ECB, nullptr, 0};
    ASSERT_EQ(C_EncryptInit(h, &ecb, aesHandle), CKR_OK);
    CK_BYTE wrapped[16];
    CK_ULONG wrappedLen = sizeof wrapped;
    ASSERT_EQ(C_Encrypt(h, const_cast<uint8_t*>(sessionKey.data()), sessionKey.size(), wrapped, &wrappedLen), CKR_OK);
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
    absent("enciphered session key", Hex(sessionKey.data(), 8));
    absent("enciphered session key tail", Hex(sessionKey.data() + 8, 8));
    absent("channel encryption key", Hex(kvprov::kStaticEncKey, 8));
    absent("channel MAC key", Hex(kvprov::kStaticMacKey, 8));
}

// The log the module makes is the user's alone, and a link planted at its
// path is not followed.
TEST_F(LogSecrets, TheLogIsMadePrivateAndNeverThroughALink) {
    struct stat st {};
    ASSERT_EQ(lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    get_msg_logger().Configure(LogOutput::Off);
    const std::string target = dir_ + "/target";
    { std::ofstream(target) << "untouched\n"; }
    ASSERT_EQ(std::remove(path_.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    EXPECT_FALSE(ConfigureLogging(path_.c_str()));
    EXPECT_FALSE(get_msg_logger().Enabled());
    C_CloseSession(Open(false));
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "untouched\n");
    std::remove(target.c_str());
    std::remove(path_.c_str());
}

}  // namespace
