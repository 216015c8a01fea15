// Two processes at once on one token, each generating 30 EC P-256 key pairs
// and destroying the pair before the last one after each generation: every
// call succeeds, and a fresh process then finds exactly the first and the
// last pair of each, both halves, signing (checked with OpenSSL), and the
// storage holds no orphan object, key file or container entry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "disk_mirror.h"
#include "sim_process.h"
#include "token_audit.h"
#include "token_contents.h"

namespace {

constexpr int kPairs = 30;

// Starts the worker held at the gate's reading end; its pid.
pid_t StartWorker(int gate, const std::string& socket, const std::string& mirror, const std::string& prefix) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(gate, STDIN_FILENO);
        execl(KV_KEYPAIR_WORKER, KV_KEYPAIR_WORKER, socket.c_str(), mirror.c_str(), prefix.c_str(),
              std::to_string(kPairs).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

TEST(TwoProcessKeyPairs, EachKeepsItsFirstAndLastPairAndNothingElse) {
    testing_kv::SimProcess sim;
    DiskMirror::SetBase(sim.Dir() + "/audit");
    const stress::TokenBaseline baseline = stress::ReadBaseline(sim.Socket());
    const std::string mirror = sim.Dir() + "/mirror";
    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    const pid_t a = StartWorker(gate[0], sim.Socket(), mirror, "a");
    const pid_t b = StartWorker(gate[0], sim.Socket(), mirror, "b");
    close(gate[0]);
    close(gate[1]);  // both go
    for (pid_t pid : {a, b}) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker status " << status;
    }

    const stress::TokenContents token = stress::ReadTokenContents(sim.Socket(), mirror, "12345678");
    ASSERT_EQ(token.error, "");
    EXPECT_TRUE(token.data.empty());
    const std::string last = std::to_string(kPairs);
    const std::set<std::string> kept{"a-1", "a-" + last, "b-1", "b-" + last};
    std::set<std::string> labels;
    for (const auto& k : token.privateKeys) labels.insert(k.first);
    for (const auto& k : token.publicKeys) labels.insert(k.first);
    EXPECT_EQ(labels, kept);
    for (const std::string& label : kept) {
        EXPECT_EQ(token.privateKeys.count(label) ? token.privateKeys.at(label) : 0, 1) << label;
        EXPECT_EQ(token.publicKeys.count(label) ? token.publicKeys.at(label) : 0, 1) << label;
        EXPECT_TRUE(token.signs.count(label) && token.signs.at(label)) << label << " does not sign";
    }
    EXPECT_EQ(token.objects, 2 * kept.size());

    DiskMirror::SetBase(sim.Dir() + "/audit");
    const stress::StorageAudit audit = stress::AuditStorage(sim.Socket(), "12345678", baseline);
    for (const std::string& finding : audit.findings) ADD_FAILURE() << "storage: " << finding;
    EXPECT_EQ(audit.objectFiles, 2 * kept.size());
}

}  // namespace
