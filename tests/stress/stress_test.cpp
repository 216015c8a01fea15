// Several application processes on one virtual token at once while USB
// faults, bad MACs, card resets and killed processes hit them at random;
// afterwards a fresh library instance checks the token against what every
// process was told (stress_check.h), the storage is audited whole
// (token_audit.h), no PIN try has been spent and no process crashed or hung.
//
// KV_STRESS_SECONDS (default 100), KV_STRESS_PROCESSES (default 4) size the
// run; KV_STRESS_APPS (default 2) is the number of applications the
// processes belong to, each with its own phone storage (mirror);
// KV_STRESS_SEED repeats the random choices (not the timing); KV_STRESS_KEEP
// names a folder that gets the journals. scripts/stress.sh sets them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <thread>

#include "disk_mirror.h"
#include "sim_process.h"
#include "stress_check.h"
#include "stress_processes.h"
#include "token_audit.h"
#include "token_contents.h"

namespace {

using stress::MonotonicNs;

constexpr uint64_t kSecond = 1000000000ULL;
constexpr uint64_t kGrace = 2 * kSecond;  // a fault's window stays open this long after the token met it
constexpr char kPin[] = "12345678";
constexpr char kFullTries[] = "user=5/5 so=5/5";

int Setting(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

// Injects faults into the virtual token and watches it meanwhile: the PIN
// tries, the processes, the trace (cleared, so that it does not grow).
class Injector {
public:
    Injector(testing_kv::SimProcess& sim, stress::RunRecord& run, stress::StressProcesses& workers)
        : sim_(sim), run_(run), workers_(workers) {}

    void Idle(uint64_t ms) {
        const uint64_t until = MonotonicNs() + ms * 1000000ULL;
        while (MonotonicNs() < until) Watch(50);
    }
    // A fault of the virtual token; its window closes kGrace after the
    // token met it (a reset is met at once).
    void Inject(const std::string& fault) {
        FaultWindow w{fault, MonotonicNs(), 0, 0};
        sim_.Control(fault);
        const uint64_t patience = w.injected + 15 * kSecond;
        while (fault != "reset" && Pending() && MonotonicNs() < patience) Watch(10);
        if (fault != "reset" && Pending()) {  // nobody met it: take it back
            for (const char* clear : {"send-fail-after 0 0", "recv-fail 0", "short 0", "long 0", "fail-mac 0"})
                sim_.Control(clear);
        }
        w.met = MonotonicNs();
        w.closes = w.met + kGrace;
        run_.windows.push_back(w);
        ++injected_[fault.substr(0, fault.find(' '))];
    }
    void Count(const std::string& what) { ++injected_[what]; }
    const std::map<std::string, int>& Injected() const { return injected_; }
    const std::vector<std::string>& TriesSpent() const { return triesSpent_; }

private:
    using FaultWindow = stress::FaultWindow;
    bool Pending() {
        std::istringstream counters(sim_.Control("faults"));
        std::string item;
        while (counters >> item) {
            if (item.substr(item.find('=') + 1) != "0") return true;
        }
        return false;
    }
    void Watch(int ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        workers_.Reap(false);
        const uint64_t now = MonotonicNs();
        if (now < nextLook_) return;
        nextLook_ = now + 100000000ULL;
        const std::string tries = sim_.Control("tries");
        if (tries != kFullTries && tries != lastTries_) {
            char at[32];
            std::snprintf(at, sizeof at, "%+.3f s", (double(now) - double(run_.start)) / 1e9);
            triesSpent_.push_back("PIN tries " + tries + " at " + at);
        }
        lastTries_ = tries;
        sim_.Control("trace-clear");
    }

    testing_kv::SimProcess& sim_;
    stress::RunRecord& run_;
    stress::StressProcesses& workers_;
    std::map<std::string, int> injected_;
    std::vector<std::string> triesSpent_;
    std::string lastTries_ = kFullTries;
    uint64_t nextLook_ = 0;
};

// One of the token's faults, each for 1 to 3 transfers or commands, or a kill.
std::string Fault(std::mt19937& random) {
    const std::string n = " " + std::to_string(1 + random() % 3);
    const uint32_t r = random() % 20;
    if (r < 3) return "send-fail" + n;
    if (r < 6) return "recv-fail" + n;
    if (r < 8) return "fail-mac" + n;
    if (r < 10) return "reset";
    if (r < 12) return "short" + n;
    if (r < 14) return "long" + n;
    if (r < 18) return "send-fail-after " + std::to_string(random() % 24) + n;
    return "kill";
}

// What the journals tell of the key files a storage finding names.
std::string KeyFileStories(const stress::RunRecord& run, const std::string& finding) {
    std::istringstream words(finding);
    std::string word, stories;
    while (words >> word) {
        while (!word.empty() && std::strchr("(),", word.back())) word.pop_back();
        if (!word.empty() && word[0] == '(') word.erase(0, 1);
        if (word.size() == 4 && word.find_first_not_of("0123456789ABCDEF") == std::string::npos && word[0] >= '8')
            stories += stress::KeyFileStory(run, word);
    }
    return stories;
}

void Print(const char* title, const std::map<std::string, int>& counts) {
    std::printf("%s:", title);
    for (const auto& [what, n] : counts) std::printf(" %s=%d", what.c_str(), n);
    std::printf("\n");
}

TEST(Stress, ProcessesAndFaultsLoseNothing) {
    const int seconds = Setting("KV_STRESS_SECONDS", 100), processes = Setting("KV_STRESS_PROCESSES", 4);
    const int apps = Setting("KV_STRESS_APPS", 2);
    const uint32_t seed = static_cast<uint32_t>(Setting("KV_STRESS_SEED", static_cast<int>(MonotonicNs() % 1000000000)));
    testing_kv::SimProcess sim({"--capacity", "1048576"});
    stress::RunRecord run;
    run.start = MonotonicNs();
    DiskMirror::SetBase(sim.Dir() + "/audit");
    const stress::TokenBaseline baseline = stress::ReadBaseline(sim.Socket());
    ASSERT_GT(baseline.freeRecords, 0);
    const int budget = std::max(2, baseline.freeRecords * 3 / 4 / processes);
    std::printf("stress: %d s, %d processes of %d applications, budget %d records each, seed %u\n", seconds, processes,
                apps, budget, seed);

    std::mt19937 random(seed);
    stress::StressProcesses workers(sim.Socket(), sim.Dir(), budget, apps, seed);
    Injector injector(sim, run, workers);
    const uint64_t stop = run.start + uint64_t(seconds) * kSecond;
    for (int id = 1; id <= processes; ++id) workers.Start(id, stop);
    int nextId = processes + 1;
    while (MonotonicNs() < stop) {
        injector.Idle(300 + random() % 1200);
        if (MonotonicNs() >= stop) break;
        const std::string fault = Fault(random);
        if (fault != "kill") {
            injector.Inject(fault);
        } else if (workers.KillOne(random, nextId, stop) >= 0) {
            ++nextId;
            injector.Count("kill");
        }
    }
    // Each process ends by itself at the deadline, after its call in flight.
    while (!workers.AllDone() && MonotonicNs() < stop + 60 * kSecond) injector.Idle(200);
    workers.KillStuck("still running 60 s after its deadline");

    for (int id : workers.Ids()) {
        for (const stress::Call& c : stress::ReadJournal(workers.Journal(id), id)) run.calls.push_back(c);
    }
    if (const char* keep = std::getenv("KV_STRESS_KEEP")) {
        std::system(("mkdir -p '" + std::string(keep) + "' && cp " + sim.Dir() + "/journal.* '" + keep + "'").c_str());
    }
    DiskMirror::SetBase(sim.Dir() + "/audit");
    const std::vector<std::string> leftovers = stress::RecordLeftovers(sim.Socket(), baseline);
    // A fresh process of each application, on its phone storage: it meets
    // what that application's processes noted for the next one to clean up.
    // All must see the same objects; the first one's are checked.
    std::vector<stress::TokenContents> readings;
    for (int app = 0; app < apps; ++app) readings.push_back(stress::ReadTokenContents(sim.Socket(), workers.Mirror(app), kPin));
    const stress::TokenContents& token = readings[0];
    stress::Figures figures = stress::CheckRun(run, token);
    DiskMirror::SetBase(sim.Dir() + "/audit");
    const stress::StorageAudit audit = stress::AuditStorage(sim.Socket(), kPin, baseline);
    const std::string tries = sim.Control("tries");

    std::vector<std::string> violations = workers.Problems();
    for (int app = 0; app < apps; ++app) {
        const std::string who = "the fresh process of application " + std::to_string(app);
        if (!readings[app].error.empty()) violations.push_back(who + " could not read the token: " + readings[app].error);
        for (const auto& label : stress::Differences(token, readings[app]))
            violations.push_back(who + " finds " + label + " otherwise than that of application 0");
    }
    for (const auto& v : figures.violations) violations.push_back(v);
    for (const auto& v : audit.findings) violations.push_back("storage: " + v + KeyFileStories(run, v));
    for (const auto& v : injector.TriesSpent()) violations.push_back(v);
    if (tries != kFullTries) violations.push_back("PIN tries at the end: " + tries);

    std::printf("processes: %zu in all, %d killed\n", workers.Ids().size(), workers.Killed());
    Print("faults injected", injector.Injected());
    Print("calls", figures.calls);
    Print("failed calls by code", figures.failures);
    std::printf("calls cut short by a kill: %d\n", figures.unfinished);
    std::printf("labels checked=%d present=%d objects on the token=%zu lost=%d orphans=%d\n", figures.labels,
                figures.present, token.objects, figures.lost, figures.orphans);
    std::printf("storage: object files=%zu key files=%zu containers=%zu; left by cut-short changes before the "
                "check's sweep: %zu\n",
                audit.objectFiles, audit.keyFiles, audit.containers, leftovers.size());
    for (const auto& l : leftovers) std::printf("  leftover: %s\n", l.c_str());
    std::printf("violations: %zu\n", violations.size());
    for (const auto& v : violations) std::printf("  VIOLATION %s\n", v.c_str());
    std::fflush(stdout);
    EXPECT_TRUE(violations.empty()) << violations.size() << " violations (listed above)";
    EXPECT_EQ(figures.lost, 0);
}

}  // namespace
