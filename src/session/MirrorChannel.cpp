#include "session/MirrorChannel.h"

#include <pthread.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <thread>
#include <utility>

#include "audio/AudioDeviceManager.h"
#include "audio/AudioRestore.h"
#include "audio/SoundflowerManager.h"
#include "media/SWAppConfig.h"
#include "media/SWMediaHandler.h"
#include "platform/foundation/SysLog.h"
#include "platform/power/Power.h"

namespace quill {

namespace power = platform::power;

namespace {

// The integer at the start of a text: optional blanks and sign, then digits; 0 when there are none,
// the nearest int when it does not fit.
int leadingInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

}  // namespace

// Forwards the link's reports to the controller while it lives.
class MirrorChannel::LinkListener : public NetStreamDelegate {
  public:
    explicit LinkListener(std::weak_ptr<MirrorChannel> owner) : owner_(std::move(owner)) {}

    void onConnectSuccess() override {
        with([](MirrorChannel& c) { c.onConnectSuccess(); });
    }
    void onConnectFailed() override {
        with([](MirrorChannel& c) { c.onConnectFailed(); });
    }
    void onServerTimeout() override {
        with([](MirrorChannel& c) { c.onServerTimeout(); });
    }
    void onRequestMirrorStartSuccess() override {
        with([](MirrorChannel& c) { c.onRequestMirrorStartSuccess(); });
    }
    // A refused start is not reported further.
    void onRequestMirrorStartFailed(int) override {}
    void onRequestMirrorStopSuccess() override {
        with([](MirrorChannel& c) { c.onRequestMirrorStopSuccess(); });
    }
    void onServerRequestMirrorOn() override {
        with([](MirrorChannel& c) { c.onServerRequestMirrorOn(); });
    }
    void onServerRequestMirrorOff() override {
        with([](MirrorChannel& c) { c.onServerRequestMirrorOff(); });
    }
    void onServerRequsstUpdateFrameRate(int) override {}
    void onServerRequestKeyFrame() override {
        with([](MirrorChannel& c) { c.onServerRequestKeyFrame(); });
    }
    void onServerRequestKeyStatus() override {
        with([](MirrorChannel& c) { c.onServerRequestKeyStatus(); });
    }
    void onServerRequestDeviceStatus(int status) override {
        with([status](MirrorChannel& c) { c.onServerRequestDeviceStatus(status); });
    }
    void onServerResponseAuthenticateType() override {}
    void onServerResponseVersion(const std::string& version) override {
        with([&version](MirrorChannel& c) { c.onServerResponseVersion(version); });
    }

  private:
    template <class F>
    void with(F&& f) {
        if (auto owner = owner_.lock()) f(*owner);
    }
    std::weak_ptr<MirrorChannel> owner_;
};

// One run of the send loop: its own stop token, so that a stopped run never picks up a later run's
// queues or flag.
struct MirrorChannel::SendRun {
    std::shared_ptr<EncodedVideoQueue> video;
    std::shared_ptr<EncodedAudioQueue> audio;
    double idle = 0.01;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;

    void requestStop() {
        {
            std::lock_guard lock(mutex);
            stop.store(true);
        }
        wake.notify_all();
    }
};

std::shared_ptr<MirrorChannel> MirrorChannel::create() {
    return create(MirrorChannelParts{});
}

std::shared_ptr<MirrorChannel> MirrorChannel::create(MirrorChannelParts parts) {
    std::shared_ptr<MirrorChannel> channel(new MirrorChannel(std::move(parts)));
    channel->init();
    return channel;
}

MirrorChannel::MirrorChannel(MirrorChannelParts parts)
    : parts_(std::move(parts)), netStream_(NetStream::create(parts_.link)) {}

void MirrorChannel::init() {
    listener_ = std::make_shared<LinkListener>(weak_from_this());
    netStream_->setDelegate(listener_);
    std::lock_guard lock(mutex_);
    mirroring_ = false;
    autoShare_ = true;
    SWAppConfig& config = parts_.config ? *parts_.config : SWAppConfig::singleton();
    config.loadData();
}

MirrorChannel::~MirrorChannel() {
    bool used;
    {
        std::lock_guard lock(mutex_);
        used = everConnected_ || mirroring_;
    }
    if (!used) return;
    std::lock_guard op(opMutex_);
    tearDown();
}

SoundflowerManager& MirrorChannel::soundflowerManager() {
    return parts_.soundflowerManager ? *parts_.soundflowerManager : SoundflowerManager::sharedInstance();
}

AudioDeviceManager& MirrorChannel::audioDeviceManager() {
    return parts_.audioDeviceManager ? *parts_.audioDeviceManager : soundflowerManager().audioDeviceManager();
}

power::PowerManager& MirrorChannel::powerManager() {
    return parts_.powerManager ? *parts_.powerManager : power::PowerManager::shared();
}

std::string MirrorChannel::soundflowerSettingFile() const {
    return parts_.soundflowerSettingFile.empty() ? SWAppConfig::soundflowerSettingFile()
                                                 : parts_.soundflowerSettingFile;
}

std::shared_ptr<MirrorChannelDelegate> MirrorChannel::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void MirrorChannel::setDelegate(std::shared_ptr<MirrorChannelDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::string MirrorChannel::localIP() const {
    std::lock_guard lock(mutex_);
    return localIP_;
}

void MirrorChannel::setLocalIP(const std::string& localIP) {
    std::lock_guard lock(mutex_);
    localIP_ = localIP;
}

std::string MirrorChannel::pinCode() const {
    std::lock_guard lock(mutex_);
    return pinCode_;
}

bool MirrorChannel::isMirroring() const {
    std::lock_guard lock(mutex_);
    return mirroring_;
}

void MirrorChannel::connect(const std::string& address, const std::string& pin) {
    const std::string ip = localIP();
    if (!ip.empty()) {
        const std::vector<std::string> parts = split(ip, '.');
        if (parts.size() >= 4) {
            netStream_->setLocaIpByte(static_cast<uint8_t>(leadingInt(parts.back())));
        } else {
            for (size_t i = 0; i < parts.size(); ++i)
                sysLog("arr[%i]=%s", static_cast<int>(i), parts[i].c_str());
        }
    }
    {
        std::lock_guard lock(mutex_);
        pinCode_ = pin;
        accepting_ = true;
        everConnected_ = true;
    }
    netStream_->connect(address);
}

bool MirrorChannel::installSoundPlugin() {
    sysLog("going to installSoundPlugin");
    SoundflowerManager& manager = soundflowerManager();
    if (manager.isKextInstalled()) return true;
    return manager.installKext();
}

void MirrorChannel::requestMirrorOn() {
    netStream_->requestMirrorStart();
}

void MirrorChannel::requestMirrorOff() {
    netStream_->requestMirrorStop();
}

void MirrorChannel::disconnect() {
    {
        std::lock_guard op(opMutex_);
        tearDown();
    }
    deliverEvents();
}

void MirrorChannel::tearDown() {
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
    }
    stopMirroOn();
    // Closing the link also ends a media write that waits for a credit, so the join below is quick.
    netStream_->disconnect();
    joinFinishedRuns();
    restoreAudio();
}

// ---- Link reports ----------------------------------------------------------------------------------

void MirrorChannel::onConnectSuccess() {
    post([](MirrorChannelDelegate& d) { d.onConnectToReceiverSuccess(); });
    deliverEvents();
    syncSettings();
}

void MirrorChannel::onConnectFailed() {
    post([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-1); });
    deliverEvents();
}

void MirrorChannel::onServerTimeout() {
    post([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-2); });
    deliverEvents();
}

void MirrorChannel::onRequestMirrorStartSuccess() {
    sysLog("mirror start success, going to send video data.");
    if (isMirroring()) {
        sysLog("still in mirroring state....");
        return;
    }
    startFromTrigger();
}

void MirrorChannel::onRequestMirrorStopSuccess() {
    sysLog("onRequestMirrorStopSuccess");
    stopFromTrigger(true);
}

void MirrorChannel::onServerRequestMirrorOn() {
    netStream_->requestMirrorStart();
}

void MirrorChannel::onServerRequestMirrorOff() {
    netStream_->requestMirrorStop();
}

void MirrorChannel::onServerRequestKeyFrame() {
    std::shared_ptr<SWMediaHandler> handler;
    {
        std::lock_guard lock(mutex_);
        if (mirroring_) handler = mediaHandler_;
    }
    if (handler) handler->setNeedsKeyFrame(true);
}

void MirrorChannel::onServerRequestKeyStatus() {
    if (isMirroring())
        netStream_->requestMirrorStop();
    else
        netStream_->requestMirrorStart();
}

void MirrorChannel::onServerRequestDeviceStatus(int status) {
    if (status == 7) {
        sysLog("server request start send.");
        startFromTrigger();
    } else if (status == 6) {
        sysLog("sever request stop sending.");
        stopFromTrigger(false);
    }
}

void MirrorChannel::onServerResponseVersion(const std::string& version) {
    post([version](MirrorChannelDelegate& d) { d.onRequestReceiverVersionSuccess(version); });
    deliverEvents();
}

void MirrorChannel::syncSettings() {
    SWAppConfig& config = parts_.config ? *parts_.config : SWAppConfig::singleton();
    netStream_->setSenderName(config.deviceName());
    netStream_->setTouchMode(0);
    netStream_->requestReceiverVersion();
    netStream_->requestGetAuthentication();
    netStream_->requestSyncClientCode();
    netStream_->requestSyncClientType();
    netStream_->requestAuthenPinCode(pinCode());
}

// ---- Start and stop ---------------------------------------------------------------------------------

void MirrorChannel::startFromTrigger() {
    {
        std::lock_guard op(opMutex_);
        bool start;
        {
            std::lock_guard lock(mutex_);
            start = accepting_ && !mirroring_;
            if (!accepting_) sysLog("not connected: start of mirroring ignored.");
        }
        if (start) {
            // Queued before the start so that it reaches the view ahead of any later stop.
            post([](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); });
            startMirrorOn();
        }
    }
    deliverEvents();
}

void MirrorChannel::stopFromTrigger(bool reportAlways) {
    {
        std::lock_guard op(opMutex_);
        if (stopMirroOn() || reportAlways)
            post([](MirrorChannelDelegate& d) { d.onRequestMirrorOffSuccess(); });
    }
    deliverEvents();
}

void MirrorChannel::startMirrorOn() {
    // The previous run's thread ends here at the latest.
    joinFinishedRuns();
    {
        std::lock_guard lock(mutex_);
        mirroring_ = true;
    }
    // The sound devices switch before the media start, so that sound capture finds the loopback device
    // as the default and the run carries sound.
    enableAudio();

    std::shared_ptr<SWMediaHandler> handler;
    if (parts_.makeMediaHandler) handler = parts_.makeMediaHandler();
    if (!handler) {
        SWMediaHandlerParts media;
        media.soundflowerManager = parts_.soundflowerManager;
        media.audioDeviceManager = parts_.audioDeviceManager;
        media.soundflowerSettingFile = soundflowerSettingFile();
        handler = SWMediaHandler::create(std::move(media));
    }
    {
        std::lock_guard lock(mutex_);
        mediaHandler_ = handler;
    }
    handler->startMedia();

    power::IOPMAssertionID id = 0;
    if (powerManager().IOPMAssertionCreateWithName(power::kIOPMAssertionTypePreventUserIdleDisplaySleep,
                                                   power::kIOPMAssertionLevelOn, kAssertionName,
                                                   &id) == power::kIOReturnSuccess) {
        assertionID_ = id;
    } else {
        assertionID_ = 0;
        sysLog("could not take the display-sleep assertion.");
    }

    sysLog("going to start send av data.");
    auto run = std::make_shared<SendRun>();
    run->video = handler->videoOutputQueue();
    run->audio = handler->audioOutputQueue();
    run->idle = parts_.sendLoopIdle;
    run->thread = std::thread(&MirrorChannel::sendMediaData, netStream_, run);
    sendRun_ = run;
}

bool MirrorChannel::stopMirroOn() {
    std::shared_ptr<SWMediaHandler> handler;
    {
        std::lock_guard lock(mutex_);
        if (!mirroring_) return false;
        mirroring_ = false;
        handler = std::move(mediaHandler_);
    }
    if (sendRun_) {
        sendRun_->requestStop();
        finishedRuns_.push_back(std::move(sendRun_));
    }
    if (handler) handler->stopMedia();
    handler.reset();
    if (assertionID_ != 0) {
        powerManager().IOPMAssertionRelease(assertionID_);
        assertionID_ = 0;
    }
    return true;
}

void MirrorChannel::joinFinishedRuns() {
    for (auto& run : finishedRuns_) {
        if (run->thread.joinable()) run->thread.join();
    }
    finishedRuns_.clear();
}

void MirrorChannel::enableAudio() {
    const std::string file = soundflowerSettingFile();
    SoundflowerManager& manager = soundflowerManager();
    // A saved file beside a loopback default is what an earlier run left when it did not end cleanly:
    // it holds the user's devices, which saving now would overwrite with the loopback device.
    std::error_code ignored;
    if (!(std::filesystem::exists(file, ignored) && manager.isSoundflowerDefaultAudio()))
        audioDeviceManager().writeSystemAudioSettingToFile(file);
    sysLog("audio sound flower setting file:%s", file.c_str());
    if (manager.isKextInstalled()) {
        manager.setSoundflowerAsDefaultAudio();
        manager.setProtectSetting(true);
    }
}

void MirrorChannel::restoreAudio() {
    restoreSavedAudioDevices(soundflowerManager(), audioDeviceManager(), soundflowerSettingFile());
}

void MirrorChannel::sendMediaData(std::shared_ptr<NetStream> link, std::shared_ptr<SendRun> run) {
    pthread_setname_np(pthread_self(), "quill.sendmedia");
    sysLog("sendMediaData");
    while (!run->stop.load()) {
        bool sent = false;
        // All waiting sound first, then at most one video packet.
        while (!run->stop.load()) {
            std::optional<MediaPacket> packet = run->audio->take(0.0);
            if (!packet) break;
            link->sendAudioData(packet->wire());
            sent = true;
        }
        if (!run->stop.load()) {
            if (std::optional<MediaPacket> packet = run->video->take(0.0)) {
                link->sendVideoData(packet->wire());
                sent = true;
            }
        }
        if (!sent) {
            std::unique_lock lock(run->mutex);
            run->wake.wait_for(lock, std::chrono::duration<double>(run->idle),
                               [&] { return run->stop.load(); });
        }
    }
    sysLog("exit sendMediaData");
}

// ---- Delegate calls ---------------------------------------------------------------------------------

void MirrorChannel::post(Event event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

void MirrorChannel::deliverEvents() {
    std::unique_lock lock(mutex_);
    if (delivering_) return;
    delivering_ = true;
    while (!events_.empty()) {
        Event event = std::move(events_.front());
        events_.pop_front();
        std::shared_ptr<MirrorChannelDelegate> d = delegate_;
        lock.unlock();
        if (d) event(*d);
        lock.lock();
    }
    delivering_ = false;
}

}  // namespace quill
