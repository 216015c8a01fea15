#include "share_mem.h"

#include <cstring>
#include <new>

int CShareMem::Create(const std::string& name, uint32_t size) {
    if (block_) return 1;
    if (name.empty() || size == 0) return 3;
    block_ = new (std::nothrow) uint8_t[size + 1];
    return block_ ? 0 : 3;
}

int CShareMem::Open(const std::string& name, uint32_t) const {
    if (block_) return 1;
    return name.empty() ? 3 : 5;
}

int CShareMem::Close() {
    delete[] block_;
    block_ = nullptr;
    return 0;
}

CSessionSyncShm::~CSessionSyncShm() {
    if (depth_) Flush2OtherSession(false);
}

uint8_t* CSessionSyncShm::GetData() {
    if (block_.Open(blockName_, size_) > 1) {
        if (block_.Create(blockName_, size_) != 0) return nullptr;
        std::memset(block_.Data(), 0, size_);
        Flush2OtherSession(true);
    }
    return block_.Data();
}

uint8_t* CSessionSyncShm::Lock4Read() {
    ++depth_;
    return GetData();
}

uint8_t* CSessionSyncShm::Lock4Write() {
    ++depth_;
    return GetData();
}

void CSessionSyncShm::Unlock4Read() {
    if (depth_) --depth_;
}

void CSessionSyncShm::Unlock4Write() {
    if (depth_) {
        Flush2OtherSession(false);
        --depth_;
    }
}
