#include "media/SWVideoRecorder.h"

#include <chrono>

#include "media/SWAppConfig.h"
#include "media/SWTimeUtils.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SysLog.h"

namespace quill {

using namespace platform::display;
namespace dispatch = platform::dispatch;

namespace {
constexpr double kRawPutTimeout = 0.02;
constexpr uint32_t kMaxDisplays = 10;
constexpr double kStopWaitSeconds = 5.0;
// One step of the wait for room in the encoded video queue, after which the recorder looks whether it
// should give up.
constexpr double kEncodedPutStep = 0.1;

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
}  // namespace

std::shared_ptr<SWVideoRecorder> SWVideoRecorder::create() {
    return create(Options{});
}

std::shared_ptr<SWVideoRecorder> SWVideoRecorder::create(Options options) {
    auto recorder = std::shared_ptr<SWVideoRecorder>(new SWVideoRecorder(std::move(options)));
    recorder->encoder_->setVaCallback(recorder);
    return recorder;
}

SWVideoRecorder::SWVideoRecorder(Options options)
    : options_(std::move(options)),
      display_(options_.display ? options_.display : DisplayService::shared()),
      encoder_(std::make_unique<SWSoftwareEncoder>()),
      queue_(dispatch::Queue::serial("quillaran_screen_recorder")) {}

SWVideoRecorder::~SWVideoRecorder() {
    endRecorder();
    std::shared_ptr<dispatch::TimerSource> timer;
    {
        std::lock_guard lock(mutex_);
        timer = std::move(stillPictureDispatch_);
        if (timer && !timerRunning_) timer->resume();  // a source is cancelled running
    }
    if (timer) timer->cancel();
}

double SWVideoRecorder::now() const {
    return options_.now ? options_.now() : wallSeconds();
}

void SWVideoRecorder::setVideoOutputBuffer(const std::shared_ptr<RawVideoQueue>& queue) {
    {
        std::lock_guard lock(mutex_);
        videoOutputBuffer_ = queue;
    }
    // Items thrown away release their picture with them; nothing else to do.
    if (queue) queue->setDestroyBlock([](RawVideoFrame) {});
    encoder_->setRawVideoInput(queue);
}

void SWVideoRecorder::setEncodedVideoBuffer(const std::shared_ptr<EncodedVideoQueue>& queue) {
    std::lock_guard lock(mutex_);
    encodedVideoBuffer_ = queue;
}

void SWVideoRecorder::onOutputMediaData(MediaPacket packet) {
    std::shared_ptr<EncodedVideoQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = encodedVideoBuffer_.lock();
    }
    if (!queue) return;
    // A failed put leaves the packet here, freed on return. Without the stop checks an encoder ended
    // before its queue was stopped would wait here for ever, and so would whoever ends it.
    while (!queue->put(std::move(packet), kEncodedPutStep)) {
        if (queue->isStopped() || encoder_->stopRequested()) return;
    }
}

void SWVideoRecorder::captureOutputDidOutputSampleBuffer(const PixelBufferRef& imageBuffer) {
    if (!imageBuffer) return;
    queue_->sync([&] {
        lastFrameTime_ = now();
        enqueueDesktopImage(imageBuffer);
    });
}

bool SWVideoRecorder::enqueueDesktopImage(const PixelBufferRef& buffer) {
    std::shared_ptr<RawVideoQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = videoOutputBuffer_.lock();
    }
    if (!queue || !buffer) return false;
    const SWTimeUtils& clock = options_.clock ? *options_.clock : SWTimeUtils::singleton();
    // Take the request with the frame; give it back when the frame is not accepted. A request made
    // meanwhile stays set either way.
    const bool keyframe = needsKeyFrame_.exchange(false);
    RawVideoFrame item{buffer, clock.mediaTimeStamp(), keyframe};
    if (queue->put(std::move(item), kRawPutTimeout)) return true;
    if (keyframe) needsKeyFrame_.store(true);
    return false;
}

DisplayMode SWVideoRecorder::getLargestResolution(const std::vector<DisplayMode>& modes) {
    DisplayMode best;
    for (const auto& m : modes) {
        if (m.width > best.width) {
            best = m;
        } else if (m.width == best.width && m.height > best.height) {
            best.height = m.height;
        }
    }
    return best;
}

bool SWVideoRecorder::createRecorderQueue() {
    std::shared_ptr<DisplayStream> old;
    {
        std::lock_guard lock(mutex_);
        old = displayStream_;
    }
    if (old) endRecorder();

    DisplayStreamProperties props;
    props.queueDepth = 5;
    props.minimumFrameTime = 1.0 / targetFrameRate();
    props.preserveAspectRatio = false;
    props.showCursor = options_.showCursor.value_or(!SWAppConfig::singleton().mouseAlone());
    // A display that the user shares through the desktop is asked for with these.
    display_->prepareStream(props);
    const DisplayID main = display_->mainDisplayID();
    if (main == 0) return false;
    std::vector<DisplayID> displays;
    Error error;
    if (!display_->getActiveDisplayList(kMaxDisplays, displays, &error)) {
        sysLog("failed to retieve a list of active displays");
    } else if (displays.empty()) {
        sysLog("did not find any active display");
    } else {
        for (DisplayID d : displays)
            sysLog("DISPLAY:%d", static_cast<int>(d));
    }
    DisplayMode size = getLargestResolution(display_->copyAllDisplayModes(main));
    if (size.width == 0 || size.height == 0) {
        const Rect bounds = display_->displayBounds(main);
        size = {static_cast<size_t>(bounds.width), static_cast<size_t>(bounds.height)};
    }
    if (size.width == 0 || size.height == 0) return false;

    std::weak_ptr<SWVideoRecorder> weak = weak_from_this();
    auto semaphore = std::make_shared<dispatch::Semaphore>(0);
    auto stream = display_->createDisplayStream(
        main, static_cast<int>(size.width), static_cast<int>(size.height), PixelFormat::NV12, props, queue_,
        [weak, semaphore](FrameStatus status, uint64_t, PixelBufferRef frame) {
            if (status == FrameStatus::Stopped) semaphore->signal();
            if (auto self = weak.lock()) self->onFrame(status, frame);
        },
        &error);
    const Rect bounds = display_->displayBounds(main);
    auto& center = options_.notificationCenter ? *options_.notificationCenter
                                               : platform::foundation::NotificationCenter::sharedInstance();
    center.post(kSystemResolutionDidChange, nullptr, Rect{0, 0, bounds.width, bounds.height});
    if (!stream) return false;
    std::lock_guard lock(mutex_);
    displayStream_ = stream;
    stopVideoRecorderSemaphore_ = semaphore;
    return true;
}

void SWVideoRecorder::beginRecorder(std::stop_token cancel) {
    endRecorder();
    if (cancel.stop_requested()) return;
    encoder_->start();
    const auto pause = std::chrono::duration<double>(options_.retryInterval);
    std::mutex pauseMutex;
    std::condition_variable_any pauseOver;
    for (;;) {
        const bool created = createRecorderQueue();
        // The pause follows every attempt, the successful one too; the cancel ends it at once.
        std::unique_lock pauseLock(pauseMutex);
        pauseOver.wait_for(pauseLock, cancel, pause, [] { return false; });
        if (cancel.stop_requested()) return;
        if (created) break;
    }
    std::lock_guard lock(mutex_);
    // Cancelled with the stream made: it stays unstarted, and endRecorder() has no stop report to wait
    // for.
    if (cancel.stop_requested()) return;
    Error error;
    if (displayStream_) {
        streamStarted_ = displayStream_->start(&error);
        if (!streamStarted_) sysLog("display stream failed to start: %s", error.description().c_str());
    }
    if (!stillPictureDispatch_) {
        // The timer fires on the recorder queue itself, where its work runs: one hand-off a tick rather
        // than a global queue's handler posting to the recorder queue.
        stillPictureDispatch_ = dispatch::TimerSource::create(queue_);
        std::weak_ptr<SWVideoRecorder> weak = weak_from_this();
        stillPictureDispatch_->setEventHandler([weak] {
            if (auto recorder = weak.lock()) recorder->fixStillPictureIssue();
        });
        stillPictureDispatch_->setTimer(0, options_.stillInterval, options_.stillInterval);
    }
    if (!timerRunning_) {
        stillPictureDispatch_->resume();
        timerRunning_ = true;
    }
}

void SWVideoRecorder::endRecorder() {
    std::shared_ptr<DisplayStream> stream;
    std::shared_ptr<dispatch::Semaphore> semaphore;
    {
        std::lock_guard lock(mutex_);
        stream = std::move(displayStream_);
        semaphore = std::move(stopVideoRecorderSemaphore_);
        // A stream that never started never reports its stop.
        if (!streamStarted_) semaphore.reset();
        streamStarted_ = false;
    }
    encoder_->stop();
    {
        std::lock_guard lock(mutex_);
        if (stillPictureDispatch_ && timerRunning_) {
            stillPictureDispatch_->suspend();
            timerRunning_ = false;
        }
    }
    if (stream) {
        stream->stop();
        if (semaphore && !semaphore->wait(kStopWaitSeconds)) sysLog("display stream did not report its stop");
    }
    // A share the user has not granted yet, or one no stream was made of, ends with the capture.
    display_->endCapture();
    std::weak_ptr<SWVideoRecorder> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->previousScreenRef_.reset();
    });
}

bool SWVideoRecorder::isCapturing() const {
    std::lock_guard lock(mutex_);
    return displayStream_ != nullptr;
}

void SWVideoRecorder::onFrame(FrameStatus status, const PixelBufferRef& frame) {
    if (status != FrameStatus::Complete || !frame) return;
    previousScreenRef_ = frame;
    lastFrameTime_ = now();
    staticFrameCount_ = 0;
    enqueueDesktopImage(frame);
}

void SWVideoRecorder::fixStillPictureIssue() {
    if (needsKeyFrame_.load()) staticFrameCount_ = 0;
    const double fps = targetFrameRate();
    const double t = now();
    if (t - lastFrameTime_ > 1.5 / fps && t - lastInsertTime_ > 1.0 / fps &&
        staticFrameCount_ < kMaxStaticFrames && previousScreenRef_) {
        ++staticFrameCount_;
        if (!enqueueDesktopImage(previousScreenRef_)) lastInsertTime_ = t;
    }
}

}  // namespace quill
