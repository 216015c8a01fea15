// A token that keeps its files in memory, moves its write counter with every
// change, and fails commands when the harness says so: after a number of
// commands the next ones fail with a chosen result, a failing write may leave
// its first half written and a failing create its delete done, as a token
// cut off in the middle of a command does.
#ifndef KV_TESTS_FUZZ_MEMORY_TOKEN_H
#define KV_TESTS_FUZZ_MEMORY_TOKEN_H

#include <cstring>
#include <map>

#include "fuzz_input.h"
#include "itoken.h"

namespace kvfuzz {

class MemoryToken : public IToken {
public:
    static constexpr uint32_t kCapacity = 64 * 1024;

    // The command after `after` good ones and the `count - 1` after it fail with rv.
    void FailAfter(uint32_t after, uint32_t count, RV rv, bool partial) {
        goodLeft_ = after;
        failLeft_ = count;
        failure_ = rv;
        partial_ = partial;
    }

    RV ConnectAndSetenv() override { return 0; }
    bool IsCorrectStore() override { return true; }
    RV Lock() override {
        if (depth_++ == 0) ++epoch_;
        return 0;
    }
    RV Unlock() override {
        if (depth_) --depth_;
        return 0;
    }
    uint64_t LockScope() const override { return depth_ ? epoch_ : 0; }
    RV GenerateRandom(uint8_t* buffer, uint32_t length) override {
        std::memset(buffer, 0x5A, length);
        return 0;
    }
    RV GetSerialNumber(uint8_t* buffer, uint32_t capacity) override {
        if (capacity < 17) return CKR_ARGUMENTS_BAD;
        std::memcpy(buffer, "4B56000000000001", 17);
        return 0;
    }
    RV LowLevelPKIInit(const void*) override { return RV_NOT_SUPPORTED; }
    bool IsOldKey() override { return false; }

    RV ReadBinary(uint16_t fid, uint8_t* buffer, uint32_t offset, uint32_t length, uint32_t* fileSize) override {
        if (uint64_t(offset) + length > 0x10000 || (length && !buffer)) return CKR_DATA_LEN_RANGE;
        if (RV rv = Fault()) return rv;
        auto it = files.find(fid);
        if (it == files.end()) return SCARD_E_FILE_NOT_FOUND;
        if (fileSize) *fileSize = static_cast<uint32_t>(it->second.size());
        if (offset + length > it->second.size()) return CKR_DATA_LEN_RANGE;
        if (length) std::memcpy(buffer, it->second.data() + offset, length);
        return 0;
    }
    RV WriteBinary(uint16_t fid, uint32_t offset, const uint8_t* data, uint32_t length, uint32_t* fileSize) override {
        if (uint64_t(offset) + length > 0x10000 || (length && !data)) return CKR_DATA_LEN_RANGE;
        auto it = files.find(fid);
        RV rv = Fault();
        if (rv && !(partial_ && it != files.end())) return rv;
        if (it == files.end()) return SCARD_E_FILE_NOT_FOUND;
        if (fileSize) *fileSize = static_cast<uint32_t>(it->second.size());
        if (offset + length > it->second.size()) return CKR_DATA_LEN_RANGE;
        const uint32_t written = rv ? length / 2 : length;
        if (written) std::memcpy(it->second.data() + offset, data, written);
        ++counter;
        return rv;
    }
    RV GetFileSize(uint16_t fid, uint32_t* size) override {
        if (RV rv = Fault()) return rv;
        auto it = files.find(fid);
        if (it == files.end()) return SCARD_E_FILE_NOT_FOUND;
        if (size) *size = static_cast<uint32_t>(it->second.size());
        return 0;
    }
    RV SelectFile(uint16_t fid) override { return GetFileSize(fid, nullptr); }
    RV CreateFile(uint16_t fid, uint32_t size, uint8_t, uint8_t, uint8_t) override {
        if (size > 0xFFFF) return CKR_DATA_LEN_RANGE;
        RV rv = Fault();
        if (rv && !partial_) return rv;
        if (files.erase(fid)) ++counter;  // the create starts with a delete
        if (rv) return rv;
        if (UsedBytes() + size > kCapacity) return CKR_DEVICE_MEMORY;
        files[fid] = Bytes(size, 0);
        ++counter;
        return 0;
    }
    RV DeleteFile(uint16_t fid) override {
        if (RV rv = Fault()) return rv;
        if (files.erase(fid)) ++counter;
        return 0;  // a file that is not there is no failure
    }
    RV GetFileList(std::vector<uint16_t>& list) override {
        if (RV rv = Fault()) return rv;
        list.clear();
        for (const auto& f : files) list.push_back(f.first);
        return 0;
    }
    RV GetWriteCount(uint32_t* count) override {
        if (RV rv = Fault()) return rv;
        *count = counter & 0xFFFF;  // the token reports 16 bits
        return 0;
    }

    std::map<uint16_t, Bytes> files;
    uint32_t counter = 1;

private:
    RV Fault() {
        if (failLeft_ == 0) return 0;
        if (goodLeft_) {
            --goodLeft_;
            return 0;
        }
        --failLeft_;
        return failure_;
    }
    size_t UsedBytes() const {
        size_t used = 0;
        for (const auto& f : files) used += f.second.size();
        return used;
    }

    uint32_t depth_ = 0;
    uint64_t epoch_ = 0;
    uint32_t goodLeft_ = 0, failLeft_ = 0;
    RV failure_ = 0;
    bool partial_ = false;
};

}  // namespace kvfuzz

#endif
