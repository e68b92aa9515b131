// The synthetic input: a sine tone on both channels, paced by the monotonic clock so that it delivers
// exactly kSampleRate frames a second, however long the reader takes between reads.

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>

#include "platform/avcapture/CaptureDevice.h"
#include "platform/avcapture/SampleBuffer.h"

namespace quill::platform::avcapture {

using foundation::kLocalizedDescriptionKey;
using foundation::kLocalizedFailureReasonKey;

namespace {

class ToneStream : public CaptureStream {
  public:
    ToneStream(double frequency, double amplitude)
        : step_(2.0 * std::numbers::pi * frequency / kSampleRate),
          amplitude_(amplitude),
          start_(std::chrono::steady_clock::now()) {}

    bool read(float* dst, size_t frames, Error* error) override {
        const auto due =
            start_ +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(static_cast<double>(framesRead_ + frames) / kSampleRate));
        {
            std::unique_lock lock(mutex_);
            cv_.wait_until(lock, due, [this] { return interrupted_; });
            if (interrupted_) {
                if (error)
                    *error = Error("QuillaranSoundCaptureErrorDomain", 1,
                                   {{kLocalizedDescriptionKey, "interrupted"}});
                return false;
            }
        }
        for (size_t i = 0; i < frames; ++i) {
            // The phase is recomputed from the frame index, so it never drifts.
            const double phase =
                std::fmod(static_cast<double>(framesRead_ + i) * step_, 2.0 * std::numbers::pi);
            const auto v = static_cast<float>(amplitude_ * std::sin(phase));
            dst[2 * i] = v;
            dst[2 * i + 1] = v;
        }
        framesRead_ += frames;
        return true;
    }

    void interrupt() override {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
        cv_.notify_all();
    }

  private:
    const double step_;
    const double amplitude_;
    const std::chrono::steady_clock::time_point start_;
    uint64_t framesRead_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool interrupted_ = false;
};

class SyntheticDevice : public CaptureDevice {
  public:
    SyntheticDevice(double frequency, double amplitude) : frequency_(frequency), amplitude_(amplitude) {}
    Kind kind() const override { return Kind::Synthetic; }
    std::string name() const override { return "synthetic tone"; }
    std::unique_ptr<CaptureStream> open(size_t, Error*) override {
        return std::make_unique<ToneStream>(frequency_, amplitude_);
    }

  private:
    double frequency_;
    double amplitude_;
};

}  // namespace

std::shared_ptr<CaptureDevice> CaptureDevice::synthetic(double frequency, double amplitude) {
    return std::make_shared<SyntheticDevice>(frequency, amplitude);
}

}  // namespace quill::platform::avcapture
