#pragma once
// LAME, set up the way the audio pipeline needs it: 44.1 kHz interleaved stereo float in, joint-stereo
// MPEG-1 Layer III at 128 kbit/s out (417- and 418-byte frames). Not thread-safe: one thread uses it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

typedef struct lame_global_struct lame_global_flags;

namespace quill {

class Mp3Encoder {
  public:
    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;
    static constexpr int kBitRate = 128;
    static constexpr int kQuality = 6;
    // Frames handed to LAME in one call at most, which bounds the output buffer.
    static constexpr size_t kMaxFramesPerCall = 16384;

    // LAME's encoding call, which a test may replace to make it fail.
    using EncodeCall = int (*)(lame_global_flags*, const float* interleaved, int frames, unsigned char* out,
                               int room);

    Mp3Encoder();
    explicit Mp3Encoder(EncodeCall encodeCall);
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder&) = delete;
    Mp3Encoder& operator=(const Mp3Encoder&) = delete;

    // Creates and configures the LAME handle. False (and logged) when LAME refuses.
    bool setup();
    bool isSetUp() const { return lame_ != nullptr; }
    // Encodes frames interleaved stereo frames (2 floats each, full scale +-1), in parts of at most
    // kMaxFramesPerCall. Appends what LAME produced to out and returns the number of bytes appended. A
    // part that LAME refuses ends the call (logged): its samples and those after it are lost, but what
    // the parts before it produced stays appended and counted, since LAME has consumed their samples.
    // Negative (LAME's error code) only when a part failed and nothing was appended. LAME stops the
    // process on samples that are not finite numbers or lie far past full scale, so samples are
    // limited to [-1, 1] first, and those that are not finite numbers are encoded as silence.
    int encode(const float* interleaved, size_t frames, std::vector<uint8_t>& out);
    // Whatever LAME still holds, as final frames (padded with silence). Appends to out.
    int flush(std::vector<uint8_t>& out);
    void close();

    // LAME's documented worst case for an output buffer of one call over frames sample frames.
    static size_t worstCaseBytes(size_t frames) { return frames + frames / 4 + 7200; }

  private:
    EncodeCall encodeCall_;
    lame_global_flags* lame_ = nullptr;
    uint64_t errors_ = 0;
    std::vector<float> limited_;  // a part's samples limited to full scale, when any lies outside it
};

}  // namespace quill
