// Runs the kvtoken daemon for a test: a fresh personalised token in a
// temporary folder, its own socket, stopped at the end.
#ifndef KV_TESTS_SIM_PROCESS_H
#define KV_TESTS_SIM_PROCESS_H

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/socket_protocol.h"

namespace testing_kv {

class SimClient {
public:
    explicit SimClient(const std::string& socketPath) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~SimClient() {
        if (fd_ >= 0) close(fd_);
    }
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;
    bool Connected() const { return fd_ >= 0; }

    // One request; returns the value, fills payload.
    int32_t Call(uint8_t op, const std::vector<uint8_t>& in, std::vector<uint8_t>* out = nullptr) {
        std::vector<uint8_t> req(sim::kRequestHead);
        req[0] = op;
        sim::PutLe32(static_cast<uint32_t>(in.size()), &req[1]);
        req.insert(req.end(), in.begin(), in.end());
        if (write(fd_, req.data(), req.size()) != static_cast<ssize_t>(req.size())) throw std::runtime_error("write");
        uint8_t head[sim::kResponseHead];
        ReadAll(head, sizeof head);
        int32_t value = static_cast<int32_t>(sim::GetLe32(head));
        uint32_t n = sim::GetLe32(head + 4);
        std::vector<uint8_t> payload(n);
        ReadAll(payload.data(), n);
        if (out) *out = payload;
        return value;
    }
    std::string Control(const std::string& line, int32_t* value = nullptr) {
        std::vector<uint8_t> out;
        int32_t v = Call(sim::kOpControl, std::vector<uint8_t>(line.begin(), line.end()), &out);
        if (value) *value = v;
        return std::string(out.begin(), out.end());
    }

private:
    void ReadAll(uint8_t* p, size_t n) {
        while (n) {
            ssize_t r = read(fd_, p, n);
            if (r <= 0) throw std::runtime_error("read");
            p += r;
            n -= static_cast<size_t>(r);
        }
    }
    int fd_ = -1;
};

class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& personaliseArgs = {}) {
        char tmpl[] = "/tmp/kvsim-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        state_ = dir_ + "/token.state";
        socket_ = dir_ + "/token.sock";
        std::vector<std::string> args{"personalise", "--state", state_};
        args.insert(args.end(), personaliseArgs.begin(), personaliseArgs.end());
        if (Run(args, true) != 0) throw std::runtime_error("personalise failed");
        Start();
    }
    ~SimProcess() {
        Stop();
        std::system(("rm -rf " + dir_).c_str());
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    void Start() {
        pid_ = Run({"serve", "--state", state_, "--socket", socket_}, false);
        for (int i = 0; i < 500; ++i) {
            SimClient probe(socket_);
            if (probe.Connected()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        throw std::runtime_error("virtual token did not start");
    }
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    const std::string& Socket() const { return socket_; }
    const std::string& Dir() const { return dir_; }
    std::string Control(const std::string& line) {
        SimClient c(socket_);
        return c.Control(line);
    }

private:
    // wait: run to the end and return the exit code; otherwise return the pid.
    static int Run(const std::vector<std::string>& args, bool wait) {
        std::fflush(stdout);  // the child must not repeat buffered output
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the test
            std::vector<char*> argv{const_cast<char*>(KV_SIM_BINARY)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            if (wait) freopen("/dev/null", "w", stdout);
            execv(KV_SIM_BINARY, argv.data());
            _exit(127);
        }
        if (!wait) return pid;
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_, state_, socket_;
    pid_t pid_ = -1;
};

}  // namespace testing_kv

#endif
