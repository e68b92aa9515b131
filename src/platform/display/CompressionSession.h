#pragma once
// An H.264 compression session: pictures in, encoded frames out as length-prefixed NAL units together
// with the stream's parameter sets. Backed by libavcodec: with hardware acceleration enabled a hardware
// encoder of the machine is tried first, libx264 otherwise or when none opens.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/display/PixelBuffer.h"
#include "platform/display/PixelTransfer.h"
#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace quill::platform::display {

enum class H264Profile { Baseline, Main, High };

struct CompressionProperties {
    bool hardwareAcceleration = true;
    bool allowFrameReordering = false;
    bool realTime = true;
    double expectedFrameRate = 30;
    int maxKeyFrameInterval = 250;
    int64_t averageBitRate = 0;       // bits per second; 0 leaves the encoder's default
    int64_t dataRateLimitBytes = 0;   // at most this many bytes ...
    double dataRateLimitSeconds = 0;  // ... in this many seconds; 0 for no limit
    H264Profile profile = H264Profile::High;
    int maxFrameDelayCount = 1;
    bool cabac = true;
};

struct EncodedFrame {
    Bytes data;                    // the frame's NAL units, each after a 4-byte big-endian length
    Bytes sps;                     // sequence parameter set, without start code
    Bytes pps;                     // picture parameter set, without start code
    int64_t presentationTime = 0;  // as given to encodeFrame
    bool keyFrame = false;
};

// Called on the thread that calls encodeFrame() or completeFrames().
using CompressionOutput = std::function<void(const EncodedFrame& frame)>;

class CompressionSession {
  public:
    static std::unique_ptr<CompressionSession> create(int width, int height,
                                                      const CompressionProperties& properties,
                                                      CompressionOutput output, Error* error = nullptr);
    ~CompressionSession();
    CompressionSession(const CompressionSession&) = delete;
    CompressionSession& operator=(const CompressionSession&) = delete;

    // Encodes a picture of any size and of NV12, I420 or BGRA (scaled to the session's size);
    // presentationTime is in milliseconds.
    bool encodeFrame(const PixelBuffer& picture, int64_t presentationTime, bool forceKeyFrame,
                     Error* error = nullptr);
    // Hands out every frame still inside the encoder.
    bool completeFrames(Error* error = nullptr);
    // Ends the session; later calls fail.
    void invalidate();

    int width() const { return width_; }
    int height() const { return height_; }
    // The libavcodec encoder in use, e.g. "libx264".
    const std::string& encoderName() const { return encoderName_; }

    // Splits an Annex-B byte stream into its NAL units (without start codes).
    static std::vector<std::pair<const uint8_t*, size_t>> splitAnnexB(const uint8_t* data, size_t size);

  private:
    CompressionSession(int width, int height, CompressionOutput output);
    bool open(const std::string& name, const CompressionProperties& properties);
    bool drain(Error* error);
    void readParameterSets();

    int width_;
    int height_;
    CompressionOutput output_;
    std::string encoderName_;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::shared_ptr<PixelBufferPool> pool_;
    PixelTransfer transfer_;
    Bytes sps_;
    Bytes pps_;
    int64_t lastPts_ = -1;
    // Caller time stamps by the encoder's own increasing time stamps, oldest first.
    std::deque<std::pair<int64_t, int64_t>> times_;
};

}  // namespace quill::platform::display
