#pragma once
// Collects what a display stream delivers, for tests that wait for frames with a bound.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/display/Display.h"

namespace quill::testing {

class FrameCollector {
  public:
    struct Event {
        platform::display::FrameStatus status;
        uint64_t displayTime;
        platform::display::PixelBufferRef frame;
        std::chrono::steady_clock::time_point arrived;
    };

    // keepFrames: hold on to delivered pictures (the pool runs dry), or drop them at once.
    explicit FrameCollector(bool keepFrames = false) : keep_(keepFrames) {}

    platform::display::FrameHandler handler() {
        return [this](platform::display::FrameStatus status, uint64_t t,
                      platform::display::PixelBufferRef f) {
            std::lock_guard lock(mutex_);
            events_.push_back({status, t, keep_ ? std::move(f) : nullptr, std::chrono::steady_clock::now()});
            if (!keep_ && f) lastFrame_ = std::move(f);
            cv_.notify_all();
        };
    }

    // Waits until pred(events) holds, at most timeoutSeconds. pred runs under the collector's lock and
    // must not call back into it.
    bool waitFor(const std::function<bool(const std::vector<Event>&)>& pred, double timeoutSeconds = 5.0) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                            [&] { return pred(events_); });
    }
    bool waitForCount(platform::display::FrameStatus status, size_t n, double timeoutSeconds = 5.0) {
        return waitFor([&](const std::vector<Event>& e) { return count(e, status) >= n; }, timeoutSeconds);
    }
    // Waits until the last delivered picture satisfies pred, at most timeoutSeconds.
    bool waitForLastFrame(const std::function<bool(const platform::display::PixelBuffer&)>& pred,
                          double timeoutSeconds = 5.0) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                            [&] { return lastFrame_ && pred(*lastFrame_); });
    }
    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    size_t count(platform::display::FrameStatus status) {
        std::lock_guard lock(mutex_);
        return count(events_, status);
    }
    // The last delivered picture (when frames are not kept).
    platform::display::PixelBufferRef lastFrame() {
        std::lock_guard lock(mutex_);
        return lastFrame_;
    }
    void releaseFrames() {
        std::lock_guard lock(mutex_);
        for (auto& e : events_)
            e.frame.reset();
    }
    static size_t count(const std::vector<Event>& events, platform::display::FrameStatus status) {
        size_t n = 0;
        for (const auto& e : events)
            n += e.status == status;
        return n;
    }

  private:
    bool keep_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    platform::display::PixelBufferRef lastFrame_;
};

}  // namespace quill::testing
