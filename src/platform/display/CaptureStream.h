#pragma once
// The engine behind every display stream: one capture thread that waits for a change, keeps to the
// minimum frame time, grabs into a bounded picture pool and posts each frame to the stream's queue.
// Backends supply only a CaptureSource.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/display/Display.h"

namespace quill::platform::display {

class CaptureSource {
  public:
    virtual ~CaptureSource() = default;
    // Prepares capturing; runs on the thread that starts the stream, before the capture thread exists.
    virtual bool open(Error* error) = 0;
    // Waits at most timeoutSeconds for the picture to change; true when it did. Returns early (false)
    // after wake().
    virtual bool waitForChange(double timeoutSeconds) = 0;
    // Makes a current or the next waitForChange() return at once. Any thread.
    virtual void wake() = 0;
    // Captures the current picture into dst (the stream's output size and format): Complete, or Blank
    // when there is nothing to read.
    virtual FrameStatus grab(PixelBuffer& dst) = 0;
    // Makes a call of the capture thread that waits on something that does not answer (an X server)
    // return at once; the source captures nothing more afterwards. Called by the thread that stops the
    // stream when the capture thread does not end in time.
    virtual void interrupt() {}
    // Releases what open() took; runs once the capture thread has ended, on the thread that stopped it.
    virtual void close() {}
};

class CaptureStream : public DisplayStream {
  public:
    // After idleSeconds without a change the handler is told Idle, once per quiet spell.
    CaptureStream(std::unique_ptr<CaptureSource> source, int width, int height,
                  const DisplayStreamProperties& properties, dispatch::QueuePtr queue, FrameHandler handler,
                  double idleSeconds = 1.0);
    ~CaptureStream() override;

    // How long stop() lets the capture thread finish what it is doing before it interrupts the source.
    static constexpr double kStopGrace = 0.5;

    bool start(Error* error = nullptr) override;
    // Returns within about kStopGrace even when the source does not answer.
    void stop() override;

  private:
    void run();
    void post(FrameStatus status, PixelBufferRef frame, uint64_t displayTime);

    std::unique_ptr<CaptureSource> source_;
    DisplayStreamProperties properties_;
    dispatch::QueuePtr queue_;
    FrameHandler handler_;
    double idleSeconds_;
    std::shared_ptr<PixelBufferPool> pool_;
    std::mutex mutex_;  // guards started_ and stopped_ across start() and stop()
    bool started_ = false;
    bool stopped_ = false;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex endMutex_;  // guards runEnded_
    std::condition_variable runEnd_;
    bool runEnded_ = false;
};

}  // namespace quill::platform::display
