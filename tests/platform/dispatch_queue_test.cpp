#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Internal.h"

namespace quill::platform::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(DispatchQueueTest, SerialQueueRunsAsyncAndSyncFromManyThreadsInOrderOneAtATime) {
    auto queue = Queue::serial("order");
    constexpr int kThreads = 8;
    constexpr int kPerThread = 2000;
    std::vector<std::vector<int>> seen(kThreads);  // touched only on the queue
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> syncOnOtherThread{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto record = [&, t, i] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    seen[t].push_back(i);
                    running.fetch_sub(1);
                };
                if (i % 7 == 3) {
                    auto caller = std::this_thread::get_id();
                    queue->sync([&] {
                        record();
                        if (std::this_thread::get_id() != caller) syncOnOtherThread = true;
                    });
                } else {
                    queue->async(record);
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    queue->sync([] {});  // everything submitted before has run
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(syncOnOtherThread);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread));
        for (int i = 0; i < kPerThread; ++i)
            ASSERT_EQ(seen[t][i], i) << "thread " << t;
    }
}

TEST(DispatchQueueTest, SyncWaitsForEarlierAsyncWorkAndSeesItsEffects) {
    auto queue = Queue::serial("sync-after-async");
    int value = 0;  // touched only on the queue
    Semaphore gate;
    queue->async([&] {
        gate.wait(5);
        value = 1;
    });
    queue->async([&] { value *= 10; });
    std::thread opener([&] {
        std::this_thread::sleep_for(20ms);
        gate.signal();
    });
    int observed = queue->syncResult([&] { return value; });
    opener.join();
    EXPECT_EQ(observed, 10);
}

// Idle: the work runs at once on the caller, as the queue's work. Busy: it waits its turn behind what was
// queued before, on the queue's thread. From the queue's own work: later, never nested.
TEST(DispatchQueueTest, AsyncOrRunHereRunsOnTheCallerOnlyWhenTheQueueIsIdle) {
    auto queue = Queue::serial("run-here");
    const auto caller = std::this_thread::get_id();
    bool ranHere = false;
    QueuePtr currentThen;
    queue->asyncOrRunHere([&] {
        ranHere = std::this_thread::get_id() == caller;
        currentThen = Queue::current();
    });
    EXPECT_TRUE(ranHere);
    EXPECT_EQ(currentThen, queue);

    std::vector<int> order;  // touched only on the queue
    Semaphore started, release;
    queue->async([&] {
        started.signal();
        release.wait(5);
        order.push_back(1);
    });
    ASSERT_TRUE(started.wait(5));
    std::atomic<bool> secondOnCaller{false};
    queue->asyncOrRunHere([&] {
        secondOnCaller = std::this_thread::get_id() == caller;
        order.push_back(2);
        // From the queue's own work: queued behind this item, not run inside it.
        queue->asyncOrRunHere([&] { order.push_back(4); });
        order.push_back(3);
    });
    EXPECT_TRUE(order.empty());  // still held by the first item
    release.signal();
    queue->sync([] {});  // after the second item, which queued the fourth behind this barrier
    EXPECT_FALSE(secondOnCaller);
    EXPECT_EQ(queue->syncResult([&] { return order; }), (std::vector<int>{1, 2, 3, 4}));
}

// While the caller runs work here, follow-up work that the work queues runs on the caller too; work that
// other threads queue meanwhile runs on the pool, never on the caller; everything in queue order.
TEST(DispatchQueueTest, AsyncOrRunHereRunsOnlyItsOwnFollowUpsOnTheCaller) {
    auto queue = Queue::serial("run-here-order");
    const auto caller = std::this_thread::get_id();
    std::vector<int> order;  // touched only on the queue
    std::atomic<int> othersOnCaller{0};
    std::atomic<bool> followUpOnCaller{false};
    Semaphore inside, queued;
    std::thread other([&] {
        ASSERT_TRUE(inside.wait(5));
        for (int i = 2; i <= 100; ++i)
            queue->async([&, i] {
                if (std::this_thread::get_id() == caller) ++othersOnCaller;
                order.push_back(i);
            });
        queued.signal();
    });
    queue->asyncOrRunHere([&] {
        order.push_back(0);
        queue->async([&] {
            followUpOnCaller = std::this_thread::get_id() == caller;
            order.push_back(1);
        });
        inside.signal();
        queued.wait(5);
    });
    other.join();
    queue->sync([] {});
    EXPECT_TRUE(followUpOnCaller);
    EXPECT_EQ(othersOnCaller.load(), 0);
    ASSERT_EQ(order.size(), 101u);
    for (int i = 0; i <= 100; ++i)
        EXPECT_EQ(order[size_t(i)], i);
}

// Threads that ran out of work watch for more only briefly; an idle process costs no CPU.
TEST(DispatchQueueTest, IdleWorkersStopWatchingForWorkSoon) {
    auto queue = Queue::serial("idle");
    std::atomic<int> ran{0};
    for (int i = 0; i < 200; ++i)
        Queue::global()->async([&] { ran.fetch_add(1); });
    for (int i = 0; i < 500 && ran.load() < 200; ++i)
        std::this_thread::sleep_for(2ms);
    ASSERT_EQ(ran.load(), 200);
    queue->sync([] {});
    std::this_thread::sleep_for(20ms);
    timespec a{}, b{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
    std::this_thread::sleep_for(200ms);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
    double used = double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) / 1e9;
    EXPECT_LT(used, 0.05) << "worker threads kept running without work";
}

TEST(DispatchQueueTest, SyncOnSaturatedPoolDoesNotDeadlock) {
    // Every pool thread that exists gets stuck in sync() behind work that needs one more pool thread;
    // the pool must grow for any of it to finish.
    auto serial = Queue::serial("saturated");
    Semaphore released;
    Semaphore blockerStarted;
    serial->async([&] {
        blockerStarted.signal();
        released.wait();  // waits for work on the global queue
    });
    ASSERT_TRUE(blockerStarted.wait(5));
    const int waiters = static_cast<int>(std::thread::hardware_concurrency()) * 2 + 8;
    Group group;
    std::atomic<int> done{0};
    for (int i = 0; i < waiters; ++i) {
        group.async(Queue::global(), [&] { serial->sync([&] { done.fetch_add(1); }); });
    }
    Queue::global()->async([&] { released.signal(); });
    EXPECT_TRUE(group.wait(20));
    EXPECT_EQ(done.load(), waiters);
}

TEST(DispatchQueueTest, PoolGrowsWhenWorkBlocksOutsideTheLayer) {
    // Work blocked in a plain condition variable (as a host look-up or connect would be) must not
    // starve later work.
    std::mutex mutex;
    std::condition_variable condition;
    bool open = false;
    const int blockers = static_cast<int>(std::thread::hardware_concurrency()) + 4;
    Group group;
    for (int i = 0; i < blockers; ++i) {
        group.async(Queue::global(), [&] {
            std::unique_lock lock(mutex);
            condition.wait(lock, [&] { return open; });
        });
    }
    Semaphore ran;
    Queue::global(Priority::Low)->async([&] {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        condition.notify_all();
        ran.signal();
    });
    EXPECT_TRUE(ran.wait(10));
    EXPECT_TRUE(group.wait(10));
}

TEST(DispatchQueueTest, GlobalQueueRunsWorkConcurrently) {
    // Two items that each wait for the other can only finish if they run at the same time.
    Semaphore a, b;
    Group group;
    std::atomic<bool> okA{false}, okB{false};
    group.async(Queue::global(Priority::High), [&] {
        a.signal();
        okA = b.wait(5);
    });
    group.async(Queue::global(Priority::High), [&] {
        b.signal();
        okB = a.wait(5);
    });
    ASSERT_TRUE(group.wait(10));
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
}

TEST(DispatchQueueTest, GlobalSyncRunsInlineOnCaller) {
    auto caller = std::this_thread::get_id();
    bool sameThread = false;
    QueuePtr current;
    Queue::global()->sync([&] {
        sameThread = std::this_thread::get_id() == caller;
        current = Queue::current();
    });
    EXPECT_TRUE(sameThread);
    EXPECT_EQ(current, Queue::global());
    EXPECT_FALSE(Queue::global()->isSerial());
    EXPECT_NE(Queue::global(Priority::High), Queue::global(Priority::Background));
}

TEST(DispatchQueueTest, SpecificKeysFollowTheRunningQueueIncludingSyncAndNesting) {
    static int keyA, keyB;
    int valueA = 1, valueB = 2;
    auto a = Queue::serial("a");
    auto b = Queue::serial("b");
    a->setSpecific(&keyA, &valueA);
    b->setSpecific(&keyB, &valueB);
    EXPECT_EQ(a->specific(&keyA), &valueA);
    EXPECT_EQ(a->specific(&keyB), nullptr);
    EXPECT_EQ(Queue::getSpecific(&keyA), nullptr);
    EXPECT_EQ(Queue::current(), nullptr);

    struct Seen {
        void* aInA = nullptr;
        void* bInA = nullptr;
        void* aInNestedB = nullptr;
        void* bInNestedB = nullptr;
        void* aAfterNested = nullptr;
        QueuePtr currentInNested;
    } seen;
    a->sync([&] {
        seen.aInA = Queue::getSpecific(&keyA);
        seen.bInA = Queue::getSpecific(&keyB);
        b->sync([&] {
            seen.aInNestedB = Queue::getSpecific(&keyA);
            seen.bInNestedB = Queue::getSpecific(&keyB);
            seen.currentInNested = Queue::current();
        });
        seen.aAfterNested = Queue::getSpecific(&keyA);
    });
    EXPECT_EQ(seen.aInA, &valueA);
    EXPECT_EQ(seen.bInA, nullptr);
    EXPECT_EQ(seen.aInNestedB, nullptr);
    EXPECT_EQ(seen.bInNestedB, &valueB);
    EXPECT_EQ(seen.currentInNested, b);
    EXPECT_EQ(seen.aAfterNested, &valueA);

    Semaphore done;
    void* inAsync = nullptr;
    a->async([&] {
        inAsync = Queue::getSpecific(&keyA);
        done.signal();
    });
    ASSERT_TRUE(done.wait(5));
    EXPECT_EQ(inAsync, &valueA);

    a->setSpecific(&keyA, nullptr);
    EXPECT_EQ(a->syncResult([] { return Queue::getSpecific(&keyA); }), nullptr);
}

TEST(DispatchQueueDeathTest, SyncOntoOwnQueueAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto queue = Queue::serial("self");
    EXPECT_DEATH(queue->sync([&] { queue->sync([] {}); }), "would deadlock");
    auto other = Queue::serial("other");
    EXPECT_DEATH(queue->sync([&] { other->sync([&] { queue->sync([] {}); }); }), "would deadlock");
}

TEST(DispatchQueueTest, AfterRunsNoEarlierThanAskedAndInQueueOrder) {
    auto queue = Queue::serial("after");
    std::vector<int> order;
    Semaphore done;
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration elapsed{};
    queue->after(0.05, [&] {
        elapsed = std::chrono::steady_clock::now() - start;
        order.push_back(2);
        done.signal();
    });
    queue->after(0, [&] { order.push_back(1); });
    ASSERT_TRUE(done.wait(5));
    EXPECT_GE(elapsed, 50ms);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(DispatchQueueTest, QueueOutlivesLastReferenceWhilePendingWorkRuns) {
    Semaphore done;
    std::atomic<int> count{0};
    {
        auto queue = Queue::serial("short-lived");
        for (int i = 0; i < 100; ++i)
            queue->async([&] { count.fetch_add(1); });
        queue->after(0.01, [&] { done.signal(); });
    }
    ASSERT_TRUE(done.wait(5));
    EXPECT_EQ(count.load(), 100);
}

TEST(DispatchQueueTest, LabelsAndCurrentQueue) {
    auto queue = Queue::serial("TcpSocket");
    EXPECT_EQ(queue->label(), "TcpSocket");
    EXPECT_TRUE(queue->isSerial());
    EXPECT_EQ(queue->syncResult([] { return Queue::current(); }), queue);
    EXPECT_EQ(queue->syncResult([] { return Queue::current()->label(); }), "TcpSocket");
}

TEST(DispatchGroupTest, NotifyRunsOnceAllMembersLeftAndWaitTimesOut) {
    Group group;
    Semaphore gate;
    group.async(Queue::global(), [&] { gate.wait(5); });
    group.enter();
    EXPECT_FALSE(group.wait(0.02));
    Semaphore notified;
    std::atomic<int> notifications{0};
    group.notify(Queue::global(), [&] {
        notifications.fetch_add(1);
        notified.signal();
    });
    gate.signal();
    EXPECT_FALSE(notified.wait(0.02));  // one member is still inside
    group.leave();
    EXPECT_TRUE(notified.wait(5));
    EXPECT_TRUE(group.wait(0));
    EXPECT_EQ(notifications.load(), 1);

    // An empty group notifies at once.
    Group empty;
    empty.notify(Queue::global(), [&] { notified.signal(); });
    EXPECT_TRUE(notified.wait(5));
}

TEST(DispatchSemaphoreTest, CountsAndTimesOut) {
    Semaphore sem(2);
    EXPECT_TRUE(sem.wait(0));
    EXPECT_TRUE(sem.wait(0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sem.wait(0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    std::thread signaller([&] {
        std::this_thread::sleep_for(10ms);
        sem.signal();
    });
    EXPECT_TRUE(sem.wait(5));
    signaller.join();
    EXPECT_FALSE(sem.wait(0));
}

}  // namespace
}  // namespace quill::platform::dispatch

TEST(SpinPolicyTest, WatchesHalveWhileNoWorkComesAndAreWholeAgainWhenWorkFollowsQuickly) {
    using quill::platform::dispatch::detail::SpinPolicy;
    SpinPolicy spin;
    int watches = 0;  // 50, 25, 12.5, 6.25, 3.1, 1.6 us, then none
    for (; spin.watch().count() > 0 && watches < 20; ++watches)
        spin.watched(spin.watch(), false);
    EXPECT_EQ(watches, 6);
    spin.slept(std::chrono::microseconds(900));  // work long after a thread went to sleep
    EXPECT_EQ(spin.watch().count(), 0);
    spin.slept(std::chrono::microseconds(20));  // work a watch would have caught
    EXPECT_EQ(spin.watch(), SpinPolicy::kWhole);
    spin.watched(std::chrono::microseconds(25), true);
    EXPECT_EQ(spin.watch(), SpinPolicy::kWhole);
}
