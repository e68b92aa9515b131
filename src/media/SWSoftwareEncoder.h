#pragma once
// H.264 encoding of screen frames with x264 at the system's fixed low-latency settings. The encoder core
// (size rules, parameters, reopening on a size change, the frame-rate count) is usable on its own; the
// encoder thread around it takes raw frames from the raw video queue and hands every NAL unit upward
// as a video media packet.

#include <cstdint>
// x264.h needs the fixed-width integer types first.
#include <x264.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "media/SWBaseEncoder.h"
#include "platform/display/PixelBuffer.h"
#include "platform/display/PixelTransfer.h"

namespace quill {

class SWSoftwareEncoder : public SWBaseEncoder {
  public:
    // One entry of the statistics: when a frame was encoded (wall-clock seconds), what its scaling and
    // conversion ("covertTime") and x264 ("encodeTime") took, seconds of wall clock, and what its
    // enqueueing cost (not measured, so 0).
    struct FrameStat {
        double timestamp = 0;
        double covertTime = 0;
        double encodeTime = 0;
        double enqueuecost = 0;
    };
    // The statistics window, seconds.
    static constexpr double kStatWindow = 1.0;

    static constexpr uint32_t kMaxEncodeWidth = 1920;
    static constexpr uint32_t kMaxEncodeHeight = 1080;
    static constexpr unsigned kMinEncodingFps = 15;

    // x264's encoding call, which a test may replace to see what x264 is given.
    using EncodeCall = int (*)(x264_t*, x264_nal_t** nals, int* count, x264_picture_t* in,
                               x264_picture_t* out);

    SWSoftwareEncoder();
    // wallClock: seconds of wall clock for the statistics' stamps; the system clock when empty.
    explicit SWSoftwareEncoder(std::function<double()> wallClock,
                               EncodeCall encodeCall = &x264_encoder_encode);
    ~SWSoftwareEncoder() override;
    SWSoftwareEncoder(const SWSoftwareEncoder&) = delete;
    SWSoftwareEncoder& operator=(const SWSoftwareEncoder&) = delete;

    // The encoding size for a source: limited to 1920 x 1080 side by side; when either source side is
    // not a multiple of 16, each limited side that is not is raised to the next multiple of 16.
    static std::pair<uint32_t, uint32_t> encodingSize(uint32_t srcWidth, uint32_t srcHeight);

    // Fills the x264 parameters for the current encoding size and frame rate.
    void setupX264();
    // Opens the encoder when closed; true when one is open afterwards.
    bool openEncoder();
    // With an open encoder: closes and reopens it with the current parameters. False when none was open
    // or reopening failed (the encoder is then closed).
    bool reconfigEncoder();
    // Closes the encoder when open; always true.
    bool closeEncoder();
    bool isEncoderOpen() const { return x264_encoder_ != nullptr; }

    // Counts the frame into the last second's frame rate.
    void calcFramerate(uint32_t timestamp);
    // Adds one frame's entry to the statistics and drops the entries older than the window (taken from
    // the new entry's stamp), with their enqueue cost.
    void refreshRateInfo(const FrameStat& entry);

    // Encodes one raw frame (NV12 or I420 of any size), reopening the encoder at a new source size.
    // On success `nals` holds the NAL units of the output in order, each in Annex-B form with its start
    // code; they stay valid until the next call. False when the frame was dropped (no open encoder,
    // conversion or encoding failed). Called on one thread only.
    bool encodeFrame(const platform::display::PixelBuffer& frame, uint32_t timestamp, bool keyframe,
                     std::vector<std::span<const uint8_t>>& nals);

    uint32_t srcWidth() const { return srcWidth_; }
    uint32_t srcHeight() const { return srcHeight_; }
    uint32_t dstWidth() const { return dstWidth_; }
    uint32_t dstHeight() const { return dstHeight_; }
    unsigned currFps() const { return currFps_; }
    unsigned encodingFps() const { return encodingFps_; }
    const x264_param_t& x264Param() const { return x264_param_; }

    // The statistics of the frames encoded in the last second, oldest first; any thread. The enqueue
    // total follows the entries' enqueue costs; nothing adds to the conversion total (each entry holds
    // its own conversion time).
    std::vector<FrameStat> statArray() const;
    double totalConvertCost() const;
    double totalEnqueueCost() const;

  private:
    void encoderThreadBegins() override;
    void encodeRawFrame(const RawVideoFrame& frame) override;
    void encoderThreadEnds() override;

    x264_param_t x264_param_{};
    x264_t* x264_encoder_ = nullptr;
    uint32_t srcWidth_ = 0;
    uint32_t srcHeight_ = 0;
    uint32_t dstWidth_ = 1360;
    uint32_t dstHeight_ = 768;
    unsigned currFps_ = 0;
    unsigned encodingFps_ = 0;
    std::deque<uint32_t> tsArray_;
    // x264's own presentation times: strictly increasing for each opened encoder, whatever the frames'
    // wall-clock stamps do (a clock step back, the 32-bit wrap).
    int64_t nextPts_ = 0;
    std::function<double()> wallClock_;
    EncodeCall encodeCall_;
    mutable std::mutex statMutex_;
    std::deque<FrameStat> statArray_;
    double totalConvertCost_ = 0;
    double totalEnqueueCost_ = 0;
    platform::display::PixelTransfer transfer_;
    std::unique_ptr<platform::display::PixelBuffer> picture_;  // the frame scaled to the encoding size
    std::vector<std::span<const uint8_t>> nals_;               // the encoder thread's last output
};

}  // namespace quill
