// The stress processes of one run (stress_worker): started with a common
// deadline, killed at random and replaced by new ones that take over what
// the killed left, reaped with their exit status. A process that ends in any
// way but exit code 0 without being killed here, or that is still running
// long after its deadline, is a problem of the run.
#ifndef KV_TESTS_STRESS_STRESS_PROCESSES_H
#define KV_TESTS_STRESS_STRESS_PROCESSES_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace stress {

class StressProcesses {
public:
    // budget: token file records each process may fill with its objects;
    // apps: how many applications the processes belong to, each with its
    // own phone storage (the mirror folders Mirror(0) .. Mirror(apps - 1)).
    // seed: the processes draw their choices from seed + id.
    StressProcesses(std::string socket, std::string dir, int budget, int apps, uint32_t seed);
    ~StressProcesses();
    StressProcesses(const StressProcesses&) = delete;
    StressProcesses& operator=(const StressProcesses&) = delete;

    // Process id runs until deadline (CLOCK_MONOTONIC ns), taking over the
    // objects of the processes adopted names.
    void Start(int id, uint64_t deadline, const std::vector<int>& adopted = {});
    // Kills a running process at random and, if there is time left, starts
    // replacement in its stead. The killed process's id, or -1.
    int KillOne(std::mt19937& random, int replacement, uint64_t deadline);
    // Collects the processes that ended; with block, waits for each.
    void Reap(bool block);
    bool AllDone() const { return running_.empty(); }
    // Kills those still running: they are stuck.
    void KillStuck(const std::string& why);

    std::string Journal(int id) const { return dir_ + "/journal." + std::to_string(id); }
    std::string Mirror(int app) const { return dir_ + "/app" + std::to_string(app); }
    const std::vector<int>& Ids() const { return ids_; }
    int Killed() const { return static_cast<int>(killed_.size()); }
    const std::vector<std::string>& Problems() const { return problems_; }

private:
    std::string LastLine(int id) const;

    const std::string socket_, dir_;
    const int budget_, apps_;
    const uint32_t seed_;
    std::map<pid_t, int> running_;  // pid -> id
    std::set<pid_t> killed_;
    std::map<int, std::vector<int>> adopted_;  // id -> the dead whose objects it holds
    std::vector<int> ids_;
    std::vector<std::string> problems_;
};

}  // namespace stress

#endif
