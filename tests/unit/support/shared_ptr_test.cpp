#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "shared_ptr.h"

namespace {
struct Base {
    virtual ~Base() = default;
};
struct Tracked : Base {
    explicit Tracked(int* deaths) : deaths_(deaths) {}
    ~Tracked() override { ++*deaths_; }
    int* deaths_;
};
}  // namespace

TEST(SharedPtr, LastHolderDeletesOnceThroughBasePointers) {
    int deaths = 0;
    {
        kv::shared_ptr<Tracked> a(new Tracked(&deaths));
        kv::shared_ptr<Base> b = a;
        EXPECT_EQ(a.use_count(), 2u);
        a.reset();
        EXPECT_EQ(deaths, 0);
        EXPECT_FALSE(a);
        EXPECT_EQ(b.use_count(), 1u);
        kv::shared_ptr<Base> c = std::move(b);
        EXPECT_FALSE(b);
        EXPECT_EQ(c.use_count(), 1u);
    }
    EXPECT_EQ(deaths, 1);
}

TEST(SharedPtr, CopiesFromManyThreadsKeepTheCount) {
    int deaths = 0;
    kv::shared_ptr<Tracked> p(new Tracked(&deaths));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([p] {
            for (int i = 0; i < 10000; ++i) {
                kv::shared_ptr<Tracked> copy = p;
                kv::shared_ptr<Base> base = copy;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(p.use_count(), 1u);
    EXPECT_EQ(deaths, 0);
    p = nullptr;
    EXPECT_EQ(deaths, 1);
}
