#include "platform/display/CaptureStream.h"
#include "platform/foundation/ThreadName.h"

#include <algorithm>
#include <chrono>

namespace quill::platform::display {

namespace {
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

uint64_t nanosOf(Clock::time_point t) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}
}  // namespace

CaptureStream::CaptureStream(std::unique_ptr<CaptureSource> source, int width, int height,
                             const DisplayStreamProperties& properties, dispatch::QueuePtr queue,
                             FrameHandler handler, double idleSeconds)
    : source_(std::move(source)),
      properties_(properties),
      queue_(std::move(queue)),
      handler_(std::move(handler)),
      idleSeconds_(idleSeconds),
      pool_(PixelBufferPool::create(PixelFormat::NV12, width, height,
                                    std::max<size_t>(1, properties.queueDepth))) {}

CaptureStream::~CaptureStream() {
    stop();
}

bool CaptureStream::start(Error* error) {
    std::lock_guard lock(mutex_);
    if (started_ || stopped_) {
        if (error) *error = displayError(1, "stream already started");
        return false;
    }
    if (!source_->open(error)) return false;
    started_ = true;
    thread_ = std::thread([this] {
        run();
        std::lock_guard endLock(endMutex_);
        runEnded_ = true;
        runEnd_.notify_all();
    });
    return true;
}

void CaptureStream::stop() {
    std::lock_guard lock(mutex_);
    if (!started_ || stopped_) {
        stopped_ = true;
        return;
    }
    stopped_ = true;
    stopping_ = true;
    source_->wake();
    bool ended;
    {
        std::unique_lock endLock(endMutex_);
        ended = runEnd_.wait_for(endLock, std::chrono::duration<double>(kStopGrace),
                                 [this] { return runEnded_; });
    }
    // A capture thread waiting on a source that does not answer is cut loose rather than waited for.
    if (!ended) source_->interrupt();
    if (thread_.joinable()) thread_.join();
    // Only now: the wake-up above must find the source's descriptors still open, not closed by a capture
    // thread that saw the stop first (and perhaps reused by then).
    source_->close();
    // The capture thread posted its last frame before leaving; Stopped follows them on the queue.
    post(FrameStatus::Stopped, nullptr, nanosOf(Clock::now()));
}

void CaptureStream::post(FrameStatus status, PixelBufferRef frame, uint64_t when) {
    queue_->async([handler = handler_, status, when, frame = std::move(frame)]() mutable {
        handler(status, when, std::move(frame));
    });
}

void CaptureStream::run() {
    platform::foundation::setCurrentThreadName("display-capture");
    const double frameTime = std::max(0.0, properties_.minimumFrameTime);
    bool dirty = true;  // the first picture is always delivered
    bool idleSent = false;
    auto lastFrame = Clock::now();
    auto nextAllowed = Clock::now();
    while (!stopping_) {
        if (dirty && Clock::now() >= nextAllowed) {
            const auto grabStart = Clock::now();
            nextAllowed = grabStart + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(frameTime));
            if (PixelBufferRef frame = pool_->get()) {
                // Cleared before grabbing: a change during the grab is caught by the next wait.
                dirty = false;
                const FrameStatus status = source_->grab(*frame);
                if (stopping_) break;
                const uint64_t when = nanosOf(grabStart);
                if (status == FrameStatus::Complete) {
                    post(status, std::move(frame), when);
                } else {
                    post(status, nullptr, when);
                }
                lastFrame = Clock::now();
                idleSent = false;
            }
            // With every picture still held, the change stays pending and is retried a frame time later.
        }
        double timeout;
        if (dirty) {
            timeout = std::chrono::duration<double>(nextAllowed - Clock::now()).count();
            if (timeout <= 0) timeout = std::max(frameTime, 0.005);
        } else if (!idleSent) {
            timeout = std::max(0.0, idleSeconds_ - secondsSince(lastFrame));
        } else {
            timeout = 1.0;
        }
        if (source_->waitForChange(timeout)) {
            dirty = true;
        } else if (!dirty && !idleSent && !stopping_ && secondsSince(lastFrame) >= idleSeconds_) {
            idleSent = true;
            post(FrameStatus::Idle, nullptr, nanosOf(Clock::now()));
        }
    }
}

}  // namespace quill::platform::display
