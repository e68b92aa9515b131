#pragma once
// Cuts the MP3 stream that the encoder produces call by call into whole frames, each with a time stamp
// that accounts for the sound still waiting to be sent. The stream is 128 kbit/s MPEG-1 Layer III at
// 44.1 kHz, so every frame is 417 bytes, or 418 when its padding bit is set, and lasts 26 ms.
//
// Bytes that do not yet make a whole frame are carried over to the next call. A frame's length is read
// from its own header, so nothing is cut before the header's third byte has arrived. Should the stream
// ever not start with a frame header of that kind, the bytes up to the next one are dropped and counted,
// so that one bad byte cannot shift every later frame.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quill {

class Mp3Packetizer {
  public:
    static constexpr size_t kFrameBytes = 417;
    static constexpr size_t kPaddedFrameBytes = 418;
    static constexpr uint32_t kFrameMilliseconds = 26;

    // Receives each whole frame (valid only during the call) and its time stamp.
    using FrameHandler = std::function<void(std::span<const uint8_t> frame, uint32_t timestamp)>;

    explicit Mp3Packetizer(FrameHandler handler) : handler_(std::move(handler)) {}

    // Adds n new bytes whose encoder call was stamped timestamp (media-clock milliseconds, low 32 bits).
    // Each frame cut is stamped timestamp - (P * 26) / 418, P being the bytes pending when it is cut,
    // itself included.
    void composeAudioPacket(const uint8_t* bytes, size_t n, uint32_t timestamp);

    // Bytes carried over to the next call.
    size_t preLen() const { return bufferPool_.size(); }
    // Bytes dropped because they did not start a frame of the expected kind.
    uint64_t discardedBytes() const { return discarded_; }

    // True when the three bytes start an MPEG-1 Layer III frame at 128 kbit/s and 44.1 kHz.
    static bool isExpectedHeader(uint8_t b0, uint8_t b1, uint8_t b2);
    // The frame length that header byte 2 gives: 418 with the padding bit (0x02), else 417.
    static size_t frameLength(uint8_t b2) { return (b2 & 0x02) ? kPaddedFrameBytes : kFrameBytes; }

  private:
    FrameHandler handler_;
    std::vector<uint8_t> bufferPool_;  // the start of an incomplete frame, at most 417 bytes
    uint64_t discarded_ = 0;
};

}  // namespace quill
