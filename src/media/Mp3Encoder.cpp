#include "media/Mp3Encoder.h"

#include <lame/lame.h>

#include <algorithm>
#include <cmath>

#include "platform/foundation/SysLog.h"

namespace quill {

Mp3Encoder::Mp3Encoder() : Mp3Encoder(&lame_encode_buffer_interleaved_ieee_float) {}

Mp3Encoder::Mp3Encoder(EncodeCall encodeCall) : encodeCall_(encodeCall) {}

Mp3Encoder::~Mp3Encoder() {
    close();
}

bool Mp3Encoder::setup() {
    if (lame_) return true;
    lame_ = lame_init();
    if (!lame_) {
        sysLog("audio encoder: lame_init failed");
        return false;
    }
    lame_set_num_channels(lame_, kChannels);
    // The capture layer delivers 44.1 kHz; pinning both rates and the bit rate keeps every frame at
    // 417 or 418 bytes, which is what the packetizer and the receiver expect.
    lame_set_in_samplerate(lame_, kSampleRate);
    lame_set_out_samplerate(lame_, kSampleRate);
    lame_set_brate(lame_, kBitRate);
    lame_set_quality(lame_, kQuality);
    lame_set_mode(lame_, JOINT_STEREO);
    const int rc = lame_init_params(lame_);
    if (rc < 0) {
        sysLog("audio encoder: lame_init_params failed (%d)", rc);
        lame_close(lame_);
        lame_ = nullptr;
        return false;
    }
    return true;
}

int Mp3Encoder::encode(const float* interleaved, size_t frames, std::vector<uint8_t>& out) {
    if (!lame_) return -1;
    int total = 0;
    while (frames > 0) {
        const size_t n = std::min(frames, kMaxFramesPerCall);
        const size_t start = out.size();
        const size_t room = worstCaseBytes(n);
        out.resize(start + room);
        // A sound server that mixes in float passes on whatever a program plays: not-a-number, or
        // values far past full scale. LAME stops the process on either, so they never reach it.
        const float* part = interleaved;
        const float* partEnd = interleaved + n * kChannels;
        if (!std::all_of(part, partEnd, [](float x) { return x >= -1.0f && x <= 1.0f; })) {
            limited_.assign(part, partEnd);
            for (float& x : limited_)
                x = std::isfinite(x) ? std::clamp(x, -1.0f, 1.0f) : 0.0f;
            part = limited_.data();
        }
        const int rc =
            encodeCall_(lame_, part, static_cast<int>(n), out.data() + start, static_cast<int>(room));
        if (rc < 0) {
            out.resize(start);
            if (errors_++ == 0)
                sysLog("audio encoder: lame_encode_buffer_interleaved_ieee_float failed (%d)", rc);
            // The earlier parts' bytes stand for samples LAME has taken in: they go out.
            return total > 0 ? total : rc;
        }
        out.resize(start + static_cast<size_t>(rc));
        total += rc;
        interleaved += n * kChannels;
        frames -= n;
    }
    return total;
}

int Mp3Encoder::flush(std::vector<uint8_t>& out) {
    if (!lame_) return -1;
    const size_t start = out.size();
    out.resize(start + 7200);
    const int rc = lame_encode_flush(lame_, out.data() + start, 7200);
    out.resize(start + static_cast<size_t>(std::max(rc, 0)));
    return rc;
}

void Mp3Encoder::close() {
    if (lame_) {
        lame_close(lame_);
        lame_ = nullptr;
    }
}

}  // namespace quill
