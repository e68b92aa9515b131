#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "media/BaseArray.h"
#include "media/DataQueue.h"
#include "media/NoDataQueue.h"

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;
using Item = std::unique_ptr<int>;

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

Item item(int v) {
    return std::make_unique<int>(v);
}

// Waits (bounded) until `pred` holds.
template <class Pred>
bool eventually(Pred pred, double seconds = 5.0) {
    const auto start = Clock::now();
    while (!pred()) {
        if (secondsSince(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(BaseArrayTest, FirstInFirstOut) {
    auto a = BaseArray<Item>::queue();
    EXPECT_FALSE(a->take().has_value());
    EXPECT_TRUE(a->put(item(1)));
    EXPECT_TRUE(a->put(item(2)));
    EXPECT_EQ(a->count(), 2u);
    int seen = 0;
    EXPECT_TRUE(a->elementAt(1, [&](const Item& i) { seen = *i; }));
    EXPECT_EQ(seen, 2);
    EXPECT_FALSE(a->elementAt(2, [&](const Item&) { seen = -1; }));
    EXPECT_EQ(**a->take(), 1);
    a->clear();
    EXPECT_EQ(a->count(), 0u);
}

TEST(DataQueueTest, CapacityBoundsPutsAndAFailedPutLeavesTheItemWithTheCaller) {
    DataQueue<Item> q(3);
    for (int i = 0; i < 3; ++i) {
        Item it = item(i);
        EXPECT_TRUE(q.put(std::move(it), 0.0));
        EXPECT_EQ(it, nullptr);
    }
    Item fourth = item(3);
    const auto start = Clock::now();
    EXPECT_FALSE(q.put(std::move(fourth), 0.02));
    const double took = secondsSince(start);
    EXPECT_GE(took, 0.02);
    EXPECT_LT(took, 1.0);
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(*fourth, 3);

    EXPECT_EQ(**q.take(0.0), 0);
    EXPECT_TRUE(q.put(std::move(fourth), 0.02));
    for (int expect : {1, 2, 3})
        EXPECT_EQ(**q.take(0.0), expect);
    EXPECT_EQ(q.count(), 0u);
}

TEST(DataQueueTest, TakeOnEmptyQueueWaitsOneStepWithZeroTimeout) {
    DataQueue<Item> q(3);
    const auto start = Clock::now();
    EXPECT_FALSE(q.take(0.0).has_value());
    const double took = secondsSince(start);
    EXPECT_GE(took, 0.001);
    EXPECT_LT(took, 0.5);
    // Negative and NaN time-outs behave like zero.
    EXPECT_FALSE(q.take(-5.0).has_value());
    EXPECT_FALSE(q.take(std::nan("")).has_value());
    EXPECT_LT(secondsSince(start), 1.0);
}

TEST(DataQueueTest, HugeTimeOutsMeanNoLimit) {
    for (double t : {kNoTimeLimit, 1e300, std::numeric_limits<double>::infinity()}) {
        DataQueue<Item> q(1);
        std::thread producer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            q.put(item(7), 0.0);
        });
        auto got = q.take(t);  // must block past 20 ms, not return at once
        producer.join();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(**got, 7);
    }
    DataQueue<Item> q(1);
    EXPECT_TRUE(q.put(item(1)));  // default: no limit, room available
    EXPECT_EQ(**q.take(), 1);
}

TEST(DataQueueTest, StopBlockingReleasesWaitersAtOnce) {
    DataQueue<Item> empty(1);
    DataQueue<Item> full(1);
    ASSERT_TRUE(full.put(item(0), 0.0));
    std::atomic<int> returned{0};
    Item blocked = item(1);
    std::thread taker([&] {
        EXPECT_FALSE(empty.take().has_value());
        ++returned;
    });
    std::thread putter([&] {
        EXPECT_FALSE(full.put(std::move(blocked)));
        ++returned;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(returned.load(), 0);
    const auto stopAt = Clock::now();
    empty.stopBlocking();
    full.stopBlocking();
    EXPECT_TRUE(eventually([&] { return returned.load() == 2; }));
    EXPECT_LT(secondsSince(stopAt), 0.5);
    taker.join();
    putter.join();
    EXPECT_NE(blocked, nullptr);  // the failed put left it here
    EXPECT_TRUE(empty.isStopped());
}

TEST(DataQueueTest, StoppedQueueKeepsItemsUntilDestroyedThenHandsThemToTheDestroyAction) {
    std::vector<int> destroyed;
    {
        DataQueue<Item> q(3);
        q.setDestroyBlock([&](Item i) { destroyed.push_back(*i); });
        ASSERT_TRUE(q.put(item(10), 0.0));
        ASSERT_TRUE(q.put(item(11), 0.0));
        q.stopBlocking();
        EXPECT_FALSE(q.take(0.0).has_value());
        EXPECT_FALSE(q.put(item(12), 0.0));
        EXPECT_EQ(q.count(), 2u);
        EXPECT_TRUE(destroyed.empty());
    }
    EXPECT_EQ(destroyed, (std::vector<int>{10, 11}));
}

TEST(DataQueueTest, ClearHandsLeftoversOverAndRestoresTheCapacity) {
    DataQueue<Item> q(3);
    std::vector<int> destroyed;
    q.setDestroyBlock([&](Item i) {
        destroyed.push_back(*i);
        EXPECT_LE(q.count(), 3u);  // the action may use the queue: no lock is held
    });
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(q.put(item(i), 0.0));
    q.clear();
    EXPECT_EQ(destroyed, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(q.count(), 0u);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(q.put(item(i), 0.0));
    EXPECT_FALSE(q.put(item(9), 0.0));
    // Without a destroy action, leftovers are simply freed.
    q.setDestroyBlock(nullptr);
    q.clear();
    EXPECT_EQ(q.count(), 0u);
    EXPECT_EQ(destroyed.size(), 3u);
}

TEST(DataQueueTest, CapacityZeroAndNegative) {
    DataQueue<Item> none(0);
    EXPECT_FALSE(none.put(item(1), 0.0));
    EXPECT_THROW(DataQueue<Item>(-1), std::invalid_argument);
    EXPECT_THROW(NoDataQueue(-1), std::invalid_argument);
}

TEST(DataQueueTest, ManyProducersAndConsumersLoseAndDuplicateNothing) {
    auto q = DataQueue<Item>::create(3);
    constexpr int kProducers = 4, kPerProducer = 300, kConsumers = 2;
    std::mutex m;
    std::multiset<int> got;
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                EXPECT_TRUE(q->put(item(p * kPerProducer + i), 5.0));
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&] {
            int last[kProducers];
            std::fill(std::begin(last), std::end(last), -1);
            while (taken.load() < kProducers * kPerProducer) {
                auto it = q->take(0.01);
                if (!it) continue;
                ++taken;
                const int v = **it;
                // Each producer's items come out in the order it put them.
                EXPECT_GT(v % kPerProducer, last[v / kPerProducer]);
                last[v / kPerProducer] = v % kPerProducer;
                std::lock_guard lock(m);
                got.insert(v);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(got.size(), static_cast<size_t>(kProducers * kPerProducer));
    int expect = 0;
    for (int v : got)
        EXPECT_EQ(v, expect++);
    EXPECT_EQ(q->count(), 0u);
}

TEST(NoDataQueueTest, CreditsRunOutAndComeBack) {
    NoDataQueue credits(10);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(credits.put(0.0));
    EXPECT_EQ(credits.count(), 10);
    const auto start = Clock::now();
    EXPECT_FALSE(credits.put(0.05));
    EXPECT_GE(secondsSince(start), 0.05);

    // A credit given back from another thread lets a waiting put through.
    std::thread giver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(credits.take(0.1));
    });
    EXPECT_TRUE(credits.put(3.0));
    giver.join();
    EXPECT_EQ(credits.count(), 10);
}

TEST(NoDataQueueTest, GivingBackWithNothingOutStillAnswersYes) {
    NoDataQueue credits(2);
    const auto start = Clock::now();
    EXPECT_TRUE(credits.take(0.01));
    EXPECT_GE(secondsSince(start), 0.01);
    EXPECT_EQ(credits.count(), 0);
    // Nothing was added: still only two credits.
    EXPECT_TRUE(credits.put(0.0));
    EXPECT_TRUE(credits.put(0.0));
    EXPECT_FALSE(credits.put(0.0));
}

TEST(NoDataQueueTest, StopBlockingReleasesAWaitingPut) {
    NoDataQueue credits(1);
    ASSERT_TRUE(credits.put(0.0));
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        EXPECT_FALSE(credits.put());
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(done.load());
    credits.stopBlocking();
    EXPECT_TRUE(eventually([&] { return done.load(); }, 1.0));
    waiter.join();
    EXPECT_TRUE(credits.take(0.0));
}

}  // namespace
}  // namespace quill
