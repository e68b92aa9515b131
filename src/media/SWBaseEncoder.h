#pragma once
// What every video encoder shares: the raw video queue it takes frames from and the callback it hands
// packets to, both held weakly (the recorder owns the encoder).

#include <cstdint>
#include <memory>
#include <mutex>

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
    virtual ~SWBaseEncoder() = default;

    void setVaCallback(std::weak_ptr<AVCallback> callback) {
        std::lock_guard lock(mutex_);
        vaCallback_ = std::move(callback);
    }
    void setRawVideoInput(std::weak_ptr<RawVideoQueue> queue) {
        std::lock_guard lock(mutex_);
        rawVideoInput_ = std::move(queue);
    }

    virtual void start() {}
    virtual void stop() {}

  protected:
    std::shared_ptr<AVCallback> vaCallback() const {
        std::lock_guard lock(mutex_);
        return vaCallback_.lock();
    }
    std::shared_ptr<RawVideoQueue> rawVideoInput() const {
        std::lock_guard lock(mutex_);
        return rawVideoInput_.lock();
    }

  private:
    mutable std::mutex mutex_;
    std::weak_ptr<AVCallback> vaCallback_;
    std::weak_ptr<RawVideoQueue> rawVideoInput_;
};

}  // namespace quill
