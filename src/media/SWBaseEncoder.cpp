#include "media/SWBaseEncoder.h"
#include "platform/foundation/ThreadName.h"

#include <cassert>
#include <chrono>

namespace quill {

namespace {
constexpr std::chrono::milliseconds kRest{10};
}  // namespace

SWBaseEncoder::~SWBaseEncoder() {
    // The thread calls the derived encoder's hooks: it must have ended in the derived destructor.
    assert(!isRunning());
}

void SWBaseEncoder::start() {
    std::lock_guard lock(threadMutex_);
    if (encodingThread_.joinable()) return;
    stopRequested_ = false;
    encodingThread_ = std::jthread([this](std::stop_token stop) { workingThreadFun(stop); });
}

void SWBaseEncoder::stop() {
    std::jthread thread;
    {
        std::lock_guard lock(threadMutex_);
        thread = std::move(encodingThread_);
        if (thread.joinable()) stopRequested_ = true;
    }
    if (thread.joinable()) {
        thread.request_stop();
        thread.join();
    }
}

bool SWBaseEncoder::isRunning() const {
    std::lock_guard lock(threadMutex_);
    return encodingThread_.joinable();
}

void SWBaseEncoder::workingThreadFun(std::stop_token stop) {
    platform::foundation::setCurrentThreadName(threadName_);
    encoderThreadBegins();
    while (!stop.stop_requested()) {
        if (pacing_ == Pacing::RestEveryPass) std::this_thread::sleep_for(kRest);
        auto input = rawVideoInput();
        if (!input) {
            if (pacing_ == Pacing::RestWhenIdle) std::this_thread::sleep_for(kRest);
            continue;
        }
        std::optional<RawVideoFrame> item = input->take(0.1);
        // The queue's owner may drop it while a frame is encoded.
        input.reset();
        if (!item || !item->buffer) continue;
        encodeRawFrame(*item);
    }
    encoderThreadEnds();
}

}  // namespace quill
