// The PKCS#11 front end in process against the virtual token: the frame,
// slot binding, sessions and login. The library's state is process-wide, so
// every test initialises and finalises and closes what it opens.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "pkcs11.h"
#include "sim_process.h"

using testing_kv::SimProcess;

namespace {

class Pkcs11 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sim = new SimProcess({"--so-tries", "9"});
        HostSocketBridge::Instance().SetSocketPath(sim->Socket());
        DiskMirror::SetBase(sim->Dir() + "/mirror");
    }
    static void TearDownTestSuite() {
        delete sim;
        sim = nullptr;
    }
    void SetUp() override { ASSERT_EQ(C_Initialize(nullptr), CKR_OK); }
    void TearDown() override {
        C_CloseAllSessions(1);
        while (C_Finalize(nullptr) == CKR_OK) {
        }
    }
    static void Bind() {
        CK_SLOT_ID slots[2];
        CK_ULONG n = 2;
        ASSERT_EQ(C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
    }
    static CK_STATE State(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info;
        EXPECT_EQ(C_GetSessionInfo(h, &info), CKR_OK);
        return info.state;
    }
    static CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE type, const char* pin) {
        return C_Login(h, type, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
    }

    static SimProcess* sim;
};

SimProcess* Pkcs11::sim = nullptr;

TEST(Pkcs11Frame, BeforeInitialisation) {
    CK_FUNCTION_LIST_PTR a = nullptr, b = nullptr;
    ASSERT_EQ(C_GetFunctionList(&a), CKR_OK);
    ASSERT_EQ(C_GetFunctionList(&b), CKR_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->version.major, 2);
    EXPECT_EQ(a->version.minor, 20);
    EXPECT_EQ(a->C_Login, &C_Login);
    EXPECT_EQ(C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SeedRandom(0, nullptr, 0), CKR_RANDOM_SEED_NOT_SUPPORTED);
    EXPECT_EQ(C_WaitForSlotEvent(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    CK_INFO info;
    EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(C_GetInfo(nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Finalize(&info), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_SESSION_HANDLE h;
    EXPECT_EQ(C_OpenSession(1, 0, nullptr, nullptr, &h), CKR_ARGUMENTS_BAD);
    CK_ULONG n;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED);

    // Bad arguments are refused while nothing was ever initialised.
    CK_C_INITIALIZE_ARGS args{};
    args.flags = 4;
    EXPECT_EQ(C_Initialize(&args), CKR_ARGUMENTS_BAD);
    args = CK_C_INITIALIZE_ARGS{};
    args.CreateMutex = reinterpret_cast<CK_CREATEMUTEX>(&C_Initialize);
    EXPECT_EQ(C_Initialize(&args), CKR_ARGUMENTS_BAD);
    args = CK_C_INITIALIZE_ARGS{};
    args.pReserved = &args;
    EXPECT_EQ(C_Initialize(&args), CKR_ARGUMENTS_BAD);
    args = CK_C_INITIALIZE_ARGS{};
    ASSERT_EQ(C_Initialize(&args), CKR_OK);  // all zero
    EXPECT_EQ(C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(C_GetInfo(&info), CKR_OK);  // still once initialised
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    args.flags = 4;
    EXPECT_EQ(C_Initialize(&args), CKR_OK);  // arguments are not checked again
    ASSERT_EQ(C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32), "Halvorn Technologies Co., Ltd.  ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.libraryDescription), 32), "Korvanite PKCS#11 Library.      ");
    EXPECT_EQ(info.libraryVersion.major, 1);
    EXPECT_EQ(info.libraryVersion.minor, 20);
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
}

TEST_F(Pkcs11, SlotsAndBinding) {
    CK_ULONG n = 0;
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 1u);
    CK_SLOT_ID id = 0;
    n = 0;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, &id, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    CK_SLOT_INFO si;
    EXPECT_EQ(C_GetSlotInfo(2, &si), CKR_SLOT_ID_INVALID);
    Bind();
    ASSERT_EQ(C_GetSlotInfo(1, &si), CKR_OK);
    EXPECT_EQ(si.flags, CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(si.slotDescription), 12), "KV SLOT 1   ");
    CK_TOKEN_INFO ti;
    ASSERT_EQ(C_GetTokenInfo(1, &ti), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ti.serialNumber), 16), "4B56000000000001");
    EXPECT_EQ(ti.flags & 0x40D, 0x40Du);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetMechanismList(1, nullptr, &count), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> mechs(count);
    CK_ULONG small = count - 1;
    EXPECT_EQ(C_GetMechanismList(1, mechs.data(), &small), CKR_BUFFER_TOO_SMALL);  // never the internal code
    ASSERT_EQ(C_GetMechanismList(1, mechs.data(), &count), CKR_OK);
    CK_MECHANISM_INFO mi;
    ASSERT_EQ(C_GetMechanismInfo(1, CKM_RSA_PKCS_KEY_PAIR_GEN, &mi), CKR_OK);
    EXPECT_EQ(mi.ulMaxKeySize, 2048u);
    EXPECT_EQ(C_GetMechanismInfo(1, 0x12345, &mi), CKR_MECHANISM_INVALID);

    // Rebinding keeps an open session working.
    CK_SESSION_HANDLE h;
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
    Bind();
    EXPECT_EQ(State(h), CKS_RO_PUBLIC_SESSION);
    ASSERT_EQ(C_GetTokenInfo(1, &ti), CKR_OK);
    ASSERT_EQ(C_CloseSession(h), CKR_OK);
    EXPECT_EQ(C_CloseSession(h), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Pkcs11, LoginStateIsSharedBySessions) {
    Bind();
    CK_SESSION_HANDLE ro, rw;
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &ro), CKR_OK);
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &rw), CKR_OK);
    EXPECT_EQ(State(rw), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(Login(rw, CKU_SO, "87654321"), CKR_SESSION_READ_ONLY_EXISTS);
    EXPECT_EQ(Login(rw, CKU_USER, "00000000"), CKR_PIN_INCORRECT);
    ASSERT_EQ(Login(rw, CKU_USER, "12345678"), CKR_OK);
    EXPECT_EQ(State(ro), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(State(rw), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(Login(ro, CKU_USER, "12345678"), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(Login(ro, CKU_CONTEXT_SPECIFIC, "12345678"), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(Login(ro, 7, "12345678"), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_Logout(ro), CKR_OK);
    EXPECT_EQ(State(rw), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(C_Logout(rw), CKR_USER_NOT_LOGGED_IN);

    // The security officer, with read-write sessions only.
    ASSERT_EQ(C_CloseSession(ro), CKR_OK);
    ASSERT_EQ(Login(rw, CKU_SO, "87654321"), CKR_OK);
    EXPECT_EQ(State(rw), CKS_RW_SO_FUNCTIONS);
    EXPECT_EQ(Login(rw, CKU_USER, "12345678"), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    CK_SESSION_HANDLE another;
    EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &another), CKR_SESSION_READ_WRITE_SO_EXISTS);

    // Closing the last session logs out.
    ASSERT_EQ(C_CloseSession(rw), CKR_OK);
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &ro), CKR_OK);
    EXPECT_EQ(State(ro), CKS_RO_PUBLIC_SESSION);
    ASSERT_EQ(Login(ro, CKU_USER, "12345678"), CKR_OK);
    ASSERT_EQ(C_CloseAllSessions(1), CKR_OK);
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &ro), CKR_OK);
    EXPECT_EQ(State(ro), CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(C_CloseAllSessions(1), CKR_OK);
    EXPECT_EQ(C_CloseAllSessions(1), CKR_OK);  // none left: still logs out and succeeds
}

TEST_F(Pkcs11, SessionsSurviveFinalise) {
    Bind();
    CK_SESSION_HANDLE h;
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(C_GetSessionInfo(h, nullptr), CKR_ARGUMENTS_BAD);
    CK_SESSION_INFO info;
    EXPECT_EQ(C_GetSessionInfo(h, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(C_GetSessionInfo(h, &info), CKR_OK);
}

TEST_F(Pkcs11, ManyThreadsOpenUseAndClose) {
    Bind();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures] {
            for (int i = 0; i < 15; ++i) {
                CK_SESSION_HANDLE h;
                CK_TOKEN_INFO ti;
                CK_SESSION_INFO si;
                if (C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) {
                    ++failures;
                    continue;
                }
                if (C_GetSessionInfo(h, &si) != CKR_OK || C_GetTokenInfo(1, &ti) != CKR_OK) ++failures;
                if (C_CloseSession(h) != CKR_OK) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
