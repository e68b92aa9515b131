#include "support/TestVideoSource.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include "support/PrivateVideoPipeWire.h"

namespace quill::testing {

namespace {

spa_video_format spaFormat(TestVideoSource::Format f) {
    switch (f) {
        case TestVideoSource::Format::BGRx:
            return SPA_VIDEO_FORMAT_BGRx;
        case TestVideoSource::Format::BGRA:
            return SPA_VIDEO_FORMAT_BGRA;
        case TestVideoSource::Format::RGBx:
            return SPA_VIDEO_FORMAT_RGBx;
        case TestVideoSource::Format::RGBA:
            return SPA_VIDEO_FORMAT_RGBA;
    }
    return SPA_VIDEO_FORMAT_BGRx;
}

// The 32-bit word whose bytes in memory are the colour 0xRRGGBB in format f, alpha 255.
uint32_t pixelOf(TestVideoSource::Format f, uint32_t rgb) {
    const uint32_t r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    const bool bgr = f == TestVideoSource::Format::BGRx || f == TestVideoSource::Format::BGRA;
    return 0xff000000u | (bgr ? (r << 16 | g << 8 | b) : (b << 16 | g << 8 | r));
}

// The one format the source offers: a fixed size and frame rate.
const spa_pod* formatParam(spa_pod_builder* b, TestVideoSource::Format format, int width, int height,
                           int fps) {
    spa_rectangle size = SPA_RECTANGLE(uint32_t(width), uint32_t(height));
    spa_fraction rate = SPA_FRACTION(uint32_t(fps), 1);
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format, SPA_POD_Id(spaFormat(format)), SPA_FORMAT_VIDEO_size,
        SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
}

}  // namespace

struct TestVideoSource::Hooks {
    spa_hook streamListener{};
    pw_stream_events events{};

    static TestVideoSource* self(void* data) { return static_cast<TestVideoSource*>(data); }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
        TestVideoSource* s = self(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            std::lock_guard lock(s->mutex_);
            s->nodeId_ = pw_stream_get_node_id(s->stream_);
            s->changed_.notify_all();
        }
    }

    static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
        TestVideoSource* s = self(data);
        if (!param || id != SPA_PARAM_Format) return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0) return;
        const int stride = int(info.size.width) * 4;
        {
            std::lock_guard lock(s->mutex_);
            s->width_ = int(info.size.width);
            s->height_ = int(info.size.height);
            s->stride_ = stride;
            s->formatFresh_ = true;
        }
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[3];
        uint32_t n = 0;
        const int type = s->options_.allocateMemFd ? 1 << SPA_DATA_MemFd : 1 << SPA_DATA_MemPtr;
        params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * int(info.size.height)), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(type)));
        params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        if (s->options_.damage) {
            params[n++] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 16, sizeof(spa_meta_region) * 1,
                                         sizeof(spa_meta_region) * 16)));
        }
        pw_stream_update_params(s->stream_, params, n);
    }

    // With allocateMemFd: each buffer's memory is a sealed memfd of the source's own, mapped here.
    static void onAddBuffer(void* data, pw_buffer* buffer) {
        TestVideoSource* s = self(data);
        spa_data& d = buffer->buffer->datas[0];
        if (!(d.type & (1u << SPA_DATA_MemFd))) return;
        {
            std::lock_guard lock(s->mutex_);
            d.maxsize = uint32_t(s->stride_ * s->height_);
        }
        d.type = SPA_DATA_MemFd;
        d.flags = SPA_DATA_FLAG_READWRITE;
        d.fd = memfd_create("quill-test-video", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (d.fd < 0) return;
        d.mapoffset = 0;
        if (ftruncate(d.fd, d.maxsize) < 0) return;
        fcntl(d.fd, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
        d.data = mmap(nullptr, d.maxsize, PROT_READ | PROT_WRITE, MAP_SHARED, int(d.fd), 0);
        if (d.data == MAP_FAILED) d.data = nullptr;
    }

    static void onRemoveBuffer(void* data, pw_buffer* buffer) {
        if (!self(data)->options_.allocateMemFd) return;
        spa_data& d = buffer->buffer->datas[0];
        if (d.data) munmap(d.data, d.maxsize);
        if (d.fd >= 0) close(int(d.fd));
        d.data = nullptr;
        d.fd = -1;
    }

    static void onTimer(void* data, uint64_t) {
        TestVideoSource* s = self(data);
        if (s->stream_ && pw_stream_get_state(s->stream_, nullptr) == PW_STREAM_STATE_STREAMING)
            pw_stream_trigger_process(s->stream_);
    }

    static void onProcess(void* data) {
        TestVideoSource* s = self(data);
        pw_buffer* b = pw_stream_dequeue_buffer(s->stream_);
        if (!b) return;
        spa_buffer* buf = b->buffer;
        auto* pixels = static_cast<uint8_t*>(buf->datas[0].data);
        std::unique_lock lock(s->mutex_);
        const int w = s->width_, h = s->height_, stride = s->stride_;
        if (!pixels || w <= 0 || uint64_t(stride) * h > buf->datas[0].maxsize) {
            lock.unlock();
            pw_stream_queue_buffer(s->stream_, b);
            return;
        }
        const bool corrupt = std::exchange(s->corruptNext_, false);
        const int size = std::min({s->options_.squareSize, w, h});
        if (!s->still_ && !corrupt && !s->formatFresh_)
            s->squareX_ = (s->squareX_ + s->options_.squareStep) % std::max(1, w - size + 1);
        s->squareX_ = std::min(s->squareX_, w - size);
        s->squareY_ = (h - size) / 2;
        // What changed since the last picture: everything after a format change or a corrupted one,
        // else the square's old and new places, nothing while still.
        std::vector<spa_region> damage;
        if (s->formatFresh_ || corrupt || s->lastX_ < 0) {
            damage.push_back(SPA_REGION(0, 0, uint32_t(w), uint32_t(h)));
        } else if (!s->still_) {
            const auto side = uint32_t(size);
            damage.push_back(SPA_REGION(s->lastX_, s->squareY_, side, side));
            damage.push_back(SPA_REGION(s->squareX_, s->squareY_, side, side));
        }
        s->formatFresh_ = false;
        s->lastX_ = corrupt ? -1 : s->squareX_;
        s->draw(pixels, stride, w, h, corrupt ? kCorruptColour : s->options_.squareColour, corrupt);
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
            header->flags = corrupt ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
            header->seq = s->sent_;
            header->pts = -1;
            header->dts_offset = 0;
        }
        if (spa_meta* m = spa_buffer_find_meta(buf, SPA_META_VideoDamage)) {
            auto* r = static_cast<spa_meta_region*>(spa_meta_first(m));
            for (const spa_region& region : damage) {
                if (!spa_meta_check(r, m)) break;
                r->region = region;
                ++r;
            }
            // The list ends at the first region of no size.
            if (spa_meta_check(r, m)) r->region = SPA_REGION(0, 0, 0, 0);
        }
        buf->datas[0].chunk->offset = 0;
        buf->datas[0].chunk->size = uint32_t(stride * h);
        buf->datas[0].chunk->stride = stride;
        buf->datas[0].chunk->flags = 0;
        ++s->sent_;
        s->changed_.notify_all();
        lock.unlock();
        pw_stream_queue_buffer(s->stream_, b);
    }
};

TestVideoSource::TestVideoSource(const std::string& runtimeDir, const Options& options)
    : options_(options), hooks_(std::make_unique<Hooks>()) {
    static std::once_flag init;
    std::call_once(init, [] { pw_init(nullptr, nullptr); });
    width_ = options.width;
    height_ = options.height;
    loop_ = pw_thread_loop_new("test-video-src", nullptr);
    context_ = loop_ ? pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0) : nullptr;
    if (!context_ || pw_thread_loop_start(loop_) != 0) {
        failure_ = "cannot make a PipeWire loop";
        return;
    }
    const int fd = PrivateVideoPipeWire::connectTo(runtimeDir);
    if (fd < 0) {
        failure_ = "cannot connect to PipeWire in " + runtimeDir;
        return;
    }
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect_fd(context_, fd, nullptr, 0);
    if (core_) {
        hooks_->events.version = PW_VERSION_STREAM_EVENTS;
        hooks_->events.state_changed = Hooks::onStateChanged;
        hooks_->events.param_changed = Hooks::onParamChanged;
        hooks_->events.add_buffer = Hooks::onAddBuffer;
        hooks_->events.remove_buffer = Hooks::onRemoveBuffer;
        hooks_->events.process = Hooks::onProcess;
        stream_ = pw_stream_new(core_, "quillaran-test-video",
                                pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE,
                                                  "Video", PW_KEY_MEDIA_CATEGORY, "Source", PW_KEY_NODE_NAME,
                                                  "quillaran-test-video", nullptr));
    }
    if (stream_) {
        pw_stream_add_listener(stream_, &hooks_->streamListener, &hooks_->events, this);
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[1] = {
            formatParam(&b, options.format, options.width, options.height, options.fps)};
        auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS |
                                                  (options.allocateMemFd ? PW_STREAM_FLAG_ALLOC_BUFFERS : 0));
        if (pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
            failure_ = "cannot connect the source stream";
        }
        timer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), Hooks::onTimer, this);
        timespec first{0, 1}, interval{0, long(1'000'000'000 / std::max(1, options.fps))};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &first, &interval, false);
    } else {
        failure_ = core_ ? "cannot make the source stream" : "cannot connect to PipeWire";
    }
    pw_thread_loop_unlock(loop_);
}

TestVideoSource::~TestVideoSource() {
    stop();
    if (loop_) {
        pw_thread_loop_lock(loop_);
        if (core_) pw_core_disconnect(core_);
        core_ = nullptr;
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
    }
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
}

void TestVideoSource::stop() {
    if (!loop_) return;
    pw_thread_loop_lock(loop_);
    if (timer_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
    timer_ = nullptr;
    if (stream_) pw_stream_destroy(stream_);
    stream_ = nullptr;
    pw_thread_loop_unlock(loop_);
}

uint32_t TestVideoSource::nodeId(double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                      [this] { return nodeId_ != SPA_ID_INVALID; });
    return nodeId_;
}

int TestVideoSource::squareX() const {
    std::lock_guard lock(mutex_);
    return squareX_;
}

int TestVideoSource::squareY() const {
    std::lock_guard lock(mutex_);
    return squareY_;
}

int TestVideoSource::width() const {
    std::lock_guard lock(mutex_);
    return width_;
}

int TestVideoSource::height() const {
    std::lock_guard lock(mutex_);
    return height_;
}

uint64_t TestVideoSource::picturesSent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

bool TestVideoSource::waitForPictures(uint64_t count, double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return sent_ >= count; });
}

void TestVideoSource::setStill(bool still) {
    std::lock_guard lock(mutex_);
    still_ = still;
}

void TestVideoSource::sendCorrupted() {
    std::lock_guard lock(mutex_);
    corruptNext_ = true;
}

void TestVideoSource::resize(int width, int height) {
    if (!loop_) return;
    pw_thread_loop_lock(loop_);
    if (stream_) {
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[1] = {formatParam(&b, options_.format, width, height, options_.fps)};
        pw_stream_update_params(stream_, params, 1);
    }
    pw_thread_loop_unlock(loop_);
}

void TestVideoSource::draw(uint8_t* pixels, int stride, int width, int height, uint32_t squareRgb,
                           bool corrupt) const {
    const uint32_t background = pixelOf(options_.format, corrupt ? kCorruptColour : options_.background);
    const uint32_t square = pixelOf(options_.format, squareRgb);
    const int size = std::min({options_.squareSize, width, height});
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(pixels + size_t(y) * size_t(stride));
        std::fill(row, row + width, background);
        if (!corrupt && y >= squareY_ && y < squareY_ + size)
            std::fill(row + squareX_, row + squareX_ + size, square);
    }
}

}  // namespace quill::testing
