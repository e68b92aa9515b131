#pragma once
// What every video encoder shares: the raw video queue it takes frames from, the callback it hands
// packets to (both held weakly: the recorder owns the encoder), and the encoder thread that feeds one
// to the other. An encoder supplies the steps of that thread as hooks.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "media/DataQueue.h"
#include "media/MediaPacket.h"
#include "platform/display/PixelBuffer.h"

namespace quill {

// One captured screen frame on its way to the encoder. The picture stays out of its pool while the
// item (or anyone else) holds it.
struct RawVideoFrame {
    platform::display::PixelBufferRef buffer;
    uint32_t timestamp = 0;  // media-clock milliseconds, low 32 bits
    bool keyframe = false;
};

using RawVideoQueue = DataQueue<RawVideoFrame>;
using EncodedVideoQueue = DataQueue<MediaPacket>;

class SWBaseEncoder {
  public:
    // When the encoder thread rests for its 10 ms between frames.
    enum class Pacing {
        RestEveryPass,  // before every take, frame or not
        RestWhenIdle,   // only while there is no raw video queue to take from
    };

    virtual ~SWBaseEncoder();
    SWBaseEncoder(const SWBaseEncoder&) = delete;
    SWBaseEncoder& operator=(const SWBaseEncoder&) = delete;

    void setVaCallback(std::weak_ptr<AVCallback> callback) {
        std::lock_guard lock(mutex_);
        vaCallback_ = std::move(callback);
    }
    void setRawVideoInput(std::weak_ptr<RawVideoQueue> queue) {
        std::lock_guard lock(mutex_);
        rawVideoInput_ = std::move(queue);
    }

    // Starts the encoder thread when none runs.
    void start();
    // Ends the encoder thread and waits for it; the thread closes the encoder on its way out.
    void stop();
    bool isRunning() const;
    // True from the moment stop() asks the thread to end; for waits on the thread that must give up.
    bool stopRequested() const { return stopRequested_.load(); }

  protected:
    // threadName: the encoder thread's name as the system shows it (at most 15 characters).
    SWBaseEncoder(const char* threadName, Pacing pacing) : threadName_(threadName), pacing_(pacing) {}

    std::shared_ptr<AVCallback> vaCallback() const {
        std::lock_guard lock(mutex_);
        return vaCallback_.lock();
    }
    std::shared_ptr<RawVideoQueue> rawVideoInput() const {
        std::lock_guard lock(mutex_);
        return rawVideoInput_.lock();
    }

    // The encoder thread's steps, all called on that thread: once before the first frame, once for every
    // raw frame with a picture, once on the way out. The hooks run while the thread does, so a derived
    // encoder calls stop() in its own destructor.
    virtual void encoderThreadBegins() = 0;
    virtual void encodeRawFrame(const RawVideoFrame& frame) = 0;
    virtual void encoderThreadEnds() = 0;

  private:
    void workingThreadFun(std::stop_token stop);

    const char* const threadName_;
    const Pacing pacing_;
    mutable std::mutex mutex_;
    std::weak_ptr<AVCallback> vaCallback_;
    std::weak_ptr<RawVideoQueue> rawVideoInput_;
    mutable std::mutex threadMutex_;
    std::jthread encodingThread_;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace quill
