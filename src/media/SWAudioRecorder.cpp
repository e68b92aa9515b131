#include "media/SWAudioRecorder.h"

namespace quill {

namespace avcapture = platform::avcapture;

std::shared_ptr<SWAudioRecorder> SWAudioRecorder::create(DeviceProvider devices, SWTimeUtils& clock) {
    std::shared_ptr<SWAudioRecorder> recorder(new SWAudioRecorder(std::move(devices), clock));
    recorder->encoder_->setAvCallback(recorder);
    return recorder;
}

SWAudioRecorder::SWAudioRecorder(DeviceProvider devices, SWTimeUtils& clock)
    : devices_(devices ? std::move(devices) : DeviceProvider(&avcapture::CaptureDevice::defaultAudioDevice)),
      encoder_(std::make_unique<SWAudioEncoder>(clock)) {}

SWAudioRecorder::~SWAudioRecorder() {
    endRecorder();
}

void SWAudioRecorder::setRawAudioQueue(const std::shared_ptr<RawAudioQueue>& queue) {
    if (queue) {
        queue->setDestroyBlock([](SampleBufferPtr buffer) {
            if (buffer) buffer->invalidate();
        });
    }
    {
        std::lock_guard lock(mutex_);
        rawAudioQueue_ = queue;
    }
    encoder_->setInputQueue(queue);
}

void SWAudioRecorder::setEncodedAudioQueue(const std::shared_ptr<EncodedAudioQueue>& queue) {
    std::lock_guard lock(mutex_);
    encodedAudioQueue_ = queue;
}

avcapture::CaptureSessionPtr SWAudioRecorder::captureSession() const {
    std::lock_guard lock(mutex_);
    return captureSession_;
}

void SWAudioRecorder::createSeesion() {
    auto session = std::make_shared<avcapture::CaptureSession>();
    auto queue = platform::dispatch::Queue::serial(kCaptureQueueLabel);
    // No device means a session that runs without input, and so no sound packets.
    session->setInput(devices_());
    session->setSampleBufferDelegate(weak_from_this(), queue);
    captureSession_ = std::move(session);
    captureQueue_ = std::move(queue);
}

void SWAudioRecorder::beginRecroder() {
    avcapture::CaptureSessionPtr session;
    {
        std::lock_guard lock(mutex_);
        if (!captureSession_) createSeesion();
        session = captureSession_;
    }
    if (!session->isRunning()) session->startRunning();
    encoder_->beginEncodeAudio();
}

void SWAudioRecorder::endRecorder() {
    encoder_->endEncodeAudio();
    avcapture::CaptureSessionPtr session;
    {
        std::lock_guard lock(mutex_);
        session = std::move(captureSession_);
        captureQueue_.reset();
    }
    if (session && session->isRunning()) session->stopRunning();
}

void SWAudioRecorder::captureOutputDidOutputSampleBuffer(const SampleBufferPtr& sampleBuffer) {
    if (!sampleBuffer || !sampleBuffer->isValid()) return;
    std::shared_ptr<RawAudioQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = rawAudioQueue_.lock();
    }
    if (!queue) return;
    SampleBufferPtr item = sampleBuffer;
    // Capture never waits: when the encoder is behind, the sound is dropped.
    if (!queue->put(std::move(item), 0.0)) sampleBuffer->invalidate();
}

void SWAudioRecorder::onOutputMediaData(MediaPacket packet) {
    std::shared_ptr<EncodedAudioQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = encodedAudioQueue_.lock();
    }
    if (!queue) return;  // the packet is freed here
    // Wait as long as the consumer needs, but not past the end of the encoder or a stop of the queue,
    // so that ending the recorder never hangs on a queue that nobody drains. A failed put leaves the
    // packet ours; it is freed when we give up.
    while (!queue->put(std::move(packet), SWAudioEncoder::kTakeTimeout)) {
        if (queue->isStopped() || !encoder_->isEncoderRunning()) return;
    }
}

}  // namespace quill
