// Several processes on one virtual token at once, each with its own secure
// channel: they take turns through the lock file of the token's socket,
// a process whose channel another one replaced opens a new one before its
// first command, and a process killed inside a call leaves the token to the
// next one. No call fails, every signature verifies under OpenSSL, no PIN
// try is spent and no object is lost.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_lock_path.h"
#include "host_socket_bridge.h"
#include "iobj.h"
#include "istore.h"
#include "obj_factory.h"
#include "openssl_check.h"
#include "pkcs11.h"
#include "test_vectors.h"
#include "token_on_sim.h"

using testing_kv::Bytes;
using testing_kv::SimProcess;
using testing_kv::StatOf;
using testing_kv::TokenClient;

namespace {

constexpr char kMessage[] = "signed by every process";

// Worker processes (multi_process_worker.cpp) held at a common gate, their
// standard output gathered in one pipe.
class Workers {
public:
    // keyLabel non-empty: every round also signs kMessage with that key.
    Workers(const std::string& socket, const std::string& mirror, int count, int iterations,
            const std::string& keyLabel = "") {
        int gate[2], out[2];
        if (pipe2(gate, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(gate[0]);
            close(gate[1]);
            return;
        }
        std::vector<std::string> args{KV_WORKER_BINARY, socket, mirror, std::to_string(iterations), "12345678"};
        if (!keyLabel.empty()) {
            args.push_back(keyLabel);
            args.push_back(kMessage);
        }
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (int i = 0; i < count; ++i) {
            std::fflush(stdout);
            pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
                dup2(gate[0], STDIN_FILENO);
                dup2(out[1], STDOUT_FILENO);
                execv(KV_WORKER_BINARY, argv.data());
                _exit(127);
            }
            if (pid > 0) pids_.push_back(pid);
        }
        close(gate[0]);
        close(out[1]);
        gate_ = gate[1];
        out_ = out[0];
    }
    ~Workers() {
        Kill();
        Wait();
        if (out_ >= 0) close(out_);
    }
    int Started() const { return static_cast<int>(pids_.size()); }
    // Lets every worker go at once.
    void Release() {
        if (gate_ >= 0) close(gate_);
        gate_ = -1;
    }
    void Kill() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
    }
    // Exit codes, -1 for a worker that did not exit normally.
    std::vector<int> Wait() {
        Release();
        std::vector<int> codes;
        for (pid_t pid : pids_) {
            int status = 0;
            waitpid(pid, &status, 0);
            codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
        pids_.clear();
        return codes;
    }
    // What the workers wrote, once they are gone.
    std::string Output() {
        std::string text;
        char buffer[4096];
        for (ssize_t n; out_ >= 0 && (n = read(out_, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
        return text;
    }

private:
    std::vector<pid_t> pids_;
    int gate_ = -1;
    int out_ = -1;
};

class MultiProcess : public ::testing::Test {
protected:
    MultiProcess() : lockPath_(HostLockPath("socket", sim.Socket())), appCache_(sim.Dir() + "/app-cache") {}

    // Data objects labelled "object i" with distinct values, stored through a
    // token object of this process.
    std::map<std::string, ByteVec> PutObjects(int count) {
        DiskMirror::SetBase(sim.Dir() + "/setup");
        TokenClient setup(sim.Socket());
        std::map<std::string, ByteVec> objects;
        EXPECT_EQ(testing_kv::LoginUser(*setup.token), 0u);
        IStore* store = setup.token->GetStore();
        for (int i = 0; i < count && store; ++i) {
            CK_ULONG cls = CKO_DATA;
            CK_BBOOL yes = CK_TRUE;
            const std::string label = "object " + std::to_string(i);
            ByteVec value(40 + i, static_cast<uint8_t>(0xA0 + i));
            CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                                {CKA_TOKEN, &yes, 1},
                                {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                                {CKA_VALUE, value.data(), value.size()}};
            ObjPtr obj = ObjFactory::CreateObject(t, 4);
            obj->SetHandle(static_cast<uint32_t>(i + 2));
            EXPECT_EQ(store->StoreObj(obj), 0u) << label;
            objects[label] = value;
        }
        return objects;
    }

    // A token RSA key pair made through PKCS#11 in this process, labelled
    // "signer public" and "signer private" (recorded in objects with empty
    // values); its public key for OpenSSL.
    testing_kv::PKey MakeSigner(std::map<std::string, ByteVec>& objects) {
        HostSocketBridge::Instance().SetSocketPath(sim.Socket());
        DiskMirror::SetBase(sim.Dir() + "/maker");
        EXPECT_EQ(C_Initialize(nullptr), CKR_OK);
        CK_SLOT_ID slot = 0;
        CK_ULONG n = 1;
        EXPECT_EQ(C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
        EXPECT_EQ(C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("12345678")), 8), CKR_OK);
        CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
        CK_KEY_TYPE rsa = CKK_RSA;
        CK_ULONG bits = 1024;
        CK_BBOOL yes = CK_TRUE;
        char publicLabel[] = "signer public", privateLabel[] = "signer private";
        CK_ATTRIBUTE publicTemplate[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                         {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                         {CKA_TOKEN, &yes, 1},
                                         {CKA_MODULUS_BITS, &bits, sizeof bits},
                                         {CKA_LABEL, publicLabel, sizeof publicLabel - 1}};
        CK_ATTRIBUTE privateTemplate[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                                          {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                          {CKA_TOKEN, &yes, 1},
                                          {CKA_SIGN, &yes, 1},
                                          {CKA_LABEL, privateLabel, sizeof privateLabel - 1}};
        CK_MECHANISM generate{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
        EXPECT_EQ(C_GenerateKeyPair(h, &generate, publicTemplate, 5, privateTemplate, 5, &publicKey, &privateKey),
                  CKR_OK);
        Bytes modulus(128), exponent(8);
        CK_ATTRIBUTE parts[] = {{CKA_MODULUS, modulus.data(), modulus.size()},
                                {CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size()}};
        if (C_GetAttributeValue(h, publicKey, parts, 2) == CKR_OK) {
            modulus.resize(parts[0].ulValueLen);
            exponent.resize(parts[1].ulValueLen);
        } else {
            ADD_FAILURE() << "public key not read";
        }
        C_CloseAllSessions(1);
        C_Finalize(nullptr);
        objects[publicLabel] = objects[privateLabel] = ByteVec();
        return testing_kv::RsaKey(modulus, exponent);
    }

    // The objects as a token object of this process finds them afresh: label
    // and CKA_VALUE (empty for objects without one).
    std::map<std::string, ByteVec> ReadObjects() {
        DiskMirror::SetBase(sim.Dir() + "/check");
        TokenClient check(sim.Socket());
        std::map<std::string, ByteVec> objects;
        IStore* store = check.token->GetStore();
        std::vector<ObjPtr> added, removed, changed;
        EXPECT_TRUE(store && store->CheckUpdate({}, added, removed, changed) == 0);
        for (const auto& obj : added) {
            const ByteVec* label = obj->Value(CKA_LABEL);
            const ByteVec* value = obj->Value(CKA_VALUE);
            if (label) objects[std::string(label->begin(), label->end())] = value ? *value : ByteVec();
        }
        return objects;
    }

    // Whether another process could take the token's lock now.
    bool LockFree() const {
        int fd = open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) close(fd);
        return free;
    }

    // Answers of the token that ended with the status word (hex, upper case).
    int AnswersEndingWith(const std::string& sw) {
        std::istringstream trace(sim.Control("trace"));
        int n = 0;
        for (std::string line; std::getline(trace, line);) {
            if (line.rfind("< ", 0) == 0 && line.size() >= sw.size() &&
                line.compare(line.size() - sw.size(), sw.size(), sw) == 0)
                ++n;
        }
        return n;
    }

    SimProcess sim;
    const std::string lockPath_, appCache_;
};

TEST_F(MultiProcess, FourProcessesWorkTogetherWithoutAFailure) {
    auto objects = PutObjects(6);
    const testing_kv::PKey signer = MakeSigner(objects);
    const std::string tries = sim.Control("tries");
    sim.Control("trace-clear");
    Workers workers(sim.Socket(), appCache_, 4, 20, "signer private");
    ASSERT_EQ(workers.Started(), 4);
    workers.Release();
    for (int code : workers.Wait()) EXPECT_EQ(code, 0);
    // Each worker's signatures were all alike; its first one verifies.
    std::istringstream signatures(workers.Output());
    int verified = 0;
    const Bytes message(kMessage, kMessage + sizeof kMessage - 1);
    for (std::string line; std::getline(signatures, line); ++verified) {
        EXPECT_TRUE(testing_kv::VerifyRsa(signer.get(), EVP_sha256(), message, testing_kv::Hex(line)));
    }
    EXPECT_EQ(verified, 4);
    EXPECT_EQ(sim.Control("tries"), tries);
    // Every process found out about the others' channels before sending a
    // command: none met a closed channel.
    EXPECT_EQ(AnswersEndingWith("6988"), 0);
    EXPECT_EQ(ReadObjects(), objects);
}

TEST_F(MultiProcess, AProcessKilledInsideACallLeavesTheTokenToTheNext) {
    const auto objects = PutObjects(3);
    const std::string tries = sim.Control("tries");
    sim.Control("latency 0 20000");  // 20 ms per card command: calls last long enough to be caught inside
    Workers victim(sim.Socket(), appCache_, 1, 1000);
    ASSERT_EQ(victim.Started(), 1);
    victim.Release();
    bool caught = false;
    for (int i = 0; i < 10000 && !caught; ++i) {
        caught = !LockFree();
        if (!caught) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(caught);
    victim.Kill();
    EXPECT_EQ(victim.Wait(), std::vector<int>{-1});
    EXPECT_TRUE(LockFree());  // the kernel released the dead holder's lock with its files

    sim.Control("latency 0 0");
    Workers next(sim.Socket(), appCache_, 1, 3);
    EXPECT_EQ(next.Wait(), std::vector<int>{0});
    EXPECT_EQ(sim.Control("tries"), tries);
    EXPECT_EQ(ReadObjects(), objects);
}

// Two token objects of one process stand in for two processes: the token
// keeps one channel, so each object's first lock scope after the other
// opened a channel reopens its own and selects the application again (and
// presents the PIN again while its application is logged in) before its
// command, and then nothing more until the other one has had the token.
TEST_F(MultiProcess, AReplacedChannelIsReopenedBeforeTheFirstCommand) {
    DiskMirror::SetBase(sim.Dir() + "/a");
    TokenClient a(sim.Socket());
    ASSERT_EQ(testing_kv::LoginUser(*a.token), 0u);
    DiskMirror::SetBase(sim.Dir() + "/b");
    TokenClient b(sim.Socket());
    ASSERT_EQ(b.token->ConnectAndSetenv(), 0u);  // b's channel replaces a's

    struct Case {
        const char* who;
        TokenClient& client;
        bool logOutFirst;
        int initUpdate, externalAuth, getChallenge, select;
    } cases[] = {
        // Channel (50, 82), re-selection (A4), login again (84, 82), then the command (A4).
        {"a, logged in, after b", a, false, 1, 2, 1, 2},
        {"a again", a, false, 0, 0, 0, 1},
        // Channel (50, 82), re-selection (A4), then the command (A4).
        {"b, not logged in, after a", b, false, 1, 1, 0, 2},
        {"a, logged out, after b", a, true, 1, 1, 0, 2},
    };
    sim.Control("trace-clear");
    for (const auto& c : cases) {
        if (c.logOutFirst) {
            ASSERT_EQ(c.client.token->GetAuthManager()->Deauthenticate(kRefUser), 0u);
        }
        sim.Control("stats-reset");
        EXPECT_EQ(c.client.token->SelectFile(FID_ADF), 0u) << c.who;
        EXPECT_EQ(StatOf(sim, "ins_50"), c.initUpdate) << c.who;
        EXPECT_EQ(StatOf(sim, "ins_82"), c.externalAuth) << c.who;
        EXPECT_EQ(StatOf(sim, "ins_84"), c.getChallenge) << c.who;
        EXPECT_EQ(StatOf(sim, "ins_A4"), c.select) << c.who;
    }
    EXPECT_EQ(AnswersEndingWith("6988"), 0);
}

}  // namespace
