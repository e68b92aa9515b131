#include "media/Mp3Packetizer.h"

#include "media/MediaPacket.h"
#include "platform/foundation/SysLog.h"

namespace quill {

bool Mp3Packetizer::isExpectedHeader(uint8_t b0, uint8_t b1, uint8_t b2) {
    // 11 sync bits; version MPEG-1 (11) and layer III (01), with or without CRC; bitrate index 9
    // (128 kbit/s); sampling-rate index 0 (44.1 kHz).
    return b0 == 0xFF && (b1 & 0xFE) == 0xFA && (b2 >> 4) == 0x9 && ((b2 >> 2) & 0x3) == 0;
}

void Mp3Packetizer::composeAudioPacket(const uint8_t* bytes, size_t n, uint32_t timestamp) {
    // The pending stream is bufferPool_ followed by bytes[pos, n).
    size_t pos = 0;
    auto pending = [&] { return bufferPool_.size() + (n - pos); };
    auto at = [&](size_t i) {
        return i < bufferPool_.size() ? bufferPool_[i] : bytes[pos + i - bufferPool_.size()];
    };
    auto drop = [&](size_t k) {
        const size_t fromPool = std::min(k, bufferPool_.size());
        bufferPool_.erase(bufferPool_.begin(), bufferPool_.begin() + static_cast<std::ptrdiff_t>(fromPool));
        pos += k - fromPool;
        discarded_ += k;
    };

    bool first = true;
    while (pending() >= 3) {
        if (!isExpectedHeader(at(0), at(1), at(2))) {
            // Skip to the next place where a header of the expected kind could start.
            size_t skip = 1;
            while (skip + 2 < pending() && !isExpectedHeader(at(skip), at(skip + 1), at(skip + 2)))
                ++skip;
            if (discarded_ == 0) sysLog("audio encoder: MP3 stream out of step, skipping to the next frame");
            drop(skip);
            continue;
        }
        const size_t f = frameLength(at(2));
        const size_t p = pending();
        // After the first frame, a frame is cut only while a whole padded frame's worth is pending; the
        // rest waits for the next call.
        if (p < f || (!first && p < kPaddedFrameBytes)) break;
        const uint32_t stamp = adjustedAudioTimeStamp(timestamp, p);
        if (!bufferPool_.empty()) {
            const size_t need = f - bufferPool_.size();
            bufferPool_.insert(bufferPool_.end(), bytes + pos, bytes + pos + need);
            pos += need;
            handler_(std::span<const uint8_t>(bufferPool_.data(), f), stamp);
            bufferPool_.clear();
        } else {
            handler_(std::span<const uint8_t>(bytes + pos, f), stamp);
            pos += f;
        }
        first = false;
    }
    bufferPool_.insert(bufferPool_.end(), bytes + pos, bytes + n);
}

}  // namespace quill
