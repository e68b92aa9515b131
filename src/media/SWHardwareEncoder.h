#pragma once
// The encoder over the platform's compression session (a hardware H.264 encoder where the machine has
// one). Nothing in the system creates it; it packs each encoded frame, with both parameter sets in
// front, into one video media packet.

#include <memory>

#include "media/SWBaseEncoder.h"
#include "platform/display/CompressionSession.h"

namespace quill {

class SWHardwareEncoder : public SWBaseEncoder {
  public:
    static constexpr int kInitialWidth = 1280;
    static constexpr int kInitialHeight = 800;

    SWHardwareEncoder();
    ~SWHardwareEncoder() override;

    // The session settings: High profile, CABAC, no reordering, real time, 23 frames per second
    // expected, a key frame at least every 2000 frames.
    static platform::display::CompressionProperties sessionProperties();
    // (Re)creates the session for pictures of this size; false (logged) when none can be made.
    bool createCompressionSessionWithSize(int width, int height);
    // Encodes one picture; its packets go to the callback. timestamp: media-clock milliseconds.
    bool compress(const platform::display::PixelBuffer& picture, uint32_t timestamp, bool forceKeyFrame);

    // One encoded frame as a video packet: start code, SPS, start code, PPS, then the frame's NAL units
    // with each 4-byte length prefix replaced by a start code.
    static MediaPacket packFrame(const platform::display::EncodedFrame& frame, uint32_t timestamp);

    int encodeWidth() const { return encodeWidth_; }
    int encodeHeight() const { return encodeHeight_; }
    const platform::display::CompressionSession* session() const { return session_.get(); }

  private:
    void encoderThreadBegins() override;
    void encodeRawFrame(const RawVideoFrame& frame) override;
    void encoderThreadEnds() override;
    void vtCompressionCallback(const platform::display::EncodedFrame& frame);

    std::unique_ptr<platform::display::CompressionSession> session_;
    int encodeWidth_ = 0;
    int encodeHeight_ = 0;
};

}  // namespace quill
