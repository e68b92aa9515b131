#include "session/MirrorChannel.h"

#include <algorithm>
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
#include "platform/display/Display.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"
#include "platform/foundation/ThreadPriority.h"
#include "platform/power/Power.h"

namespace quill {

namespace power = platform::power;
namespace display = platform::display;

namespace {

// Set while this thread runs one of the link's reports: a thread of the link's callback queue or its
// heartbeat thread, which must never wait for another thread to end.
thread_local int tInLinkReport = 0;
// Set while this thread delivers reports to the delegate.
thread_local int tDelivering = 0;

// Pause of the cursor loop between two reports, seconds.
constexpr double kMouseEventInterval = 0.05;
// How long an announcement of mirroring waits for another thread that is delivering reports.
constexpr auto kAnnounceWait = std::chrono::seconds(2);

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
        ++tInLinkReport;
        if (auto owner = owner_.lock()) f(*owner);
        --tInLinkReport;
    }
    std::weak_ptr<MirrorChannel> owner_;
};

// A thread of the controller (a send loop or a cursor loop), the run it belongs to (none: it ends at
// once) and whether it has ended.
struct MirrorChannel::Worker {
    std::thread thread;
    std::shared_ptr<SendRun> run;
    std::atomic<bool> done{false};
};

// One run of mirroring as its threads see it: the encoded queues and a stop switch of its own, so that a
// stopped run never picks up a later run's queues or flag. The switch also ends a write-credit wait of
// the send thread at once.
struct MirrorChannel::SendRun {
    std::shared_ptr<EncodedVideoQueue> video;
    std::shared_ptr<EncodedAudioQueue> audio;
    double pause = 0.01;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable wake;

    void requestStop() {
        {
            std::lock_guard lock(mutex);
            stop.store(true);
        }
        wake.notify_all();
    }
    // Waits up to `seconds` or until stopped; false once stopped.
    bool pauseFor(double seconds) {
        std::unique_lock lock(mutex);
        wake.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stop.load(); });
        return !stop.load();
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
    if (used) {
        std::lock_guard op(opMutex_);
        tearDown();
    }
    // The threads hold nothing of this object. Off the link's threads they are joined; on them (the last
    // reference went in a report) they are let go to end by themselves, which they do at once.
    if (tInLinkReport == 0) settleWorkers(true);
    std::lock_guard lock(workersMutex_);
    for (auto& w : workers_)
        if (w->thread.joinable()) w->thread.detach();
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
    // A link that is connected already ignores the call, and its reports stay current.
    const bool fresh = !netStream_->isConnected();
    {
        std::lock_guard lock(mutex_);
        pinCode_ = pin;
        accepting_ = true;
        everConnected_ = true;
        if (fresh) ++linkEpoch_;
    }
    netStream_->connect(address);
}

bool MirrorChannel::installSoundPlugin() {
    sysLog("going to installSoundPlugin");
    SoundflowerManager& manager = soundflowerManager();
    if (manager.isKextInstalled()) return true;
    // Installing waits for the administrator's answer to a password prompt; the window's thread must
    // not, or the window would stop answering and a quit would wait for the prompt.
    return manager.installKextInBackground();
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
    // A stopped run gave up its credit wait, so its thread ends at once.
    settleWorkers(tInLinkReport == 0);
    deliverEvents();
}

void MirrorChannel::tearDown() {
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        ++linkEpoch_;
    }
    stopMirroOn();
    netStream_->disconnect();
    restoreAudio();
}

// ---- Link reports ----------------------------------------------------------------------------------

void MirrorChannel::onConnectSuccess() {
    postLinkReport([](MirrorChannelDelegate& d) { d.onConnectToReceiverSuccess(); });
    deliverEvents();
    syncSettings();
}

void MirrorChannel::onConnectFailed() {
    postLinkReport([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-1); });
    deliverEvents();
}

void MirrorChannel::onServerTimeout() {
    postLinkReport([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-2); });
    deliverEvents();
}

void MirrorChannel::onRequestMirrorStartSuccess() {
    sysLog("mirror start success, going to send video data.");
    bool on;
    {
        std::lock_guard lock(mutex_);
        on = mirroring_ || starting_;
    }
    if (on) {
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
    postLinkReport([version](MirrorChannelDelegate& d) { d.onRequestReceiverVersionSuccess(version); });
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
    // First the announcement: the start is reserved, so that a second trigger starts nothing more and a
    // stop or disconnect meanwhile cancels it; the delegate hears it with no lock held.
    uint64_t announcement = 0;
    {
        std::lock_guard op(opMutex_);
        bool start;
        {
            std::lock_guard lock(mutex_);
            start = accepting_ && !mirroring_ && !starting_;
            if (!accepting_) sysLog("not connected: start of mirroring ignored.");
            starting_ = starting_ || start;
        }
        if (!start) return;
        announcement = post({[](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); }});
    }
    deliverThrough(announcement);
    // Then the pipeline, unless the start was cancelled while the delegate heard of it.
    {
        std::lock_guard op(opMutex_);
        bool start;
        {
            std::lock_guard lock(mutex_);
            start = starting_ && accepting_;
        }
        if (start) startMirrorOn();
    }
    deliverEvents();
}

void MirrorChannel::stopFromTrigger(bool reportAlways) {
    {
        std::lock_guard op(opMutex_);
        if (stopMirroOn() || reportAlways)
            post({[](MirrorChannelDelegate& d) { d.onRequestMirrorOffSuccess(); }});
    }
    deliverEvents();
}

void MirrorChannel::startMirrorOn() {
    // Threads of earlier runs that have ended are reaped; none is waited for.
    settleWorkers(false);
    // The run is this mirroring's from the start, so that a cursor loop started meanwhile ends with it.
    auto run = std::make_shared<SendRun>();
    run->pause = parts_.sendLoopPause;
    {
        std::lock_guard lock(mutex_);
        starting_ = false;
        mirroring_ = true;
        sendRun_ = run;
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
    run->video = handler->videoOutputQueue();
    run->audio = handler->audioOutputQueue();
    auto worker = std::make_shared<Worker>();
    worker->run = run;
    worker->thread = std::thread(&MirrorChannel::sendMediaData, netStream_, std::move(run), worker);
    addWorker(std::move(worker));
}

bool MirrorChannel::stopMirroOn() {
    std::shared_ptr<SWMediaHandler> handler;
    std::shared_ptr<SendRun> run;
    {
        std::lock_guard lock(mutex_);
        if (starting_) {
            // Announced and not started: the start is called off, and reported as a stop.
            starting_ = false;
            return true;
        }
        if (!mirroring_) return false;
        mirroring_ = false;
        handler = std::move(mediaHandler_);
        run = std::move(sendRun_);
    }
    // The run's threads end by themselves: a credit wait of the send thread ends at once.
    if (run) run->requestStop();
    if (handler) handler->stopMedia();
    handler.reset();
    if (assertionID_ != 0) {
        powerManager().IOPMAssertionRelease(assertionID_);
        assertionID_ = 0;
    }
    return true;
}

void MirrorChannel::addWorker(std::shared_ptr<Worker> worker) {
    std::lock_guard lock(workersMutex_);
    workers_.push_back(std::move(worker));
}

void MirrorChannel::settleWorkers(bool wait) {
    std::vector<std::shared_ptr<Worker>> ended;
    {
        std::lock_guard lock(workersMutex_);
        // Kept: threads still running, and with wait those of a run that still mirrors (one started
        // after the stop this wait follows).
        auto it = std::stable_partition(workers_.begin(), workers_.end(), [wait](const auto& w) {
            if (w->done.load()) return false;
            return !wait || (w->run && !w->run->stop.load());
        });
        ended.assign(std::make_move_iterator(it), std::make_move_iterator(workers_.end()));
        workers_.erase(it, workers_.end());
    }
    // Without wait these have ended already and the joins return at once. With it, the caller is off the
    // link's threads and their runs were stopped, so each ends within moments.
    for (auto& w : ended)
        if (w->thread.joinable()) w->thread.join();
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

void MirrorChannel::sendMediaData(std::shared_ptr<NetStream> link, std::shared_ptr<SendRun> run,
                                  std::shared_ptr<Worker> worker) {
    platform::foundation::setCurrentThreadName("quill.sendmedia");
    sysLog("sendMediaData");
    do {
        // All waiting sound first, then at most one video packet, then a pause.
        while (!run->stop.load()) {
            std::optional<MediaPacket> packet = run->audio->take(0.0);
            if (!packet) break;
            link->sendAudioData(packet->wire(), &run->stop);
        }
        if (!run->stop.load()) {
            if (std::optional<MediaPacket> packet = run->video->take(0.0))
                link->sendVideoData(packet->wire(), &run->stop);
        }
    } while (run->pauseFor(run->pause));
    sysLog("exit sendMediaData");
    worker->done.store(true);
}

// ---- Cursor loop ------------------------------------------------------------------------------------

void MirrorChannel::startSendMouseEventThread() {
    std::shared_ptr<SendRun> run;
    {
        std::lock_guard lock(mutex_);
        if (mirroring_) run = sendRun_;
    }
    // Done ones go; the loop of an earlier run may still be ending.
    settleWorkers(false);
    auto worker = std::make_shared<Worker>();
    worker->run = run;
    auto screen = parts_.display ? parts_.display : display::DisplayService::shared();
    worker->thread = std::thread(&MirrorChannel::sendMouseEventLoop, netStream_, std::move(screen),
                                 std::move(run), worker);
    std::lock_guard lock(workersMutex_);
    sendMouseEventThread_ = worker;
    workers_.push_back(std::move(worker));
}

void MirrorChannel::sendMouseEventLoop(std::shared_ptr<NetStream> link,
                                       std::shared_ptr<display::DisplayService> screen,
                                       std::shared_ptr<SendRun> run, std::shared_ptr<Worker> worker) {
    platform::foundation::setCurrentThreadName("quill.cursor");
    platform::foundation::setHighestThreadPriority();
    link->requestMouseAlone(true);
    // Positions count from the bottom left in points; the receiver wants them from the top left.
    const double height = screen->displayBounds(screen->mainDisplayID()).height;
    MouseEvent event;
    event.type = 0;
    event.action = 0;
    while (run && !run->stop.load()) {
        if (std::optional<display::Point> p = screen->mouseLocation()) {
            event.x = static_cast<int>(p->x);
            event.y = static_cast<int>(height - p->y);
            link->requestMouseEvent(event);
        }
        if (!run->pauseFor(kMouseEventInterval)) break;
    }
    link->requestMouseAlone(false);
    worker->done.store(true);
}

// ---- Delegate calls ---------------------------------------------------------------------------------

uint64_t MirrorChannel::post(Event event) {
    std::lock_guard lock(mutex_);
    events_.emplace_back(++postedEvents_, std::move(event));
    return postedEvents_;
}

void MirrorChannel::postLinkReport(std::function<void(MirrorChannelDelegate&)> call) {
    uint64_t epoch;
    {
        std::lock_guard lock(mutex_);
        // After disconnect() the link's reports belong to a session that has ended.
        if (!accepting_) {
            sysLog("report of a closed connection not passed on.");
            return;
        }
        epoch = linkEpoch_;
    }
    post({std::move(call), epoch});
}

void MirrorChannel::deliverEvents() {
    std::unique_lock lock(mutex_);
    if (delivering_) return;
    delivering_ = true;
    while (!events_.empty()) {
        auto [seq, event] = std::move(events_.front());
        events_.pop_front();
        std::shared_ptr<MirrorChannelDelegate> d = delegate_;
        // A report of a connection that was closed or replaced while it waited is not passed on.
        const bool stale = event.linkEpoch != 0 && event.linkEpoch != linkEpoch_;
        lock.unlock();
        if (stale) {
            sysLog("report of a closed connection not passed on.");
        } else if (d) {
            ++tDelivering;
            event.call(*d);
            --tDelivering;
        }
        lock.lock();
        deliveredEvents_ = seq;
        eventsDelivered_.notify_all();
    }
    delivering_ = false;
}

void MirrorChannel::deliverThrough(uint64_t seq) {
    deliverEvents();
    // Inside a delivery of its own, this thread would wait for itself.
    if (tDelivering > 0) return;
    std::unique_lock lock(mutex_);
    eventsDelivered_.wait_for(lock, kAnnounceWait, [&] { return deliveredEvents_ >= seq; });
}

}  // namespace quill
