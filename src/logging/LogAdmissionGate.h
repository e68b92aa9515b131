#pragma once
// The back-pressure of the logging registry: at most `capacity` messages between admission and the end
// of their fan-out. A caller that finds the gate full waits until it has drained by `batch` messages, so
// that a caller faster than its loggers is woken once a batch rather than once a message.
//
// Threads: enter() on callers' threads, leave() on the registry's queue; any thread may do either.

#include <condition_variable>
#include <mutex>

namespace quill {

class LogAdmissionGate {
  public:
    LogAdmissionGate(long capacity, long batch) : capacity_(capacity), batch_(batch) {}

    // Blocks while `capacity` messages are inside.
    void enter() {
        std::unique_lock lock(mutex_);
        while (inside_ >= capacity_) {
            ++waiting_;
            drained_.wait(lock);
            --waiting_;
        }
        ++inside_;
    }

    void leave() {
        std::lock_guard lock(mutex_);
        --inside_;
        if (waiting_ > 0 && inside_ <= capacity_ - batch_) drained_.notify_all();
    }

  private:
    const long capacity_;
    const long batch_;
    std::mutex mutex_;
    std::condition_variable drained_;
    long inside_ = 0;
    long waiting_ = 0;
};

}  // namespace quill
