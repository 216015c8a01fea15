// The rules of the stress run on made-up journals: each case is one
// process's journal (times in seconds), the fault windows, what the fresh
// process found on the token, and the violation expected (a piece of its
// text), or none.
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "stress_check.h"

namespace {

using stress::FaultWindow;
using stress::TokenContents;

struct Case {
    const char* name;
    const char* journal;  // lines "B|E seconds op label ..."
    std::vector<FaultWindow> windows;
    TokenContents token;
    const char* expected;  // nullptr: no violation
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

TokenContents Data(const std::string& label, const testing_kv::Bytes& value) {
    TokenContents t;
    t.data[label].push_back(value);
    return t;
}

TokenContents Pair(const std::string& label, int privateKeys, int publicKeys, bool signs) {
    TokenContents t;
    if (privateKeys) t.privateKeys[label] = privateKeys;
    if (publicKeys) t.publicKeys[label] = publicKeys;
    if (privateKeys == 1 && publicKeys == 1) t.signs[label] = signs;
    return t;
}

FaultWindow Window(const char* fault, double from, double met) {
    return {fault, uint64_t(from * 1e9), uint64_t(met * 1e9), uint64_t((met + 2) * 1e9)};
}

// Journal text with times in seconds, as the processes write it in ns.
std::vector<stress::Call> Calls(const char* text) {
    std::istringstream lines(text);
    std::ostringstream ns;
    std::string kind, rest;
    double seconds = 0;
    while (lines >> kind >> seconds && std::getline(lines, rest)) ns << kind << " " << uint64_t(seconds * 1e9) << rest << "\n";
    std::istringstream journal(ns.str());
    return stress::ReadJournal(journal, 1);
}

const std::vector<Case> kCases = {
    {"acknowledged and present", "B 1 create w1-d1 AB01\nE 2 create w1-d1 0\n", {}, Data("w1-d1", {0xAB, 0x01}), nullptr},
    {"acknowledged and absent", "B 1 create w1-d1 AB01\nE 2 create w1-d1 0\n", {}, {}, "LOST"},
    {"acknowledged, other content", "B 1 create w1-d1 AB01\nE 2 create w1-d1 0\n", {}, Data("w1-d1", {0xAB}), "other content"},
    {"destroyed, still there", "B 1 create w1-d1 AB\nE 2 create w1-d1 0\nB 3 destroy w1-d1\nE 4 destroy w1-d1 0 1\n", {},
     Data("w1-d1", {0xAB}), "still on the token"},
    {"destroy found nothing", "B 1 create w1-d1 AB\nE 2 create w1-d1 0\nB 3 destroy w1-d1\nE 4 destroy w1-d1 0 0\n", {}, {},
     "destroy found 0"},
    {"failure in a window", "B 1 create w1-d1 AB\nE 2 create w1-d1 30\n", {Window("recv-fail 1", 1.5, 1.6)}, {}, nullptr},
    {"failure outside every window", "B 1 create w1-d1 AB\nE 2 create w1-d1 30\n", {Window("recv-fail 1", 5, 5.1)}, {},
     "while no fault was active"},
    {"unsound code in a window", "B 1 create w1-d1 AB\nE 2 create w1-d1 5\n", {Window("reset", 1.5, 1.5)}, {}, "answered 0x5"},
    {"cut short, left whole", "B 1 create w1-d1 AB\n", {}, Data("w1-d1", {0xAB}), nullptr},
    {"cut short, left other content", "B 1 create w1-d1 AB\n", {}, Data("w1-d1", {0xCD}), "other content"},
    {"pair not whole", "B 1 keygen w1-k1 ec\nE 2 keygen w1-k1 0 A020/8000\n", {}, Pair("w1-k1", 1, 0, false), "not whole"},
    {"pair does not sign", "B 1 keygen w1-k1 ec\nE 2 keygen w1-k1 0 A020/8000\n", {}, Pair("w1-k1", 1, 1, false), "does not verify"},
    {"half a pair after a destroy cut short",
     "B 1 keygen w1-k1 ec\nE 2 keygen w1-k1 0 A020/8000\nB 3 destroy w1-k1\nE 4 destroy w1-k1 30 2\n",
     {Window("send-fail 1", 3.5, 3.6)}, Pair("w1-k1", 0, 1, false), nullptr},
    {"missing while no fault", "B 1 create w1-d1 AB\nE 2 create w1-d1 0\nB 3 read w1-d1\nE 4 read w1-d1 0 missing\n", {},
     Data("w1-d1", {0xAB}), "missing while no fault"},
    {"bad signature", "B 1 keygen w1-k1 ec\nE 2 keygen w1-k1 0 A020/8000\nB 3 sign w1-k1\nE 4 sign w1-k1 0 bad\n", {},
     Pair("w1-k1", 1, 1, true), "does not verify with OpenSSL"},
    {"search lacks an object", "B 1 search -\nE 2 search - 0 5 w1-d4 -\n", {}, {}, "lacks acknowledged objects w1-d4"},
    {"first call after a reset", "B 1 search -\nE 2 search - 0 0 - -\nB 9 search -\nE 10 search - 30\n",
     {Window("reset", 3, 3)}, {}, nullptr},
    {"second call after a reset", "B 1 search -\nE 2 search - 0 0 - -\nB 9 search -\nE 10 search - 0 0 - -\nB 11 search -\nE 12 search - 30\n",
     {Window("reset", 3, 3)}, {}, "while no fault was active"},
    {"login lost to a reset", "B 1 login -\nE 2 login - 0\nB 9 search -\nE 10 search - 0 0 - -\nB 11 sign w1-k9\nE 12 sign w1-k9 101\n",
     {Window("reset", 3, 3)}, {}, nullptr},
    {"login lost with no reset since the last login", "B 4 login -\nE 5 login - 0\nB 11 sign w1-k9\nE 12 sign w1-k9 101\n",
     {Window("reset", 3, 3)}, {}, "while no fault was active"},
    {"object nobody made", "", {}, Data("w9-d1", {0x01}), "no journal made it"},
};

class StressRules : public ::testing::TestWithParam<Case> {};

TEST_P(StressRules, Judge) {
    const Case& c = GetParam();
    stress::RunRecord run;
    run.calls = Calls(c.journal);
    run.windows = c.windows;
    const stress::Figures f = stress::CheckRun(run, c.token);
    std::string all;
    for (const auto& v : f.violations) all += v + "\n";
    if (!c.expected) {
        EXPECT_TRUE(f.violations.empty()) << all;
    } else {
        EXPECT_NE(all.find(c.expected), std::string::npos) << all;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StressRules, ::testing::ValuesIn(kCases), [](const auto& param) {
    std::string name = param.param.name;
    for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
});

}  // namespace
