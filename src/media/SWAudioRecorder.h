#pragma once
// Sound capture for one mirroring run: a capture session on the default sound input puts each sample
// buffer into the raw audio queue (without waiting: a full queue drops the sound), the encoder thread
// turns them into MP3 packets, and those go into the encoded audio queue.

#include <functional>
#include <memory>
#include <mutex>

#include "media/SWAudioEncoder.h"
#include "platform/avcapture/CaptureSession.h"
#include "platform/dispatch/Dispatch.h"

namespace quill {

class SWAudioRecorder : public platform::avcapture::AudioDataOutputDelegate,
                        public AVCallback,
                        public std::enable_shared_from_this<SWAudioRecorder> {
  public:
    // Chooses the input each time a session is made; by default the system's default sound input.
    using DeviceProvider = std::function<platform::avcapture::CaptureDevicePtr()>;

    static constexpr const char* kCaptureQueueLabel = "quillaran_audio_recorder_queue";

    static std::shared_ptr<SWAudioRecorder> create(DeviceProvider devices = {},
                                                   SWTimeUtils& clock = SWTimeUtils::singleton());
    ~SWAudioRecorder() override;

    // Keeps the queue weakly, makes thrown-away buffers invalid, and hands it to the encoder.
    void setRawAudioQueue(const std::shared_ptr<RawAudioQueue>& queue);
    void setEncodedAudioQueue(const std::shared_ptr<EncodedAudioQueue>& queue);

    // Starts capture (making the session when there is none) and the encoder thread.
    void beginRecroder();
    // Ends the encoder thread (waiting for it), stops capture and drops the session.
    void endRecorder();

    // On the capture queue: the buffer goes into the raw queue at once or is dropped.
    void captureOutputDidOutputSampleBuffer(const SampleBufferPtr& sampleBuffer) override;
    // On the encoder thread: the packet goes into the encoded queue, waiting as long as it takes (until
    // a stop); a packet that cannot be queued is freed.
    void onOutputMediaData(MediaPacket packet) override;

    SWAudioEncoder& encoder() { return *encoder_; }
    platform::avcapture::CaptureSessionPtr captureSession() const;

  private:
    SWAudioRecorder(DeviceProvider devices, SWTimeUtils& clock);
    void createSeesion();

    DeviceProvider devices_;
    std::unique_ptr<SWAudioEncoder> encoder_;
    mutable std::mutex mutex_;
    platform::avcapture::CaptureSessionPtr captureSession_;
    platform::dispatch::QueuePtr captureQueue_;
    std::weak_ptr<RawAudioQueue> rawAudioQueue_;
    std::weak_ptr<EncodedAudioQueue> encodedAudioQueue_;
};

}  // namespace quill
