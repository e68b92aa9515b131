#include "media/SWSoftwareEncoder.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/foundation/SysLog.h"

namespace quill {

using platform::display::PixelBuffer;
using platform::display::PixelFormat;

namespace {
uint32_t roundUp16(uint32_t v) {
    return (v + 15u) / 16u * 16u;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// x264's messages go to the system log with everything else instead of to standard error.
void logX264(void*, int level, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    const char* kind = level <= X264_LOG_ERROR ? "error" : level == X264_LOG_WARNING ? "warning" : "info";
    sysLog("x264 [%s]: %s", kind, line.c_str());
}
}  // namespace

SWSoftwareEncoder::SWSoftwareEncoder() : SWSoftwareEncoder(std::function<double()>()) {}

SWSoftwareEncoder::SWSoftwareEncoder(std::function<double()> wallClock, EncodeCall encodeCall)
    : SWBaseEncoder("x264-encoder", Pacing::RestEveryPass),
      wallClock_(std::move(wallClock)),
      encodeCall_(encodeCall) {
    if (!wallClock_) wallClock_ = wallSeconds;
    x264_param_default(&x264_param_);
}

SWSoftwareEncoder::~SWSoftwareEncoder() {
    stop();
    closeEncoder();
}

void SWSoftwareEncoder::encoderThreadBegins() {
    setupX264();
    openEncoder();
    std::lock_guard lock(statMutex_);
    statArray_.clear();
    totalConvertCost_ = 0;
    totalEnqueueCost_ = 0;
}

void SWSoftwareEncoder::encodeRawFrame(const RawVideoFrame& frame) {
    if (!encodeFrame(*frame.buffer, frame.timestamp, frame.keyframe, nals_)) return;
    auto callback = vaCallback();
    if (!callback) return;
    // One packet per NAL unit, all with the frame's time stamp.
    for (auto nal : nals_)
        callback->onOutputMediaData(MediaPacket::video(frame.timestamp, nal));
}

void SWSoftwareEncoder::encoderThreadEnds() {
    closeEncoder();
}

std::pair<uint32_t, uint32_t> SWSoftwareEncoder::encodingSize(uint32_t srcWidth, uint32_t srcHeight) {
    uint32_t w = std::min(srcWidth, kMaxEncodeWidth);
    uint32_t h = std::min(srcHeight, kMaxEncodeHeight);
    if (srcWidth % 16 != 0 || srcHeight % 16 != 0) {
        if (w % 16 != 0) w = roundUp16(w);
        if (h % 16 != 0) h = roundUp16(h);
    }
    return {w, h};
}

void SWSoftwareEncoder::setupX264() {
    encodingFps_ = std::max(currFps_, kMinEncodingFps);
    x264_param_default(&x264_param_);
    x264_param_t& p = x264_param_;
    p.i_threads = 1;
    p.i_sync_lookahead = 0;
    p.i_width = static_cast<int>(dstWidth_);
    p.i_height = static_cast<int>(dstHeight_);
    p.i_frame_reference = 1;
    p.i_keyint_max = 2000;
    p.i_scenecut_threshold = 0;
    p.i_bframe = 0;
    p.i_bframe_adaptive = 0;
    p.b_deblocking_filter = 0;
    p.b_cabac = 0;
    p.i_log_level = X264_LOG_WARNING;
    p.analyse.intra = 0;
    p.analyse.inter = 0;
    p.analyse.b_transform_8x8 = 0;
    p.analyse.i_weighted_pred = 0;
    p.analyse.b_weighted_bipred = 0;
    p.analyse.i_me_method = X264_ME_DIA;
    p.analyse.i_subpel_refine = 0;
    p.analyse.b_mixed_references = 0;
    p.analyse.i_trellis = 0;
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = 4400;
    p.rc.i_vbv_max_bitrate = 5280;
    p.rc.i_vbv_buffer_size = 5280;
    p.rc.i_aq_mode = 0;
    p.rc.b_mb_tree = 0;
    p.rc.i_lookahead = 0;
    p.b_repeat_headers = 1;
    p.b_vfr_input = 0;
    p.i_fps_num = encodingFps_;
    p.b_opencl = 1;
    p.pf_log = &logX264;
}

bool SWSoftwareEncoder::openEncoder() {
    if (!x264_encoder_) {
        x264_encoder_ = x264_encoder_open(&x264_param_);
        nextPts_ = 0;
    }
    return x264_encoder_ != nullptr;
}

bool SWSoftwareEncoder::reconfigEncoder() {
    if (!x264_encoder_) return false;
    closeEncoder();
    return openEncoder();
}

bool SWSoftwareEncoder::closeEncoder() {
    if (x264_encoder_) {
        x264_encoder_close(x264_encoder_);
        x264_encoder_ = nullptr;
    }
    return true;
}

void SWSoftwareEncoder::calcFramerate(uint32_t timestamp) {
    tsArray_.push_back(timestamp);
    while (tsArray_.size() > 1 && static_cast<uint32_t>(tsArray_.back() - tsArray_.front()) > 1000u)
        tsArray_.pop_front();
    currFps_ = static_cast<unsigned>(tsArray_.size());
}

void SWSoftwareEncoder::refreshRateInfo(const FrameStat& entry) {
    std::lock_guard lock(statMutex_);
    statArray_.push_back(entry);
    totalEnqueueCost_ += entry.enqueuecost;
    while (!statArray_.empty() && entry.timestamp - statArray_.front().timestamp > kStatWindow) {
        totalEnqueueCost_ -= statArray_.front().enqueuecost;
        statArray_.pop_front();
    }
}

std::vector<SWSoftwareEncoder::FrameStat> SWSoftwareEncoder::statArray() const {
    std::lock_guard lock(statMutex_);
    return {statArray_.begin(), statArray_.end()};
}

double SWSoftwareEncoder::totalConvertCost() const {
    std::lock_guard lock(statMutex_);
    return totalConvertCost_;
}

double SWSoftwareEncoder::totalEnqueueCost() const {
    std::lock_guard lock(statMutex_);
    return totalEnqueueCost_;
}

bool SWSoftwareEncoder::encodeFrame(const PixelBuffer& frame, uint32_t timestamp, bool keyframe,
                                    std::vector<std::span<const uint8_t>>& nals) {
    nals.clear();
    calcFramerate(timestamp);
    const auto w = static_cast<uint32_t>(frame.width());
    const auto h = static_cast<uint32_t>(frame.height());
    if (w != srcWidth_ || h != srcHeight_) {
        srcWidth_ = w;
        srcHeight_ = h;
        std::tie(dstWidth_, dstHeight_) = encodingSize(w, h);
        setupX264();
        if (!reconfigEncoder()) {
            // A first frame finds no encoder yet (or a failed one): open it now.
            closeEncoder();
            if (!openEncoder()) return false;
        }
    } else if (!x264_encoder_) {
        // The last reopen failed: try once more rather than hand the frame to a closed encoder.
        if (!openEncoder()) return false;
    }
    // x264 copies every input picture into its own NV12 frame. An NV12 frame of the encoding size goes
    // to it as it is; one of the encoding width has only its rows stretched, in one pass into an NV12
    // picture; all others are scaled into planar 4:2:0. The pictures x264 gets are the same either way.
    const bool nv12 = frame.format() == PixelFormat::NV12 && frame.width() == static_cast<int>(dstWidth_);
    const bool asItIs = nv12 && frame.height() == static_cast<int>(dstHeight_);
    const PixelFormat format = nv12 ? PixelFormat::NV12 : PixelFormat::I420;
    if (!asItIs &&
        (!picture_ || picture_->format() != format || picture_->width() != static_cast<int>(dstWidth_) ||
         picture_->height() != static_cast<int>(dstHeight_))) {
        picture_ =
            std::make_unique<PixelBuffer>(format, static_cast<int>(dstWidth_), static_cast<int>(dstHeight_));
    }
    using Clock = std::chrono::steady_clock;
    const auto scaleStart = Clock::now();
    if (!asItIs && !transfer_.transfer(frame, *picture_)) return false;
    const PixelBuffer& picture = asItIs ? frame : *picture_;
    const auto x264Start = Clock::now();

    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = nv12 ? X264_CSP_NV12 : X264_CSP_I420;
    in.img.i_plane = picture.planeCount();
    for (int i = 0; i < picture.planeCount(); ++i) {
        // x264 only reads the planes.
        in.img.plane[i] = const_cast<uint8_t*>(picture.plane(i));
        in.img.i_stride[i] = picture.stride(i);
    }
    in.i_type = keyframe ? X264_TYPE_KEYFRAME : X264_TYPE_AUTO;
    // The packets carry the frame's own stamp; x264 only needs its pictures in order.
    in.i_pts = nextPts_++;

    x264_picture_t out;
    x264_nal_t* nal = nullptr;
    int count = 0;
    const int size = encodeCall_(x264_encoder_, &nal, &count, &in, &out);
    const auto x264End = Clock::now();
    refreshRateInfo({wallClock_(), std::chrono::duration<double>(x264Start - scaleStart).count(),
                     std::chrono::duration<double>(x264End - x264Start).count(), 0});
    if (size < 0) return false;
    if (size > 0) {
        for (int i = 0; i < count; ++i)
            nals.emplace_back(nal[i].p_payload, static_cast<size_t>(nal[i].i_payload));
    }
    return true;
}

}  // namespace quill
