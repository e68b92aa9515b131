#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "media/SWAudioRecorder.h"
#include "platform/foundation/SysLog.h"
#include "support/BigEndian.h"
#include "support/FfmpegDecode.h"
#include "support/ToneAnalysis.h"

namespace quill {
namespace {

using quill::testing::readBE32;

using namespace std::chrono_literals;
namespace avcapture = platform::avcapture;

SampleBufferPtr toneBuffer(double frequency, size_t frames, size_t offset) {
    std::vector<float> s(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(offset + i) / avcapture::kSampleRate;
        s[2 * i] = s[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * frequency * t));
    }
    return std::make_shared<avcapture::SampleBuffer>(std::move(s), 0.0);
}

// Checks one audio packet as it goes on the wire; returns its MP3 frame.
std::vector<uint8_t> checkAudioPacket(const MediaPacket& p) {
    EXPECT_EQ(p.kind(), uint32_t{kMediaKindAudio});
    auto wire = p.wire();
    EXPECT_TRUE(wire.size() == 8 + 417 || wire.size() == 8 + 418) << wire.size();
    EXPECT_EQ(p.wireLength(), wire.size());
    EXPECT_EQ(readBE32(wire.data()), wire.size() - 4);
    const uint8_t* f = wire.data() + 8;
    EXPECT_TRUE(Mp3Packetizer::isExpectedHeader(f[0], f[1], f[2]));
    EXPECT_EQ(wire.size() - 8, (f[2] & 0x02) ? 418u : 417u);
    return std::vector<uint8_t>(f, wire.data() + wire.size());
}

class PacketSink : public AVCallback {
  public:
    void onOutputMediaData(MediaPacket packet) override {
        std::lock_guard lock(mutex_);
        packets.push_back(std::move(packet));
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return packets.size();
    }
    std::mutex mutex_;
    std::vector<MediaPacket> packets;
};

TEST(SWAudioEncoderTest, EncodesQueuedBuffersIntoStampedAudioPackets) {
    SWTimeUtils clock([] { return 1000.0; });  // stamp 1000000 ms
    SWAudioEncoder encoder(clock);
    auto sink = std::make_shared<PacketSink>();
    auto raw = RawAudioQueue::create(64);
    encoder.setInputQueue(raw);
    encoder.setAvCallback(sink);
    encoder.beginEncodeAudio();
    EXPECT_TRUE(encoder.isEncoderRunning());
    // One second of tone in buffers of 4096 frames (each about 3.6 frames of MP3).
    std::vector<SampleBufferPtr> given;
    for (size_t done = 0; done < 44100; done += 4096) {
        given.push_back(toneBuffer(1000, 4096, done));
        SampleBufferPtr item = given.back();
        ASSERT_TRUE(raw->put(std::move(item), 1.0));
    }
    for (int i = 0; i < 500 && (sink->count() < 30 || raw->count() > 0); ++i)
        std::this_thread::sleep_for(10ms);
    raw->stopBlocking();
    const auto before = std::chrono::steady_clock::now();
    encoder.endEncodeAudio();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_FALSE(encoder.isEncoderRunning());

    ASSERT_GE(sink->count(), 30u);
    for (const auto& b : given)
        EXPECT_FALSE(b->isValid()) << "used buffers are invalidated";
    for (const auto& p : sink->packets) {
        checkAudioPacket(p);
        // Stamped before the call's stamp by the sound still pending, at most two frames' worth
        // plus the size of one call's output.
        EXPECT_LE(p.timestamp(), 1000000u);
        EXPECT_GE(p.timestamp(), 1000000u - (4096 / 44.1 + 2 * 26 + 1));
    }
}

TEST(SWAudioEncoderTest, EndsAtOnceWhenItsQueueIsStoppedAndWithoutAnyQueue) {
    SWAudioEncoder encoder;
    auto raw = RawAudioQueue::create(3);
    encoder.setInputQueue(raw);
    encoder.beginEncodeAudio();
    raw->stopBlocking();
    encoder.endEncodeAudio();
    EXPECT_FALSE(encoder.isEncoderRunning());

    platform::foundation::LogCapture log;
    SWAudioEncoder orphan;
    orphan.beginEncodeAudio();
    for (int i = 0; i < 200 && orphan.isEncoderRunning(); ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(orphan.isEncoderRunning());
    EXPECT_TRUE(log.contains("audio encoder: no input queue, stopping"));
    orphan.endEncodeAudio();
}

TEST(SWAudioRecorderTest, FullRawQueueDropsTheBufferAtOnce) {
    auto recorder = SWAudioRecorder::create([] { return nullptr; });
    auto raw = RawAudioQueue::create(1);
    recorder->setRawAudioQueue(raw);
    auto first = toneBuffer(440, 64, 0), second = toneBuffer(440, 64, 64);
    recorder->captureOutputDidOutputSampleBuffer(first);
    const auto before = std::chrono::steady_clock::now();
    recorder->captureOutputDidOutputSampleBuffer(second);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms);
    EXPECT_EQ(raw->count(), 1u);
    EXPECT_TRUE(first->isValid());
    EXPECT_FALSE(second->isValid());
    // Buffers thrown away with the queue are made invalid too.
    raw->clear();
    EXPECT_FALSE(first->isValid());
}

TEST(SWAudioRecorderTest, WithoutInputTheRunGoesOnWithoutPackets) {
    auto recorder = SWAudioRecorder::create([] { return nullptr; });
    auto raw = RawAudioQueue::create(3);
    auto encoded = EncodedAudioQueue::create(3);
    recorder->setRawAudioQueue(raw);
    recorder->setEncodedAudioQueue(encoded);
    platform::foundation::LogCapture log;
    recorder->beginRecroder();
    EXPECT_FALSE(encoded->take(0.2).has_value());
    raw->stopBlocking();
    encoded->stopBlocking();
    recorder->endRecorder();
    EXPECT_EQ(log.count("sound capture: no input device, running without sound"), 1u);
    EXPECT_FALSE(recorder->captureSession());
}

TEST(SWAudioRecorderTest, EndingWithAnUndrainedEncodedQueueDoesNotHang) {
    auto recorder = SWAudioRecorder::create([] { return avcapture::CaptureDevice::synthetic(); });
    auto raw = RawAudioQueue::create(3);
    auto encoded = EncodedAudioQueue::create(1);
    recorder->setRawAudioQueue(raw);
    recorder->setEncodedAudioQueue(encoded);
    recorder->beginRecroder();
    // Nobody takes: the encoder fills the one place and then waits.
    for (int i = 0; i < 300 && encoded->count() < 1; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(encoded->count(), 1u);
    const auto before = std::chrono::steady_clock::now();
    recorder->endRecorder();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
}

// The whole sound path on the synthetic tone: capture on the recorder's queue, bounded queues, LAME, the
// packetizer; the packets' frames, decoded by ffmpeg, are the tone.
TEST(SWAudioRecorderTest, RecordedStreamDecodesToTheCapturedTone) {
    auto recorder = SWAudioRecorder::create([] { return avcapture::CaptureDevice::synthetic(1000.0, 0.5); });
    auto raw = RawAudioQueue::create(3);
    auto encoded = EncodedAudioQueue::create(3);
    recorder->setRawAudioQueue(raw);
    recorder->setEncodedAudioQueue(encoded);

    std::vector<MediaPacket> packets;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) {
            if (auto p = encoded->take(0.05)) packets.push_back(std::move(*p));
        }
    });
    recorder->beginRecroder();
    // About two seconds of sound, bounded.
    for (int i = 0; i < 1000 && recorder->captureSession()->deliveredBufferCount() < 90; ++i)
        std::this_thread::sleep_for(10ms);
    raw->stopBlocking();
    encoded->stopBlocking();
    recorder->endRecorder();
    stop = true;
    sender.join();

    ASSERT_GE(packets.size(), 60u);
    std::vector<uint8_t> stream;
    uint32_t previous = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        auto f = checkAudioPacket(packets[i]);
        stream.insert(stream.end(), f.begin(), f.end());
        // Stamps follow the media clock: they never go back by more than the pending adjustment.
        if (i > 0) {
            EXPECT_GE(packets[i].timestamp() + 2 * 26 + 200, previous);
        }
        previous = packets[i].timestamp();
    }
    std::string failure;
    auto pcm = testing::decodeMp3WithFfmpeg(stream, avcapture::kSampleRate, &failure);
    ASSERT_TRUE(pcm) << failure;
    ASSERT_GT(pcm->size(), 20000u);
    const size_t from = 4096, to = pcm->size() - 4096;
    EXPECT_NEAR(testing::toneFrequency(pcm->data() + from, to - from, avcapture::kSampleRate), 1000.0, 2.0);
}

}  // namespace
}  // namespace quill
