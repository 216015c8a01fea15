// What this process sees of another process's changes to the token's
// objects. A key the other one destroyed is never used through its old
// handle, also when a key it made next took the destroyed key's files; an
// object the other one edited keeps its handle here and shows the new
// values. The other process (object_change_worker.cpp) is of this one's
// lock family (the same lock file and mirror), or of another one: its own
// lock file, reached through a second name of the token's socket, and its
// own mirror.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "itoken.h"
#include "openssl_check.h"
#include "pkcs11.h"
#include "sim_process.h"
#include "test_vectors.h"

using testing_kv::Bytes;

namespace {

constexpr char kPin[] = "12345678";
constexpr char kMessage[] = "signed-by-the-key-the-handle-names";

struct Family {
    const char* name;
    bool own;  // its own lock file and mirror
};

std::string FamilyName(const ::testing::TestParamInfo<Family>& info) { return info.param.name; }

class OtherProcessChanges : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override {
        ASSERT_EQ(symlink(sim_.Socket().c_str(), (sim_.Dir() + "/other-family.sock").c_str()), 0);
        HostSocketBridge::Instance().SetSocketPath(sim_.Socket());
        DiskMirror::SetBase(sim_.Dir() + "/mirror");
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        CK_SLOT_ID slot = 0;
        CK_ULONG n = 1;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
        ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h_), CKR_OK);
        ASSERT_EQ(C_Login(h_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), 8), CKR_OK);
    }
    void TearDown() override {
        C_CloseAllSessions(1);
        C_Finalize(nullptr);
    }

    // The other process runs its steps to the end; its standard output.
    std::string Elsewhere(const std::vector<std::string>& steps) {
        const bool own = GetParam().own;
        std::vector<std::string> args{KV_CHANGE_WORKER, own ? sim_.Dir() + "/other-family.sock" : sim_.Socket(),
                                      sim_.Dir() + (own ? "/other-mirror" : "/mirror"), kPin};
        args.insert(args.end(), steps.begin(), steps.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return "";
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            execv(KV_CHANGE_WORKER, argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char buffer[1024];
        for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
        close(out[0]);
        int status = -1;
        if (pid > 0) waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process failed";
        text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
        return text;
    }

    // An RSA-1024 token key pair of this process, both halves labelled
    // label with CKA_ID label; its public key for OpenSSL.
    testing_kv::PKey MakePair(const char* label, CK_OBJECT_HANDLE& publicKey, CK_OBJECT_HANDLE& privateKey) {
        CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
        CK_KEY_TYPE rsa = CKK_RSA;
        CK_ULONG bits = 1024;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE name{CKA_LABEL, const_cast<char*>(label), std::strlen(label)};
        CK_ATTRIBUTE id{CKA_ID, const_cast<char*>(label), std::strlen(label)};
        CK_ATTRIBUTE publicTemplate[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                         {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                         {CKA_TOKEN, &yes, 1},
                                         {CKA_MODULUS_BITS, &bits, sizeof bits},
                                         {CKA_VERIFY, &yes, 1},
                                         {CKA_ENCRYPT, &yes, 1},
                                         {CKA_WRAP, &yes, 1},
                                         name,
                                         id};
        CK_ATTRIBUTE privateTemplate[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                                          {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                          {CKA_TOKEN, &yes, 1},
                                          {CKA_SIGN, &yes, 1},
                                          {CKA_DECRYPT, &yes, 1},
                                          name,
                                          id};
        CK_MECHANISM generate{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        EXPECT_EQ(C_GenerateKeyPair(h_, &generate, publicTemplate, 9, privateTemplate, 7, &publicKey, &privateKey),
                  CKR_OK);
        Bytes modulus(128), exponent(8);
        CK_ATTRIBUTE parts[] = {{CKA_MODULUS, modulus.data(), modulus.size()},
                                {CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size()}};
        EXPECT_EQ(C_GetAttributeValue(h_, publicKey, parts, 2), CKR_OK);
        modulus.resize(parts[0].ulValueLen);
        exponent.resize(parts[1].ulValueLen);
        return testing_kv::RsaKey(modulus, exponent);
    }

    // kMessage signed with CKM_SHA256_RSA_PKCS by key: the init's result,
    // and the signature when the init succeeded.
    CK_RV Sign(CK_OBJECT_HANDLE key, Bytes& signature) {
        CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
        const CK_RV rv = C_SignInit(h_, &mechanism, key);
        if (rv) return rv;
        signature.assign(256, 0);
        CK_ULONG length = signature.size();
        EXPECT_EQ(C_Sign(h_, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(kMessage)), sizeof kMessage - 1,
                         signature.data(), &length),
                  CKR_OK);
        signature.resize(length);
        return rv;
    }

    std::vector<CK_OBJECT_HANDLE> Labelled(const std::string& label) {
        CK_ATTRIBUTE find{CKA_LABEL, const_cast<char*>(label.data()), label.size()};
        std::vector<CK_OBJECT_HANDLE> found(16);
        CK_ULONG n = 0;
        EXPECT_EQ(C_FindObjectsInit(h_, &find, 1), CKR_OK);
        EXPECT_EQ(C_FindObjects(h_, found.data(), found.size(), &n), CKR_OK);
        EXPECT_EQ(C_FindObjectsFinal(h_), CKR_OK);
        found.resize(n);
        std::sort(found.begin(), found.end());
        return found;
    }

    static Bytes MessageBytes() { return Bytes(kMessage, kMessage + sizeof kMessage - 1); }

    testing_kv::SimProcess sim_;
    CK_SESSION_HANDLE h_ = 0;
};

// The other process destroys a pair and makes another, whose key files
// take the destroyed pair's (the lowest free ones): every call with the
// old handles answers CKR_KEY_HANDLE_INVALID at once, also after a change
// of another family (a call with a token key asks the token for its
// counter), and nothing is ever signed by the new key through them. Each
// round tries another first call after the change.
TEST_P(OtherProcessChanges, ADestroyedKeysHandleNeverReachesTheKeyThatTookItsFiles) {
    CK_MECHANISM aesGen{CKM_AES_KEY_GEN, nullptr, 0}, rsa{CKM_RSA_PKCS, nullptr, 0},
        sha256Rsa{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_ULONG sixteen = 16;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE secret[] = {{CKA_VALUE_LEN, &sixteen, sizeof sixteen}, {CKA_EXTRACTABLE, &yes, 1}};
    CK_OBJECT_HANDLE sessionKey = 0;
    ASSERT_EQ(C_GenerateKey(h_, &aesGen, secret, 2, &sessionKey), CKR_OK);
    Bytes wrapped(256);
    CK_ULONG wrappedLength = wrapped.size();
    struct Round {
        const char* old;
        const char* made;
        std::function<CK_RV(CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey)> first;
    } rounds[] = {
        {"A1", "B1", [&](CK_OBJECT_HANDLE, CK_OBJECT_HANDLE prv) { return C_SignInit(h_, &sha256Rsa, prv); }},
        {"A2", "B2", [&](CK_OBJECT_HANDLE, CK_OBJECT_HANDLE prv) { return C_DecryptInit(h_, &rsa, prv); }},
        {"A3", "B3", [&](CK_OBJECT_HANDLE pub, CK_OBJECT_HANDLE) {
             return C_WrapKey(h_, &rsa, pub, sessionKey, wrapped.data(), &wrappedLength);
         }},
    };
    for (const Round& round : rounds) {
        SCOPED_TRACE(round.old);
        CK_OBJECT_HANDLE publicA = 0, privateA = 0;
        const testing_kv::PKey a = MakePair(round.old, publicA, privateA);
        Bytes signature;
        ASSERT_EQ(Sign(privateA, signature), CKR_OK);
        ASSERT_TRUE(testing_kv::VerifyRsa(a.get(), EVP_sha256(), MessageBytes(), signature));

        const std::string byB =
            Elsewhere({"destroy", round.old, "keypair", round.made, "sign", round.made, kMessage});
        ASSERT_FALSE(byB.empty());

        EXPECT_EQ(round.first(publicA, privateA), CKR_KEY_HANDLE_INVALID) << "the first call";
        EXPECT_EQ(Sign(privateA, signature), CKR_KEY_HANDLE_INVALID);
        EXPECT_NE(testing_kv::ToHex(signature), byB) << "the old handle signed with the new key";
        struct Init {
            const char* what;
            CK_RV (*call)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
            CK_MECHANISM* mechanism;
            CK_OBJECT_HANDLE key;
        } inits[] = {
            {"decrypt", C_DecryptInit, &rsa, privateA},
            {"verify", C_VerifyInit, &sha256Rsa, publicA},
            {"encrypt", C_EncryptInit, &rsa, publicA},
        };
        for (const Init& init : inits)
            EXPECT_EQ(init.call(h_, init.mechanism, init.key), CKR_KEY_HANDLE_INVALID) << init.what;
        // The new halves are new objects here, under new handles.
        const std::vector<CK_OBJECT_HANDLE> b = Labelled(round.made);
        EXPECT_EQ(b.size(), 2u);
        for (CK_OBJECT_HANDLE handle : b) EXPECT_TRUE(handle != publicA && handle != privateA);
        EXPECT_TRUE(Labelled(round.old).empty());
    }
}

// Pair A is destroyed and B made in its files while a signature by A runs
// here: the call that would reach the key answers CKR_KEY_HANDLE_INVALID
// and ends the operation; nothing is signed by B's key.
TEST_P(OtherProcessChanges, ADestroyedKeyEndsARunningOperation) {
    CK_OBJECT_HANDLE publicA = 0, privateA = 0;
    const testing_kv::PKey a = MakePair("A", publicA, privateA);
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(C_SignInit(h_, &mechanism, privateA), CKR_OK);
    ASSERT_EQ(C_SignUpdate(h_, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(kMessage)), sizeof kMessage - 1),
              CKR_OK);

    const std::string byB = Elsewhere({"destroy", "A", "keypair", "B", "sign", "B", kMessage});
    ASSERT_FALSE(byB.empty());
    // Another family's change is seen within the counter window.
    if (GetParam().own) std::this_thread::sleep_for(std::chrono::milliseconds(kCounterWindowMs + 100));

    Bytes signature(256);
    CK_ULONG length = signature.size();
    EXPECT_EQ(C_SignFinal(h_, signature.data(), &length), CKR_KEY_HANDLE_INVALID);
    signature.resize(length);
    EXPECT_NE(testing_kv::ToHex(signature), byB) << "A's running operation signed with B's key";
    EXPECT_EQ(C_SignFinal(h_, signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
}

// A token data object labelled label with CKA_VALUE label.
CK_OBJECT_HANDLE MakeData(CK_SESSION_HANDLE h, const char* label) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_LABEL, const_cast<char*>(label), std::strlen(label)},
                        {CKA_VALUE, const_cast<char*>(label), std::strlen(label)}};
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(C_CreateObject(h, t, 4, &object), CKR_OK);
    return object;
}

// The other process destroys data object A and makes one just like it,
// which takes the freed file name: it is another object, and the old
// handle answers CKR_OBJECT_HANDLE_INVALID.
TEST_P(OtherProcessChanges, AnObjectMadeAgainAlikeIsAnotherObject) {
    const CK_OBJECT_HANDLE dataA = MakeData(h_, "A");
    ASSERT_EQ(Labelled("A"), std::vector<CK_OBJECT_HANDLE>{dataA});

    Elsewhere({"destroy", "A", "data", "A"});
    if (GetParam().own) std::this_thread::sleep_for(std::chrono::milliseconds(kCounterWindowMs + 100));

    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(h_, dataA, &label, 1), CKR_OBJECT_HANDLE_INVALID);
    const std::vector<CK_OBJECT_HANDLE> again = Labelled("A");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_NE(again[0], dataA);
}

// The other process changes CKA_LABEL and CKA_ID of both halves of a key
// pair, and CKA_LABEL and CKA_VALUE of a data object; pair A and data
// object A were made here, pair C and data object C by the other process
// and found here. The handles here stay valid, show the new values and are
// the only ones a search finds; A's private key still signs as A.
TEST_P(OtherProcessChanges, AnEditElsewhereKeepsTheHandleAndShowsTheNewValues) {
    CK_OBJECT_HANDLE publicA = 0, privateA = 0;
    const testing_kv::PKey a = MakePair("A", publicA, privateA);
    MakeData(h_, "A");
    Elsewhere({"keypair", "C", "data", "C"});
    if (GetParam().own) std::this_thread::sleep_for(std::chrono::milliseconds(kCounterWindowMs + 100));
    const std::vector<CK_OBJECT_HANDLE> before[] = {Labelled("A"), Labelled("C")};
    ASSERT_EQ(before[0].size(), 3u);
    ASSERT_EQ(before[1].size(), 3u);

    Elsewhere({"edit", "A", "renamed-A", "edit", "C", "renamed-C"});
    // Reads see another family's change within the counter window.
    if (GetParam().own) std::this_thread::sleep_for(std::chrono::milliseconds(kCounterWindowMs + 100));

    for (const std::string name : {"A", "C"}) {
        SCOPED_TRACE(name);
        const std::vector<CK_OBJECT_HANDLE>& handles = before[name == "A" ? 0 : 1];
        const std::string renamed = "renamed-" + name;
        for (CK_OBJECT_HANDLE handle : handles) {
            CK_OBJECT_CLASS cls = 0;
            std::string label(32, '\0'), second(32, '\0');
            CK_ATTRIBUTE read[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, label.data(), label.size()}};
            ASSERT_EQ(C_GetAttributeValue(h_, handle, read, 2), CKR_OK) << handle;
            CK_ATTRIBUTE other{cls == CKO_DATA ? CKA_VALUE : CKA_ID, second.data(), second.size()};
            ASSERT_EQ(C_GetAttributeValue(h_, handle, &other, 1), CKR_OK) << handle;
            label.resize(read[1].ulValueLen);
            second.resize(other.ulValueLen);
            EXPECT_EQ(label, renamed) << handle;
            EXPECT_EQ(second, renamed) << handle;
        }
        EXPECT_EQ(Labelled(renamed), handles);
        EXPECT_TRUE(Labelled(name).empty());
    }
    Bytes signature;
    ASSERT_EQ(Sign(privateA, signature), CKR_OK);
    EXPECT_TRUE(testing_kv::VerifyRsa(a.get(), EVP_sha256(), MessageBytes(), signature));
}

INSTANTIATE_TEST_SUITE_P(Families, OtherProcessChanges,
                         ::testing::Values(Family{"SameFamily", false}, Family{"AnotherFamily", true}), FamilyName);

}  // namespace
