// The offset heap: sizes, splitting, coalescing, refusals, and a randomised
// run against a simple model.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "heap_manager.h"
#include "share_mem.h"

namespace {

struct Heap {
    explicit Heap(uint32_t size) : words(size / 4), heap(reinterpret_cast<uint8_t*>(words.data()), int32_t(size), nullptr, true) {}
    std::vector<uint32_t> words;
    CHeapManager heap;
};

TEST(Heap, FreshRangeAndFirstAllocation) {
    Heap h(131072);
    EXPECT_EQ(h.heap.FreeBytes(), 131008u);
    void* p = h.heap.Alloc(100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(p) - reinterpret_cast<uint8_t*>(h.words.data()), 64);
    EXPECT_EQ(h.heap.FreeBytes(), 130872u);
    EXPECT_EQ(h.heap.Alloc(0), nullptr);
    EXPECT_EQ(h.heap.Alloc(-5), nullptr);
    EXPECT_EQ(h.heap.Alloc(130872), nullptr);  // no room for its header
    h.heap.Free(p);
    EXPECT_EQ(h.heap.FreeBytes(), 131008u);
    EXPECT_EQ(h.heap.GetStatus(), "total=131072 free=131008 address-nodes=1 size-nodes=1");
}

TEST(Heap, RequestSizesRoundAsTheLayoutSays) {
    struct Case {
        int32_t n;
        uint32_t taken;  // payload + header of the split
    } cases[] = {{1, 40}, {7, 40}, {8, 48}, {9, 48}, {100, 136}};
    for (auto c : cases) {
        Heap h(4096);
        uint32_t before = h.heap.FreeBytes();
        ASSERT_NE(h.heap.Alloc(c.n), nullptr);
        EXPECT_EQ(before - h.heap.FreeBytes(), c.taken) << c.n;
    }
}

TEST(Heap, AdjacentFreeBlocksMerge) {
    Heap h(4096);
    void* a = h.heap.Alloc(100);
    void* b = h.heap.Alloc(100);
    void* c = h.heap.Alloc(100);  // keeps the rest apart
    h.heap.Free(a);
    h.heap.Free(b);
    EXPECT_NE(h.heap.GetStatus().find("address-nodes=2"), std::string::npos);  // a+b merged, and the rest
    void* ab = h.heap.Alloc(104 + 104 + 32 - 8);  // the two merged blocks as one
    EXPECT_EQ(ab, a);
    h.heap.Free(ab);
    h.heap.Free(c);
    EXPECT_EQ(h.heap.FreeBytes(), 4096u - 64);
    EXPECT_EQ(h.heap.GetStatus(), "total=4096 free=4032 address-nodes=1 size-nodes=1");
}

TEST(Heap, EqualSizedFreeBlocksAreAllFound) {
    Heap h(4096);
    std::vector<void*> p;
    for (int i = 0; i < 5; ++i) p.push_back(h.heap.Alloc(40));
    h.heap.Free(p[1]);
    h.heap.Free(p[3]);  // two separate free blocks of 48 bytes
    void* x = h.heap.Alloc(40);
    void* y = h.heap.Alloc(40);
    EXPECT_TRUE((x == p[1] && y == p[3]) || (x == p[3] && y == p[1]));
    EXPECT_TRUE(h.heap.VerifyLenTree());
    EXPECT_TRUE(h.heap.VerifyPtrTree());
}

TEST(Heap, RandomisedAgainstAModel) {
    const uint32_t size = 65536;
    Heap h(size);
    const uint8_t* base = reinterpret_cast<uint8_t*>(h.words.data());
    std::map<const uint8_t*, uint32_t> live;  // payload -> requested bytes
    std::mt19937 rng(12345);
    uint64_t checks = 0;
    for (int step = 0; step < 20000; ++step) {
        if (live.empty() || rng() % 100 < 55) {
            int32_t n = 1 + static_cast<int32_t>(rng() % 700);
            auto* p = static_cast<uint8_t*>(h.heap.Alloc(n));
            if (!p) continue;
            ASSERT_GE(p, base + 64);
            ASSERT_LE(p + n, base + size);
            auto next = live.lower_bound(p);
            if (next != live.end()) {
                ASSERT_LE(p + n, next->first) << "overlaps the next block";
            }
            if (next != live.begin()) {
                auto prev = std::prev(next);
                ASSERT_LE(prev->first + prev->second, p) << "overlaps the previous block";
            }
            std::memset(p, 0xA5, static_cast<size_t>(n));
            live[p] = static_cast<uint32_t>(n);
        } else {
            auto it = live.begin();
            std::advance(it, static_cast<long>(rng() % live.size()));
            h.heap.Free(const_cast<uint8_t*>(it->first));
            live.erase(it);
        }
        if (step % 500 == 0) {
            ASSERT_TRUE(h.heap.VerifyPtrTree());
            ASSERT_TRUE(h.heap.VerifyLenTree());
            ++checks;
        }
    }
    for (auto& entry : live) h.heap.Free(const_cast<uint8_t*>(entry.first));
    EXPECT_EQ(h.heap.FreeBytes(), size - 64) << "bytes lost";
    EXPECT_EQ(h.heap.GetStatus(), "total=65536 free=65472 address-nodes=1 size-nodes=1");
    EXPECT_GT(checks, 0u);
}

TEST(SharedBlock, CreatedOnceZeroedAndLockCounted) {
    CShareMem raw;
    EXPECT_EQ(raw.Create("", 10), 3);
    EXPECT_EQ(raw.Open("x", 10), 5);
    EXPECT_EQ(raw.Create("x", 10), 0);
    EXPECT_EQ(raw.Create("x", 10), 1);
    CSessionSyncShm shm("cache", "cache-mutex", 256);
    uint8_t* a = shm.Lock4Write();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[255], 0);
    a[0] = 7;
    EXPECT_EQ(shm.Lock4Read(), a);
    shm.Unlock4Read();
    shm.Unlock4Write();
    shm.Unlock4Write();  // below zero: nothing
    EXPECT_EQ(shm.GetData()[0], 7);
}

}  // namespace
