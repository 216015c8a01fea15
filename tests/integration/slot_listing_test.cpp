// Listing slots while an application works changes nothing it can see, and
// costs at most one command on an unchanged token; a token replaced behind
// the module is still noticed; a slot named without a listing is bound.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "openssl_check.h"
#include "p11_fresh_token.h"

namespace {

using testing_kv::Bytes;

int Stat(testing_kv::SimProcess& sim, const std::string& name) {
    const std::string stats = sim.Control("stats");
    const size_t at = stats.find(name + "=");
    return at == std::string::npos ? -1 : std::atoi(stats.c_str() + at + name.size() + 1);
}

Bytes Attr(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (C_GetAttributeValue(h, obj, &a, 1) != CKR_OK) return {};
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    return C_GetAttributeValue(h, obj, &a, 1) == CKR_OK ? value : Bytes();
}

Bytes TwoStep(const std::function<CK_RV(CK_BYTE_PTR, CK_ULONG_PTR)>& call) {
    CK_ULONG n = 0;
    if (call(nullptr, &n) != CKR_OK) return {};
    Bytes out(n);
    if (call(out.data(), &n) != CKR_OK) return {};
    out.resize(n);
    return out;
}

class SlotListing : public testing_kv::FreshToken {
protected:
    // C_GetSlotList(TRUE) as GnuTLS calls it mid-work: the token stays bound
    // and the listing sends at most one command.
    void List() {
        sim_->Control("stats-reset");
        CK_SLOT_ID slots[2];
        CK_ULONG n = 2;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
        EXPECT_LE(Stat(*sim_, "apdus"), 1) << sim_->Control("stats");
    }
    // A token RSA pair that signs and decrypts: public, private.
    std::pair<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> RsaPair(CK_SESSION_HANDLE h) {
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG bits = 1024;
        const char label[] = "listed";
        CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, 1}, {CKA_VERIFY, &yes, 1}, {CKA_ENCRYPT, &yes, 1},
                              {CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_LABEL, const_cast<char*>(label), 6}};
        CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1},
                              {CKA_DECRYPT, &yes, 1}, {CKA_LABEL, const_cast<char*>(label), 6}};
        CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE a = 0, b = 0;
        EXPECT_EQ(C_GenerateKeyPair(h, &m, pub, 5, prv, 5, &a, &b), CKR_OK);
        return {a, b};
    }
};

TEST_F(SlotListing, ListingBetweenEveryTwoCallsChangesNothing) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK);
    auto [pub, prv] = RsaPair(h);
    List();
    testing_kv::PKey key = testing_kv::RsaKey(Attr(h, pub, CKA_MODULUS), Attr(h, pub, CKA_PUBLIC_EXPONENT));
    ASSERT_TRUE(key);
    List();
    EXPECT_EQ(State(h), CKS_RW_USER_FUNCTIONS);

    // A search, listed between its steps.
    CK_ATTRIBUTE byLabel{CKA_LABEL, const_cast<char*>("listed"), 6};
    ASSERT_EQ(C_FindObjectsInit(h, &byLabel, 1), CKR_OK);
    List();
    CK_OBJECT_HANDLE found[4];
    CK_ULONG n = 0;
    ASSERT_EQ(C_FindObjects(h, found, 4, &n), CKR_OK);
    List();
    ASSERT_EQ(C_FindObjectsFinal(h), CKR_OK);
    EXPECT_EQ(n, 2u);

    // A signature in parts, checked with OpenSSL.
    const Bytes message = testing_kv::Message(300);
    CK_MECHANISM sha{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(C_SignInit(h, &sha, prv), CKR_OK);
    List();
    ASSERT_EQ(C_SignUpdate(h, const_cast<uint8_t*>(message.data()), 150), CKR_OK);
    List();
    ASSERT_EQ(C_SignUpdate(h, const_cast<uint8_t*>(message.data()) + 150, 150), CKR_OK);
    List();
    const Bytes signature = TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR len) { return C_SignFinal(h, o, len); });
    EXPECT_TRUE(testing_kv::VerifyRsa(key.get(), EVP_sha256(), message, signature));

    // A decryption of what OpenSSL encrypted.
    const Bytes secret = testing_kv::Message(40);
    Bytes cipher = testing_kv::RsaPublicEncrypt(key.get(), RSA_PKCS1_PADDING, secret);
    CK_MECHANISM pkcs{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(C_DecryptInit(h, &pkcs, prv), CKR_OK);
    List();
    EXPECT_EQ(TwoStep([&](CK_BYTE_PTR o, CK_ULONG_PTR len) { return C_Decrypt(h, cipher.data(), cipher.size(), o, len); }),
              secret);
    List();
    EXPECT_EQ(State(h), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(Attr(h, prv, CKA_LABEL), Bytes({'l', 'i', 's', 't', 'e', 'd'}));
    EXPECT_EQ(C_DestroyObject(h, pub), CKR_OK);
    EXPECT_EQ(C_DestroyObject(h, prv), CKR_OK);
}

TEST_F(SlotListing, ATokenReplacedBehindTheModuleIsRebound) {
    CK_SESSION_HANDLE h = Open(true);
    ASSERT_EQ(Login(h, CKU_USER, testing_kv::kUserPin), CKR_OK);
    auto [pub, prv] = RsaPair(h);
    const std::string firstSerial(reinterpret_cast<const char*>(TokenInfo().serialNumber), 16);

    testing_kv::SimProcess other({"--serial", "4B560000000000AA", "--label", "Other"});
    sim_->Stop();
    HostSocketBridge::Instance().SetSocketPath(other.Socket());
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    const CK_TOKEN_INFO info = TokenInfo();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.serialNumber), 16), "4B560000000000AA");
    EXPECT_NE(firstSerial, "4B560000000000AA");
    // The old token's handles name nothing on the new one, not even its
    // first objects, and the old login is gone.
    CK_SESSION_HANDLE fresh = Open(true);
    EXPECT_EQ(State(fresh), CKS_RW_PUBLIC_SESSION);
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    for (int i = 0; i < 2; ++i) {
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &yes, 1}};
        CK_OBJECT_HANDLE made = 0;
        ASSERT_EQ(C_CreateObject(fresh, t, 2, &made), CKR_OK);
    }
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(fresh, pub, &label, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(C_GetAttributeValue(fresh, prv, &label, 1), CKR_OBJECT_HANDLE_INVALID);
    HostSocketBridge::Instance().SetSocketPath(sim_->Socket());
}

// SunPKCS11 with "slot = 1" asks the slot first: the token is bound then.
TEST(SlotNamedFirst, SlotInfoBindsTheAttachedToken) {
    testing_kv::SimProcess sim;
    HostSocketBridge::Instance().SetSocketPath(sim.Socket());
    DiskMirror::SetBase(sim.Dir() + "/mirror");
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SLOT_INFO info{};
    ASSERT_EQ(C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_TOKEN_PRESENT);
    CK_TOKEN_INFO token{};
    EXPECT_EQ(C_GetTokenInfo(1, &token), CKR_OK);
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
    C_CloseAllSessions(1);
    while (C_Finalize(nullptr) == CKR_OK) {
    }
}

}  // namespace
