#include "media/SWMediaHandler.h"

#include <chrono>

#include "audio/AudioDeviceManager.h"
#include "audio/AudioRestore.h"
#include "audio/SoundflowerManager.h"
#include "media/SWAppConfig.h"
#include "platform/foundation/SysLog.h"

namespace quill {

namespace {
// How often stopMedia() repeats its cancel while screen capture is still starting.
constexpr auto kStarterPoll = std::chrono::milliseconds(20);
// How long stopMedia() lets a start of screen capture finish before it cancels it.
constexpr auto kStarterGrace = std::chrono::seconds(1);
}  // namespace

std::shared_ptr<SWMediaHandler> SWMediaHandler::create() {
    return create(SWMediaHandlerParts{});
}

std::shared_ptr<SWMediaHandler> SWMediaHandler::create(SWMediaHandlerParts parts) {
    return std::shared_ptr<SWMediaHandler>(new SWMediaHandler(std::move(parts)));
}

SWMediaHandler::SWMediaHandler(SWMediaHandlerParts parts)
    : parts_(std::move(parts)),
      audioRecorder_(SWAudioRecorder::create(parts_.audioDevices,
                                             parts_.clock ? *parts_.clock : SWTimeUtils::singleton())),
      videoRecorder_(SWVideoRecorder::create(parts_.video)),
      audioInputQueue_(RawAudioQueue::create(kQueueCapacity)),
      videouInputQueue_(RawVideoQueue::create(kQueueCapacity)),
      audioOutputQueue_(EncodedAudioQueue::create(kQueueCapacity)),
      videoOutputQueue_(EncodedVideoQueue::create(kQueueCapacity)) {}

SWMediaHandler::~SWMediaHandler() {
    bool running;
    {
        std::lock_guard lock(mutex_);
        running = started_ && !stopped_;
    }
    if (running) stopMedia();
    if (videoStarter_.joinable()) videoStarter_.join();
    // Queues first, so that nothing a recorder still holds a weak reference to outlives its owner.
    audioInputQueue_.reset();
    videouInputQueue_.reset();
    audioOutputQueue_.reset();
    videoOutputQueue_.reset();
    audioRecorder_.reset();
    videoRecorder_.reset();
}

SoundflowerManager& SWMediaHandler::soundflowerManager() {
    return parts_.soundflowerManager ? *parts_.soundflowerManager : SoundflowerManager::sharedInstance();
}

AudioDeviceManager& SWMediaHandler::audioDeviceManager() {
    return parts_.audioDeviceManager ? *parts_.audioDeviceManager : soundflowerManager().audioDeviceManager();
}

bool SWMediaHandler::isCapturingSound() const {
    std::lock_guard lock(mutex_);
    return capturingSound_;
}

void SWMediaHandler::setNeedsKeyFrame(bool needs) {
    videoRecorder_->setNeedsKeyFrame(needs);
}

void SWMediaHandler::startMedia() {
    std::lock_guard lock(mutex_);
    if (started_ || stopped_) return;
    started_ = true;

    sysLog("start media");
    videoRecorder_->setTargetFrameRate(kTargetFrameRate);

    // Packets thrown away with their queue free their block with them.
    audioOutputQueue_->setDestroyBlock([](MediaPacket) {});
    videoOutputQueue_->setDestroyBlock([](MediaPacket) {});

    audioRecorder_->setRawAudioQueue(audioInputQueue_);
    audioRecorder_->setEncodedAudioQueue(audioOutputQueue_);
    videoRecorder_->setVideoOutputBuffer(videouInputQueue_);
    videoRecorder_->setEncodedVideoBuffer(videoOutputQueue_);

    sysLog("going to begin audio recorder");
    if (soundflowerManager().isSoundflowerDefaultAudio()) {
        audioRecorder_->beginRecroder();
        capturingSound_ = true;
    }

    sysLog("going to video recorder");
    videoStarter_ = std::thread([this] {
        videoRecorder_->beginRecorder();
        std::lock_guard starterLock(starterMutex_);
        videoStarted_ = true;
        starterDone_.notify_all();
    });
}

void SWMediaHandler::stopMedia() {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;

    audioInputQueue_->stopBlocking();
    videouInputQueue_->stopBlocking();
    audioOutputQueue_->stopBlocking();
    videoOutputQueue_->stopBlocking();

    audioRecorder_->endRecorder();
    if (videoStarter_.joinable()) {
        std::unique_lock starterLock(starterMutex_);
        // With a display the start is over within moments; let it finish, since a cancel that lands
        // between making the display stream and starting it makes the recorder wait long for a stop
        // report that never comes.
        starterDone_.wait_for(starterLock, kStarterGrace, [this] { return videoStarted_; });
        // A start still waiting for a display ends on the recorder's cancel; repeat the cancel until the
        // start has seen it, since a start that had not yet begun would not.
        while (!videoStarted_) {
            starterLock.unlock();
            videoRecorder_->endRecorder();
            starterLock.lock();
            starterDone_.wait_for(starterLock, kStarterPoll, [this] { return videoStarted_; });
        }
        starterLock.unlock();
        videoStarter_.join();
    }
    // Whatever the start got to, undo it now that it is over.
    videoRecorder_->endRecorder();
    capturingSound_ = false;

    const std::string file = parts_.soundflowerSettingFile.empty() ? SWAppConfig::soundflowerSettingFile()
                                                                   : parts_.soundflowerSettingFile;
    restoreSavedAudioDevices(soundflowerManager(), audioDeviceManager(), file);
}

}  // namespace quill
