// The PipeWire stream behind PipeWireCapture. The stream runs on a pw_thread_loop of its own; its
// callbacks run there with the loop's lock held. The capture thread meets the PipeWire thread under
// mutex_, which guards the picture held for it and the damage gathered since its last grab; it takes the
// loop's lock only to give back a buffer that was replaced while it read it.
//
// The newest picture is not copied: its pw_buffer is held (not queued back) until a newer one arrives,
// and the capture thread converts straight from the buffer's memory. While it reads, a newer buffer
// takes the held one's place and the one being read is queued back once the read ends (by the capture
// thread, under the loop's lock). PipeWire frees buffers only in remove_buffer (a new format, the end of
// the stream), which waits for a read of that buffer to end.

#include "platform/display/PipeWireCapture.h"

#include <libyuv.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/display/DamageHistory.h"
#include "platform/display/Display.h"
#include "platform/display/PixelTransfer.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::display {

namespace {

using Area = DamageHistory::Area;

// Rectangles of damage gathered between two grabs before they count as the whole picture.
constexpr size_t kMaxGatheredAreas = 64;
// How long remove_buffer waits for the capture thread to finish reading that buffer (one conversion).
constexpr auto kReadWait = std::chrono::seconds(2);

// Whether the format's bytes are R, G, B in memory (libyuv's "ABGR"), which libyuv converts as B, G, R
// ("ARGB") only after swapping; the alpha or padding byte is ignored either way.
bool isRGBOrder(uint32_t format) {
    return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

bool isAccepted(uint32_t format) {
    return format == SPA_VIDEO_FORMAT_BGRx || format == SPA_VIDEO_FORMAT_BGRA || isRGBOrder(format);
}

// The newest picture, in a buffer the capture holds.
struct Picture {
    pw_buffer* buffer = nullptr;
    const uint8_t* pixels = nullptr;
    int width = 0, height = 0, stride = 0;
    bool rgbOrder = false;
};

class PipeWireStreamCapture final : public PipeWireCapture,
                                    public std::enable_shared_from_this<PipeWireStreamCapture> {
  public:
    PipeWireStreamCapture(uint32_t node, EndedHandler ended) : node_(node), endedHandler_(std::move(ended)) {}
    ~PipeWireStreamCapture() override { close(); }

    bool start(int fd, Error* error);

    bool waitForFormat(double timeoutSeconds) override {
        std::unique_lock lock(mutex_);
        cond_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeoutSeconds)),
                       [this] { return width_ > 0 || ended_ || closing_; });
        return width_ > 0 && !ended_ && !closing_;
    }
    int width() const override {
        std::lock_guard lock(mutex_);
        return width_;
    }
    int height() const override {
        std::lock_guard lock(mutex_);
        return height_;
    }
    bool ended() const override {
        std::lock_guard lock(mutex_);
        return ended_ || closing_;
    }
    std::unique_ptr<CaptureSource> makeSource(std::function<void()> onClose) override;
    void close() override;

    // The capture source's side (the capture thread, wake() from any thread).
    bool waitForChange(double timeoutSeconds);
    void wake();
    FrameStatus grab(PixelBuffer& dst);

  private:
    // PipeWire's callbacks, on the PipeWire thread with the loop's lock held.
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
    static void onParamChanged(void* data, uint32_t id, const spa_pod* param);
    static void onProcess(void* data);
    static void onRemoveBuffer(void* data, pw_buffer* buffer);
    static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
    static void onGlobalRemove(void* data, uint32_t id);

    // Takes what changed in this buffer; false when the buffer holds no usable picture.
    bool readBuffer(pw_buffer* b, Picture& picture, std::vector<Area>& damage, bool& whole);
    void queueBack(const std::vector<pw_buffer*>& buffers);
    // Moves the buffers waiting for their read to end, whose read has ended, to back. Under mutex_.
    void takeReleasable(std::vector<pw_buffer*>& back) {
        std::erase_if(release_, [&](pw_buffer* b) {
            if (b == reading_) return false;
            back.push_back(b);
            return true;
        });
    }
    void end(const std::string& reason);

    const uint32_t node_;
    EndedHandler endedHandler_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook streamListener_{};
    pw_core_events coreEvents_{};
    pw_registry_events registryEvents_{};
    pw_stream_events streamEvents_{};
    std::mutex closeMutex_;  // one close() at a time
    bool closed_ = false;    // under closeMutex_

    // The PipeWire thread's own (with the loop's lock held): whether the stream was ever connected, and
    // whether a buffer was skipped as corrupted since the last good one.
    bool connected_ = false;
    bool skippedCorrupt_ = false;

    mutable std::mutex mutex_;
    std::condition_variable cond_;
    // Under mutex_:
    int width_ = 0, height_ = 0;  // of the agreed format
    uint32_t format_ = 0;
    Picture held_;
    pw_buffer* reading_ = nullptr;     // the buffer the capture thread converts from now
    std::vector<pw_buffer*> release_;  // buffers to queue back once no longer read
    std::vector<Area> damage_;         // since the last grab
    bool wholeDamage_ = true;          // the whole picture changed since the last grab
    bool changed_ = false;             // a picture with a change arrived since the last wait or grab
    bool woken_ = false;
    bool endedSignal_ = false;  // makes one wait return when the stream ends
    bool ended_ = false;
    bool closing_ = false;

    // The capture thread's own.
    DamageHistory history_{0, 0};
    int historyWidth_ = 0, historyHeight_ = 0;
    PixelTransfer transfer_;
    std::vector<uint8_t> swapped_;  // R, G, B pictures turned to B, G, R
};

class PipeWireSource final : public CaptureSource {
  public:
    PipeWireSource(std::shared_ptr<PipeWireStreamCapture> capture, std::function<void()> onClose)
        : capture_(std::move(capture)), onClose_(std::move(onClose)) {}
    ~PipeWireSource() override { close(); }

    bool open(Error* error) override {
        if (!capture_->ended()) return true;
        if (error) *error = displayError(6, "the shared screen's stream has ended");
        return false;
    }
    bool waitForChange(double timeoutSeconds) override { return capture_->waitForChange(timeoutSeconds); }
    void wake() override { capture_->wake(); }
    FrameStatus grab(PixelBuffer& dst) override { return capture_->grab(dst); }
    void close() override {
        if (closed_) return;
        closed_ = true;
        if (onClose_) onClose_();
        capture_->close();
    }

  private:
    std::shared_ptr<PipeWireStreamCapture> capture_;
    std::function<void()> onClose_;
    bool closed_ = false;
};

bool PipeWireStreamCapture::start(int fd, Error* error) {
    auto fail = [&](const char* text) {
        if (error) *error = displayError(6, text);
        sysLog("PipeWire screen capture: %s", text);
        return false;
    };
    loop_ = pw_thread_loop_new("pw-capture", nullptr);
    if (loop_) context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_ || pw_thread_loop_start(loop_) != 0) {
        ::close(fd);
        return fail("cannot make a PipeWire loop");
    }
    pw_thread_loop_lock(loop_);
    // From here on the core owns the fd: it closes it when it disconnects, and on a failed connection.
    core_ = pw_context_connect_fd(context_, fd, nullptr, 0);
    if (!core_) {
        pw_thread_loop_unlock(loop_);
        return fail("cannot connect to PipeWire on the remote's fd");
    }
    coreEvents_.version = PW_VERSION_CORE_EVENTS;
    coreEvents_.error = onCoreError;
    pw_core_add_listener(core_, &coreListener_, &coreEvents_, this);
    // The node's removal from the registry is the surest sign that the share ended.
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_) {
        registryEvents_.version = PW_VERSION_REGISTRY_EVENTS;
        registryEvents_.global_remove = onGlobalRemove;
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents_, this);
    }
    stream_ = pw_stream_new(core_, "quillaran-screen",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                              PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream_) {
        pw_thread_loop_unlock(loop_);
        return fail("cannot make a PipeWire stream");
    }
    streamEvents_.version = PW_VERSION_STREAM_EVENTS;
    streamEvents_.state_changed = onStateChanged;
    streamEvents_.param_changed = onParamChanged;
    streamEvents_.process = onProcess;
    streamEvents_.remove_buffer = onRemoveBuffer;
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents_, this);

    // Any size and frame rate, in the four orders of 32-bit pixels desktops send.
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_rectangle size = SPA_RECTANGLE(1920, 1080), minSize = SPA_RECTANGLE(1, 1),
                  maxSize = SPA_RECTANGLE(16384, 16384);
    spa_fraction rate = SPA_FRACTION(30, 1), minRate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(1000, 1);
    const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)))};
    // The node as the target (WirePlumber links to it by its id); no move to another node when it goes.
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_DONT_RECONNECT);
    const int rc = pw_stream_connect(stream_, PW_DIRECTION_INPUT, node_, flags, params, 1);
    pw_thread_loop_unlock(loop_);
    if (rc < 0) return fail("cannot connect the PipeWire stream to the node");
    return true;
}

void PipeWireStreamCapture::close() {
    std::lock_guard closeLock(closeMutex_);
    if (closed_) return;
    closed_ = true;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        cond_.notify_all();
    }
    if (loop_) {
        // The stream first (its buffers go back, the node leaves the graph), then the connection, which
        // closes the remote's fd. No callback runs once the lock is ours, and none after the stop.
        pw_thread_loop_lock(loop_);
        if (stream_) {
            // The held picture goes back to the producer, whose buffers it is.
            std::vector<pw_buffer*> back;
            {
                std::lock_guard lock(mutex_);
                if (held_.buffer && held_.buffer != reading_) back.push_back(std::exchange(held_, {}).buffer);
                takeReleasable(back);
            }
            queueBack(back);
            pw_stream_disconnect(stream_);
            pw_stream_destroy(stream_);
            stream_ = nullptr;
        }
        if (registry_) {
            spa_hook_remove(&registryListener_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
            registry_ = nullptr;
        }
        if (core_) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
            core_ = nullptr;
        }
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
    }
    if (context_) pw_context_destroy(context_);
    context_ = nullptr;
    if (loop_) pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
    std::lock_guard lock(mutex_);
    held_ = {};
    release_.clear();
}

std::unique_ptr<CaptureSource> PipeWireStreamCapture::makeSource(std::function<void()> onClose) {
    return std::make_unique<PipeWireSource>(shared_from_this(), std::move(onClose));
}

void PipeWireStreamCapture::end(const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        if (ended_ || closing_) return;
        ended_ = true;
        endedSignal_ = true;
        cond_.notify_all();
    }
    sysLog("PipeWire screen capture ended: %s", reason.c_str());
    if (endedHandler_) endedHandler_(reason);
}

void PipeWireStreamCapture::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                           const char* error) {
    auto* self = static_cast<PipeWireStreamCapture*>(data);
    switch (state) {
        case PW_STREAM_STATE_ERROR:
            self->end(std::string("the stream failed: ") + (error ? error : "unknown error"));
            break;
        case PW_STREAM_STATE_UNCONNECTED:
            if (self->connected_) self->end("the stream was disconnected");
            break;
        case PW_STREAM_STATE_PAUSED:
        case PW_STREAM_STATE_STREAMING:
            self->connected_ = true;
            break;
        default:
            break;
    }
}

void PipeWireStreamCapture::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireStreamCapture*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0 ||
        !isAccepted(info.format) || info.size.width == 0 || info.size.height == 0) {
        pw_stream_set_error(self->stream_, -EINVAL, "unsupported video format");
        return;
    }
    bool resized;
    {
        std::lock_guard lock(self->mutex_);
        resized = self->width_ > 0 &&
                  (self->width_ != int(info.size.width) || self->height_ != int(info.size.height));
        self->width_ = int(info.size.width);
        self->height_ = int(info.size.height);
        self->format_ = info.format;
        self->wholeDamage_ = true;
        self->cond_.notify_all();
    }
    if (resized)
        sysLog("PipeWire screen capture: the picture is now %ux%u", info.size.width, info.size.height);

    // Shared memory only (MemFd or MemPtr): DMA-BUF is not offered, so the producer sends what the CPU
    // reads. The header meta says which buffers are corrupted; the damage meta, what changed (up to 16
    // rectangles; when the producer attaches none, every picture counts as changed whole).
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[3] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 16, sizeof(spa_meta_region) * 1,
                                     sizeof(spa_meta_region) * 16))),
    };
    pw_stream_update_params(self->stream_, params, 3);
}

bool PipeWireStreamCapture::readBuffer(pw_buffer* b, Picture& picture, std::vector<Area>& damage,
                                       bool& whole) {
    spa_buffer* buf = b->buffer;
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)));
    if (buf->n_datas < 1) return false;
    const spa_data& d = buf->datas[0];
    if ((header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) ||
        (d.chunk && (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))) {
        skippedCorrupt_ = true;
        return false;
    }
    if (!d.data || !d.chunk || d.chunk->size == 0) return false;
    int width, height;
    uint32_t format;
    {
        std::lock_guard lock(mutex_);
        width = width_;
        height = height_;
        format = format_;
    }
    if (width <= 0) return false;
    // The picture must lie within the buffer's memory, whatever the chunk claims.
    const int64_t stride = d.chunk->stride > 0 ? d.chunk->stride : int64_t(d.chunk->size) / height;
    const int64_t offset = d.chunk->offset;
    const int64_t extent = offset + stride * (height - 1) + int64_t(width) * 4;
    if (stride < int64_t(width) * 4 || extent > int64_t(d.maxsize) ||
        extent > offset + int64_t(d.chunk->size))
        return false;
    picture = {
        b, static_cast<const uint8_t*>(d.data) + offset, width, height, int(stride), isRGBOrder(format)};

    // A picture after a skipped corrupted one counts as changed whole: the damage it reports is against
    // the one skipped.
    if (std::exchange(skippedCorrupt_, false)) whole = true;
    const spa_meta* meta = spa_buffer_find_meta(buf, SPA_META_VideoDamage);
    if (!meta) {
        whole = true;
        return true;
    }
    const spa_meta_region* r;
    spa_meta_for_each(r, meta) {
        if (!spa_meta_region_is_valid(r)) break;
        // Clipped to the picture; corners kept in range before they are added up.
        const int64_t x0 = std::clamp<int64_t>(r->region.position.x, 0, width);
        const int64_t y0 = std::clamp<int64_t>(r->region.position.y, 0, height);
        const int64_t x1 =
            std::clamp<int64_t>(int64_t(r->region.position.x) + r->region.size.width, 0, width);
        const int64_t y1 =
            std::clamp<int64_t>(int64_t(r->region.position.y) + r->region.size.height, 0, height);
        if (x1 > x0 && y1 > y0) damage.push_back({int(x0), int(y0), int(x1), int(y1)});
    }
    return true;
}

void PipeWireStreamCapture::onProcess(void* data) {
    auto* self = static_cast<PipeWireStreamCapture*>(data);
    // Every buffer waiting is looked at (its damage counts), the newest usable one is kept.
    std::vector<pw_buffer*> back;
    std::optional<Picture> newest;
    std::vector<Area> damage;
    bool whole = false;
    while (pw_buffer* b = pw_stream_dequeue_buffer(self->stream_)) {
        Picture picture;
        if (!self->readBuffer(b, picture, damage, whole)) {
            back.push_back(b);
            continue;
        }
        if (newest) back.push_back(newest->buffer);
        newest = picture;
    }
    if (newest) {
        std::lock_guard lock(self->mutex_);
        if (self->held_.buffer) {
            if (self->held_.buffer == self->reading_) {
                self->release_.push_back(self->held_.buffer);
            } else {
                back.push_back(self->held_.buffer);
            }
        }
        // The first picture of a format is new whole.
        if (!self->held_.buffer || whole) self->wholeDamage_ = true;
        self->held_ = *newest;
        if (!self->wholeDamage_) {
            self->damage_.insert(self->damage_.end(), damage.begin(), damage.end());
            if (self->damage_.size() > kMaxGatheredAreas) self->wholeDamage_ = true;
        }
        if (self->wholeDamage_) self->damage_.clear();
        // A still picture (no damage) wakes nobody.
        if (self->wholeDamage_ || !damage.empty()) {
            self->changed_ = true;
            self->cond_.notify_all();
        }
    }
    {
        // Buffers replaced while they were read, whose read has ended meanwhile.
        std::lock_guard lock(self->mutex_);
        self->takeReleasable(back);
    }
    self->queueBack(back);
}

void PipeWireStreamCapture::queueBack(const std::vector<pw_buffer*>& buffers) {
    for (pw_buffer* b : buffers)
        pw_stream_queue_buffer(stream_, b);
}

void PipeWireStreamCapture::onRemoveBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<PipeWireStreamCapture*>(data);
    std::unique_lock lock(self->mutex_);
    // Its memory goes when this returns: a read of it ends first.
    if (!self->cond_.wait_for(lock, kReadWait, [&] { return self->reading_ != buffer; }))
        sysLog("PipeWire screen capture: a buffer was removed while a conversion still read it");
    if (self->held_.buffer == buffer) {
        self->held_ = {};
        self->wholeDamage_ = true;
    }
    std::erase(self->release_, buffer);
}

void PipeWireStreamCapture::onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<PipeWireStreamCapture*>(data);
    const std::string text = message ? message : "";
    if (id == PW_ID_CORE) {
        self->end(res == -EPIPE ? "the connection to PipeWire broke"
                                : "PipeWire reported an error: " + text + " (" + spa_strerror(res) + ")");
    } else {
        sysLog("PipeWire screen capture: error on object %u: %s (%s)", id, text.c_str(), spa_strerror(res));
    }
}

void PipeWireStreamCapture::onGlobalRemove(void* data, uint32_t id) {
    auto* self = static_cast<PipeWireStreamCapture*>(data);
    if (id == self->node_) self->end("the shared screen's node went away");
}

bool PipeWireStreamCapture::waitForChange(double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    cond_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeoutSeconds)),
                   [this] { return changed_ || woken_ || endedSignal_; });
    endedSignal_ = false;
    if (std::exchange(woken_, false)) return false;
    return std::exchange(changed_, false);
}

void PipeWireStreamCapture::wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    cond_.notify_all();
}

FrameStatus PipeWireStreamCapture::grab(PixelBuffer& dst) {
    Picture picture;
    std::vector<Area> changed;
    {
        std::lock_guard lock(mutex_);
        if (!held_.buffer || closing_) return FrameStatus::Blank;
        picture = held_;
        reading_ = held_.buffer;
        if (wholeDamage_) {
            changed.push_back({0, 0, picture.width, picture.height});
        } else {
            changed.swap(damage_);
        }
        wholeDamage_ = false;
        damage_.clear();
        changed_ = false;
    }

    if (picture.width != historyWidth_ || picture.height != historyHeight_) {
        history_.reset(picture.width, picture.height);
        historyWidth_ = picture.width;
        historyHeight_ = picture.height;
    }
    const std::optional<std::vector<Area>> areas = history_.begin(&dst, changed);
    const bool sameSize =
        dst.width() == picture.width && dst.height() == picture.height && dst.format() != PixelFormat::BGRA;
    bool ok = true;
    if (sameSize && areas) {
        // Only what changed since the grab this picture holds; the rest of it is already the screen.
        for (const Area& a : *areas) {
            const int w = a.x1 - a.x0, h = a.y1 - a.y0;
            const uint8_t* from = picture.pixels + ptrdiff_t(a.y0) * picture.stride + ptrdiff_t(a.x0) * 4;
            int fromStride = picture.stride;
            if (picture.rgbOrder) {
                swapped_.resize(size_t(w) * 4 * size_t(h));
                libyuv::ABGRToARGB(from, fromStride, swapped_.data(), w * 4, w, h);
                from = swapped_.data();
                fromStride = w * 4;
            }
            ok = ok && PixelTransfer::convertBGRAInto(from, fromStride, w, h, dst, a.x0, a.y0);
        }
    } else {
        const uint8_t* from = picture.pixels;
        int fromStride = picture.stride;
        if (picture.rgbOrder) {
            swapped_.resize(size_t(picture.width) * 4 * size_t(picture.height));
            libyuv::ABGRToARGB(from, fromStride, swapped_.data(), picture.width * 4, picture.width,
                               picture.height);
            from = swapped_.data();
            fromStride = picture.width * 4;
        }
        ok = transfer_.transferFromBGRA(from, fromStride, picture.width, picture.height, dst);
    }

    bool release;
    {
        std::lock_guard lock(mutex_);
        reading_ = nullptr;
        release = !release_.empty();
        cond_.notify_all();
    }
    // A buffer replaced while it was read goes back to the producer now, under the loop's lock (as
    // every PipeWire call outside its thread). The order of the locks is close()'s.
    if (release) {
        std::lock_guard closeLock(closeMutex_);
        if (loop_ && !closed_) {
            pw_thread_loop_lock(loop_);
            std::vector<pw_buffer*> back;
            {
                std::lock_guard lock(mutex_);
                takeReleasable(back);
            }
            queueBack(back);
            pw_thread_loop_unlock(loop_);
        }
    }
    if (!ok) return FrameStatus::Blank;
    history_.done(&dst);
    return FrameStatus::Complete;
}

}  // namespace

std::shared_ptr<PipeWireCapture> PipeWireCapture::open(int fd, uint32_t node, EndedHandler ended,
                                                       Error* error) {
    static std::once_flag init;
    std::call_once(init, [] { pw_init(nullptr, nullptr); });
    auto capture = std::make_shared<PipeWireStreamCapture>(node, std::move(ended));
    if (!capture->start(fd, error)) {
        capture->close();
        return nullptr;
    }
    return capture;
}

}  // namespace quill::platform::display
