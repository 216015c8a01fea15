#include "heap_manager.h"

#include <cstring>

#include "utils.h"

CHeapManager::CHeapManager(uint8_t* start, int32_t length, void* processMutex, bool fresh)
    : start_(start), length_(length > 0 ? static_cast<uint32_t>(length) : 0), processMutex_(processMutex) {
    if (!fresh || length_ < 2 * kHeader) return;
    std::memset(start_, 0, kHeader);
    const uint32_t block = kHeader;
    std::memset(start_ + block, 0, kHeader);
    Field(block, kSize) = length_ - 2 * kHeader;
    Field(block, kSelf) = block;
    Field(0, kFreeBytes) = Field(block, kSize);
    InsertNode(block);
    InsertLenNode(block);
}

uint32_t& CHeapManager::Field(uint32_t block, uint32_t field) const {
    return *reinterpret_cast<uint32_t*>(start_ + block + field);
}

// Top-down splay (Sleator-Tarjan): brings the node with the key, or the last
// node on its search path, to the root; returns the new root (0 if empty).
uint32_t CHeapManager::Splay(const Tree& t, uint32_t root, uint32_t key) const {
    if (!root) return 0;
    uint32_t leftRoot = 0, rightRoot = 0;
    uint32_t* leftMax = &leftRoot;   // larger-link slot of the left tree's maximum
    uint32_t* rightMin = &rightRoot; // smaller-link slot of the right tree's minimum
    uint32_t node = root;
    for (;;) {
        if (key < Field(node, t.key)) {
            uint32_t child = Field(node, t.smaller);
            if (!Valid(child)) break;
            if (key < Field(child, t.key)) {  // rotate right
                Field(node, t.smaller) = Field(child, t.larger);
                Field(child, t.larger) = node;
                node = child;
                if (!Valid(Field(node, t.smaller))) break;
            }
            *rightMin = node;
            rightMin = &Field(node, t.smaller);
            node = Field(node, t.smaller);
        } else if (key > Field(node, t.key)) {
            uint32_t child = Field(node, t.larger);
            if (!Valid(child)) break;
            if (key > Field(child, t.key)) {  // rotate left
                Field(node, t.larger) = Field(child, t.smaller);
                Field(child, t.smaller) = node;
                node = child;
                if (!Valid(Field(node, t.larger))) break;
            }
            *leftMax = node;
            leftMax = &Field(node, t.larger);
            node = Field(node, t.larger);
        } else {
            break;
        }
    }
    *leftMax = Field(node, t.smaller);
    *rightMin = Field(node, t.larger);
    Field(node, t.smaller) = leftRoot;
    Field(node, t.larger) = rightRoot;
    return node;
}

// Makes block the root in place of the splayed root, splitting the old
// root's children by block's key.
void CHeapManager::SplitInto(const Tree& t, uint32_t block, uint32_t root) {
    Field(block, t.larger) = Field(block, t.smaller) = 0;
    if (root) {
        if (Field(block, t.key) < Field(root, t.key)) {
            Field(block, t.smaller) = Field(root, t.smaller);
            Field(block, t.larger) = root;
            Field(root, t.smaller) = 0;
        } else {
            Field(block, t.larger) = Field(root, t.larger);
            Field(block, t.smaller) = root;
            Field(root, t.larger) = 0;
        }
    }
    Field(0, t.root) = block;
}

// The root's two subtrees joined into one tree; returns its root.
uint32_t CHeapManager::JoinChildren(const Tree& t, uint32_t root) {
    const uint32_t smaller = Field(root, t.smaller), larger = Field(root, t.larger);
    if (!smaller) return larger;
    uint32_t joined = Splay(t, smaller, Field(root, t.key));  // the largest below, with no larger child
    Field(joined, t.larger) = larger;
    return joined;
}

void CHeapManager::InsertNode(uint32_t block) { SplitInto(kByAddr, block, Splay(kByAddr, Field(0, kAddrRoot), block)); }

void CHeapManager::DeleteNode(uint32_t block) {
    uint32_t root = Splay(kByAddr, Field(0, kAddrRoot), block);
    if (root != block) return;
    Field(0, kAddrRoot) = JoinChildren(kByAddr, root);
    Field(block, kAddrLarger) = Field(block, kAddrSmaller) = 0;
}

void CHeapManager::InsertLenNode(uint32_t block) {
    Field(block, kNext) = Field(block, kPrev) = 0;
    const uint32_t size = Field(block, kSize);
    uint32_t root = Splay(kBySize, Field(0, kSizeRoot), size);
    if (root && Field(root, kSize) == size) {  // hang it in the same-size list
        Field(block, kSizeLarger) = Field(block, kSizeSmaller) = 0;
        Field(block, kNext) = Field(root, kNext);
        Field(block, kPrev) = root;
        if (Field(root, kNext)) Field(Field(root, kNext), kPrev) = block;
        Field(root, kNext) = block;
        Field(0, kSizeRoot) = root;
        return;
    }
    SplitInto(kBySize, block, root);
}

void CHeapManager::DeleteLenNode(uint32_t block) {
    if (uint32_t prev = Field(block, kPrev)) {  // inside a same-size list
        uint32_t next = Field(block, kNext);
        Field(prev, kNext) = next;
        if (next) Field(next, kPrev) = prev;
        Field(block, kNext) = Field(block, kPrev) = 0;
        return;
    }
    uint32_t root = Splay(kBySize, Field(0, kSizeRoot), Field(block, kSize));
    if (root != block) return;
    if (uint32_t next = Field(root, kNext)) {  // the next of the same size takes its place
        Field(next, kPrev) = 0;
        Field(next, kSizeSmaller) = Field(root, kSizeSmaller);
        Field(next, kSizeLarger) = Field(root, kSizeLarger);
        root = next;
    } else {
        root = JoinChildren(kBySize, root);
    }
    Field(0, kSizeRoot) = root;
    Field(block, kSizeLarger) = Field(block, kSizeSmaller) = Field(block, kNext) = 0;
}

bool CHeapManager::InAddressTree(uint32_t block) {
    uint32_t root = Splay(kByAddr, Field(0, kAddrRoot), block);
    Field(0, kAddrRoot) = root;
    return root && root == block;
}

void* CHeapManager::Alloc(int32_t n) {
    if (n <= 0 || length_ < 2 * kHeader) return nullptr;
    const uint32_t m = (static_cast<uint32_t>(n) + 8) & ~7u;
    const uint32_t free = Field(0, kFreeBytes);
    if (free < kHeader || free - kHeader < m) return nullptr;

    uint32_t root = Splay(kBySize, Field(0, kSizeRoot), m);
    Field(0, kSizeRoot) = root;
    if (!Valid(root)) return nullptr;
    uint32_t block = root;
    if (Field(root, kSize) < m) {  // the smallest block above the root
        block = Field(root, kSizeLarger);
        if (!Valid(block)) return nullptr;
        while (Field(block, kSizeSmaller)) {
            block = Field(block, kSizeSmaller);
            if (!Valid(block)) return nullptr;
        }
    }
    DeleteLenNode(block);
    DeleteNode(block);

    uint32_t payload = Field(block, kSize);
    uint32_t taken = payload;
    if (payload >= m + kHeader && payload - (m + kHeader) > 7) {
        const uint32_t rest = block + kHeader + m;
        std::memset(start_ + rest, 0, kHeader);
        Field(rest, kSize) = payload - m - kHeader;
        Field(rest, kSelf) = rest;
        Field(block, kSize) = m;
        taken = m + kHeader;
        InsertNode(rest);
        InsertLenNode(rest);
    }
    Field(0, kFreeBytes) -= taken;
    Field(0, kAllocated) += taken;
    std::memset(start_ + block + kSizeLarger, 0, kHeader - kSizeLarger);
    Field(block, kSelf) = block;
    start_[block + kHeader + m - 1] = 0;
    return start_ + block + kHeader;
}

void CHeapManager::Free(void* p) {
    auto* payload = static_cast<uint8_t*>(p);
    if (!payload || payload < start_ + 2 * kHeader || payload >= start_ + length_) return;
    uint32_t block = static_cast<uint32_t>(payload - start_) - kHeader;
    uint32_t size = Field(block, kSize);
    if (uint64_t(block) + kHeader + size > length_) return;  // not a block of this heap
    Field(0, kFreeBytes) += size;
    Field(0, kAllocated) -= std::min(Field(0, kAllocated), size + kHeader);
    Field(block, kSelf) = block;

    const uint32_t after = block + kHeader + size;
    if (after < length_ && InAddressTree(after)) {
        DeleteLenNode(after);
        DeleteNode(after);
        Field(block, kSize) += Field(after, kSize) + kHeader;
        Field(0, kFreeBytes) += kHeader;
    }

    // The nearest free block before this one.
    uint32_t root = Splay(kByAddr, Field(0, kAddrRoot), block);
    Field(0, kAddrRoot) = root;
    uint32_t before = 0;
    if (root && Field(root, kSelf) < block) {
        before = root;
    } else if (root) {
        for (uint32_t n = Field(root, kAddrSmaller); Valid(n); n = Field(n, kAddrLarger)) before = n;
    }
    if (before && before + kHeader + Field(before, kSize) == block) {
        DeleteLenNode(before);
        Field(before, kSize) += Field(block, kSize) + kHeader;
        Field(0, kFreeBytes) += kHeader;
        InsertLenNode(before);
        return;
    }
    InsertNode(block);
    InsertLenNode(block);
}

bool CHeapManager::VerifyTree(const Tree& t, uint32_t node, uint64_t low, uint64_t high, uint32_t& count) const {
    if (!node) return true;
    if (!Valid(node) || ++count > length_ / kHeader) return false;
    const uint32_t key = Field(node, t.key);
    if (key < low || key > high) return false;
    if (&t == &kBySize) {  // same-size list: equal sizes, consistent back links
        uint32_t prev = node;
        for (uint32_t n = Field(node, kNext); n; prev = n, n = Field(n, kNext)) {
            if (!Valid(n) || Field(n, kSize) != key || Field(n, kPrev) != prev || ++count > length_ / kHeader)
                return false;
        }
    }
    return VerifyTree(t, Field(node, t.smaller), low, uint64_t(key) - 1 + (key == 0), count) &&
           VerifyTree(t, Field(node, t.larger), uint64_t(key) + 1, high, count);
}

uint32_t CHeapManager::CountNodes(const Tree& t) const {
    uint32_t count = 0;
    VerifyTree(t, Field(0, t.root), 0, UINT32_MAX, count);
    return count;
}

bool CHeapManager::VerifyPtrTree() const {
    uint32_t count = 0;
    return VerifyTree(kByAddr, Field(0, kAddrRoot), 0, UINT32_MAX, count);
}

bool CHeapManager::VerifyLenTree() const {
    uint32_t count = 0;
    return VerifyTree(kBySize, Field(0, kSizeRoot), 0, UINT32_MAX, count);
}

std::string CHeapManager::GetStatus() const {
    char number[40];
    std::string s = "total=";
    s += itoa(static_cast<int32_t>(length_), number, 10);
    s += " free=";
    s += itoa(static_cast<int32_t>(FreeBytes()), number, 10);
    s += " address-nodes=";
    s += itoa(static_cast<int32_t>(CountNodes(kByAddr)), number, 10);
    s += " size-nodes=";
    s += itoa(static_cast<int32_t>(CountNodes(kBySize)), number, 10);
    return s;
}
