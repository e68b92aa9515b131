#include "platform/avcapture/CaptureSession.h"

#include <chrono>

#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"

namespace quill::platform::avcapture {

namespace {
double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace

CaptureSession::~CaptureSession() {
    stopRunning();
}

void CaptureSession::setInput(CaptureDevicePtr device) {
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
}

CaptureDevicePtr CaptureSession::input() const {
    std::lock_guard lock(mutex_);
    return device_;
}

void CaptureSession::setSampleBufferDelegate(std::weak_ptr<AudioDataOutputDelegate> delegate,
                                             dispatch::QueuePtr queue) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
    queue_ = std::move(queue);
}

void CaptureSession::setFramesPerBuffer(size_t frames) {
    std::lock_guard lock(mutex_);
    framesPerBuffer_ = frames > 0 ? frames : kDefaultFramesPerBuffer;
}

void CaptureSession::startRunning() {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = true;
    stopRequested_ = false;
    if (!device_) {
        sysLog("sound capture: no input device, running without sound");
        return;
    }
    thread_ =
        std::thread([this, device = device_, frames = framesPerBuffer_] { captureLoop(device, frames); });
}

void CaptureSession::stopRunning() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        stopRequested_ = true;
        if (stream_) stream_->interrupt();
        thread = std::move(thread_);
    }
    if (thread.joinable()) thread.join();
}

bool CaptureSession::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void CaptureSession::captureLoop(CaptureDevicePtr device, size_t frames) {
    platform::foundation::setCurrentThreadName("sound-capture");
    Error error;
    std::unique_ptr<CaptureStream> stream = device->open(frames, &error);
    if (!stream) {
        sysLog("sound capture: cannot open %s: %s; running without sound", device->name().c_str(),
               error.description().c_str());
        return;
    }
    CaptureStream* reader = stream.get();
    {
        std::lock_guard lock(mutex_);
        if (stopRequested_) return;
        stream_ = std::move(stream);
    }
    while (!stopRequested_.load()) {
        std::vector<float> samples(frames * kChannelCount);
        if (!reader->read(samples.data(), frames, &error)) {
            if (!stopRequested_.load()) {
                sysLog("sound capture: reading %s failed: %s; running without sound", device->name().c_str(),
                       error.description().c_str());
            }
            break;
        }
        const double start = monotonicSeconds() - static_cast<double>(frames) / kSampleRate;
        deliver(std::make_shared<SampleBuffer>(std::move(samples), start));
    }
    std::unique_ptr<CaptureStream> done;
    {
        std::lock_guard lock(mutex_);
        done = std::move(stream_);
    }
}

void CaptureSession::deliver(SampleBufferPtr buffer) {
    std::weak_ptr<AudioDataOutputDelegate> weakDelegate;
    dispatch::QueuePtr queue;
    {
        std::lock_guard lock(mutex_);
        weakDelegate = delegate_;
        queue = queue_;
    }
    if (!queue) {
        if (auto delegate = weakDelegate.lock()) delegate->captureOutputDidOutputSampleBuffer(buffer);
        ++delivered_;
        return;
    }
    if (pending_->fetch_add(1) >= kMaxPendingDeliveries) {
        pending_->fetch_sub(1);
        ++dropped_;
        return;
    }
    ++delivered_;
    queue->async([weakDelegate, buffer = std::move(buffer), pending = pending_] {
        pending->fetch_sub(1);
        if (auto delegate = weakDelegate.lock()) delegate->captureOutputDidOutputSampleBuffer(buffer);
    });
}

}  // namespace quill::platform::avcapture
