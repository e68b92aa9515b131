#pragma once
// Run loops: a thread runs its loop (until stopped, or for a while) and the loop calls, on that thread,
// the blocks performed on it and the timers scheduled on it. Waiting is on a condition variable against
// the steady clock; an idle loop sleeps. The main thread's loop is the application's.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quill::platform::foundation {

class RunLoop;

// A timer on a run loop, repeating or one-shot, valid until invalidated (a one-shot timer also once it
// has fired). The loop holds the timer while it is valid, so callers need not keep it.
class RunLoopTimer {
  public:
    // Stops the timer from any thread; it is not called afterwards (a call already running finishes).
    void invalidate();
    bool isValid() const { return valid_.load(); }
    double interval() const { return interval_; }
    bool repeats() const { return repeats_; }

  private:
    friend class RunLoop;
    struct Private {};

  public:
    RunLoopTimer(Private, std::weak_ptr<void> loopState, double interval, bool repeats,
                 std::function<void(RunLoopTimer&)> action);

  private:
    std::weak_ptr<void> loopState_;
    const double interval_;
    const bool repeats_;
    std::function<void(RunLoopTimer&)> action_;
    std::atomic<bool> valid_{true};
    std::chrono::steady_clock::time_point fireAt_;  // guarded by the loop's mutex
};

class RunLoop {
  public:
    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // The calling thread's loop, made on first use; on the main thread it is mainRunLoop().
    static RunLoop& current();
    // The main thread's loop, the one the application runs.
    static RunLoop& mainRunLoop();

    // Runs until stop().
    void run();
    // Runs for the given seconds (a zero or negative time handles what is due now and returns), or
    // less when stopped. Returns true when it ended because of stop().
    bool runFor(double seconds);
    bool runUntil(std::chrono::steady_clock::time_point deadline);
    // Makes the current (or, when none runs, the next) run return. Callable from any thread.
    void stop();

    // Calls block on the loop's thread, in the order performed. Callable from any thread.
    void perform(std::function<void()> block);

    // Schedules a timer firing first after interval seconds (0.0001 s at least), and then every interval
    // when repeating. A repeating timer that falls behind skips the firings it missed. Callable from any
    // thread.
    std::shared_ptr<RunLoopTimer> addTimer(double interval, bool repeats,
                                           std::function<void(RunLoopTimer&)> action);

    // Timers still valid on this loop.
    size_t timerCount() const;

  private:
    friend class RunLoopTimer;
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> performs;
        std::vector<std::shared_ptr<RunLoopTimer>> timers;
        bool stopRequested = false;
    };
    bool runLoop(std::optional<std::chrono::steady_clock::time_point> deadline);

    std::shared_ptr<State> state_;
};

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::RunLoop;
using platform::foundation::RunLoopTimer;
}  // namespace quill
