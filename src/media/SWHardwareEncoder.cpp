#include "media/SWHardwareEncoder.h"

#include <cstring>

#include "platform/foundation/SysLog.h"

namespace quill {

using namespace platform::display;

namespace {
constexpr uint8_t NALU_HEADER_FLAG[4] = {0, 0, 0, 1};
}  // namespace

SWHardwareEncoder::SWHardwareEncoder() : SWBaseEncoder("hw-encoder", Pacing::RestWhenIdle) {}

SWHardwareEncoder::~SWHardwareEncoder() {
    stop();
}

CompressionProperties SWHardwareEncoder::sessionProperties() {
    CompressionProperties p;
    p.hardwareAcceleration = true;
    p.allowFrameReordering = false;
    p.realTime = true;
    p.expectedFrameRate = 23;
    p.maxKeyFrameInterval = 2000;
    p.averageBitRate = 207360000;
    p.dataRateLimitBytes = 38880000;
    p.dataRateLimitSeconds = 1;
    p.profile = H264Profile::High;
    p.maxFrameDelayCount = 1;
    p.cabac = true;
    return p;
}

bool SWHardwareEncoder::createCompressionSessionWithSize(int width, int height) {
    if (session_) session_->invalidate();
    session_.reset();
    encodeWidth_ = width;
    encodeHeight_ = height;
    // Encoders take even sizes only; the picture is scaled to the size made even.
    const int w = (width + 1) & ~1;
    const int h = (height + 1) & ~1;
    Error error;
    session_ = CompressionSession::create(
        w, h, sessionProperties(), [this](const EncodedFrame& frame) { vtCompressionCallback(frame); },
        &error);
    if (!session_) {
        sysLog("VTCompressionSessionCreate got error");
        return false;
    }
    return true;
}

bool SWHardwareEncoder::compress(const PixelBuffer& picture, uint32_t timestamp, bool forceKeyFrame) {
    if (!session_ || picture.width() != encodeWidth_ || picture.height() != encodeHeight_) {
        if (!createCompressionSessionWithSize(picture.width(), picture.height())) return false;
    }
    return session_->encodeFrame(picture, timestamp, forceKeyFrame);
}

MediaPacket SWHardwareEncoder::packFrame(const EncodedFrame& frame, uint32_t timestamp) {
    // The frame's length prefixes become start codes in place, so the data keeps its size.
    Bytes data = frame.data;
    size_t offset = 0;
    while (offset + 4 <= data.size()) {
        uint32_t len = 0;
        for (int i = 0; i < 4; ++i)
            len = (len << 8) | data[offset + i];
        std::memcpy(data.data() + offset, NALU_HEADER_FLAG, 4);
        // A length running past the end ends the walk: the rest is passed on as it is.
        if (len > data.size() - offset - 4) break;
        offset += 4 + len;
    }
    const size_t n = 4 + frame.sps.size() + 4 + frame.pps.size() + data.size();
    MediaPacket packet = MediaPacket::video(timestamp, n);
    uint8_t* out = packet.payload().data();
    std::memcpy(out, NALU_HEADER_FLAG, 4);
    out += 4;
    if (!frame.sps.empty()) std::memcpy(out, frame.sps.data(), frame.sps.size());
    out += frame.sps.size();
    std::memcpy(out, NALU_HEADER_FLAG, 4);
    out += 4;
    if (!frame.pps.empty()) std::memcpy(out, frame.pps.data(), frame.pps.size());
    out += frame.pps.size();
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    return packet;
}

void SWHardwareEncoder::vtCompressionCallback(const EncodedFrame& frame) {
    auto callback = vaCallback();
    if (!callback) return;
    // Presentation times are media-clock milliseconds, as the packets carry them.
    callback->onOutputMediaData(packFrame(frame, static_cast<uint32_t>(frame.presentationTime)));
}

void SWHardwareEncoder::encoderThreadBegins() {
    createCompressionSessionWithSize(kInitialWidth, kInitialHeight);
}

void SWHardwareEncoder::encodeRawFrame(const RawVideoFrame& frame) {
    compress(*frame.buffer, frame.timestamp, frame.keyframe);
}

void SWHardwareEncoder::encoderThreadEnds() {
    if (session_) {
        session_->completeFrames();
        session_->invalidate();
    }
    session_.reset();
}

}  // namespace quill
