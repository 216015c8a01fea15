// Host builds only: the four device calls served by the virtual token daemon
// over its Unix-domain socket (protocol in sim/socket_protocol.h). There is
// no default socket: only one that $KVP11_SOCKET (or a test) names is used,
// and only when the socket file is owned by this user or root and the
// process serving it (SO_PEERCRED) runs as this user or root. Any other is
// refused with a log line, before a byte is sent: no token.
#ifndef KV_DEVICE_HOST_SOCKET_BRIDGE_H
#define KV_DEVICE_HOST_SOCKET_BRIDGE_H

#ifndef __ANDROID__

#include <mutex>
#include <string>

#include "usb_bridge.h"

class HostSocketBridge : public UsbBridge {
public:
    int32_t jgetidVendor() override;
    int32_t jgetidProduct() override;
    int64_t jSendData(const uint8_t* data, uint32_t len) override;
    int64_t jRecvData(uint8_t* buffer, uint32_t len, const char* unused) override;
    // In this user's lock folder, named from the socket path
    // (device/host_lock_path.h): every process of the user served at that
    // socket meets there. Empty while no socket is named.
    std::string LockPath() override;

    // Starts at the socket named by $KVP11_SOCKET, else at none.
    HostSocketBridge();

    // The process-wide instance.
    static HostSocketBridge& Instance();
    // Points the bridge at another socket (tests); drops the connection.
    void SetSocketPath(const std::string& path);

private:
    // Connects to the named socket when it passes the checks above.
    bool Connect();
    // One request and its answer; false when the daemon cannot be reached.
    bool Call(uint8_t op, const uint8_t* payload, uint32_t len, int32_t& value, uint8_t* out, uint32_t outCap,
              uint32_t& outLen);
    void Drop();

    std::mutex mutex_;
    std::string path_;
    int fd_ = -1;
};

#endif
#endif
