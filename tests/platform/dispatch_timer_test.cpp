#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace quill::platform::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(DispatchTimerTest, OneShotFiresOnceOnItsQueue) {
    auto queue = Queue::serial("timer");
    auto timer = TimerSource::create(queue);
    std::atomic<int> fired{0};
    std::atomic<bool> onQueue{false};
    size_t data = 0;
    Semaphore firedSem;
    timer->setEventHandler([&] {
        onQueue = Queue::current() == queue;
        data = timer->data();
        fired.fetch_add(1);
        firedSem.signal();
    });
    auto start = std::chrono::steady_clock::now();
    timer->setTimer(0.02, 0);
    EXPECT_FALSE(firedSem.wait(0.01));  // created suspended: nothing before resume
    timer->resume();
    ASSERT_TRUE(firedSem.wait(5));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_FALSE(firedSem.wait(0.1));
    EXPECT_EQ(fired.load(), 1);
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(data, 1u);

    // Re-arming a one-shot fires it again, once.
    timer->setTimer(0.01, 0);
    ASSERT_TRUE(firedSem.wait(5));
    EXPECT_FALSE(firedSem.wait(0.05));
    EXPECT_EQ(fired.load(), 2);
    timer->cancel();
}

TEST(DispatchTimerTest, ReArmingReplacesTheSchedule) {
    auto timer = TimerSource::create(Queue::serial("rearm"));
    Semaphore fired;
    timer->setEventHandler([&] { fired.signal(); });
    timer->setTimer(30, 0);
    timer->resume();
    timer->setTimer(0.01, 0);
    EXPECT_TRUE(fired.wait(5));
    timer->setTimer(0.01, 0);
    timer->setTimer(30, 0);
    EXPECT_FALSE(fired.wait(0.1));
    timer->cancel();
}

// One timer serving deadline after deadline, as a connection's time-out does for packet after packet.
TEST(DispatchTimerTest, LaterDeadlinesWaitTheirWholeTimeAndEarlierOnesFireEarly) {
    auto timer = TimerSource::create(Queue::serial("deadlines"));
    Semaphore fired;
    std::atomic<int> count{0};
    timer->setEventHandler([&] {
        count.fetch_add(1);
        fired.signal();
    });
    timer->resume();
    auto start = std::chrono::steady_clock::now();
    timer->setTimer(0.02, 0);
    timer->setTimer(0.15, 0);  // moved later: the first deadline must not fire it
    ASSERT_TRUE(fired.wait(5));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_EQ(count.load(), 1);

    start = std::chrono::steady_clock::now();
    timer->setTimer(30, 0);
    timer->clearTimer();
    timer->setTimer(0.01, 0);  // moved earlier than the outstanding wait
    ASSERT_TRUE(fired.wait(5));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    timer->clearTimer();
    EXPECT_FALSE(fired.wait(0.1));
    EXPECT_EQ(count.load(), 2);
    timer->cancel();
}

TEST(DispatchTimerTest, ClearingOnItsQueueDropsAFiringNotYetDelivered) {
    auto queue = Queue::serial("clear");
    auto timer = TimerSource::create(queue);
    std::atomic<int> count{0};
    Semaphore fired;
    timer->setEventHandler([&] {
        count.fetch_add(1);
        fired.signal();
    });
    timer->resume();
    queue->sync([&] {
        timer->setTimer(0, 0);
        // The firing is due and waits behind this block; clearing here must drop it.
        std::this_thread::sleep_for(30ms);
        timer->clearTimer();
    });
    EXPECT_FALSE(fired.wait(0.1));
    EXPECT_EQ(count.load(), 0);
    timer->setTimer(0.01, 0);  // still usable afterwards
    ASSERT_TRUE(fired.wait(5));
    EXPECT_EQ(count.load(), 1);
    timer->cancel();
}

TEST(DispatchTimerTest, RepeatingTimerSuspendsAndResumesCounted) {
    auto queue = Queue::serial("repeat");
    auto timer = TimerSource::create(queue);
    std::atomic<int> fired{0};
    timer->setEventHandler([&] { fired.fetch_add(1); });
    timer->setTimer(0, 0.005);
    timer->resume();
    auto waitFor = [&](int n) {
        for (int i = 0; i < 500 && fired.load() < n; ++i)
            std::this_thread::sleep_for(10ms);
        return fired.load() >= n;
    };
    ASSERT_TRUE(waitFor(3));
    timer->suspend();
    timer->suspend();
    queue->sync([] {});  // a delivery already posted has run
    int frozen = fired.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(fired.load(), frozen);
    timer->resume();  // still suspended once
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(fired.load(), frozen);
    timer->resume();
    // Firings missed while suspended arrive as one event; then the schedule goes on.
    EXPECT_TRUE(waitFor(frozen + 3));
    timer->cancel();
}

TEST(DispatchTimerTest, MissedFiringsAreCoalescedIntoData) {
    auto queue = Queue::serial("coalesce");
    auto timer = TimerSource::create(queue);
    Semaphore busy, gate, fired;
    size_t data = 0;
    timer->setEventHandler([&] {
        data = timer->data();
        fired.signal();
    });
    queue->async([&] {  // keep the queue busy while the timer fires
        busy.signal();
        gate.wait(5);
    });
    ASSERT_TRUE(busy.wait(5));  // a loaded machine may start the queue's work late
    timer->setTimer(0.005, 0.005);
    timer->resume();
    std::this_thread::sleep_for(60ms);
    gate.signal();
    ASSERT_TRUE(fired.wait(5));
    EXPECT_GE(data, 2u);
    timer->cancel();
}

TEST(DispatchTimerTest, CancelHandlerRunsOnceAfterLastEventEvenWhenSuspended) {
    auto queue = Queue::serial("cancel");
    auto timer = TimerSource::create(queue);
    std::atomic<int> cancels{0};
    Semaphore cancelled;
    timer->setEventHandler([] {});
    timer->setCancelHandler([&] {
        cancels.fetch_add(1);
        cancelled.signal();
    });
    timer->setTimer(0, 0.001);
    timer->resume();
    timer->suspend();
    timer->cancel();
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    EXPECT_FALSE(cancelled.wait(0.05));  // a suspended source completes its cancellation on resume
    timer->resume();
    timer.reset();  // the pending cancellation keeps the source alive
    ASSERT_TRUE(cancelled.wait(5));
    EXPECT_FALSE(cancelled.wait(0.02));
    EXPECT_EQ(cancels.load(), 1);
}

// Many fast timers cancelled from their own queue: no event handler may run after cancel() returned,
// and each cancel handler runs once, after the last event handler.
TEST(DispatchTimerTest, StressNoEventAfterCancelOnOwnQueue) {
    constexpr int kTimers = 64;
    std::vector<QueuePtr> queues;
    for (int i = 0; i < 8; ++i)
        queues.push_back(Queue::serial("stress"));
    struct Probe {
        std::shared_ptr<TimerSource> timer;
        bool cancelled = false;  // touched only on the timer's queue
        int events = 0;
        std::atomic<int> cancelHandlers{0};
        std::atomic<bool> lateEvent{false};
        std::atomic<bool> eventAfterCancelHandler{false};
    };
    std::vector<std::unique_ptr<Probe>> probes;
    Group cancelledAll;
    for (int i = 0; i < kTimers; ++i) {
        auto probe = std::make_unique<Probe>();
        Probe* p = probe.get();
        QueuePtr queue = queues[i % queues.size()];
        p->timer = TimerSource::create(queue);
        p->timer->setEventHandler([p] {
            if (p->cancelled) p->lateEvent = true;
            if (p->cancelHandlers.load() != 0) p->eventAfterCancelHandler = true;
            ++p->events;
        });
        cancelledAll.enter();
        p->timer->setCancelHandler([p, &cancelledAll] {
            p->cancelHandlers.fetch_add(1);
            cancelledAll.leave();
        });
        p->timer->setTimer(0, 0.0005 * (1 + i % 3));
        p->timer->resume();
        queue->after(0.005 + 0.001 * (i % 17), [p] {
            p->timer->cancel();
            p->cancelled = true;
        });
        probes.push_back(std::move(probe));
    }
    ASSERT_TRUE(cancelledAll.wait(20));
    for (auto& q : queues)
        q->sync([] {});
    std::this_thread::sleep_for(20ms);
    for (auto& q : queues)
        q->sync([] {});
    int totalEvents = 0;
    for (auto& p : probes) {
        EXPECT_FALSE(p->lateEvent);
        EXPECT_FALSE(p->eventAfterCancelHandler);
        EXPECT_EQ(p->cancelHandlers.load(), 1);
        totalEvents += p->events;
    }
    EXPECT_GT(totalEvents, 0);
}

TEST(DispatchTimerTest, HandlerOnConcurrentQueueNeverOverlapsItself) {
    auto timer = TimerSource::create(Queue::global());
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> events{0};
    std::atomic<bool> eventAfterCancelHandler{false};
    std::atomic<bool> cancelHandlerRan{false};
    Semaphore cancelled;
    timer->setEventHandler([&] {
        if (running.fetch_add(1) != 0) overlapped = true;
        if (cancelHandlerRan) eventAfterCancelHandler = true;
        std::this_thread::sleep_for(2ms);  // longer than the interval
        events.fetch_add(1);
        running.fetch_sub(1);
    });
    timer->setCancelHandler([&] {
        if (running.load() != 0) eventAfterCancelHandler = true;
        cancelHandlerRan = true;
        cancelled.signal();
    });
    timer->setTimer(0, 0.0005);
    timer->resume();
    for (int i = 0; i < 500 && events.load() < 10; ++i)
        std::this_thread::sleep_for(5ms);
    timer->cancel();
    ASSERT_TRUE(cancelled.wait(5));
    EXPECT_GE(events.load(), 10);
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(eventAfterCancelHandler);
}

TEST(DispatchTimerTest, DroppedUncancelledTimerStopsQuietly) {
    std::atomic<int> fired{0};
    {
        auto timer = TimerSource::create(Queue::serial("dropped"));
        timer->setEventHandler([&] { fired.fetch_add(1); });
        timer->setTimer(0.02, 0);
        timer->resume();
    }
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(fired.load(), 0);
}

}  // namespace
}  // namespace quill::platform::dispatch
