// The journal of one stress process: every call written twice, one whole
// line before it and one after, each with a single write() on a file opened
// with O_APPEND, so that a process killed inside a call leaves a begin
// without an end and never half a line.
//
//   B <ns> <op> <label> [<detail>]           before the call
//   E <ns> <op> <label> <rv hex> [<detail>]  after it
//
// <ns> is CLOCK_MONOTONIC in nanoseconds, one clock for every process of the
// machine. Labels name what a process made: "w<id>-d<n>" a data object,
// "w<id>-k<n>" a key pair (both halves carry it); "-" for calls about no
// object. Details by op:
//   create  begin: the value written, in hex
//   keygen  begin: ec | rsa | rsax (RSA for key exchange: decrypts too)
//           end:   <private key file>/<public key file> (hex FIDs), when made
//   read    end:   same | other | missing | loggedout
//   sign    end:   verified | bad | missing | loggedout
//   destroy end:   the number of objects of the label found and destroyed
//   search  end:   <objects found> <own labels missing or -> <own labels found twice or ->
//   login   end:   the call that failed (C_GetSlotList, C_OpenSession, C_Login)
#ifndef KV_TESTS_STRESS_STRESS_JOURNAL_H
#define KV_TESTS_STRESS_STRESS_JOURNAL_H

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace stress {

inline uint64_t MonotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000ULL + uint64_t(t.tv_nsec);
}

inline bool IsDataLabel(const std::string& label) { return label.find("-d") != std::string::npos; }
inline bool IsPairLabel(const std::string& label) { return label.find("-k") != std::string::npos; }

class JournalWriter {
public:
    explicit JournalWriter(const std::string& path)
        : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {}
    ~JournalWriter() {
        if (fd_ >= 0) close(fd_);
    }
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    void Begin(const std::string& op, const std::string& label, const std::string& detail = "") {
        Put("B " + std::to_string(MonotonicNs()) + " " + op + " " + label + (detail.empty() ? "" : " " + detail));
    }
    void End(const std::string& op, const std::string& label, unsigned long rv, const std::string& detail = "") {
        char code[24];
        std::snprintf(code, sizeof code, "%lX", rv);
        Put("E " + std::to_string(MonotonicNs()) + " " + op + " " + label + " " + code +
            (detail.empty() ? "" : " " + detail));
    }

private:
    void Put(std::string line) {
        line += '\n';
        if (fd_ < 0 || write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(3);
    }
    int fd_;
};

// One call as its journal tells it; ended false: the process died in it.
struct Call {
    int worker = 0;
    std::string op, label;
    std::string input;   // detail of the begin line
    std::string output;  // detail of the end line
    uint64_t begin = 0, end = 0;
    bool ended = false;
    unsigned long rv = 0;
    bool Ok() const { return ended && rv == 0; }
};

// The calls of one journal in order.
inline std::vector<Call> ReadJournal(std::istream& in, int worker) {
    std::vector<Call> calls;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, op, label, code;
        uint64_t time = 0;
        words >> kind >> time >> op >> label;
        if (kind == "E") words >> code;
        std::string detail;
        std::getline(words >> std::ws, detail);
        if (kind == "B") {
            Call c;
            c.worker = worker;
            c.op = op;
            c.label = label;
            c.input = detail;
            c.begin = time;
            calls.push_back(c);
        } else if (kind == "E" && !calls.empty() && !calls.back().ended && calls.back().op == op &&
                   calls.back().label == label) {
            Call& c = calls.back();
            c.end = time;
            c.ended = true;
            c.rv = std::strtoul(code.c_str(), nullptr, 16);
            c.output = detail;
        }
    }
    return calls;
}

inline std::vector<Call> ReadJournal(const std::string& path, int worker) {
    std::ifstream in(path);
    return ReadJournal(in, worker);
}

}  // namespace stress

#endif
