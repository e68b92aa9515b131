#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

namespace quill::platform::foundation {
namespace {

TEST(RunLoopTest, PerformedBlocksRunOnTheLoopThreadInOrder) {
    RunLoop loop;
    std::vector<int> order;
    std::thread::id ranOn;
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i)
            loop.perform([&, i] { order.push_back(i); });
        loop.perform([&] {
            ranOn = std::this_thread::get_id();
            loop.stop();
        });
    });
    loop.run();
    poster.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(RunLoopTest, RunForWaitsItsTimeWithoutWorkAndStopEndsItEarly) {
    RunLoop loop;
    Stopwatch watch;
    EXPECT_FALSE(loop.runFor(0.05));
    EXPECT_GE(watch.elapsedSeconds(), 0.05);

    // A stop asked for before running ends the next run at once.
    loop.stop();
    watch.restart();
    EXPECT_TRUE(loop.runFor(5));
    EXPECT_LT(watch.elapsedSeconds(), 1.0);

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loop.stop();
    });
    watch.restart();
    EXPECT_TRUE(loop.runFor(5));
    EXPECT_LT(watch.elapsedSeconds(), 4.0);
    stopper.join();
}

TEST(RunLoopTest, RunForZeroHandlesWhatIsDueAndReturns) {
    RunLoop loop;
    int performed = 0;
    loop.perform([&] { ++performed; });
    auto timer = loop.addTimer(10, false, [](RunLoopTimer&) {});
    Stopwatch watch;
    EXPECT_FALSE(loop.runFor(0));
    EXPECT_EQ(performed, 1);
    EXPECT_LT(watch.elapsedSeconds(), 1.0);
    EXPECT_TRUE(timer->isValid()) << "not yet due";
}

TEST(RunLoopTest, OneShotTimerFiresOnceAndIsThenInvalid) {
    RunLoop loop;
    int fired = 0;
    Stopwatch watch;
    double firedAfter = 0;
    auto timer = loop.addTimer(0.03, false, [&](RunLoopTimer&) {
        ++fired;
        firedAfter = watch.elapsedSeconds();
    });
    loop.runFor(0.15);
    EXPECT_EQ(fired, 1);
    EXPECT_GE(firedAfter, 0.03);
    EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(loop.timerCount(), 0u);
    timer->invalidate();  // harmless once spent
}

TEST(RunLoopTest, RepeatingTimerFiresUntilInvalidatedFromItsAction) {
    RunLoop loop;
    int fired = 0;
    auto timer = loop.addTimer(0.01, true, [&](RunLoopTimer& t) {
        if (++fired == 3) {
            t.invalidate();
            loop.stop();
        }
    });
    EXPECT_TRUE(loop.runFor(5));
    EXPECT_EQ(fired, 3);
    EXPECT_FALSE(timer->isValid());
    loop.runFor(0.05);
    EXPECT_EQ(fired, 3);
}

TEST(RunLoopTest, TimerInvalidatedFromAnotherThreadStopsAndIsReleased) {
    RunLoop loop;
    std::atomic<int> fired{0};
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watched = held;
    auto timer = loop.addTimer(0.005, true, [&fired, held](RunLoopTimer&) { fired.fetch_add(1); });
    held.reset();
    std::thread other([&] {
        while (fired.load() < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        timer->invalidate();
        loop.perform([&] { loop.stop(); });
    });
    loop.runFor(5);
    other.join();
    int after = fired.load();
    loop.runFor(0.03);
    EXPECT_EQ(fired.load(), after);
    EXPECT_EQ(loop.timerCount(), 0u);
    EXPECT_TRUE(watched.expired()) << "the invalidated timer released its action";
}

TEST(RunLoopTest, LateRepeatingTimerSkipsMissedFirings) {
    RunLoop loop;
    int fired = 0;
    auto timer = loop.addTimer(0.01, true, [&](RunLoopTimer&) { ++fired; });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // about six periods pass unserved
    loop.runFor(0);
    EXPECT_EQ(fired, 1) << "one catch-up firing, not six";
    timer->invalidate();
}

TEST(RunLoopTest, CurrentLoopIsPerThreadAndMainIsTheMainThreads) {
    RunLoop* here = &RunLoop::current();
    EXPECT_EQ(here, &RunLoop::current());
    RunLoop* there = nullptr;
    std::thread t([&] { there = &RunLoop::current(); });
    t.join();
    EXPECT_NE(here, there);
    EXPECT_NE(there, &RunLoop::mainRunLoop());
}

TEST(RunLoopTest, WorkerThreadRunsItsOwnLoopUntilStopped) {
    std::atomic<RunLoop*> workerLoop{nullptr};
    std::atomic<int> ticks{0};
    std::thread worker([&] {
        RunLoop& loop = RunLoop::current();
        loop.addTimer(0.005, true, [&](RunLoopTimer&) { ticks.fetch_add(1); });
        workerLoop = &loop;
        loop.run();
    });
    auto deadline = SteadyClock::now() + std::chrono::seconds(5);
    while ((workerLoop.load() == nullptr || ticks.load() < 3) && SteadyClock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_NE(workerLoop.load(), nullptr);
    workerLoop.load()->stop();
    worker.join();
    EXPECT_GE(ticks.load(), 3);
}

}  // namespace
}  // namespace quill::platform::foundation
