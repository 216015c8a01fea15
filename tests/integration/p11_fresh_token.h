// A fresh virtual token for each test, the library initialised on it and
// the slot bound; everything is closed and finalised afterwards.
#ifndef KV_TESTS_P11_FRESH_TOKEN_H
#define KV_TESTS_P11_FRESH_TOKEN_H

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "pkcs11.h"
#include "sim_process.h"

namespace testing_kv {

constexpr const char* kUserPin = "12345678";
constexpr const char* kSoPin = "87654321";

inline CK_UTF8CHAR_PTR Utf8(const std::string& text) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.c_str()));
}

class FreshToken : public ::testing::Test {
protected:
    // Extra personalisation arguments of the token of each test.
    virtual std::vector<std::string> Personalise() const { return {}; }

    void SetUp() override {
        sim_ = std::make_unique<SimProcess>(Personalise());
        HostSocketBridge::Instance().SetSocketPath(sim_->Socket());
        DiskMirror::SetBase(sim_->Dir() + "/mirror");
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        CK_SLOT_ID slots[2];
        CK_ULONG n = 2;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
    }
    void TearDown() override {
        C_CloseAllSessions(1);
        while (C_Finalize(nullptr) == CKR_OK) {
        }
        sim_.reset();
    }

    static CK_SESSION_HANDLE Open(bool readWrite) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0), nullptr, nullptr, &h),
                  CKR_OK);
        return h;
    }
    static CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE type, const std::string& pin) {
        return C_Login(h, type, Utf8(pin), pin.size());
    }
    static CK_STATE State(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info{};
        EXPECT_EQ(C_GetSessionInfo(h, &info), CKR_OK);
        return info.state;
    }
    static CK_TOKEN_INFO TokenInfo() {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(C_GetTokenInfo(1, &info), CKR_OK);
        return info;
    }
    // Whether a user can log in with pin in a session of its own.
    static CK_RV UserLoginResult(const std::string& pin) {
        CK_SESSION_HANDLE h = Open(false);
        CK_RV rv = Login(h, CKU_USER, pin);
        C_CloseSession(h);
        return rv;
    }

    std::unique_ptr<SimProcess> sim_;
};

}  // namespace testing_kv

#endif
