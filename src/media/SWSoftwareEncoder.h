#pragma once
// H.264 encoding of screen frames with x264 at the system's fixed low-latency settings. The encoder core
// (size rules, parameters, reopening on a size change, the frame-rate count) is usable on its own; the
// encoder thread around it takes raw frames from the raw video queue and hands every NAL unit upward
// as a video media packet.

#include <cstdint>
// x264.h needs the fixed-width integer types first.
#include <x264.h>

#include <deque>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "media/SWBaseEncoder.h"
#include "platform/display/PixelBuffer.h"
#include "platform/display/PixelTransfer.h"

namespace quill {

class SWSoftwareEncoder : public SWBaseEncoder {
  public:
    static constexpr uint32_t kMaxEncodeWidth = 1920;
    static constexpr uint32_t kMaxEncodeHeight = 1080;
    static constexpr unsigned kMinEncodingFps = 15;

    SWSoftwareEncoder();
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
    // What the last encoded frame cost, wall clock: scaling and conversion into the encoder's picture,
    // and x264 itself. Read on the encoding thread.
    double lastScaleSeconds() const { return lastScaleSeconds_; }
    double lastX264Seconds() const { return lastX264Seconds_; }

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
    double lastScaleSeconds_ = 0;
    double lastX264Seconds_ = 0;
    platform::display::PixelTransfer transfer_;
    std::unique_ptr<platform::display::PixelBuffer> picture_;  // the I420 frame at the encoding size
    std::vector<std::span<const uint8_t>> nals_;               // the encoder thread's last output
};

}  // namespace quill
