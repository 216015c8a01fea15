#include "ccid_reader.h"

#include <chrono>
#include <thread>

namespace sim {
namespace {

constexpr uint8_t kXfrBlock = 0x6F;
constexpr uint8_t kDataBlock = 0x80;
constexpr uint8_t kStatusTimeExtension = 0x80;
constexpr uint8_t kStatusFailed = 0x40;
const Bytes kFetch{0x00, 0x0C, 0x00, 0x00, 0x00};

void Sleep(uint32_t us) {
    if (us) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

}  // namespace

Bytes CcidReader::DataBlock(const Bytes& data, uint8_t status, uint8_t chain) {
    Bytes m(10 + data.size(), 0);
    m[0] = kDataBlock;
    for (int i = 0; i < 4; ++i) m[1 + i] = static_cast<uint8_t>(data.size() >> (8 * i));
    m[6] = seq_;
    m[7] = status;
    m[8] = status == kStatusTimeExtension ? 0x01 : 0x00;
    m[9] = chain;
    std::copy(data.begin(), data.end(), m.begin() + 10);
    return m;
}

// Chain values: 00 whole answer, 01 first part, 03 middle part, 02 last part.
void CcidReader::QueueChunk(uint8_t firstChain) {
    Faults& f = token_.GetFaults();
    size_t chunk = f.chainChunk ? f.chainChunk : kMaxMessage - 10;
    if (chained_.size() <= chunk) {
        outbox_.push_back(DataBlock(chained_, 0, firstChain == 0x00 ? 0x00 : 0x02));
        chained_.clear();
        return;
    }
    Bytes part(chained_.begin(), chained_.begin() + static_cast<long>(chunk));
    chained_.erase(chained_.begin(), chained_.begin() + static_cast<long>(chunk));
    outbox_.push_back(DataBlock(part, 0, firstChain == 0x00 ? 0x01 : 0x03));
}

void CcidReader::Answer(const Bytes& data) {
    Faults& f = token_.GetFaults();
    for (; f.timeExtensions > 0; --f.timeExtensions) outbox_.push_back(DataBlock({}, kStatusTimeExtension, 0));
    chained_ = data;
    QueueChunk(0x00);
}

int CcidReader::Send(const Bytes& message) {
    std::lock_guard<std::mutex> lock(token_.Mutex());
    Faults& f = token_.GetFaults();
    Stats& st = token_.GetStats();
    Sleep(f.usbDelayUs);
    if (f.sendFailDelay > 0) {
        --f.sendFailDelay;
    } else if (f.sendFailures > 0) {
        --f.sendFailures;
        return -1;
    }
    ++st.messagesIn;
    st.bytesIn += message.size();
    token_.TraceRaw('>', message);
    if (message.size() < 10 || message[0] != kXfrBlock) {
        outbox_.push_back(DataBlock({}, kStatusFailed, 0));
        return static_cast<int>(message.size());
    }
    seq_ = message[6];
    size_t length = message[1] | (size_t(message[2]) << 8) | (size_t(message[3]) << 16) | (size_t(message[4]) << 24);
    if (length != message.size() - 10) {
        outbox_.push_back(DataBlock({}, kStatusFailed, 0));
        return static_cast<int>(message.size());
    }
    if (length == 0) {  // continuation request
        if (chained_.empty()) {
            outbox_.push_back(DataBlock({}, 0, 0));
        } else {
            QueueChunk(0x01);
        }
        return static_cast<int>(message.size());
    }
    Bytes apdu(message.begin() + 10, message.end());
    ++st.apdus;
    ++st.perIns[apdu.size() > 1 ? apdu[1] : 0];

    if (!held61_.empty() && Bytes(apdu.begin(), apdu.begin() + std::min<size_t>(5, apdu.size())) == kFetch &&
        apdu.size() >= 5) {
        if (--rounds61Left_ > 0) {
            size_t rest = held61_.size() - 2;
            Answer({0x61, static_cast<uint8_t>(rest > 255 ? 0 : rest)});
        } else {
            Answer(held61_);
            held61_.clear();
        }
        return static_cast<int>(message.size());
    }
    Sleep(f.cardDelayUs);
    Bytes answer = token_.GetCard().Process(apdu);
    if (f.rounds61 > 0) {
        rounds61Left_ = f.rounds61;
        f.rounds61 = 0;
        held61_ = answer;
        size_t rest = answer.size() - 2;
        Answer({0x61, static_cast<uint8_t>(rest > 255 ? 0 : rest)});
    } else {
        Answer(answer);
    }
    return static_cast<int>(message.size());
}

bool CcidReader::Receive(size_t capacity, Bytes& message) {
    std::lock_guard<std::mutex> lock(token_.Mutex());
    Faults& f = token_.GetFaults();
    Sleep(f.usbDelayUs);
    if (f.recvFailDelay > 0) {
        --f.recvFailDelay;
    } else if (f.recvFailures > 0) {
        --f.recvFailures;
        return false;
    }
    if (outbox_.empty()) return false;
    message = outbox_.front();
    outbox_.pop_front();
    bool overLong = false;  // the long-answer fault sends more than asked for on purpose
    if (f.shortAnswers > 0 && message.size() > 10) {
        --f.shortAnswers;
        message.pop_back();
    } else if (f.longAnswers > 0) {
        --f.longAnswers;
        message.resize(capacity + 16, 0xEE);
        overLong = true;
    }
    if (!overLong && message.size() > capacity) message.resize(capacity);
    Stats& st = token_.GetStats();
    ++st.messagesOut;
    st.bytesOut += message.size();
    token_.TraceRaw('<', message);
    return true;
}

}  // namespace sim
