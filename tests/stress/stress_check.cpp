#include "stress_check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "pkcs11.h"

namespace stress {
namespace {

bool SoundFailure(unsigned long rv) {
    switch (rv) {
        case CKR_DEVICE_ERROR: case CKR_DEVICE_REMOVED: case CKR_TOKEN_NOT_PRESENT: case CKR_FUNCTION_FAILED:
        case CKR_DEVICE_MEMORY: case CKR_SESSION_HANDLE_INVALID: case CKR_SESSION_CLOSED: case CKR_USER_NOT_LOGGED_IN:
            return true;
        default:
            return false;
    }
}

bool LoginLossCode(unsigned long rv) {
    return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_USER_NOT_LOGGED_IN;
}

std::string Code(unsigned long rv) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lX", rv);
    return text;
}

class Rules {
public:
    explicit Rules(const RunRecord& run) : run_(run) {
        for (const Call& c : run.calls) byWorker_[c.worker].push_back(&c);
        for (auto& [worker, calls] : byWorker_)
            std::stable_sort(calls.begin(), calls.end(), [](const Call* a, const Call* b) { return a->begin < b->begin; });
    }

    std::string Seconds(uint64_t t) const {
        char text[32];
        std::snprintf(text, sizeof text, "%+.3f s", (double(t) - double(run_.start)) / 1e9);
        return text;
    }
    // A call and the last fault before its end, for the evidence.
    std::string Describe(const Call& c) const {
        std::string s = "w" + std::to_string(c.worker) + " " + c.op + " " + c.label + " [" + Seconds(c.begin) + " .. " +
                        (c.ended ? Seconds(c.end) : "killed") + "]";
        const FaultWindow* last = nullptr;
        for (const FaultWindow& w : run_.windows) {
            if (w.injected <= End(c) && (!last || w.injected > last->injected)) last = &w;
        }
        if (!last) return s + "; no fault before it";
        return s + "; last fault before its end: '" + last->fault + "' injected " + Seconds(last->injected) + ", met " +
               Seconds(last->met) + ", window closed " + Seconds(last->closes);
    }
    // The faults whose windows a call overlaps, for the evidence.
    std::string Faults(const Call& c) const {
        std::string faults;
        for (const FaultWindow& w : run_.windows) {
            if (c.begin <= w.closes && End(c) >= w.injected) faults += (faults.empty() ? "" : ", ") + w.fault;
        }
        return faults;
    }
    // A fault may explain this call's failure or missing object.
    bool InWindow(const Call& c) const {
        for (const FaultWindow& w : run_.windows) {
            if (c.begin <= w.closes && End(c) >= w.injected) return true;
        }
        return FirstAfterReset(c);
    }
    // A reset has taken this process's login and it has not logged in since.
    bool LoginLost(const Call& c) const {
        for (const FaultWindow& w : run_.windows) {
            if (w.fault != "reset" || w.injected > End(c)) continue;
            bool again = false;
            for (const Call* o : byWorker_.at(c.worker))
                again = again || (o->op == "login" && o->Ok() && o->begin > w.injected && o->end < c.begin);
            if (!again) return true;
        }
        return false;
    }

private:
    static uint64_t End(const Call& c) { return c.ended ? c.end : UINT64_MAX; }
    bool FirstAfterReset(const Call& c) const {
        const auto& calls = byWorker_.at(c.worker);
        const auto at = std::find(calls.begin(), calls.end(), &c);
        const uint64_t previous = at == calls.begin() ? 0 : (*std::prev(at))->begin;
        for (const FaultWindow& w : run_.windows) {
            if (w.fault == "reset" && previous < w.injected && c.begin > w.injected) return true;
        }
        return false;
    }

    const RunRecord& run_;
    std::map<int, std::vector<const Call*>> byWorker_;
};

void CheckCall(const Rules& rules, const Call& c, Figures& f) {
    ++f.calls[c.op];
    if (!c.ended) {
        ++f.unfinished;
        return;
    }
    auto violation = [&](const std::string& what) { f.violations.push_back(what + ": " + rules.Describe(c)); };
    if (c.rv != CKR_OK) {
        ++f.failures[Code(c.rv) + " " + c.op];
        const std::string call = c.op == "login" && !c.output.empty() ? " (" + c.output + ")" : "";
        if (!SoundFailure(c.rv)) {
            violation("answered " + Code(c.rv) + call);
        } else if (!rules.InWindow(c) && !(LoginLossCode(c.rv) && rules.LoginLost(c))) {
            violation("failed with " + Code(c.rv) + call + " while no fault was active");
        }
        return;
    }
    const std::string& out = c.output;
    const bool loggedOut = out == "loggedout" || out.find(" loggedout") != std::string::npos;
    if (loggedOut && !rules.LoginLost(c) && !rules.InWindow(c)) violation("the session lost its login, no reset before");
    if (c.op == "read" || c.op == "sign") {
        if (out == "other") violation("read back other content");
        if (out == "bad") violation("the signature does not verify with OpenSSL");
        if (out == "twice") violation("found an object of the label twice");
        if (out == "missing" && !rules.InWindow(c)) violation("an acknowledged object is missing while no fault was active");
    }
    if (c.op == "search" && !loggedOut) {
        char missing[4096] = "", twice[4096] = "";
        std::sscanf(out.c_str(), "%*s %4095s %4095s", missing, twice);
        if (std::string(missing) != "-" && !rules.InWindow(c))
            violation("the search lacks acknowledged objects " + std::string(missing) + " while no fault was active");
        if (std::string(twice) != "-") violation("the search finds objects twice: " + std::string(twice));
    }
}

// What the journals say of one label against what the token holds.
void CheckLabel(const Rules& rules, const std::string& label, const std::vector<const Call*>& history,
                const TokenContents& token, Figures& f) {
    ++f.labels;
    const bool data = IsDataLabel(label);
    const size_t whole = data ? 1 : 2;
    const Call* made = nullptr;
    bool acknowledged = false, destroyTried = false, gone = false;
    for (const Call* c : history) {
        if (c->op == "create" || c->op == "keygen") {
            made = c;
            acknowledged = c->Ok();
        }
        if (c->op != "destroy") continue;
        const size_t n = std::strtoul(c->output.c_str(), nullptr, 10);
        if (c->Ok() && acknowledged && !destroyTried && n < whole && !rules.InWindow(*c)) {
            ++f.lost;
            f.violations.push_back("destroy found " + std::to_string(n) + " of the " + std::to_string(whole) +
                                   " objects of an acknowledged create while no fault was active: " + rules.Describe(*c));
        }
        if (c->Ok() && !destroyTried && (n > whole || (!acknowledged && !data && n == 1 && !rules.InWindow(*c))))
            f.violations.push_back("destroy found " + std::to_string(n) + " objects of the label" +
                                   (n == 1 ? ", half a key pair" : "") + ": " + rules.Describe(*c));
        destroyTried = true;
        if (c->Ok() && (n == whole || (!acknowledged && !rules.InWindow(*c)))) gone = true;
    }
    const int count = token.Count(label);
    if (count) ++f.present;
    auto violation = [&](const std::string& what) {
        f.violations.push_back(label + ": " + what + (made ? "; made by " + rules.Describe(*made) : ""));
    };
    if (!made) {
        if (count) violation("on the token, but no journal made it");
        return;
    }
    if (gone) {
        if (count) violation("acknowledged as destroyed, still on the token");
        return;
    }
    if (acknowledged && !destroyTried && !count) {
        ++f.lost;
        return violation("LOST: acknowledged, never destroyed, not on the token");
    }
    if (!count) return;
    if (!acknowledged) ++f.orphans;
    if (data) {
        const auto& values = token.data.at(label);
        if (values.size() != 1) return violation("on the token " + std::to_string(values.size()) + " times");
        std::string hex;
        for (uint8_t b : values[0]) hex += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
        if (hex != made->input) violation("holds other content than was written");
        return;
    }
    const int prv = token.privateKeys.count(label) ? token.privateKeys.at(label) : 0;
    const int pub = token.publicKeys.count(label) ? token.publicKeys.at(label) : 0;
    // A destroy cut short may leave one half; nothing else may.
    if (prv > 1 || pub > 1 || (!destroyTried && prv != pub) || token.data.count(label))
        return violation("key pair not whole: " + std::to_string(prv) + " private, " + std::to_string(pub) + " public");
    if (prv == 1 && pub == 1 && !token.signs.at(label)) violation("the pair's signature does not verify with OpenSSL");
}

}  // namespace

std::string KeyFileStory(const RunRecord& run, const std::string& fid) {
    const Call* last = nullptr;  // references are reused: the last generation that got it
    for (const Call& c : run.calls) {
        if (c.op == "keygen" && c.Ok() && c.output.find(fid) != std::string::npos && (!last || c.begin > last->begin))
            last = &c;
    }
    if (!last) return "";
    const Rules rules(run);
    std::string story = " [" + fid + " last made for " + last->label + ":";
    for (const Call& c : run.calls) {
        if (c.label != last->label) continue;
        story += " " + c.op + (c.ended ? " " + Code(c.rv) : " killed") + (c.output.empty() ? "" : "(" + c.output + ")") +
                 " " + rules.Seconds(c.begin);
        if (!c.Ok() && !rules.Faults(c).empty()) story += " during '" + rules.Faults(c) + "'";
    }
    return story + "]";
}

Figures CheckRun(const RunRecord& run, const TokenContents& token) {
    Figures f;
    const Rules rules(run);
    std::map<std::string, std::vector<const Call*>> byLabel;
    for (const Call& c : run.calls) {
        CheckCall(rules, c, f);
        if (c.label != "-") byLabel[c.label].push_back(&c);
    }
    std::set<std::string> onToken;
    for (const auto& d : token.data) onToken.insert(d.first);
    for (const auto& k : token.privateKeys) onToken.insert(k.first);
    for (const auto& k : token.publicKeys) onToken.insert(k.first);
    for (const std::string& label : onToken) byLabel[label];  // unknown ones too
    for (auto& [label, history] : byLabel) {
        std::stable_sort(history.begin(), history.end(), [](const Call* a, const Call* b) { return a->begin < b->begin; });
        CheckLabel(rules, label, history, token, f);
    }
    return f;
}

}  // namespace stress
