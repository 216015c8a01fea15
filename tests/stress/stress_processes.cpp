#include "stress_processes.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "stress_journal.h"

namespace stress {

StressProcesses::StressProcesses(std::string socket, std::string dir, int budget, int apps, uint32_t seed)
    : socket_(std::move(socket)), dir_(std::move(dir)), budget_(budget), apps_(apps), seed_(seed) {}

StressProcesses::~StressProcesses() {
    for (const auto& [pid, id] : running_) {
        killed_.insert(pid);
        kill(pid, SIGKILL);
    }
    Reap(true);
}

void StressProcesses::Start(int id, uint64_t deadline, const std::vector<int>& adopted) {
    const uint64_t now = MonotonicNs();
    const uint64_t seconds = deadline > now ? (deadline - now + 999999999ULL) / 1000000000ULL : 1;
    std::vector<std::string> args{KV_STRESS_WORKER, socket_, Mirror(id % apps_), Journal(id), std::to_string(id),
                                  std::to_string(seconds), std::to_string(seed_ + uint32_t(id)), std::to_string(budget_)};
    for (int dead : adopted) args.push_back(std::to_string(dead));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
        execv(KV_STRESS_WORKER, argv.data());
        _exit(127);
    }
    if (pid < 0) {
        problems_.push_back("w" + std::to_string(id) + " could not be started");
        return;
    }
    running_[pid] = id;
    adopted_[id] = adopted;
    ids_.push_back(id);
}

int StressProcesses::KillOne(std::mt19937& random, int replacement, uint64_t deadline) {
    if (running_.empty()) return -1;
    const auto it = std::next(running_.begin(), static_cast<long>(random() % running_.size()));
    const int id = it->second;
    killed_.insert(it->first);
    kill(it->first, SIGKILL);
    std::vector<int> heirs = adopted_[id];
    heirs.push_back(id);
    if (deadline > MonotonicNs() + 3000000000ULL) Start(replacement, deadline, heirs);
    return id;
}

void StressProcesses::Reap(bool block) {
    for (auto it = running_.begin(); it != running_.end();) {
        const pid_t pid = it->first;
        const int id = it->second;
        int status = 0;
        if (waitpid(pid, &status, block ? 0 : WNOHANG) != pid) {
            ++it;
            continue;
        }
        it = running_.erase(it);
        if (killed_.count(pid) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) continue;
        const std::string how = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status)) + " (" +
                                                          strsignal(WTERMSIG(status)) + ")"
                                                    : "exit code " + std::to_string(WEXITSTATUS(status));
        problems_.push_back("w" + std::to_string(id) + " ended with " + how + "; last journal line: " + LastLine(id));
    }
}

void StressProcesses::KillStuck(const std::string& why) {
    for (const auto& [pid, id] : running_) {
        problems_.push_back("w" + std::to_string(id) + " " + why + "; last journal line: " + LastLine(id));
        killed_.insert(pid);
        kill(pid, SIGKILL);
    }
    Reap(true);
}

std::string StressProcesses::LastLine(int id) const {
    std::ifstream in(Journal(id));
    std::string line, last = "(none)";
    while (std::getline(in, line)) last = line.size() > 200 ? line.substr(0, 200) + "..." : line;
    return last;
}

}  // namespace stress
