// The cache's memory block, obtained by name and bracketed by lock calls.
// In this system the block is private to the process and the locks only
// count nesting.
#ifndef KV_STORAGE_SHARE_MEM_H
#define KV_STORAGE_SHARE_MEM_H

#include <cstdint>
#include <string>

class CShareMem {
public:
    CShareMem() = default;
    ~CShareMem() { Close(); }
    CShareMem(const CShareMem&) = delete;
    CShareMem& operator=(const CShareMem&) = delete;

    // 0 created; 1 already created; 3 empty name or size 0.
    int Create(const std::string& name, uint32_t size);
    // 1 already created; 3 empty name; 5 no block of that name.
    int Open(const std::string& name, uint32_t size) const;
    int Destroy() { return Close(); }
    int Close();
    uint8_t* Data() const { return block_; }

private:
    uint8_t* block_ = nullptr;
};

class CSessionSyncShm {
public:
    CSessionSyncShm(std::string blockName, std::string mutexName, uint32_t size)
        : blockName_(std::move(blockName)), mutexName_(std::move(mutexName)), size_(size) {}
    ~CSessionSyncShm();
    CSessionSyncShm(const CSessionSyncShm&) = delete;
    CSessionSyncShm& operator=(const CSessionSyncShm&) = delete;

    uint8_t* Lock4Read();
    uint8_t* Lock4Write();
    void Unlock4Read();
    void Unlock4Write();
    // The block, created (zeroed) on first use; null when it cannot be had.
    uint8_t* GetData();
    bool Flush2OtherSession(bool) { return true; }
    bool IsSessionRemote(uint32_t) { return true; }
    uint32_t Size() const { return size_; }

private:
    std::string blockName_;
    CShareMem block_;
    std::string mutexName_;
    uint32_t size_;
    uint32_t depth_ = 0;
};

#endif
