// CTokenTarn: file commands, GET DATA, serial number, free space, random
// bytes and the write counter.
#include <chrono>
#include <cstring>

#include "byte_order.h"
#include "device_lock.h"
#include "disk_mirror.h"
#include "process_lock.h"
#include "token_tarn.h"
#include "utils.h"

namespace {

constexpr uint32_t kMaxOffset = 0x10000;  // offsets travel in P1/P2
// The longest GET DATA answer kept on the phone: the mechanism list (85)
// of a token with twenty mechanisms fits.
constexpr uint32_t kKeptAnswerMax = 256;

}  // namespace

RV CTokenTarn::GetFileSize(uint16_t fid, uint32_t* size) {
    uint8_t fci[100];
    uint32_t len = sizeof fci;
    uint16_t sw = im_TransmitAPDU(apdu::SelectFile(fid), fci, &len, true);
    if (sw != 0x9000) return CommandResult(sw);
    selectedFid_ = fid;
    if (len < 6) return CKR_DEVICE_ERROR;
    if (size) *size = LoadBe16(fci + 4);
    return 0;
}

RV CTokenTarn::SelectFile(uint16_t fid) {
    RV rv = GetFileSize(fid, nullptr);
    if (fid == FID_ADF) {
        ++channelEpoch_;  // selecting the directory again resets its security environment
    }
    return rv;
}


RV CTokenTarn::ReadBinary(uint16_t fid, uint8_t* buffer, uint32_t offset, uint32_t length, uint32_t* fileSize) {
    if (uint64_t(offset) + length > kMaxOffset || (length && !buffer)) return CKR_DATA_LEN_RANGE;
    RV rv = Lock();
    if (rv) return rv;
    struct Unlocker {
        CTokenTarn* token;
        ~Unlocker() { token->Unlock(); }
    } unlocker{this};
    uint32_t size = 0;
    rv = GetFileSize(fid, &size);
    if (rv) return rv;
    if (fileSize) *fileSize = size;
    if (offset + length > size) return CKR_DATA_LEN_RANGE;
    const uint32_t block = BlockLength();
    for (uint32_t done = 0; done < length;) {
        uint32_t n = std::min(block, length - done);
        uint32_t at = offset + done;
        uint32_t got = n;
        uint16_t sw = im_TransmitAPDU(apdu::ReadBinary(at, n), buffer + done, &got, false);
        if (sw != 0x9000) return CommandResult(sw);
        if (got != n) return CKR_DEVICE_ERROR;
        done += n;
    }
    return 0;
}

RV CTokenTarn::WriteBinary(uint16_t fid, uint32_t offset, const uint8_t* data, uint32_t length, uint32_t* fileSize) {
    if (uint64_t(offset) + length > kMaxOffset || (length && !data)) return CKR_DATA_LEN_RANGE;
    // Select and update in one lock scope: no other process selects in between.
    DeviceLock lock(*this);
    if (lock.Result()) return lock.Result();
    uint32_t size = 0;
    RV rv = GetFileSize(fid, &size);
    if (rv) return rv;
    if (fileSize) *fileSize = size;
    if (offset + length > size) return CKR_DATA_LEN_RANGE;  // refused, not half-written
    const uint32_t block = BlockLength();
    for (uint32_t done = 0; done < length;) {
        uint32_t n = std::min(block, length - done);
        uint32_t at = offset + done;
        uint16_t sw = im_TransmitAPDU(apdu::UpdateBinary(at, data + done, n), nullptr, nullptr, false);
        if (sw != 0x9000) return CommandResult(sw);
        done += n;
    }
    return 0;
}

RV CTokenTarn::CreateFile(uint16_t fid, uint32_t size, uint8_t access1, uint8_t access2, uint8_t access3) {
    if (size > 0xFFFF) return CKR_DATA_LEN_RANGE;
    const ByteVec fcp = {0x62, 0x16, 0x80, 0x02, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size),
                             0x82, 0x02, 0x01, 0x00, 0x83, 0x02, static_cast<uint8_t>(fid >> 8),
                             static_cast<uint8_t>(fid), 0x86, 0x08, access1, access2, 0xFF, access3,
                             0xFF, 0xFF, 0xFF, 0xFF};
    return CreateFileWithFcp(fid, fcp);
}

RV CTokenTarn::DeleteFile(uint16_t fid) {
    uint16_t sw = im_TransmitAPDU(apdu::DeleteFile(fid), nullptr, nullptr, false);
    return sw == 0x6A82 ? 0 : CommandResult(sw);
}

RV CTokenTarn::GetFileList(std::vector<uint16_t>& list) {
    DeviceLock lock(*this);
    if (lock.Result()) return lock.Result();
    // Within one lock scope, until this process sends a command that may
    // write, the list stays what the token said.
    if (fileListKnown_ && fileListEpoch_ == lockEpoch_ && fileListChannel_ == channelEpoch_ && !wroteSinceList_) {
        list = fileList_;
        return 0;
    }
    uint8_t answer[2048];
    uint32_t len = sizeof answer;
    uint16_t sw = im_TransmitAPDU(apdu::ListFiles(), answer, &len, true);
    if (sw != 0x9000) return CommandResult(sw);
    list.clear();
    for (uint32_t i = 0; i + 1 < len; i += 2) list.push_back(LoadBe16(answer + i));
    fileList_ = list;
    fileListKnown_ = true;
    fileListEpoch_ = lockEpoch_;
    fileListChannel_ = channelEpoch_;
    wroteSinceList_ = false;
    return 0;
}

RV CTokenTarn::cmdGetData(uint8_t tag, uint8_t* buffer, uint32_t* length) {
    auto cached = getDataCache_.find(tag);
    if (cached != getDataCache_.end()) {
        if (cached->second.size() > *length) return CKR_DEVICE_ERROR;
        if (!cached->second.empty()) std::memcpy(buffer, cached->second.data(), cached->second.size());
        *length = static_cast<uint32_t>(cached->second.size());
        return 0;
    }
    // Kept on the phone only where processes share a lock file, whose record
    // tells the write counter without a command.
    const bool kept = tag != 0x81 && tag != 0x86 && device_ && !device_->LockPath().empty();
    if (kept && KeptAnswer(tag, buffer, length)) return 0;
    const uint32_t capacity = *length;
    uint16_t sw = im_TransmitAPDU(apdu::GetData(tag), buffer, length, true);
    if (sw != 0x9000) return CommandResult(sw);
    if (tag != 0x82 && tag != 0x86) getDataCache_[tag] = ByteVec(buffer, buffer + *length);
    if (kept && *length <= capacity) KeepAnswer(tag, buffer, *length);
    return 0;
}

// Answers kept on the phone beside the token's file mirror ("FFxx.dat" for
// tag xx): those that never change, and the free space with the write
// counter it was read at (4 bytes before the answer). The identification
// data (it tells which token this is) and the counter are always asked.
bool CTokenTarn::KeptAnswer(uint8_t tag, uint8_t* buffer, uint32_t* length) {
    DiskMirror mirror = PendingMirror();
    uint8_t kept[4 + kKeptAnswerMax];
    uint32_t got = 0;
    if (!mirror.Enabled() || !mirror.ReadSome(0xFF00 | tag, kept, sizeof kept, got)) return false;
    uint32_t at = 0;
    if (tag == 0x82) {
        uint32_t now = 0;
        if (got < 4 || RecentWriteCount(&now) != 0 || now != LoadLe32(kept))
            return false;
        at = 4;
    }
    if (got - at > *length) return false;
    std::memcpy(buffer, kept + at, got - at);
    *length = got - at;
    if (tag != 0x82) getDataCache_[tag] = ByteVec(buffer, buffer + *length);
    return true;
}

void CTokenTarn::KeepAnswer(uint8_t tag, const uint8_t* answer, uint32_t length) {
    DiskMirror mirror = PendingMirror();
    uint32_t counter = 0;
    if (!mirror.Enabled() || length > kKeptAnswerMax || (tag == 0x82 && RecentWriteCount(&counter) != 0)) return;
    uint8_t kept[4 + kKeptAnswerMax];
    const uint32_t at = tag == 0x82 ? 4 : 0;
    if (at) StoreLe32(kept, counter);
    std::memcpy(kept + at, answer, length);
    mirror.WriteFile(0xFF00 | tag, kept, at + length);
}

RV CTokenTarn::GetSerialNumber(uint8_t* buffer, uint32_t capacity) {
    if (!buffer || capacity < 17) return CKR_ARGUMENTS_BAD;
    uint8_t id[32];
    uint32_t len = sizeof id;
    RV rv = cmdGetData(0x81, id, &len);
    if (rv) return rv;
    if (len < 32) return CKR_DEVICE_ERROR;
    if (id[1] == 0x86) {
        std::memcpy(buffer, id + 4, 16);
    } else if (id[1] == 0x06) {
        HexToAsc(reinterpret_cast<char*>(buffer), id + 4, 8);
    } else {
        return CKR_DEVICE_ERROR;  // unknown serial format
    }
    return 0;
}

bool CTokenTarn::StillSameToken() {
    // The identification data read at connection (kept in the GET DATA
    // cache) against a fresh answer: serial format and serial number.
    constexpr uint32_t kIdentity = 20;
    auto bound = getDataCache_.find(0x81);
    if (bound == getDataCache_.end() || bound->second.size() < kIdentity) return false;
    uint8_t id[32];
    uint32_t len = sizeof id;
    uint16_t sw = im_TransmitAPDU(apdu::GetData(0x81), id, &len, true);
    if (TransferFailed(sw)) {
        // A reader re-plugged or a line cut once: the next exchange opens
        // the channel again, and the token must answer as the same one.
        len = sizeof id;
        sw = im_TransmitAPDU(apdu::GetData(0x81), id, &len, true);
    }
    return sw == 0x9000 && len >= kIdentity && std::memcmp(id, bound->second.data(), kIdentity) == 0;
}

RV CTokenTarn::GetFreePublicSize(uint32_t* size) {
    uint8_t answer[16];
    uint32_t len = sizeof answer;
    if (!size || cmdGetData(0x82, answer, &len) != 0 || len < 5) return CKR_DEVICE_ERROR;
    *size = uint32_t(answer[4]) * 1024;
    return 0;
}

RV CTokenTarn::GenerateRandom(uint8_t* buffer, uint32_t length) {
    if (!buffer) return CKR_ARGUMENTS_BAD;
    for (uint32_t done = 0; done < length;) {
        uint32_t want = length - done;
        uint32_t le = want >= 16 ? 16 : (want == 8 ? 8 : 16);
        uint8_t chunk[16];
        uint32_t got = sizeof chunk;
        uint16_t sw = im_TransmitAPDU(apdu::GetChallenge(le), chunk, &got, false);
        if (sw != 0x9000) return CommandResult(sw);
        if (got != le) return CKR_DEVICE_ERROR;
        uint32_t n = std::min(want, le);
        std::memcpy(buffer + done, chunk, n);
        done += n;
    }
    return 0;
}

namespace {

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

RV CTokenTarn::RecentWriteCount(uint32_t* count, bool* fresh) {
    if (fresh) *fresh = false;
    if (!device_) return CKR_DEVICE_ERROR;
    DeviceLock lock(*this);
    if (lock.Result()) return lock.Result();
    if (HoldProcessLock() != 0) return CKR_DEVICE_ERROR;
    if (processLock_ && !counterFreshNeeded_) {
        const ProcessLock::Counter recorded = processLock_->WriteCounter();
        const uint64_t now = NowMs();
        if (recorded.known && now >= recorded.readAtMs && now - recorded.readAtMs < kCounterWindowMs) {
            *count = recorded.value;
            return 0;
        }
    }
    if (fresh) *fresh = true;
    return GetWriteCount(count);
}

void CTokenTarn::NoteWriteCommand(const APDU& apdu) {
    switch (apdu.ins) {
        case apdu::kInsSelect:
        case apdu::kInsReadBinary:
        case apdu::kInsGetData:
        case apdu::kInsGetResponse:
        case apdu::kInsGetChallenge:
        case apdu::kInsInitializeUpdate:
        case apdu::kInsExternalAuthenticate:
        case apdu::kInsListFiles:
        case apdu::kInsMseSet:
        case apdu::kInsPso:
            return;
        default:
            break;
    }
    if (processLock_ && recordMayBeKnown_) processLock_->SetWriteCounter(ProcessLock::Counter{});
    recordMayBeKnown_ = false;
    wroteInScope_ = true;
    wroteSinceList_ = true;
}

RV CTokenTarn::GetWriteCount(uint32_t* count) {
    if (!device_) return CKR_DEVICE_ERROR;
    // Read under the cross-process lock, which the scope keeps to its end:
    // no other process of the family writes between this read and the
    // commands that trust it.
    DeviceLock lock(*this);
    if (lock.Result()) return lock.Result();
    RV held = HoldProcessLock();
    if (held) return CKR_DEVICE_ERROR;
    const uint8_t command[5] = {0x00, 0xCA, 0x01, 0x86, 0x00};
    uint8_t answer[kBuffer];
    uint32_t len = sizeof answer;
    uint8_t sw1 = 0, sw2 = 0;
    RV rv = device_->Transmit(command, sizeof command, answer, &len, &sw1, &sw2);
    if (rv) return rv;
    if (sw1 != 0x90 || sw2 != 0x00) return CKR_DEVICE_ERROR;
    if (!CounterIn(answer, len, *count)) return CKR_DEVICE_ERROR;
    RecordWriteCount(*count);
    return 0;
}

bool CTokenTarn::CounterIn(const uint8_t* answer, uint32_t len, uint32_t& count) {
    for (uint32_t i = 0; i + 12 <= len; ++i) {  // 85 0A and its ten value bytes
        if (answer[i] == 0x85 && answer[i + 1] == 0x0A) {
            count = LoadBe16(answer + i + 2);
            return true;
        }
    }
    return false;
}

void CTokenTarn::RecordWriteCount(uint32_t count) {
    counterFreshNeeded_ = false;
    if (!processLock_) return;
    processLock_->SetWriteCounter(ProcessLock::Counter{true, count, NowMs()});
    recordMayBeKnown_ = true;
}
