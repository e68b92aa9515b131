#include "platform/display/PixelBuffer.h"

#include <cstring>
#include <stdexcept>

namespace quill::platform::display {

namespace {
// Rows start on 64-byte boundaries so that the SIMD paths of the converters stay aligned.
constexpr int kRowAlign = 64;
int alignUp(int v, int a) {
    return (v + a - 1) / a * a;
}
}  // namespace

PixelBuffer::PixelBuffer(PixelFormat format, int width, int height)
    : format_(format), width_(width), height_(height) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("pixel buffer size must be positive");
    const int cw = (width + 1) / 2;
    const int ch = (height + 1) / 2;
    switch (format) {
        case PixelFormat::NV12:
            planeCount_ = 2;
            rowBytes_[0] = width;
            planeHeight_[0] = height;
            rowBytes_[1] = cw * 2;
            planeHeight_[1] = ch;
            break;
        case PixelFormat::I420:
            planeCount_ = 3;
            rowBytes_[0] = width;
            planeHeight_[0] = height;
            rowBytes_[1] = rowBytes_[2] = cw;
            planeHeight_[1] = planeHeight_[2] = ch;
            break;
        case PixelFormat::BGRA:
            planeCount_ = 1;
            rowBytes_[0] = width * 4;
            planeHeight_[0] = height;
            break;
    }
    size_t total = 0;
    for (int i = 0; i < planeCount_; ++i) {
        stride_[i] = alignUp(rowBytes_[i], kRowAlign);
        offset_[i] = total;
        total += static_cast<size_t>(stride_[i]) * static_cast<size_t>(planeHeight_[i]);
    }
    storage_.assign(total + kRowAlign, 0);
}

void PixelBuffer::fill(uint8_t a, uint8_t b, uint8_t c) {
    switch (format_) {
        case PixelFormat::NV12:
            for (int y = 0; y < planeHeight_[0]; ++y)
                std::memset(plane(0) + y * stride_[0], a, rowBytes_[0]);
            for (int y = 0; y < planeHeight_[1]; ++y) {
                uint8_t* row = plane(1) + y * stride_[1];
                for (int x = 0; x < rowBytes_[1]; x += 2) {
                    row[x] = b;
                    row[x + 1] = c;
                }
            }
            break;
        case PixelFormat::I420: {
            const uint8_t v[3] = {a, b, c};
            for (int p = 0; p < 3; ++p)
                for (int y = 0; y < planeHeight_[p]; ++y)
                    std::memset(plane(p) + y * stride_[p], v[p], rowBytes_[p]);
            break;
        }
        case PixelFormat::BGRA:
            for (int y = 0; y < height_; ++y) {
                uint8_t* row = plane(0) + y * stride_[0];
                for (int x = 0; x < width_; ++x) {
                    row[4 * x] = a;
                    row[4 * x + 1] = b;
                    row[4 * x + 2] = c;
                    row[4 * x + 3] = 255;
                }
            }
            break;
    }
}

struct PixelBufferPool::State {
    std::mutex mutex;
    std::vector<std::unique_ptr<PixelBuffer>> free;
    size_t outstanding = 0;
    size_t made = 0;
};

std::shared_ptr<PixelBufferPool> PixelBufferPool::create(PixelFormat format, int width, int height,
                                                         size_t capacity) {
    if (capacity == 0) throw std::invalid_argument("pixel buffer pool needs a capacity");
    return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(format, width, height, capacity));
}

PixelBufferPool::PixelBufferPool(PixelFormat format, int width, int height, size_t capacity)
    : format_(format),
      width_(width),
      height_(height),
      capacity_(capacity),
      state_(std::make_shared<State>()) {}

PixelBufferPool::~PixelBufferPool() = default;

PixelBufferRef PixelBufferPool::get() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->free.empty()) {
            buffer = std::move(state_->free.back());
            state_->free.pop_back();
        } else if (state_->made < capacity_) {
            ++state_->made;
        } else {
            return nullptr;
        }
        ++state_->outstanding;
    }
    if (!buffer) buffer = std::make_unique<PixelBuffer>(format_, width_, height_);
    // The last holder hands the picture back; when the pool is gone by then, the picture is freed.
    std::weak_ptr<State> weak = state_;
    return PixelBufferRef(buffer.release(), [weak](PixelBuffer* p) {
        std::unique_ptr<PixelBuffer> owned(p);
        if (auto state = weak.lock()) {
            std::lock_guard lock(state->mutex);
            --state->outstanding;
            state->free.push_back(std::move(owned));
        }
    });
}

size_t PixelBufferPool::inUse() const {
    std::lock_guard lock(state_->mutex);
    return state_->outstanding;
}

}  // namespace quill::platform::display
