// Allocator over a caller's byte range whose links are 32-bit offsets from
// the range start, so the range may sit at another address in every process.
// Free blocks live in two top-down splay trees: by payload size (equal sizes
// in a list off the tree node) and by address.
#ifndef KV_STORAGE_HEAP_MANAGER_H
#define KV_STORAGE_HEAP_MANAGER_H

#include <cstdint>
#include <string>

class CMemory {
public:
    virtual ~CMemory() = default;
    virtual bool Commit(void*, uint32_t) { return true; }
};

class CHeapManager : public CMemory {
public:
    static constexpr uint32_t kHeader = 32;  // heap header and block header size

    // fresh: lay out an empty heap; otherwise use the header found in the range.
    // The range must be 4-byte aligned and at least 64 bytes long.
    CHeapManager(uint8_t* start, int32_t length, void* processMutex, bool fresh);

    void* Alloc(int32_t n);
    void Free(void* p);

    uint32_t FreeBytes() const { return Field(0, kFreeBytes); }
    // Total, free bytes and node counts of both trees.
    std::string GetStatus() const;
    // Order and link consistency of each tree; false on corruption.
    bool VerifyPtrTree() const;
    bool VerifyLenTree() const;

private:
    // Heap header fields.
    static constexpr uint32_t kSizeRoot = 0, kAddrRoot = 4, kFreeBytes = 8, kAllocated = 12;
    // Block header fields.
    static constexpr uint32_t kSize = 0, kSizeLarger = 4, kSizeSmaller = 8, kSelf = 12, kAddrLarger = 16,
                              kAddrSmaller = 20, kNext = 24, kPrev = 28;
    struct Tree {
        uint32_t root, key, larger, smaller;
    };
    static constexpr Tree kBySize{kSizeRoot, kSize, kSizeLarger, kSizeSmaller};
    static constexpr Tree kByAddr{kAddrRoot, kSelf, kAddrLarger, kAddrSmaller};

    uint32_t& Field(uint32_t block, uint32_t field) const;
    bool Valid(uint32_t offset) const { return offset >= kHeader && offset < length_; }
    uint32_t Splay(const Tree& t, uint32_t root, uint32_t key) const;
    void SplitInto(const Tree& t, uint32_t block, uint32_t root);
    uint32_t JoinChildren(const Tree& t, uint32_t root);
    void InsertNode(uint32_t block);
    void DeleteNode(uint32_t block);
    void InsertLenNode(uint32_t block);
    void DeleteLenNode(uint32_t block);
    bool InAddressTree(uint32_t block);
    bool VerifyTree(const Tree& t, uint32_t node, uint64_t low, uint64_t high, uint32_t& count) const;
    uint32_t CountNodes(const Tree& t) const;

    uint8_t* start_;
    uint32_t length_;
    void* processMutex_;
};

#endif
