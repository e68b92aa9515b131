#include <gtest/gtest.h>
#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "media/Mp3Encoder.h"
#include "media/Mp3Packetizer.h"
#include "support/FfmpegDecode.h"
#include "support/ToneAnalysis.h"

namespace quill {
namespace {

std::vector<float> tone(double frequency, size_t frames, double amplitude = 0.5, size_t offset = 0) {
    std::vector<float> s(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(offset + i) / Mp3Encoder::kSampleRate;
        s[2 * i] = s[2 * i + 1] =
            static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * t));
    }
    return s;
}

TEST(Mp3EncoderTest, RefusesToEncodeBeforeSetup) {
    Mp3Encoder encoder;
    std::vector<uint8_t> out;
    auto samples = tone(440, 1024);
    EXPECT_LT(encoder.encode(samples.data(), 1024, out), 0);
    EXPECT_TRUE(out.empty());
}

// Buffers far larger than one frame's worth are encoded whole: nothing is lost to a small output buffer.
TEST(Mp3EncoderTest, LargeSampleBuffersLoseNothing) {
    Mp3Encoder encoder;
    ASSERT_TRUE(encoder.setup());
    std::vector<uint8_t> out;
    const size_t frames = 5 * Mp3Encoder::kSampleRate;
    auto samples = tone(1000, frames);
    ASSERT_GT(encoder.encode(samples.data(), frames, out), 0);
    ASSERT_GE(encoder.flush(out), 0);
    // 5 s at 128 kbit/s is 80000 bytes, give or take a frame or two of delay.
    EXPECT_NEAR(static_cast<double>(out.size()), 80000.0, 3 * 418.0);
}

// A sound server that mixes in float passes on what a program plays: not-a-number, infinities and values
// far past full scale, on which LAME stops the process. The stream decodes, silent where the samples
// were not numbers, and the sound after the burst comes through.
TEST(Mp3EncoderTest, SamplesThatAreNotNumbersOrFarPastFullScaleAreLimited) {
    Mp3Encoder encoder;
    ASSERT_TRUE(encoder.setup());
    const size_t second = Mp3Encoder::kSampleRate;
    // A second of not-a-number, a second of tone with every 7th sample at an extreme, a second of tone.
    std::vector<float> samples(2 * second, std::numeric_limits<float>::quiet_NaN());
    auto burst = tone(1000, second, 0.5, second);
    const float inf = std::numeric_limits<float>::infinity();
    const float extremes[] = {1e6f, -1e6f, 1e38f, -1e38f, inf, -inf};
    for (size_t i = 0; i < burst.size(); i += 7)
        burst[i] = extremes[i / 7 % std::size(extremes)];
    auto after = tone(1000, second, 0.5, 2 * second);
    samples.insert(samples.end(), burst.begin(), burst.end());
    samples.insert(samples.end(), after.begin(), after.end());

    std::vector<uint8_t> out;
    ASSERT_GT(encoder.encode(samples.data(), 3 * second, out), 0);
    ASSERT_GE(encoder.flush(out), 0);
    std::string failure;
    auto pcm = testing::decodeMp3WithFfmpeg(out, Mp3Encoder::kSampleRate, &failure);
    ASSERT_TRUE(pcm) << failure;
    ASSERT_GE(pcm->size(), 3 * second);
    EXPECT_TRUE(std::all_of(pcm->begin(), pcm->end(), [](float x) { return std::isfinite(x); }));
    // Away from the edges, where the encoder's and decoder's delays sit.
    const size_t margin = 4096;
    EXPECT_LT(testing::rms(pcm->data() + margin, second - 2 * margin), 1e-3);
    const float* tail = pcm->data() + 2 * second + margin;
    EXPECT_NEAR(testing::toneFrequency(tail, second - 2 * margin, Mp3Encoder::kSampleRate), 1000.0, 2.0);
    EXPECT_NEAR(testing::rms(tail, second - 2 * margin), 0.5 / std::sqrt(2.0), 0.05);
}

// LAME refuses the second part of a long buffer: the first part's bytes, whose samples LAME has taken
// in, are still handed back.
TEST(Mp3EncoderTest, APartLameRefusesKeepsWhatTheEarlierPartsEncoded) {
    static int calls;
    calls = 0;
    Mp3Encoder encoder([](lame_global_flags* lame, const float* pcm, int frames, unsigned char* out,
                          int room) {
        return ++calls == 2 ? -1 : lame_encode_buffer_interleaved_ieee_float(lame, pcm, frames, out, room);
    });
    ASSERT_TRUE(encoder.setup());
    const size_t frames = 3 * Mp3Encoder::kMaxFramesPerCall;
    auto samples = tone(1000, frames);
    std::vector<uint8_t> out;
    const int n = encoder.encode(samples.data(), frames, out);
    EXPECT_EQ(calls, 2);
    EXPECT_GT(n, 4000);  // 16384 frames: about 14 MP3 frames
    EXPECT_EQ(static_cast<size_t>(n), out.size());
}

// LAME on a tone, cut by the packetizer, decoded by ffmpeg: every frame well formed and the tone intact.
TEST(Mp3EncoderTest, EncodedTonePacketizesIntoValidFramesThatDecodeToTheTone) {
    Mp3Encoder encoder;
    ASSERT_TRUE(encoder.setup());
    std::vector<std::vector<uint8_t>> frames;
    Mp3Packetizer packetizer(
        [&](std::span<const uint8_t> f, uint32_t) { frames.emplace_back(f.begin(), f.end()); });

    // Two seconds in buffers of varying size, as a device may deliver them.
    const size_t sizes[] = {1024, 512, 4096, 441, 1, 8192, 2048};
    size_t done = 0, k = 0;
    std::vector<uint8_t> out;
    while (done < 2 * static_cast<size_t>(Mp3Encoder::kSampleRate)) {
        const size_t n = sizes[k++ % std::size(sizes)];
        auto samples = tone(1000, n, 0.5, done);
        out.clear();
        ASSERT_GE(encoder.encode(samples.data(), n, out), 0);
        packetizer.composeAudioPacket(out.data(), out.size(), 0);
        done += n;
    }
    EXPECT_EQ(packetizer.discardedBytes(), 0u);
    // 2 s is about 77 frames of 26 ms; allow for LAME's delay.
    EXPECT_GE(frames.size(), 70u);
    std::vector<uint8_t> stream;
    for (const auto& f : frames) {
        ASSERT_TRUE(Mp3Packetizer::isExpectedHeader(f[0], f[1], f[2]));
        ASSERT_EQ(f.size(), (f[2] & 0x02) ? 418u : 417u);
        stream.insert(stream.end(), f.begin(), f.end());
    }

    std::string failure;
    auto pcm = testing::decodeMp3WithFfmpeg(stream, Mp3Encoder::kSampleRate, &failure);
    ASSERT_TRUE(pcm) << failure;
    ASSERT_GT(pcm->size(), static_cast<size_t>(Mp3Encoder::kSampleRate));
    // Measure away from the edges, where the decoder and encoder delays sit.
    const size_t from = 4096, to = pcm->size() - 4096;
    EXPECT_NEAR(testing::toneFrequency(pcm->data() + from, to - from, Mp3Encoder::kSampleRate), 1000.0, 2.0);
    EXPECT_NEAR(testing::rms(pcm->data() + from, to - from), 0.5 / std::sqrt(2.0), 0.05);
}

}  // namespace
}  // namespace quill
