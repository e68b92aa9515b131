#pragma once
// The waiting discipline of the pipeline's queues: a counting semaphore polled in 1 ms steps against a
// deadline, so that a stop switch is noticed within about a millisecond without waking anyone up.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

#include "platform/foundation/Clock.h"

namespace quill {

// The default time-out of the queues: the largest float, in seconds. Any time-out longer than a century
// counts as no limit at all.
inline constexpr double kNoTimeLimit = static_cast<double>(std::numeric_limits<float>::max());

inline constexpr std::chrono::milliseconds kQueueWaitStep{1};

class CountingSemaphore {
  public:
    explicit CountingSemaphore(int64_t initial) : count_(initial) {}
    CountingSemaphore(const CountingSemaphore&) = delete;
    CountingSemaphore& operator=(const CountingSemaphore&) = delete;

    void signal() {
        {
            std::lock_guard lock(mutex_);
            ++count_;
        }
        cv_.notify_one();
    }
    bool tryWait() {
        std::lock_guard lock(mutex_);
        if (count_ <= 0) return false;
        --count_;
        return true;
    }
    // Takes one unit, waiting at most `d`; false when none came in time.
    bool waitFor(std::chrono::steady_clock::duration d) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, d, [this] { return count_ > 0; })) return false;
        --count_;
        return true;
    }
    int64_t value() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    int64_t count_;
};

// A time-out measured from construction on the monotonic clock. NaN counts as zero; a value longer than
// the longest wait the clock helpers take (a century) means no limit.
class WaitDeadline {
  public:
    using Clock = platform::foundation::SteadyClock;

    explicit WaitDeadline(double timeoutSeconds) {
        if (timeoutSeconds > platform::foundation::kLongestWaitSeconds) return;
        deadline_ = Clock::now() + platform::foundation::durationFromSeconds(timeoutSeconds);
    }

    bool unlimited() const { return !deadline_.has_value(); }
    // True once more than the time-out has passed.
    bool passed() const { return deadline_ && Clock::now() > *deadline_; }

  private:
    std::optional<Clock::time_point> deadline_;
};

enum class WaitResult { Acquired, Stopped, TimedOut };

// Takes one unit of `sem`, checking `stopped` (and `cancel`, the waiter's own stop switch, when given)
// before each 1 ms step and the deadline after it. A time-out of 0 still waits one step.
inline WaitResult pollSemaphore(CountingSemaphore& sem, double timeoutSeconds,
                                const std::atomic<bool>& stopped, const std::atomic<bool>* cancel = nullptr) {
    const WaitDeadline deadline(timeoutSeconds);
    for (;;) {
        if (stopped.load(std::memory_order_acquire)) return WaitResult::Stopped;
        if (cancel && cancel->load(std::memory_order_acquire)) return WaitResult::Stopped;
        if (sem.waitFor(kQueueWaitStep)) return WaitResult::Acquired;
        if (deadline.passed()) return WaitResult::TimedOut;
    }
}

}  // namespace quill
