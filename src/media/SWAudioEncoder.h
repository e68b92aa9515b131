#pragma once
// The MP3 encoder stage: a thread that takes captured sample buffers from the raw audio queue, encodes
// them with LAME and cuts the stream into audio media packets, each handed to the callback.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "media/DataQueue.h"
#include "media/MediaPacket.h"
#include "media/Mp3Encoder.h"
#include "media/Mp3Packetizer.h"
#include "media/SWTimeUtils.h"
#include "platform/avcapture/SampleBuffer.h"

namespace quill {

using SampleBufferPtr = platform::avcapture::SampleBufferPtr;
using RawAudioQueue = DataQueue<SampleBufferPtr>;
using EncodedAudioQueue = DataQueue<MediaPacket>;

class SWAudioEncoder {
  public:
    // Wait for a sample buffer in one pass of the encoder loop, in seconds.
    static constexpr double kTakeTimeout = 0.1;

    explicit SWAudioEncoder(SWTimeUtils& clock = SWTimeUtils::singleton());
    // Ends the thread if it still runs.
    ~SWAudioEncoder();
    SWAudioEncoder(const SWAudioEncoder&) = delete;
    SWAudioEncoder& operator=(const SWAudioEncoder&) = delete;

    void setInputQueue(std::weak_ptr<RawAudioQueue> queue);
    void setAvCallback(std::weak_ptr<AVCallback> callback);

    // Starts the encoder thread unless one exists.
    void beginEncodeAudio();
    // Ends the loop and waits for the thread (at most one take time-out, at once after a stop of the
    // input queue).
    void endEncodeAudio();
    bool isEncoderRunning() const { return isEncoderRunning_.load(); }

    // Cuts n new MP3 bytes, encoded from a call stamped timestamp, into packets for the callback. Runs on
    // the encoder thread; public for tests.
    void composeAudioPacket(const uint8_t* bytes, int lenth, uint32_t timestamp);
    // Bytes carried over to the next call.
    size_t preLen() const { return packetizer_.preLen(); }

  private:
    void executeAudioEncode();
    void encodeSampleBuffer(const SampleBufferPtr& buffer);

    SWTimeUtils& clock_;
    std::mutex mutex_;  // guards the two references and the thread object
    std::weak_ptr<RawAudioQueue> inputQueue_;
    std::weak_ptr<AVCallback> avCallback_;
    std::thread encodeThread_;
    std::atomic<bool> isEncoderRunning_{false};

    // Used on the encoder thread only.
    Mp3Encoder audioEncoder_;
    Mp3Packetizer packetizer_;
    std::vector<uint8_t> frameBuffer_;
};

}  // namespace quill
