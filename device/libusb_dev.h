// The USB CCID token: one APDU exchange as PC_to_RDR_XfrBlock messages and
// the reader's data-block answers, through the host's USB bridge (61xx: apdu_dev.h).
#ifndef KV_DEVICE_LIBUSB_DEV_H
#define KV_DEVICE_LIBUSB_DEV_H

#include "apdu_dev.h"
#include "usb_bridge.h"

class libusb_dev_t : public apdu_dev_t {
public:
    static constexpr uint32_t kMessageBuffer = 2128;   // outgoing message buffer
    static constexpr uint32_t kReceiveMax = 2122;      // bytes asked of the host per message
    static constexpr int kMaxSkippedMessages = 4096;   // status messages skipped per answer
    static constexpr int kMaxChainRounds = 64;         // continuation messages of one answer

    // bridge: the host's USB calls; null means the process-wide Java bridge.
    explicit libusb_dev_t(std::string name, UsbBridge* bridge = nullptr);

    RV Disconnect() override { return 0; }
    // 0 when both USB ids are supported, 1 otherwise.
    RV Connect() override;
    RV Reconnect() override { return 0; }
    RV Lock() override { return 0; }
    RV Unlock() override { return 0; }
    std::string LockPath() const override { return bridge_->LockPath(); }

    // Any reader name is found: the token's reader is built in.
    RV FindReader(std::string&) const { return 0; }
    static int GetVID();
    static int GetPID();
    bool IsSameAs(const libusb_dev_t* other) const { return other && other->GetReaderName() == GetReaderName(); }
    using apdu_dev_t::IsSameAs;

private:
    enum class Step { Ok, Failed, CutShort, NoCard };

    // Padded message length for dataLen bytes; 0 when it exceeds the buffer.
    static uint32_t MessageLength(uint32_t dataLen);

    bool CCID_Transmit(uint32_t length, const uint8_t* data);
    Step CCID_Receive(uint32_t& capacity, uint8_t* out, uint8_t& chain);
    // Collects one answer into response (capacity in, length out): 0,
    // CKR_TOKEN_NOT_PRESENT when the reader reports no card, else
    // CKR_DEVICE_ERROR.
    RV CmdXfrBlock(uint32_t length, const uint8_t* command, uint32_t& capacity, uint8_t* response);
    // CKR_DATA_LEN_RANGE for a command over 2102 bytes, CKR_TOKEN_NOT_PRESENT
    // when the reader reports no card, CKR_DEVICE_ERROR when the exchange fails.
    RV Exchange(const uint8_t* command, uint32_t length, uint8_t* buffer, uint32_t& received) override;

    UsbBridge* bridge_;
    uint32_t sequence_ = 0;
    uint8_t sent_ = 0;  // bSeq of the last message sent; its answer carries the same
};

#endif
