#include "media/SWAudioEncoder.h"

#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"

namespace quill {

SWAudioEncoder::SWAudioEncoder(SWTimeUtils& clock)
    : clock_(clock), packetizer_([this](std::span<const uint8_t> frame, uint32_t stamp) {
          std::shared_ptr<AVCallback> callback;
          {
              std::lock_guard lock(mutex_);
              callback = avCallback_.lock();
          }
          if (callback) callback->onOutputMediaData(MediaPacket::audio(stamp, frame));
      }) {}

SWAudioEncoder::~SWAudioEncoder() {
    endEncodeAudio();
}

void SWAudioEncoder::setInputQueue(std::weak_ptr<RawAudioQueue> queue) {
    std::lock_guard lock(mutex_);
    inputQueue_ = std::move(queue);
}

void SWAudioEncoder::setAvCallback(std::weak_ptr<AVCallback> callback) {
    std::lock_guard lock(mutex_);
    avCallback_ = std::move(callback);
}

void SWAudioEncoder::beginEncodeAudio() {
    std::lock_guard lock(mutex_);
    if (encodeThread_.joinable()) return;
    isEncoderRunning_ = true;
    encodeThread_ = std::thread([this] { executeAudioEncode(); });
}

void SWAudioEncoder::endEncodeAudio() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        isEncoderRunning_ = false;
        thread = std::move(encodeThread_);
    }
    if (thread.joinable()) thread.join();
}

void SWAudioEncoder::executeAudioEncode() {
    platform::foundation::setCurrentThreadName("mp3-encoder");
    if (!audioEncoder_.setup()) {
        // Without an encoder nothing can be sent; the capture side keeps dropping into the full queue.
        isEncoderRunning_ = false;
        return;
    }
    while (isEncoderRunning_.load()) {
        std::shared_ptr<RawAudioQueue> queue;
        {
            std::lock_guard lock(mutex_);
            queue = inputQueue_.lock();
        }
        if (!queue) {
            sysLog("audio encoder: no input queue, stopping");
            break;
        }
        if (auto buffer = queue->take(kTakeTimeout)) encodeSampleBuffer(*buffer);
    }
    // Release what is waiting now (a stopped queue keeps its items for its destroy action instead). Only
    // that much: capture may still be running and would otherwise keep this loop going.
    std::shared_ptr<RawAudioQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = inputQueue_.lock();
    }
    if (queue) {
        for (int64_t left = queue->capacity(); left > 0; --left) {
            auto buffer = queue->take(0.0);
            if (!buffer) break;
            if (*buffer) (*buffer)->invalidate();
        }
    }
    audioEncoder_.close();
    isEncoderRunning_ = false;
}

void SWAudioEncoder::encodeSampleBuffer(const SampleBufferPtr& buffer) {
    if (!buffer || !buffer->isValid()) return;
    frameBuffer_.clear();
    const int n = audioEncoder_.encode(
        buffer->data(), buffer->byteLength() / platform::avcapture::kBytesPerFrame, frameBuffer_);
    buffer->invalidate();
    if (n > 0) composeAudioPacket(frameBuffer_.data(), n, clock_.mediaTimeStamp());
}

void SWAudioEncoder::composeAudioPacket(const uint8_t* bytes, int lenth, uint32_t timestamp) {
    if (lenth <= 0) return;
    packetizer_.composeAudioPacket(bytes, static_cast<size_t>(lenth), timestamp);
}

}  // namespace quill
