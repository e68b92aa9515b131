#pragma once
// Captured sound: one block of interleaved 32-bit float samples in the one format this layer delivers,
// whatever the device itself offers (the backend converts).

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace quill::platform::avcapture {

inline constexpr int kSampleRate = 44100;
inline constexpr int kChannelCount = 2;
inline constexpr size_t kBytesPerFrame = sizeof(float) * kChannelCount;

class SampleBuffer {
  public:
    // samples holds frameCount * kChannelCount values, left then right.
    SampleBuffer(std::vector<float> samples, double presentationTime)
        : samples_(std::move(samples)), presentationTime_(presentationTime) {}

    // A buffer is valid while it holds samples and has not been invalidated.
    bool isValid() const { return !invalidated_.load(std::memory_order_acquire) && !samples_.empty(); }
    // Marks the buffer as used up. Its owner calls this once, after the last read of data(); the samples
    // stay allocated until the last reference goes, so a late reader sees an invalid buffer, not freed
    // memory.
    void invalidate() { invalidated_.store(true, std::memory_order_release); }

    const float* data() const { return samples_.data(); }
    size_t byteLength() const { return samples_.size() * sizeof(float); }
    size_t frameCount() const { return samples_.size() / kChannelCount; }
    // Seconds on the monotonic clock at which the first frame was captured.
    double presentationTime() const { return presentationTime_; }

  private:
    std::vector<float> samples_;
    double presentationTime_;
    std::atomic<bool> invalidated_{false};
};

using SampleBufferPtr = std::shared_ptr<SampleBuffer>;

}  // namespace quill::platform::avcapture
