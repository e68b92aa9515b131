#include "media/SWMediaHandler.h"

#include "audio/AudioDeviceManager.h"
#include "audio/AudioRestore.h"
#include "audio/SoundflowerManager.h"
#include "media/SWAppConfig.h"
#include "platform/foundation/SysLog.h"

namespace quill {

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
    videoStarter_ = std::thread(
        [recorder = videoRecorder_, cancel = videoStart_.get_token()] { recorder->beginRecorder(cancel); });
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
    // The start returns on its cancel, at the latest after the display call under way, which the display
    // layer keeps short even when the X server does not answer; then whatever it got to is undone.
    videoStart_.request_stop();
    if (videoStarter_.joinable()) videoStarter_.join();
    videoRecorder_->endRecorder();
    capturingSound_ = false;

    const std::string file = parts_.soundflowerSettingFile.empty() ? SWAppConfig::soundflowerSettingFile()
                                                                   : parts_.soundflowerSettingFile;
    restoreSavedAudioDevices(soundflowerManager(), audioDeviceManager(), file);
}

}  // namespace quill
