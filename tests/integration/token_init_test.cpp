// C_InitToken, C_InitPIN and C_SetPIN against the virtual token: the
// session states each accepts, PIN lengths, wrong and locked PINs, the PIN
// flags they leave, and what C_InitToken resets.
#include <gtest/gtest.h>

#include <string>

#include "p11_fresh_token.h"

using namespace testing_kv;

namespace {

// A label as the token information shows it: 32 bytes, blank-padded.
std::string Field32(const std::string& text) { return text + std::string(32 - text.size(), ' '); }

CK_RV InitToken(const std::string& soPin, const std::string& label32) {
    return C_InitToken(1, Utf8(soPin), soPin.size(), Utf8(label32));
}

CK_RV SetPin(CK_SESSION_HANDLE h, const std::string& oldPin, const std::string& newPin) {
    return C_SetPIN(h, Utf8(oldPin), oldPin.size(), Utf8(newPin), newPin.size());
}

std::string Label(const CK_TOKEN_INFO& info) {
    return std::string(reinterpret_cast<const char*>(info.label), sizeof info.label);
}

size_t CountTokenObjects(CK_SESSION_HANDLE h) {
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE match{CKA_TOKEN, &yes, sizeof yes};
    EXPECT_EQ(C_FindObjectsInit(h, &match, 1), CKR_OK);
    CK_OBJECT_HANDLE found[16];
    CK_ULONG n = 0;
    EXPECT_EQ(C_FindObjects(h, found, 16, &n), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
    return n;
}

constexpr CK_FLAGS kUserPinFlags =
    CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED | CKF_USER_PIN_TO_BE_CHANGED;

TEST(TokenInitArguments, CheckedBeforeInitialisation) {
    const std::string pin = kSoPin, label = Field32("L");
    EXPECT_EQ(C_InitToken(1, nullptr, 8, Utf8(label)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitToken(1, Utf8(pin), 0, Utf8(label)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitToken(1, Utf8(pin), pin.size(), nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitToken(1, Utf8(pin), pin.size(), Utf8(label)), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(C_InitPIN(1, nullptr, 8), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SetPIN(1, nullptr, 8, Utf8(pin), pin.size()), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SetPIN(1, Utf8(pin), pin.size(), nullptr, 8), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_InitPIN(1, Utf8(pin), pin.size()), CKR_CRYPTOKI_NOT_INITIALIZED);
}

class TokenInit : public FreshToken {};

TEST_F(TokenInit, RefusedForUnknownSlotOpenSessionOrWrongSoPin) {
    EXPECT_EQ(C_InitToken(2, Utf8(kSoPin), 8, Utf8(Field32("X"))), CKR_SLOT_ID_INVALID);
    CK_SESSION_HANDLE h = Open(false);
    EXPECT_EQ(InitToken(kSoPin, Field32("Changed")), CKR_SESSION_EXISTS);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    EXPECT_EQ(InitToken("00000000", Field32("Changed")), CKR_PIN_INCORRECT);
    const CK_TOKEN_INFO info = TokenInfo();
    EXPECT_EQ(Label(info), Field32("Virtual Token"));
    EXPECT_TRUE(info.flags & CKF_SO_PIN_COUNT_LOW);
}

TEST_F(TokenInit, DeletesObjectsSetsLabelAndResetsTheUserPin) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(SetPin(h, kUserPin, "changed-user-pin"), CKR_OK);
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    char value[] = "kept until the token is initialised";
    CK_ATTRIBUTE data[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                           {CKA_TOKEN, &yes, sizeof yes},
                           {CKA_PRIVATE, &no, sizeof no},
                           {CKA_VALUE, value, sizeof value}};
    CK_OBJECT_HANDLE obj = 0;
    ASSERT_EQ(C_CreateObject(h, data, 4, &obj), CKR_OK);
    ASSERT_EQ(CountTokenObjects(h), 1u);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);

    // A label of exactly 32 characters, no terminator after it.
    const std::string label = "Label of thirty-two characters!!";
    ASSERT_EQ(label.size(), 32u);
    ASSERT_EQ(InitToken(kSoPin, label), CKR_OK);

    const CK_TOKEN_INFO info = TokenInfo();
    EXPECT_EQ(Label(info), label);
    EXPECT_EQ(info.flags & kUserPinFlags, CKF_USER_PIN_TO_BE_CHANGED);
    h = Open(true);
    EXPECT_EQ(State(h), CKS_RW_PUBLIC_SESSION);  // nobody stays logged in
    EXPECT_EQ(C_InitPIN(h, Utf8("new-user"), 8), CKR_USER_NOT_LOGGED_IN);  // the SO logs in for that
    EXPECT_EQ(CountTokenObjects(h), 0u);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);

    EXPECT_EQ(UserLoginResult("changed-user-pin"), CKR_PIN_INCORRECT);
    EXPECT_EQ(UserLoginResult(kUserPin), CKR_OK);
    // A short label is padded with blanks.
    ASSERT_EQ(C_InitToken(1, Utf8(kSoPin), 8, Utf8(std::string("Short"))), CKR_OK);
    EXPECT_EQ(Label(TokenInfo()), Field32("Short"));
}

TEST_F(TokenInit, InitPinOnlyInAnSoSessionWithinTheLengthRange) {
    CK_SESSION_HANDLE ro = Open(false);
    EXPECT_EQ(C_InitPIN(ro, Utf8("new-user"), 8), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(Login(ro, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(C_InitPIN(ro, Utf8("new-user"), 8), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(C_CloseSession(ro), CKR_OK);

    CK_SESSION_HANDLE h = Open(true);
    EXPECT_EQ(C_InitPIN(h, Utf8("new-user"), 8), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(Login(h, CKU_SO, kSoPin), CKR_OK);
    const std::string tooLong(256, 'p');
    EXPECT_EQ(C_InitPIN(h, Utf8("1234567"), 7), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(C_InitPIN(h, Utf8(tooLong), tooLong.size()), CKR_PIN_LEN_RANGE);
    const std::string longest(255, 'p');
    ASSERT_EQ(C_InitPIN(h, Utf8(longest), longest.size()), CKR_OK);
    ASSERT_EQ(C_InitPIN(h, Utf8("new-user"), 8), CKR_OK);
    EXPECT_EQ(TokenInfo().flags & kUserPinFlags, CKF_USER_PIN_TO_BE_CHANGED);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    EXPECT_EQ(UserLoginResult(kUserPin), CKR_PIN_INCORRECT);
    EXPECT_EQ(UserLoginResult("new-user"), CKR_OK);
}

TEST_F(TokenInit, SetPinByStateWithWrongOldPinAndLengthChecks) {
    CK_SESSION_HANDLE ro = Open(false);
    EXPECT_EQ(SetPin(ro, kUserPin, "new-user"), CKR_SESSION_READ_ONLY);
    ASSERT_EQ(C_CloseSession(ro), CKR_OK);

    // A read-write public session changes the user PIN without a login.
    CK_SESSION_HANDLE h = Open(true);
    EXPECT_EQ(SetPin(h, "wrong-pin", "new-user"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(TokenInfo().flags & CKF_USER_PIN_COUNT_LOW);
    EXPECT_EQ(SetPin(h, kUserPin, "1234567"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(SetPin(h, kUserPin, std::string(256, 'n')), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(SetPin(h, kUserPin, "new-user"), CKR_OK);
    EXPECT_EQ(TokenInfo().flags & kUserPinFlags, 0u);

    // Logged in as the user: the user's PIN again.
    ASSERT_EQ(Login(h, CKU_USER, "new-user"), CKR_OK);
    ASSERT_EQ(SetPin(h, "new-user", "newer-user"), CKR_OK);
    ASSERT_EQ(C_Logout(h), CKR_OK);

    // Logged in as the SO: the SO's PIN.
    ASSERT_EQ(Login(h, CKU_SO, kSoPin), CKR_OK);
    ASSERT_EQ(SetPin(h, kSoPin, "new-so-pin"), CKR_OK);
    // A wrong old PIN costs the SO's login: the token forgets it.
    EXPECT_EQ(SetPin(h, "wrong-so-pin", "other-so-pin"), CKR_PIN_INCORRECT);
    EXPECT_EQ(State(h), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(Login(h, CKU_SO, kSoPin), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(h, CKU_SO, "new-so-pin"), CKR_OK);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    EXPECT_EQ(UserLoginResult("newer-user"), CKR_OK);
}

class LockedUserPin : public FreshToken {
protected:
    std::vector<std::string> Personalise() const override { return {"--user-tries", "2"}; }
};

TEST_F(LockedUserPin, StaysLockedUntilTheSoSetsANewPin) {
    EXPECT_EQ(UserLoginResult("wrong-pin"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(TokenInfo().flags & CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(UserLoginResult("wrong-pin"), CKR_PIN_LOCKED);
    EXPECT_TRUE(TokenInfo().flags & CKF_USER_PIN_LOCKED);
    EXPECT_EQ(UserLoginResult(kUserPin), CKR_PIN_LOCKED);
    CK_SESSION_HANDLE h = Open(true);
    EXPECT_EQ(SetPin(h, kUserPin, "new-user"), CKR_PIN_LOCKED);

    ASSERT_EQ(Login(h, CKU_SO, kSoPin), CKR_OK);
    ASSERT_EQ(C_InitPIN(h, Utf8("unblocked"), 9), CKR_OK);
    EXPECT_EQ(TokenInfo().flags & kUserPinFlags, CKF_USER_PIN_TO_BE_CHANGED);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    EXPECT_EQ(UserLoginResult("unblocked"), CKR_OK);
}

}  // namespace
