#pragma once
// A capture delegate for tests: keeps every sample buffer it is given, with the label of the queue it
// arrived on, and lets the test wait (bounded) for a number of them.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/avcapture/CaptureSession.h"

namespace quill::testing {

class SampleBufferCollector : public platform::avcapture::AudioDataOutputDelegate {
  public:
    void captureOutputDidOutputSampleBuffer(const platform::avcapture::SampleBufferPtr& buffer) override {
        auto current = platform::dispatch::Queue::current();
        std::lock_guard lock(mutex_);
        buffers_.push_back(buffer);
        labels_.push_back(current ? current->label() : std::string());
        cv_.notify_all();
    }
    bool waitFor(size_t n, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return buffers_.size() >= n; });
    }
    std::vector<platform::avcapture::SampleBufferPtr> buffers() {
        std::lock_guard lock(mutex_);
        return buffers_;
    }
    // The label of the queue each buffer arrived on ("" outside any queue).
    std::vector<std::string> labels() {
        std::lock_guard lock(mutex_);
        return labels_;
    }
    // The left channel of everything collected, in order.
    std::vector<float> leftChannel() {
        std::vector<float> left;
        for (const auto& b : buffers())
            for (size_t i = 0; i < b->frameCount(); ++i)
                left.push_back(b->data()[2 * i]);
        return left;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<platform::avcapture::SampleBufferPtr> buffers_;
    std::vector<std::string> labels_;
};

}  // namespace quill::testing
