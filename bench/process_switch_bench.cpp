// APDUs the virtual token counts for rounds of
// C_OpenSession -> C_Login -> C_GetTokenInfo -> C_CloseSession, in processes
// of one application (one phone-side cache): one process alone, two processes
// strictly taking turns (every round follows a round of the other one, so
// every round starts with a process switch), and four at once. The per-switch
// line is what a process pays because another one used the token since its
// last call: a new secure channel, the application selected again and the
// PIN presented again with the cached value.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "disk_mirror.h"
#include "host_socket_bridge.h"
#include "pkcs11.h"
#include "sim_process.h"

using testing_kv::SimProcess;

namespace {

constexpr int kRounds = 40;  // rounds of every workload but the four-process one

std::map<std::string, int> Stats(SimProcess& sim) {
    std::map<std::string, int> counts;
    std::istringstream in(sim.Control("stats"));
    for (std::string item; in >> item;) {
        auto eq = item.find('=');
        if (eq != std::string::npos) counts[item.substr(0, eq)] = std::stoi(item.substr(eq + 1));
    }
    return counts;
}

bool Round() {
    CK_SESSION_HANDLE h = 0;
    if (C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) return false;
    CK_TOKEN_INFO info;
    bool ok = C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("12345678")), 8) == CKR_OK &&
              C_GetTokenInfo(1, &info) == CKR_OK;
    return C_CloseSession(h) == CKR_OK && ok;
}

// A child process: binds the token, says so on ready, then runs rounds,
// each after a byte on turnIn and followed by a byte on turnOut (if any).
pid_t StartApp(const std::string& socket, const std::string& cache, int rounds, int turnIn, int turnOut, int ready) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid != 0) return pid;
    HostSocketBridge::Instance().SetSocketPath(socket);
    DiskMirror::SetBase(cache);
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    bool ok = C_Initialize(nullptr) == CKR_OK && C_GetSlotList(CK_TRUE, &slot, &n) == CKR_OK && n == 1;
    char byte = 'r';
    ok = write(ready, &byte, 1) == 1 && ok;
    for (int i = 0; i < rounds; ++i) {
        ok = read(turnIn, &byte, 1) == 1 && ok;
        ok = Round() && ok;
        if (turnOut >= 0) ok = write(turnOut, &byte, 1) == 1 && ok;
    }
    C_Finalize(nullptr);
    _exit(ok ? 0 : 1);
}

struct Result {
    std::map<std::string, int> stats;
    bool ok = true;
};

int Count(const Result& r, const std::string& key) { return r.stats.count(key) ? r.stats.at(key) : 0; }

// Runs processes whose turn pipes are wired by the mode; counts from the
// moment every process has bound the token.
Result Run(int processes, int roundsEach, bool takeTurns) {
    SimProcess sim;
    const std::string cache = sim.Dir() + "/app-cache";
    int ready[2];
    std::vector<std::array<int, 2>> turns(processes);
    if (pipe(ready) != 0) return {{}, false};
    for (auto& t : turns) {
        if (pipe(t.data()) != 0) return {{}, false};
    }
    std::vector<pid_t> pids;
    for (int p = 0; p < processes; ++p) {
        const int next = takeTurns ? turns[(p + 1) % processes][1] : -1;
        pids.push_back(StartApp(sim.Socket(), cache, roundsEach, turns[p][0], next, ready[1]));
    }
    Result result;
    char byte;
    for (int p = 0; p < processes; ++p) result.ok = read(ready[0], &byte, 1) == 1 && result.ok;
    sim.Control("stats-reset");
    // Taking turns: the first process starts, each hands over to the next.
    // Otherwise: every process may run all its rounds at once.
    for (int p = 0; p < (takeTurns ? 1 : processes); ++p) {
        for (int i = 0; i < (takeTurns ? 1 : roundsEach); ++i) result.ok = write(turns[p][1], "g", 1) == 1 && result.ok;
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && result.ok;
    }
    result.stats = Stats(sim);
    for (auto& t : turns) {
        close(t[0]);
        close(t[1]);
    }
    close(ready[0]);
    close(ready[1]);
    return result;
}

void Row(const char* name, int processes, int rounds, const Result& r) {
    const int apdus = Count(r, "apdus"), openings = Count(r, "ins_50");
    std::printf("%-20s %9d %7d %8d %12.1f %9d %s\n", name, processes, rounds, apdus, double(apdus) / rounds, openings,
                r.ok ? "" : "(failed)");
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);  // a token that went away fails the control call, not the run
    std::printf("%-20s %9s %7s %8s %12s %9s\n", "workload", "processes", "rounds", "APDUs", "APDUs/round",
                "channels");
    const Result one = Run(1, kRounds, false);
    Row("one process", 1, kRounds, one);
    const Result turns = Run(2, kRounds / 2, true);
    Row("two taking turns", 2, kRounds, turns);
    const Result four = Run(4, kRounds / 2, false);
    Row("four at once", 4, 2 * kRounds, four);

    // A switch is a round after the other process's: each opens one channel
    // (the first round may follow its own binding, so counted, not assumed).
    const int switches = Count(turns, "ins_50") - Count(one, "ins_50");
    std::printf("\nper process switch (two taking turns minus one process, / %d switches):", switches);
    for (const auto& [key, value] : turns.stats) {
        if (key.rfind("ins_", 0) != 0 && key != "apdus") continue;
        const int alone = Count(one, key);
        if (value != alone && switches > 0) std::printf(" %s=%+.2f", key.c_str(), double(value - alone) / switches);
    }
    std::printf("\n");
    return one.ok && turns.ok && four.ok ? 0 : 1;
}
