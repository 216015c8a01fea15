// The rules of the stress run, checked on the journals of all processes and
// on the token as a fresh process found it afterwards.
//
// Calls: a failure must overlap a fault window (from the injection until a
// grace period after the token met the fault), or be a process's first call
// after a card reset, or be a lost login (CKR_USER_NOT_LOGGED_IN, an ended
// session) after a reset the process has not logged in again since; and its
// code must blame neither the caller nor the PIN. A read or signature that
// finds an acknowledged object missing is held to the same windows; one that
// finds other content, a bad signature or an object twice is always wrong.
//
// Objects, by label over all journals: acknowledged and never touched by a
// destroy: present once, whole, with its content (pairs sign); acknowledged
// as destroyed (all of it found and destroyed): absent; anything else
// (creates that failed or were cut short, destroys likewise) may be absent,
// but if present must be whole and hold what was written.
#ifndef KV_TESTS_STRESS_STRESS_CHECK_H
#define KV_TESTS_STRESS_STRESS_CHECK_H

#include <map>
#include <string>
#include <vector>

#include "stress_journal.h"
#include "token_contents.h"

namespace stress {

struct FaultWindow {
    std::string fault;  // the control command; "reset" for a card reset
    uint64_t injected = 0, met = 0, closes = 0;
};

struct RunRecord {
    uint64_t start = 0;  // times in reports are told from here
    std::vector<Call> calls;
    std::vector<FaultWindow> windows;
};

struct Figures {
    std::map<std::string, int> calls;     // by op
    std::map<std::string, int> failures;  // by code, then op
    int unfinished = 0;                   // calls cut short by a kill
    int labels = 0, present = 0, lost = 0, orphans = 0;
    std::vector<std::string> violations;
};

Figures CheckRun(const RunRecord& run, const TokenContents& token);

// What the journals tell of the key pair last generated with the key file
// fid (4 hex digits): its calls, for a storage finding.
std::string KeyFileStory(const RunRecord& run, const std::string& fid);

}  // namespace stress

#endif
