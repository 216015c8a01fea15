#include "vpcd_card.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fd_io.h"

namespace sim {

const Bytes kVpcdAtr{0x3B, 0x8A, 0x80, 0x01, 0x80, 0x58, 0x4B, 0x56, 0x54, 0x4F, 0x4B, 0x45, 0x4E, 0x31, 0xA4};

namespace {

enum : uint8_t { kPowerOff = 0x00, kPowerOn = 0x01, kReset = 0x02, kGetAtr = 0x04 };

bool SendMessage(int fd, const Bytes& body) {
    if (body.size() > 0xFFFF) return false;
    const uint8_t head[2] = {static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    return WriteAll(fd, head, 2) && WriteAll(fd, body.data(), body.size());
}

// The answer to one message from the driver; false: nothing to send.
bool Handle(const Bytes& body, VirtualToken& token, Bytes& answer) {
    std::lock_guard<std::mutex> lock(token.Mutex());
    if (body.size() == 1) {
        if (body[0] == kGetAtr) {
            answer = kVpcdAtr;
            return true;
        }
        if (body[0] == kPowerOff || body[0] == kReset) token.GetCard().Reset();
        return false;
    }
    Stats& st = token.GetStats();
    ++st.apdus;
    ++st.perIns[body.size() > 1 ? body[1] : 0];
    st.bytesIn += body.size();
    answer = token.GetCard().Process(body);
    st.bytesOut += answer.size();
    return true;
}

}  // namespace

int ConnectVpcd(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

void ServeVpcd(int fd, VirtualToken& token) {
    for (;;) {
        uint8_t head[2];
        if (!ReadAll(fd, head, 2)) break;
        Bytes body(static_cast<size_t>(head[0] << 8 | head[1]));
        if (body.empty() || !ReadAll(fd, body.data(), body.size())) break;
        Bytes answer;
        if (Handle(body, token, answer) && !SendMessage(fd, answer)) break;
    }
    close(fd);
}

}  // namespace sim
