#pragma once
// A capture session: reads its input device on a thread of its own and hands each block of samples to
// the output's delegate on the delegate's serial queue. Deliveries that the queue has not yet run are
// bounded; past the bound, new blocks are dropped and counted instead of piling up.

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/avcapture/CaptureDevice.h"
#include "platform/avcapture/SampleBuffer.h"
#include "platform/dispatch/Dispatch.h"

namespace quill::platform::avcapture {

class AudioDataOutputDelegate {
  public:
    virtual ~AudioDataOutputDelegate() = default;
    virtual void captureOutputDidOutputSampleBuffer(const SampleBufferPtr& sampleBuffer) = 0;
};

class CaptureSession {
  public:
    // 1024 frames: about 23 ms of sound per buffer.
    static constexpr size_t kDefaultFramesPerBuffer = 1024;
    // Deliveries waiting on the delegate queue before new buffers are dropped.
    static constexpr size_t kMaxPendingDeliveries = 16;

    CaptureSession() = default;
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // A null input is allowed: the session then runs without producing anything.
    void setInput(CaptureDevicePtr device);
    CaptureDevicePtr input() const;
    // Buffers go to delegate (held weakly) on queue. A null queue delivers on the capture thread.
    void setSampleBufferDelegate(std::weak_ptr<AudioDataOutputDelegate> delegate, dispatch::QueuePtr queue);
    void setFramesPerBuffer(size_t frames);

    // Starts the capture thread; the device is opened there, so this does not wait for it. An input that
    // fails to open, or fails later, is logged once and the session goes on running without sound.
    void startRunning();
    // Ends the capture thread and waits for it. Deliveries already queued may still run afterwards.
    void stopRunning();
    bool isRunning() const;

    size_t deliveredBufferCount() const { return delivered_.load(); }
    size_t droppedBufferCount() const { return dropped_.load(); }

  private:
    void captureLoop(CaptureDevicePtr device, size_t frames);
    void deliver(SampleBufferPtr buffer);

    mutable std::mutex mutex_;
    CaptureDevicePtr device_;
    std::weak_ptr<AudioDataOutputDelegate> delegate_;
    dispatch::QueuePtr queue_;
    size_t framesPerBuffer_ = kDefaultFramesPerBuffer;
    std::thread thread_;
    bool running_ = false;
    std::atomic<bool> stopRequested_{false};
    std::unique_ptr<CaptureStream> stream_;  // guarded by mutex_; the capture thread owns its use
    std::shared_ptr<std::atomic<size_t>> pending_ = std::make_shared<std::atomic<size_t>>(0);
    std::atomic<size_t> delivered_{0};
    std::atomic<size_t> dropped_{0};
};

using CaptureSessionPtr = std::shared_ptr<CaptureSession>;

}  // namespace quill::platform::avcapture
