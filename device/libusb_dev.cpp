#include "libusb_dev.h"

#include <cstring>
#include <vector>

#include "byte_order.h"
#include "jni_otg.h"
#include "kv_provisioning.h"

namespace {

constexpr uint8_t kXfrBlock = 0x6F;
constexpr uint8_t kDataBlock = 0x80;  // RDR_to_PC_DataBlock
// bStatus bits 7-6: 0 command processed, 1 command failed, 2 time extension;
// bits 1-0: 0 card present and active, 1 present and inactive, 2 no card.
constexpr uint8_t kStatusFailed = 1;
constexpr uint8_t kStatusTimeExtension = 2;
constexpr uint8_t kIccAbsent = 2;
constexpr uint32_t kHeader = 10;

bool Supported(int id, const int (&list)[2]) { return id == list[0] || id == list[1]; }


}  // namespace

libusb_dev_t::libusb_dev_t(std::string name, UsbBridge* bridge)
    : apdu_dev_t(std::move(name)), bridge_(bridge ? bridge : &JniOtg::Instance()) {}

int libusb_dev_t::GetVID() { return kvprov::kVendorIds[0]; }
int libusb_dev_t::GetPID() { return kvprov::kProductIds[0]; }

RV libusb_dev_t::Connect() {
    int pid = bridge_->jgetidProduct();
    int vid = bridge_->jgetidVendor();
    return Supported(pid, kvprov::kProductIds) && Supported(vid, kvprov::kVendorIds) ? 0 : 1;
}

// Message length: data + 10, rounded up to a multiple of 64 from 64 on.
uint32_t libusb_dev_t::MessageLength(uint32_t dataLen) {
    uint64_t total = uint64_t(dataLen) + kHeader;
    if (total >= 64 && total % 64) total += 64 - total % 64;
    return total > kMessageBuffer ? 0 : static_cast<uint32_t>(total);
}

bool libusb_dev_t::CCID_Transmit(uint32_t length, const uint8_t* data) {
    uint32_t total = MessageLength(length);
    if (total == 0) return false;
    uint8_t message[kMessageBuffer] = {};
    message[0] = kXfrBlock;
    StoreLe32(message + 1, total - kHeader);
    sent_ = static_cast<uint8_t>(sequence_++);
    message[6] = sent_;
    if (length) std::memcpy(message + kHeader, data, length);
    return bridge_->jSendData(message, total) >= 0;
}

libusb_dev_t::Step libusb_dev_t::CCID_Receive(uint32_t& capacity, uint8_t* out, uint8_t& chain) {
    std::vector<uint8_t> message(kReceiveMax);
    int64_t received = -1;
    for (int skipped = 0; skipped <= kMaxSkippedMessages; ++skipped) {
        received = bridge_->jRecvData(message.data(), kReceiveMax, nullptr);
        if (received < 0) return Step::Failed;
        if (received < static_cast<int64_t>(kHeader)) return Step::Failed;
        // An answer to an earlier message (one whose receipt failed stays in
        // the reader) or another kind of message is dropped: only the answer
        // to the message just sent belongs to this exchange.
        const bool ours = message[0] == kDataBlock && message[6] == sent_;
        if (ours && message[7] >> 6 == kStatusFailed)
            return (message[7] & 0x03) == kIccAbsent ? Step::NoCard : Step::Failed;
        if (ours && message[7] >> 6 != kStatusTimeExtension) break;
        received = -1;
    }
    if (received < 0 || received > kReceiveMax) return Step::Failed;
    uint32_t n = static_cast<uint32_t>(received) - kHeader;
    uint32_t declared = LoadLe32(message.data() + 1);
    chain = message[9];
    if (declared != n) return Step::Failed;
    if (declared > capacity) {
        std::memcpy(out, message.data() + kHeader, capacity);
        return Step::CutShort;
    }
    if (declared) std::memcpy(out, message.data() + kHeader, declared);
    capacity = declared;
    return Step::Ok;
}

RV libusb_dev_t::CmdXfrBlock(uint32_t length, const uint8_t* command, uint32_t& capacity, uint8_t* response) {
    if (!CCID_Transmit(length, command)) return CKR_DEVICE_ERROR;
    uint32_t total = 0;
    for (int round = 0;; ++round) {
        uint32_t room = capacity - total;
        uint8_t chain = 0;
        Step step = CCID_Receive(room, response + total, chain);
        if (step == Step::NoCard) return CKR_TOKEN_NOT_PRESENT;
        if (step != Step::Ok) return CKR_DEVICE_ERROR;  // failed, or longer than the buffer
        total += room;
        if (chain != 0x01 && chain != 0x03 && chain != 0x10) break;
        // A reader that keeps continuing must bring data, and only so often.
        if (room == 0 || round + 1 == kMaxChainRounds) return CKR_DEVICE_ERROR;
        if (!CCID_Transmit(0, nullptr)) return CKR_DEVICE_ERROR;
    }
    capacity = total;
    return 0;
}

RV libusb_dev_t::Exchange(const uint8_t* command, uint32_t length, uint8_t* buffer, uint32_t& received) {
    if (MessageLength(length) == 0) return CKR_DATA_LEN_RANGE;
    received = kResponseMax;
    return CmdXfrBlock(length, command, received, buffer);
}
