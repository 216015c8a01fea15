#ifndef __ANDROID__
#include "host_socket_bridge.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "host_lock_path.h"
#include "kv_provisioning.h"
#include "logger.h"

namespace {

enum : uint8_t { kOpVendorId = 1, kOpProductId = 2, kOpSend = 3, kOpReceive = 4 };
constexpr uint32_t kMaxAnswer = 1 << 20;

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
    while (n) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool UserOrRoot(uid_t uid) { return uid == geteuid() || uid == 0; }

// A socket of another user: no token, and a log line that says why.
bool Refused(const std::string& path, const char* what, unsigned uid) {
    MessageLogger& log = get_msg_logger();
    if (log.Enabled()) {
        log.LogString("token socket %s refused: %s uid %u, neither this user nor root", path.c_str(), what, uid);
    }
    return false;
}

}  // namespace

HostSocketBridge::HostSocketBridge() {
    const char* named = std::getenv(kvprov::kSocketVariable);
    if (named) path_ = named;
}

HostSocketBridge& HostSocketBridge::Instance() {
    static HostSocketBridge bridge;
    return bridge;
}

void HostSocketBridge::SetSocketPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    Drop();
    path_ = path;
}

std::string HostSocketBridge::LockPath() {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_.empty() ? std::string() : HostLockPath("socket", path_);
}

void HostSocketBridge::Drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool HostSocketBridge::Connect() {
    sockaddr_un addr{};
    if (path_.empty() || path_.size() >= sizeof addr.sun_path) return false;
    struct stat st{};
    if (stat(path_.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    if (!UserOrRoot(st.st_uid)) return Refused(path_, "the socket file belongs to", st.st_uid);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Drop();
        return false;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer) {
        Drop();
        return false;
    }
    if (!UserOrRoot(peer.uid)) {
        Drop();
        return Refused(path_, "it is served by", peer.uid);
    }
    return true;
}

bool HostSocketBridge::Call(uint8_t op, const uint8_t* payload, uint32_t len, int32_t& value, uint8_t* out,
                            uint32_t outCap, uint32_t& outLen) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0 && !Connect()) return false;
    uint8_t head[8];
    head[0] = op;
    StoreLe32(head + 1, len);
    if (!WriteAll(fd_, head, 5) || !WriteAll(fd_, payload, len) || !ReadAll(fd_, head, 8)) {
        Drop();
        return false;
    }
    value = static_cast<int32_t>(LoadLe32(head));
    uint32_t n = LoadLe32(head + 4);
    if (n > kMaxAnswer) {
        Drop();
        return false;
    }
    std::vector<uint8_t> answer(n);
    if (!ReadAll(fd_, answer.data(), n)) {
        Drop();
        return false;
    }
    outLen = n;
    if (out && n) std::memcpy(out, answer.data(), std::min(n, outCap));
    return true;
}

int32_t HostSocketBridge::jgetidVendor() {
    int32_t v;
    uint32_t n;
    return Call(kOpVendorId, nullptr, 0, v, nullptr, 0, n) ? v : -1;
}

int32_t HostSocketBridge::jgetidProduct() {
    int32_t v;
    uint32_t n;
    return Call(kOpProductId, nullptr, 0, v, nullptr, 0, n) ? v : -1;
}

int64_t HostSocketBridge::jSendData(const uint8_t* data, uint32_t len) {
    int32_t v;
    uint32_t n;
    return Call(kOpSend, data, len, v, nullptr, 0, n) ? v : -1;
}

int64_t HostSocketBridge::jRecvData(uint8_t* buffer, uint32_t len, const char*) {
    uint8_t capacity[4];
    StoreLe32(capacity, len);
    int32_t v;
    uint32_t n = 0;
    if (!Call(kOpReceive, capacity, 4, v, buffer, len, n) || v < 0 || n == 0) return -1;
    if (n > len) return -1;  // longer than asked for: refused
    return n;
}
#endif
