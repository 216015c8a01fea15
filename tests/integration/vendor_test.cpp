// The vendor table of E_GetAuxFunctionList and each of its functions,
// called through the table as an application does.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

#include "kv_aux.h"
#include "p11_fresh_token.h"

using namespace testing_kv;

namespace {

KV_AUX_FUNCTION_LIST* Table() {
    KV_AUX_FUNCTION_LIST* table = nullptr;
    EXPECT_EQ(E_GetAuxFunctionList(&table), CKR_OK);
    return table;
}

template <typename Fn>
Fn Entry(unsigned k) {
    return reinterpret_cast<Fn>(KV_AuxEntry(Table(), k));
}

TEST(VendorTable, LayoutAndPlaceholdersBeforeInitialisation) {
    EXPECT_EQ(E_GetAuxFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    const KV_AUX_FUNCTION_LIST* table = Table();
    ASSERT_NE(table, nullptr);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(table);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[1], 0);
    // Entry 1 sits at byte offset 10, entry 18 at 146.
    void (*at10)(void) = nullptr;
    void (*at146)(void) = nullptr;
    std::memcpy(&at10, bytes + 10, 8);
    std::memcpy(&at146, bytes + 146, 8);
    EXPECT_EQ(at10, KV_AuxEntry(table, KV_AUX_SET_TOKEN_LABEL));
    EXPECT_EQ(at146, KV_AuxEntry(table, KV_AUX_IS_OLD_KEY));

    const std::set<unsigned> notSupported{0, 3, 5, 6, 7, 8, 9, 15}, ok{4, 14, 16}, working{1, 2, 17, 18};
    for (unsigned k = 0; k < KV_AUX_ENTRY_COUNT; ++k) {
        auto fn = reinterpret_cast<KV_AUX_PLACEHOLDER>(KV_AuxEntry(table, k));
        if (notSupported.count(k)) {
            ASSERT_NE(fn, nullptr) << k;
            EXPECT_EQ(fn(), CKR_FUNCTION_NOT_SUPPORTED) << k;
        } else if (ok.count(k)) {
            ASSERT_NE(fn, nullptr) << k;
            EXPECT_EQ(fn(), CKR_OK) << k;
        } else if (!working.count(k)) {
            EXPECT_EQ(fn, nullptr) << k;
        }
    }
    // The working entries check their arguments first, then the library state.
    EXPECT_EQ(Entry<KV_E_SET_TOKEN_LABEL>(1)(1, nullptr, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Entry<KV_E_GET_PIN_INFO>(2)(1, nullptr), CKR_ARGUMENTS_BAD);
    KV_PIN_INFO info;
    EXPECT_EQ(Entry<KV_E_GET_PIN_INFO>(2)(1, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(Entry<KV_E_CLEAR_LOCAL_CACHE>(17)(1), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_BBOOL old = 2;
    EXPECT_EQ(Entry<KV_E_IS_OLD_KEY>(18)(1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(Entry<KV_E_IS_OLD_KEY>(18)(1, &old), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST(VendorTable, ManyThreadsSeeTheSameCompleteTable) {
    const KV_AUX_FUNCTION_LIST* expected = Table();
    KV_AUX_FUNCTION_LIST copy;
    std::memcpy(&copy, expected, sizeof copy);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                KV_AUX_FUNCTION_LIST* table = nullptr;
                if (E_GetAuxFunctionList(&table) != CKR_OK || table != expected ||
                    std::memcmp(table, &copy, sizeof copy) != 0 ||
                    reinterpret_cast<KV_AUX_PLACEHOLDER>(KV_AuxEntry(table, 4))() != CKR_OK)
                    ++mismatches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

class Vendor : public FreshToken {
protected:
    std::vector<std::string> Personalise() const override { return {"--user-tries", "5", "--so-tries", "7"}; }
};

TEST_F(Vendor, PinInfoFollowsAWrongUserPin) {
    auto getPinInfo = Entry<KV_E_GET_PIN_INFO>(KV_AUX_GET_PIN_INFO);
    KV_PIN_INFO before{}, after{};
    ASSERT_EQ(getPinInfo(1, &before), CKR_OK);
    EXPECT_EQ(before.soMaxTries, 7);
    EXPECT_EQ(before.soTriesLeft, 7);
    EXPECT_EQ(before.userMaxTries, 5);
    EXPECT_EQ(before.userTriesLeft, 5);
    ASSERT_EQ(UserLoginResult("wrong-pin"), CKR_PIN_INCORRECT);
    ASSERT_EQ(getPinInfo(1, &after), CKR_OK);
    EXPECT_EQ(after.userTriesLeft, 4);
    EXPECT_EQ(after.soTriesLeft, 7);
    CK_FLAGS flags = 0;
    std::memcpy(&flags, after.tokenFlags, sizeof flags);
    EXPECT_EQ(flags, TokenInfo().flags);
    EXPECT_TRUE(flags & CKF_USER_PIN_COUNT_LOW);
    EXPECT_EQ(getPinInfo(2, &after), CKR_SLOT_ID_INVALID);
}

TEST_F(Vendor, SetTokenLabelWithoutLogin) {
    auto setLabel = Entry<KV_E_SET_TOKEN_LABEL>(KV_AUX_SET_TOKEN_LABEL);
    CK_UTF8CHAR text[] = "Renamed";
    ASSERT_EQ(setLabel(1, nullptr, nullptr, nullptr, text), CKR_OK);
    const CK_TOKEN_INFO info = TokenInfo();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.label), 32), "Renamed" + std::string(25, ' '));
    EXPECT_EQ(setLabel(2, nullptr, nullptr, nullptr, text), CKR_SLOT_ID_INVALID);
}

TEST_F(Vendor, ClearLocalCacheAndOldKey) {
    auto clear = Entry<KV_E_CLEAR_LOCAL_CACHE>(KV_AUX_CLEAR_LOCAL_CACHE);
    auto isOldKey = Entry<KV_E_IS_OLD_KEY>(KV_AUX_IS_OLD_KEY);
    ASSERT_EQ(clear(1), CKR_OK);
    // The token is read again from the token itself afterwards.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(TokenInfo().label), 13), "Virtual Token");
    EXPECT_EQ(UserLoginResult(kUserPin), CKR_OK);
    EXPECT_EQ(clear(2), CKR_SLOT_ID_INVALID);
    CK_BBOOL old = 2;
    ASSERT_EQ(isOldKey(1, &old), CKR_OK);
    EXPECT_EQ(old, CK_FALSE);  // the virtual token carries the current key generation
    EXPECT_EQ(isOldKey(2, &old), CKR_SLOT_ID_INVALID);
}

}  // namespace
