#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace quill::platform::dispatch {
namespace {

// The tests run on the process's first thread, which is the main thread.

TEST(DispatchMainTest, RunMainDrainsWorkFromOtherThreadsUntilStopped) {
    ASSERT_TRUE(isMainThread());
    std::vector<int> order;
    std::atomic<bool> allOnMain{true};
    std::thread producer([&] {
        EXPECT_FALSE(isMainThread());
        for (int i = 0; i < 100; ++i) {
            Queue::main()->async([&, i] {
                if (!isMainThread() || Queue::current() != Queue::main()) allOnMain = false;
                order.push_back(i);
            });
        }
        Queue::main()->async([] { stopMain(); });
    });
    runMain();
    producer.join();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_TRUE(allOnMain);
}

TEST(DispatchMainTest, SyncFromAnotherThreadRunsOnMainThread) {
    std::atomic<bool> ranOnMain{false};
    int result = 0;
    std::thread worker([&] {
        result = Queue::main()->syncResult([&] {
            ranOnMain = isMainThread();
            return 42;
        });
        stopMain();
    });
    runMain();
    worker.join();
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(result, 42);
}

TEST(DispatchMainTest, DrainMainRunsOnlyReadyWorkAndWakeupHookFires) {
    std::atomic<int> wakeups{0};
    setMainWakeup([&] { wakeups.fetch_add(1); });
    int ran = 0;
    Queue::main()->async([&] {
        ++ran;
        Queue::main()->async([&] { ++ran; });  // posted while draining: waits for the next drain
    });
    EXPECT_GE(wakeups.load(), 1);
    EXPECT_EQ(drainMain(), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(drainMain(), 1u);
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(drainMain(), 0u);
    setMainWakeup(nullptr);
}

TEST(DispatchMainTest, AfterOnMainQueueAndStopBeforeRunIsKept) {
    Queue::main()->after(0.02, [] { stopMain(); });
    runMain();  // returns once the delayed stop ran
    stopMain();
    runMain();  // a stop requested before runMain() makes it return at once
    SUCCEED();
}

TEST(DispatchMainTest, SyncOnMainThreadOutsideMainWorkRunsInlineAfterPendingWork) {
    std::vector<int> order;
    Queue::main()->async([&] { order.push_back(1); });
    Queue::main()->sync([&] { order.push_back(2); });
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace quill::platform::dispatch
