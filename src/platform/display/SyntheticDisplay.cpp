#include "platform/display/SyntheticDisplay.h"

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstring>

#include "platform/display/CaptureStream.h"
#include "platform/display/PixelTransfer.h"

namespace quill::platform::display {

// Pokes reach every stream of the service through this.
struct SyntheticDisplayService::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t pokes = 0;
    // Thread CPU nanoseconds spent drawing the pattern.
    std::atomic<uint64_t> patternNanos{0};
};

namespace {

uint64_t threadCpuNanos() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

class SyntheticSource : public CaptureSource {
  public:
    SyntheticSource(const SyntheticDisplayConfig& config,
                    std::shared_ptr<SyntheticDisplayService::Shared> shared,
                    std::shared_ptr<std::atomic<uint64_t>> grabbed)
        : config_(config), shared_(std::move(shared)), grabbed_(std::move(grabbed)) {}

    bool open(Error*) override {
        const int w = config_.width, h = config_.height;
        picture_.assign(static_cast<size_t>(w) * h * 4, 0);
        // A diagonal colour gradient that x264 has to work for, drawn once.
        for (int y = 0; y < h; ++y) {
            uint8_t* row = picture_.data() + static_cast<size_t>(y) * w * 4;
            for (int x = 0; x < w; ++x) {
                row[4 * x] = static_cast<uint8_t>((x * 255) / w);
                row[4 * x + 1] = static_cast<uint8_t>((y * 255) / h);
                row[4 * x + 2] = static_cast<uint8_t>(((x + y) * 255) / (w + h));
                row[4 * x + 3] = 255;
            }
        }
        std::lock_guard lock(shared_->mutex);
        seenPokes_ = shared_->pokes;
        return true;
    }

    bool waitForChange(double timeoutSeconds) override {
        std::unique_lock lock(shared_->mutex);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                   std::chrono::duration<double>(timeoutSeconds));
        if (config_.moving && config_.changesPerSecond > 0) {
            // The pattern moves on its own: the next change is one step later.
            const auto step = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::duration<double>(1.0 / config_.changesPerSecond));
            const auto due = lastChange_ + step;
            const auto until = std::min(due, deadline);
            shared_->changed.wait_until(lock, until, [&] { return woken_ || shared_->pokes != seenPokes_; });
            if (woken_) {
                woken_ = false;
                return false;
            }
            if (shared_->pokes != seenPokes_ || std::chrono::steady_clock::now() >= due) {
                seenPokes_ = shared_->pokes;
                lastChange_ = std::chrono::steady_clock::now();
                return true;
            }
            return false;
        }
        shared_->changed.wait_until(lock, deadline, [&] { return woken_ || shared_->pokes != seenPokes_; });
        if (woken_) {
            woken_ = false;
            return false;
        }
        if (shared_->pokes != seenPokes_) {
            seenPokes_ = shared_->pokes;
            return true;
        }
        return false;
    }

    void wake() override {
        std::lock_guard lock(shared_->mutex);
        woken_ = true;
        shared_->changed.notify_all();
    }

    FrameStatus grab(PixelBuffer& dst) override {
        const uint64_t drawStart = threadCpuNanos();
        const int w = config_.width, h = config_.height;
        const uint32_t counter = counter_++;
        // The moving block: erase the previous one, draw the new one.
        const int block = std::max(8, std::min(w, h) / 8);
        drawBlock(blockX_, blockY_, block, nullptr);
        blockX_ = static_cast<int>((counter * 7u) % static_cast<uint32_t>(std::max(1, w - block)));
        blockY_ = std::min(
            h - 1, kCounterRows + static_cast<int>((counter * 3u) % static_cast<uint32_t>(std::max(
                                                                        1, h - block - kCounterRows))));
        const uint8_t white[4] = {255, 255, 255, 255};
        drawBlock(blockX_, blockY_, block, white);
        // The counter squares, most significant bit first.
        const int sq = SyntheticDisplayService::kCounterSquare;
        const int bits = std::min(32, w / sq);
        for (int bit = 0; bit < bits && sq <= h; ++bit) {
            const uint8_t v = ((counter >> (bits - 1 - bit)) & 1u) ? 255 : 0;
            for (int y = 0; y < sq; ++y) {
                uint8_t* p = picture_.data() + (static_cast<size_t>(y) * w + bit * sq) * 4;
                for (int x = 0; x < sq; ++x) {
                    p[4 * x] = p[4 * x + 1] = p[4 * x + 2] = v;
                    p[4 * x + 3] = 255;
                }
            }
        }
        grabbed_->fetch_add(1);
        shared_->patternNanos.fetch_add(threadCpuNanos() - drawStart);
        return transfer_.transferFromBGRA(picture_.data(), w * 4, w, h, dst) ? FrameStatus::Complete
                                                                             : FrameStatus::Blank;
    }

  private:
    static constexpr int kCounterRows = SyntheticDisplayService::kCounterSquare;

    // Draws a square of colour, or of the gradient when colour is null.
    void drawBlock(int bx, int by, int side, const uint8_t* colour) {
        const int w = config_.width, h = config_.height;
        for (int y = by; y < std::min(h, by + side); ++y) {
            for (int x = bx; x < std::min(w, bx + side); ++x) {
                uint8_t* p = picture_.data() + (static_cast<size_t>(y) * w + x) * 4;
                if (colour) {
                    std::memcpy(p, colour, 4);
                } else {
                    p[0] = static_cast<uint8_t>((x * 255) / w);
                    p[1] = static_cast<uint8_t>((y * 255) / h);
                    p[2] = static_cast<uint8_t>(((x + y) * 255) / (w + h));
                    p[3] = 255;
                }
            }
        }
    }

    SyntheticDisplayConfig config_;
    std::shared_ptr<SyntheticDisplayService::Shared> shared_;
    std::shared_ptr<std::atomic<uint64_t>> grabbed_;
    std::vector<uint8_t> picture_;
    PixelTransfer transfer_;
    uint64_t seenPokes_ = 0;
    bool woken_ = false;  // guarded by shared_->mutex
    std::chrono::steady_clock::time_point lastChange_ = std::chrono::steady_clock::now();
    uint32_t counter_ = 0;
    int blockX_ = 0;
    int blockY_ = kCounterRows;
};

}  // namespace

std::shared_ptr<SyntheticDisplayService> SyntheticDisplayService::create(SyntheticDisplayConfig config) {
    return std::shared_ptr<SyntheticDisplayService>(new SyntheticDisplayService(std::move(config)));
}

SyntheticDisplayService::SyntheticDisplayService(SyntheticDisplayConfig config)
    : config_(std::move(config)),
      present_(config_.present),
      shared_(std::make_shared<Shared>()),
      grabbed_(std::make_shared<std::atomic<uint64_t>>(0)) {
    if (config_.modes.empty())
        config_.modes.push_back({static_cast<size_t>(config_.width), static_cast<size_t>(config_.height)});
}

void SyntheticDisplayService::setPresent(bool present) {
    present_ = present;
}

void SyntheticDisplayService::poke() {
    std::lock_guard lock(shared_->mutex);
    ++shared_->pokes;
    shared_->changed.notify_all();
}

void SyntheticDisplayService::setMouseLocation(std::optional<Point> location) {
    std::lock_guard lock(pointerMutex_);
    pointer_ = location;
}

double SyntheticDisplayService::patternCpuSeconds() const {
    return static_cast<double>(shared_->patternNanos.load()) / 1e9;
}

std::optional<Point> SyntheticDisplayService::mouseLocation() {
    if (!present_) return std::nullopt;
    std::lock_guard lock(pointerMutex_);
    return pointer_;
}

uint32_t SyntheticDisplayService::readCounter(const PixelBuffer& frame) {
    if (frame.format() == PixelFormat::BGRA) return 0;
    uint32_t value = 0;
    const int sq = kCounterSquare;
    const int bits = std::min(32, frame.width() / sq);
    for (int bit = 0; bit < bits && sq <= frame.height(); ++bit) {
        const int x = bit * sq + sq / 2;
        const int y = sq / 2;
        const uint8_t luma = frame.plane(0)[y * frame.stride(0) + x];
        value = (value << 1) | (luma > 128 ? 1u : 0u);
    }
    return value;
}

DisplayID SyntheticDisplayService::mainDisplayID() {
    return present_ ? kDisplayID : 0;
}

bool SyntheticDisplayService::getActiveDisplayList(uint32_t maxDisplays, std::vector<DisplayID>& displays,
                                                   Error*) {
    displays.clear();
    if (present_ && maxDisplays > 0) displays.push_back(kDisplayID);
    return true;
}

Rect SyntheticDisplayService::displayBounds(DisplayID display) {
    if (!present_ || display != kDisplayID) return {};
    return {0, 0, static_cast<double>(config_.width), static_cast<double>(config_.height)};
}

std::vector<DisplayMode> SyntheticDisplayService::copyAllDisplayModes(DisplayID display) {
    if (!present_ || display != kDisplayID) return {};
    return config_.modes;
}

std::shared_ptr<DisplayStream> SyntheticDisplayService::createDisplayStream(
    DisplayID display, int outputWidth, int outputHeight, PixelFormat format,
    const DisplayStreamProperties& properties, dispatch::QueuePtr queue, FrameHandler handler, Error* error) {
    if (!present_ || display != kDisplayID) {
        if (error) *error = displayError(2, "no such display");
        return nullptr;
    }
    if (format != PixelFormat::NV12 || outputWidth <= 0 || outputHeight <= 0 || !queue || !handler) {
        if (error) *error = displayError(3, "unsupported stream settings");
        return nullptr;
    }
    auto source = std::make_unique<SyntheticSource>(config_, shared_, grabbed_);
    return std::make_shared<CaptureStream>(std::move(source), outputWidth, outputHeight, properties,
                                           std::move(queue), std::move(handler));
}

}  // namespace quill::platform::display
