// PIN flows on the virtual token: login, wrong PINs to blocking with the
// flag bits, change, unblock, retry counts, re-login after a reset.
#include <gtest/gtest.h>

#include <cstring>

#include "iauth_manager.h"
#include "ifile_system.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using testing_kv::SimProcess;
using testing_kv::StatOf;
using testing_kv::TokenClient;

namespace {

ByteVec Pin(const char* text) {
    return GetPinHash(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

class PinOnSim : public ::testing::Test {
protected:
    PinOnSim() : sim({"--user-tries", "3", "--so-tries", "3"}) {
        DiskMirror::SetBase(sim.Dir() + "/mirror");
        client = std::make_unique<TokenClient>(sim.Socket());
    }
    void SetUp() override {
        ASSERT_EQ(token().ConnectAndSetenv(), 0u);
        auth = token().GetAuthManager();
    }
    CTokenTarn& token() { return *client->token; }
    RV Login(uint32_t ref, const char* pin) {
        ByteVec v = Pin(pin);
        return auth->Authenticate(ref, v.data(), static_cast<uint32_t>(v.size()));
    }
    uint32_t Flags() {
        uint32_t f = 0;
        EXPECT_EQ(token().GetTokenInfoFlag(&f), 0u);
        return f;
    }
    bool Authenticated(uint32_t ref) {
        AuthInfo info{};
        auth->GetAuthInfo(ref, &info);
        return info.flags & 1;
    }

    SimProcess sim;
    std::unique_ptr<TokenClient> client;
    IAuthManager* auth = nullptr;
};

TEST(PinHash, ValuesAsTheVectorsSay) {
    for (const auto& p : testing_kv::Vectors()["pin"]) {
        std::string text = p["pin_ascii"];
        EXPECT_EQ(testing_kv::ToHex(Pin(text.c_str())), p["pin_value"].get<std::string>());
    }
    EXPECT_TRUE(GetPinHash(nullptr, 0).empty());
}

TEST_F(PinOnSim, LoginWhosePinFlagsCannotBeReadIsNoLogin) {
    // The PIN flags live in the token information file; empty it.
    ASSERT_EQ(token().GetFileSystem()->ResizeFile("tkinfdir", "tokeninfo", 0, nullptr, nullptr), 0u);
    EXPECT_EQ(Login(kRefUser, "12345678"), CKR_DEVICE_ERROR);
    EXPECT_FALSE(token().IsLogIn());
    EXPECT_FALSE(Authenticated(kRefUser));
}

TEST_F(PinOnSim, LoginAndWrongPinsToBlocking) {
    ASSERT_EQ(Login(kRefUser, "12345678"), 0u);
    EXPECT_TRUE(token().IsLogIn());
    EXPECT_TRUE(Authenticated(kRefUser));
    EXPECT_EQ(Login(kRefUser, "00000000"), CKR_PIN_INCORRECT);  // 2 left
    EXPECT_FALSE(token().IsLogIn());
    EXPECT_EQ(Flags() & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY), CKF_USER_PIN_COUNT_LOW);
    EXPECT_EQ(Login(kRefUser, "00000000"), CKR_PIN_INCORRECT);  // 1 left
    EXPECT_EQ(Flags() & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY), CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY);
    uint32_t left = 9;
    ASSERT_EQ(auth->GetAuthLeftTries(kRefUser, &left), 0u);
    EXPECT_EQ(left, 1u);
    EXPECT_EQ(Login(kRefUser, "00000000"), CKR_PIN_LOCKED);
    EXPECT_EQ(Flags() & (CKF_USER_PIN_LOCKED | CKF_USER_PIN_COUNT_LOW), CKF_USER_PIN_LOCKED);
    EXPECT_EQ(Login(kRefUser, "12345678"), CKR_PIN_LOCKED);
    ASSERT_EQ(auth->GetAuthLeftTries(kRefUser, &left), 0u);
    EXPECT_EQ(left, 0u);
    uint32_t max = 0;
    ASSERT_EQ(auth->GetAuthMaxTries(kRefUser, &max), 0u);
    EXPECT_EQ(max, 3u);

    // The security officer unblocks; the user must change the PIN.
    ASSERT_EQ(Login(kRefSo, "87654321"), 0u);
    ByteVec fresh = Pin("11112222");
    ASSERT_EQ(auth->UnblockAuthenticator(kRefUser, fresh.data(), 24), 0u);
    EXPECT_EQ(Flags() & (CKF_USER_PIN_LOCKED | CKF_USER_PIN_TO_BE_CHANGED), CKF_USER_PIN_TO_BE_CHANGED);
    ASSERT_EQ(Login(kRefUser, "11112222"), 0u);
    ASSERT_EQ(auth->GetAuthLeftTries(kRefUser, &left), 0u);
    EXPECT_EQ(left, 3u);
}

TEST_F(PinOnSim, SecurityOfficerLastTryReadsIncorrectWithTheLockedBit) {
    EXPECT_EQ(Login(kRefSo, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(kRefSo, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(kRefSo, "00000000"), CKR_PIN_LOCKED);  // the token answers 6983 once none are left
    EXPECT_TRUE(Flags() & CKF_SO_PIN_LOCKED);
    EXPECT_FALSE(Flags() & CKF_USER_PIN_LOCKED);
}

TEST_F(PinOnSim, ChangeNeedsTheOldPinAndCachesTheNewOne) {
    ASSERT_EQ(Login(kRefUser, "12345678"), 0u);
    ByteVec wrong = Pin("99999999"), fresh = Pin("abcdefgh"), old = Pin("12345678");
    EXPECT_EQ(auth->ChangeAuthenticator(kRefUser, wrong.data(), 24, fresh.data(), 24), CKR_PIN_INCORRECT);
    EXPECT_FALSE(Authenticated(kRefUser));
    ASSERT_EQ(Login(kRefUser, "12345678"), 0u);
    ASSERT_EQ(auth->ChangeAuthenticator(kRefUser, old.data(), 24, fresh.data(), 24), 0u);
    uint8_t cached[24];
    token().GetCachedPin(cached);
    EXPECT_EQ(ByteVec(cached, cached + 24), fresh);
    EXPECT_EQ(Login(kRefUser, "12345678"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(kRefUser, "abcdefgh"), 0u);
    EXPECT_EQ(auth->ChangeAuthenticator(kRefUser, old.data(), 16, fresh.data(), 24), CKR_ARGUMENTS_BAD);
    uint32_t ref = 0;
    EXPECT_EQ(auth->GetRefByP11Type(2, &ref), RV_NOT_SUPPORTED);
}

TEST_F(PinOnSim, ReloginAfterAResetAndNoPinInClear) {
    ASSERT_EQ(Login(kRefUser, "12345678"), 0u);
    sim.Control("trace-clear");
    sim.Control("reset");
    // A user-writable file: the write needs the login the reset dropped.
    const uint8_t one = 1;
    ASSERT_EQ(token().WriteBinary(0x2400, 0, &one, 1, nullptr), 0u);
    EXPECT_TRUE(token().IsLogIn());
    std::string trace = sim.Control("trace");
    std::string value = testing_kv::ToHex(Pin("12345678"));
    for (size_t at = 0; (at = trace.find('>', at)) != std::string::npos; ++at) {
        std::string line = trace.substr(at, trace.find('\n', at) - at);
        EXPECT_EQ(line.find(value.substr(0, 16)), std::string::npos) << "PIN value on the wire";
    }
    AuthInfo info{};
    auth->Deauthenticate(kRefUser);
    auth->GetAuthInfo(kRefUser, &info);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_TRUE(token().IsLogIn());  // the token's own state is kept
}

}  // namespace
