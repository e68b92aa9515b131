#pragma once
// Screen capture: a display stream of the main display feeds raw frames into the raw video queue; when
// the screen stops changing the last frame is sent again for a while; the H.264 encoder it owns hands
// its packets back through this recorder into the encoded video queue.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

#include "media/SWBaseEncoder.h"
#include "media/SWSoftwareEncoder.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/display/Display.h"

namespace quill {

class SWTimeUtils;
namespace platform::foundation {
class NotificationCenter;
}

// Posted when a display stream is made, with the main display's size in points (its bounds) as the
// notification's userInfo (a platform::display::Rect at the origin).
inline constexpr const char* kSystemResolutionDidChange = "SystemResolutionDidChange";

class SWVideoRecorder : public AVCallback, public std::enable_shared_from_this<SWVideoRecorder> {
  public:
    // Re-sends of one still frame before the recorder waits for a change or a key-frame request.
    static constexpr unsigned kMaxStaticFrames = 50;

    struct Options {
        // Where the screen comes from; the process-wide display service when null.
        std::shared_ptr<platform::display::DisplayService> display;
        // Wall-clock seconds for the still-frame policy; the system clock when empty.
        std::function<double()> now;
        // Stamps of the raw frames; the process-wide media clock when null.
        const SWTimeUtils* clock = nullptr;
        // Draw the cursor; the settings' cursor option (off) when empty, so the cursor is drawn.
        std::optional<bool> showCursor;
        // Pause between two attempts to find a display.
        double retryInterval = 0.1;
        // Period of the still-frame timer.
        double stillInterval = 0.02;
        // Where kSystemResolutionDidChange is posted; the process's centre when null.
        platform::foundation::NotificationCenter* notificationCenter = nullptr;
    };

    static std::shared_ptr<SWVideoRecorder> create();
    static std::shared_ptr<SWVideoRecorder> create(Options options);
    ~SWVideoRecorder() override;

    // The raw video queue: kept weakly and handed to the encoder.
    void setVideoOutputBuffer(const std::shared_ptr<RawVideoQueue>& queue);
    // The encoded video queue: kept weakly.
    void setEncodedVideoBuffer(const std::shared_ptr<EncodedVideoQueue>& queue);

    // Ends what an earlier begin started, starts the encoder, waits for a display (trying every
    // retryInterval), then starts the stream and the still-frame timer. Its caller ends it with cancel:
    // once that is requested (before the call or during it), it returns without starting anything more,
    // after at most the display call under way; what it made is endRecorder()'s to undo. Nothing else
    // cancels it, so a begin never cancels itself.
    void beginRecorder(std::stop_token cancel);
    // Stops the encoder (waiting for its thread), the timer and the stream. Any thread but the recorder
    // queue; not while a beginRecorder() runs (cancel it and let it return first).
    void endRecorder();

    // From the encoder thread: into the encoded video queue, waiting as long as the consumer needs but
    // not past a stop of the queue or of the encoder; dropped when it cannot be queued.
    void onOutputMediaData(MediaPacket packet) override;
    // A capture-output entry for pictures that come from elsewhere than the display stream; nothing
    // connects it. On the recorder queue (waiting for it): counts as a new frame and is enqueued.
    void captureOutputDidOutputSampleBuffer(const platform::display::PixelBufferRef& imageBuffer);

    // Puts one frame into the raw video queue (0.02 s), marked as a key frame when one was asked for.
    // Runs on the recorder queue.
    bool enqueueDesktopImage(const platform::display::PixelBufferRef& buffer);

    void setNeedsKeyFrame(bool needs) { needsKeyFrame_.store(needs); }
    bool needsKeyFrame() const { return needsKeyFrame_.load(); }
    void setTargetFrameRate(unsigned fps) { targetFrameRate_.store(fps ? fps : 1); }
    unsigned targetFrameRate() const { return targetFrameRate_.load(); }

    // Creates the display stream of the main display at its largest mode; false without a display.
    bool createRecorderQueue();
    // The widest mode; of equal widths the greatest height.
    static platform::display::DisplayMode getLargestResolution(
        const std::vector<platform::display::DisplayMode>& modes);

    SWSoftwareEncoder& encoder() { return *encoder_; }
    const platform::dispatch::QueuePtr& recorderQueue() const { return queue_; }
    bool isCapturing() const;

  private:
    explicit SWVideoRecorder(Options options);
    void onFrame(platform::display::FrameStatus status, const platform::display::PixelBufferRef& frame);
    void fixStillPictureIssue();
    double now() const;

    Options options_;
    std::shared_ptr<platform::display::DisplayService> display_;
    std::unique_ptr<SWSoftwareEncoder> encoder_;
    platform::dispatch::QueuePtr queue_;  // "quillaran_screen_recorder"
    std::atomic<bool> needsKeyFrame_{false};
    std::atomic<unsigned> targetFrameRate_{23};

    mutable std::mutex mutex_;  // guards the fields below
    bool streamStarted_ = false;
    std::shared_ptr<platform::display::DisplayStream> displayStream_;
    std::shared_ptr<platform::dispatch::Semaphore> stopVideoRecorderSemaphore_;
    std::shared_ptr<platform::dispatch::TimerSource> stillPictureDispatch_;
    bool timerRunning_ = false;
    std::weak_ptr<RawVideoQueue> videoOutputBuffer_;
    std::weak_ptr<EncodedVideoQueue> encodedVideoBuffer_;

    // Only touched on the recorder queue.
    platform::display::PixelBufferRef previousScreenRef_;
    double lastFrameTime_ = 0;
    double lastInsertTime_ = 0;
    unsigned staticFrameCount_ = 0;
};

}  // namespace quill
