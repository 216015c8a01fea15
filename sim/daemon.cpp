#include "daemon.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "ccid_reader.h"
#include "fd_io.h"
#include "socket_protocol.h"

namespace sim {
namespace {

bool Reply(int fd, int32_t value, const Bytes& payload) {
    uint8_t head[kResponseHead];
    PutLe32(static_cast<uint32_t>(value), head);
    PutLe32(static_cast<uint32_t>(payload.size()), head + 4);
    return WriteAll(fd, head, sizeof head) && WriteAll(fd, payload.data(), payload.size());
}

constexpr uint32_t kMaxPayload = 1 << 20;

void ServeClient(int fd, VirtualToken& token) {
    CcidReader reader(token);
    for (;;) {
        uint8_t head[kRequestHead];
        if (!ReadAll(fd, head, sizeof head)) break;
        uint32_t n = GetLe32(head + 1);
        if (n > kMaxPayload) break;
        Bytes payload(n);
        if (!ReadAll(fd, payload.data(), n)) break;
        bool ok = true;
        switch (head[0]) {
            case kOpVendorId:
            case kOpProductId: {
                std::lock_guard<std::mutex> lock(token.Mutex());
                Faults& f = token.GetFaults();
                ok = Reply(fd, head[0] == kOpVendorId ? f.vendorId : f.productId, {});
                break;
            }
            case kOpSend:
                ok = Reply(fd, reader.Send(payload), {});
                break;
            case kOpReceive: {
                Bytes message;
                size_t capacity = n >= 4 ? GetLe32(payload.data()) : 0;
                if (reader.Receive(capacity, message)) {
                    ok = Reply(fd, static_cast<int32_t>(message.size()), message);
                } else {
                    ok = Reply(fd, -1, {});
                }
                break;
            }
            case kOpControl: {
                std::string answer;
                bool known;
                {
                    std::lock_guard<std::mutex> lock(token.Mutex());
                    known = token.Control(std::string(payload.begin(), payload.end()), answer);
                }
                ok = Reply(fd, known ? 0 : -1, Bytes(answer.begin(), answer.end()));
                break;
            }
            default:
                ok = false;
        }
        if (!ok) break;
    }
    close(fd);
}

}  // namespace

int Serve(const std::string& socketPath, VirtualToken& token) {
    sockaddr_un addr{};
    if (socketPath.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "socket path too long\n");
        return 1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    // A token already answering here is left alone; only a stale socket file goes.
    int probe = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool answered = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (answered) {
        std::fprintf(stderr, "a token is already served at %s\n", socketPath.c_str());
        return 1;
    }
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    unlink(socketPath.c_str());
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 16) != 0) {
        std::perror("listen");
        return 1;
    }
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread(ServeClient, fd, std::ref(token)).detach();
    }
}

}  // namespace sim
