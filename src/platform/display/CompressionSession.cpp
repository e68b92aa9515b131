#include "platform/display/CompressionSession.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "platform/display/Display.h"

namespace quill::platform::display {

namespace {

Error avError(int code, const std::string& what) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return displayError(20, what + ": " + text);
}

void putLength(Bytes& out, size_t n) {
    out.push_back(static_cast<uint8_t>(n >> 24));
    out.push_back(static_cast<uint8_t>(n >> 16));
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.push_back(static_cast<uint8_t>(n));
}

void freePicture(void* opaque, uint8_t*) {
    delete static_cast<PixelBufferRef*>(opaque);
}

}  // namespace

std::vector<std::pair<const uint8_t*, size_t>> CompressionSession::splitAnnexB(const uint8_t* data,
                                                                               size_t size) {
    std::vector<std::pair<const uint8_t*, size_t>> units;
    size_t i = 0;
    auto startCodeAt = [&](size_t p) -> size_t {  // length of a start code at p, 0 when none
        if (p + 3 <= size && data[p] == 0 && data[p + 1] == 0 && data[p + 2] == 1) return 3;
        if (p + 4 <= size && data[p] == 0 && data[p + 1] == 0 && data[p + 2] == 0 && data[p + 3] == 1)
            return 4;
        return 0;
    };
    // Skip to the first start code.
    while (i < size && !startCodeAt(i))
        ++i;
    while (i < size) {
        const size_t begin = i + startCodeAt(i);
        size_t end = begin;
        while (end < size && !startCodeAt(end))
            ++end;
        size_t last = end;
        // Zero bytes before the next start code belong to it (trailing zeros of a 4-byte code).
        while (last > begin && data[last - 1] == 0 && end < size)
            --last;
        if (last > begin) units.emplace_back(data + begin, last - begin);
        i = end;
    }
    return units;
}

CompressionSession::CompressionSession(int width, int height, CompressionOutput output)
    : width_(width), height_(height), output_(std::move(output)) {}

CompressionSession::~CompressionSession() {
    invalidate();
}

std::unique_ptr<CompressionSession> CompressionSession::create(int width, int height,
                                                               const CompressionProperties& properties,
                                                               CompressionOutput output, Error* error) {
    if (width <= 0 || height <= 0 || (width % 2) || (height % 2) || !output) {
        if (error) *error = displayError(21, "unsupported compression session settings");
        return nullptr;
    }
    std::unique_ptr<CompressionSession> session(new CompressionSession(width, height, std::move(output)));
    std::vector<std::string> names;
    if (properties.hardwareAcceleration) names = {"h264_nvenc", "h264_qsv", "h264_amf"};
    names.push_back("libx264");
    for (const auto& name : names) {
        if (session->open(name, properties)) return session;
    }
    if (error) *error = displayError(22, "no H.264 encoder could be opened");
    return nullptr;
}

bool CompressionSession::open(const std::string& name, const CompressionProperties& p) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec) return false;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return false;
    c->width = width_;
    c->height = height_;
    c->time_base = AVRational{1, 1000};
    const int fps = std::max(1, static_cast<int>(p.expectedFrameRate + 0.5));
    c->framerate = AVRational{fps, 1};
    c->gop_size = p.maxKeyFrameInterval;
    c->max_b_frames = p.allowFrameReordering ? 2 : 0;
    if (p.averageBitRate > 0) c->bit_rate = p.averageBitRate;
    if (p.dataRateLimitBytes > 0 && p.dataRateLimitSeconds > 0) {
        const auto bits =
            static_cast<int64_t>(static_cast<double>(p.dataRateLimitBytes) * 8 / p.dataRateLimitSeconds);
        c->rc_max_rate = bits;
        c->rc_buffer_size = static_cast<int>(std::min<int64_t>(bits, INT32_MAX));
    }
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // Take NV12 when the encoder does, planar 4:2:0 otherwise.
    c->pix_fmt = AV_PIX_FMT_NONE;
    for (const AVPixelFormat* f = codec->pix_fmts; f && *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == AV_PIX_FMT_NV12) c->pix_fmt = AV_PIX_FMT_NV12;
        if (*f == AV_PIX_FMT_YUV420P && c->pix_fmt == AV_PIX_FMT_NONE) c->pix_fmt = AV_PIX_FMT_YUV420P;
    }
    if (c->pix_fmt == AV_PIX_FMT_NONE) {
        avcodec_free_context(&c);
        return false;
    }
    const char* profile = p.profile == H264Profile::High   ? "high"
                          : p.profile == H264Profile::Main ? "main"
                                                           : "baseline";
    av_opt_set(c->priv_data, "profile", profile, 0);
    av_opt_set(c->priv_data, "coder", p.cabac ? "cabac" : "cavlc", 0);
    av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
    if (name == "libx264") {
        if (p.realTime) {
            av_opt_set(c->priv_data, "preset", "veryfast", 0);
            av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        }
        if (p.maxFrameDelayCount >= 0 && !p.allowFrameReordering)
            av_opt_set(c->priv_data, "x264-params", "sync-lookahead=0:rc-lookahead=0", 0);
    } else {
        av_opt_set_int(c->priv_data, "zerolatency", p.realTime ? 1 : 0, 0);
        av_opt_set_int(c->priv_data, "delay", 0, 0);
    }
    c->thread_count = 1;
    if (avcodec_open2(c, codec, nullptr) < 0) {
        avcodec_free_context(&c);
        return false;
    }
    context_ = c;
    packet_ = av_packet_alloc();
    encoderName_ = name;
    pool_ = PixelBufferPool::create(c->pix_fmt == AV_PIX_FMT_NV12 ? PixelFormat::NV12 : PixelFormat::I420,
                                    width_, height_, 8);
    readParameterSets();
    return packet_ != nullptr;
}

void CompressionSession::readParameterSets() {
    if (!context_->extradata || context_->extradata_size <= 0) return;
    const uint8_t* d = context_->extradata;
    const auto n = static_cast<size_t>(context_->extradata_size);
    if (d[0] == 1 && n > 8) {
        // avcC record: counted, length-prefixed parameter sets.
        size_t i = 5;
        const int spsCount = d[i++] & 0x1f;
        for (int k = 0; k < spsCount && i + 2 <= n; ++k) {
            const size_t len = (size_t(d[i]) << 8) | d[i + 1];
            i += 2;
            if (i + len > n) return;
            if (sps_.empty()) sps_.assign(d + i, d + i + len);
            i += len;
        }
        if (i >= n) return;
        const int ppsCount = d[i++];
        for (int k = 0; k < ppsCount && i + 2 <= n; ++k) {
            const size_t len = (size_t(d[i]) << 8) | d[i + 1];
            i += 2;
            if (i + len > n) return;
            if (pps_.empty()) pps_.assign(d + i, d + i + len);
            i += len;
        }
        return;
    }
    for (auto [unit, len] : splitAnnexB(d, n)) {
        const int type = unit[0] & 0x1f;
        if (type == 7) sps_.assign(unit, unit + len);
        if (type == 8) pps_.assign(unit, unit + len);
    }
}

bool CompressionSession::encodeFrame(const PixelBuffer& picture, int64_t presentationTime, bool forceKeyFrame,
                                     Error* error) {
    if (!context_) {
        if (error) *error = displayError(23, "the compression session is invalid");
        return false;
    }
    PixelBufferRef target = pool_->get();
    if (!target) {
        if (error) *error = displayError(24, "too many frames inside the encoder");
        return false;
    }
    if (!transfer_.transfer(picture, *target)) {
        if (error) *error = displayError(25, "unsupported picture format");
        return false;
    }
    AVFrame* frame = av_frame_alloc();
    if (!frame) return false;
    frame->format = context_->pix_fmt;
    frame->width = width_;
    frame->height = height_;
    for (int i = 0; i < target->planeCount(); ++i) {
        frame->data[i] = target->plane(i);
        frame->linesize[i] = target->stride(i);
    }
    // The frame owns one reference to the picture for as long as the encoder keeps it.
    PixelBuffer* raw = target.get();
    auto* holder = new PixelBufferRef(std::move(target));
    frame->buf[0] = av_buffer_create(raw->plane(0), 1, freePicture, holder, 0);
    if (!frame->buf[0]) {
        delete holder;
        av_frame_free(&frame);
        return false;
    }
    // The encoder needs increasing time stamps; the caller's may repeat or wrap.
    const int64_t pts = std::max(lastPts_ + 1, presentationTime);
    lastPts_ = pts;
    times_.emplace_back(pts, presentationTime);
    frame->pts = pts;
    if (forceKeyFrame) {
        frame->pict_type = AV_PICTURE_TYPE_I;
        frame->key_frame = 1;
    }
    const int rc = avcodec_send_frame(context_, frame);
    av_frame_free(&frame);
    if (rc < 0) {
        times_.pop_back();
        if (error) *error = avError(rc, "avcodec_send_frame");
        return false;
    }
    return drain(error);
}

bool CompressionSession::completeFrames(Error* error) {
    if (!context_) return false;
    const int rc = avcodec_send_frame(context_, nullptr);
    if (rc < 0 && rc != AVERROR_EOF) {
        if (error) *error = avError(rc, "avcodec_send_frame");
        return false;
    }
    return drain(error);
}

bool CompressionSession::drain(Error* error) {
    for (;;) {
        const int rc = avcodec_receive_packet(context_, packet_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            if (error) *error = avError(rc, "avcodec_receive_packet");
            return false;
        }
        EncodedFrame out;
        out.keyFrame = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        out.presentationTime = packet_->pts;
        while (!times_.empty() && times_.front().first < packet_->pts)
            times_.pop_front();
        if (!times_.empty() && times_.front().first == packet_->pts) {
            out.presentationTime = times_.front().second;
            times_.pop_front();
        }
        for (auto [unit, len] : splitAnnexB(packet_->data, static_cast<size_t>(packet_->size))) {
            const int type = unit[0] & 0x1f;
            // Parameter sets travel beside the frame; access unit delimiters are dropped.
            if (type == 7) {
                sps_.assign(unit, unit + len);
                continue;
            }
            if (type == 8) {
                pps_.assign(unit, unit + len);
                continue;
            }
            if (type == 9) continue;
            putLength(out.data, len);
            out.data.insert(out.data.end(), unit, unit + len);
        }
        av_packet_unref(packet_);
        out.sps = sps_;
        out.pps = pps_;
        if (!out.data.empty()) output_(out);
    }
}

void CompressionSession::invalidate() {
    if (context_) avcodec_free_context(&context_);
    if (packet_) av_packet_free(&packet_);
    times_.clear();
}

}  // namespace quill::platform::display
