// The four device operations the CCID layer needs from the host.
#ifndef KV_DEVICE_USB_BRIDGE_H
#define KV_DEVICE_USB_BRIDGE_H

#include <cstdint>
#include <string>

class UsbBridge {
public:
    virtual ~UsbBridge() = default;
    // USB ids; 0 when the host lacks the call, -1 on failure.
    virtual int32_t jgetidVendor() = 0;
    virtual int32_t jgetidProduct() = 0;
    // The host's result for one whole message; negative means failure.
    virtual int64_t jSendData(const uint8_t* data, uint32_t len) = 0;
    // Bytes of one received message stored in buffer (at most len), -1 on failure.
    virtual int64_t jRecvData(uint8_t* buffer, uint32_t len, const char* unused) = 0;
    // The lock file of the processes that reach the token through this host
    // (token/process_lock.h); empty: none.
    virtual std::string LockPath() { return std::string(); }
};

#endif
