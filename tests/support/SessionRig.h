#pragma once
// A whole mirroring session for tests and benchmarks: the test receiver on loopback, a synthetic screen
// (or a real one given), a synthetic tone as the sound input, simulated sound devices with a loopback
// device, a stand-in driver detection tool, a recording power backend, and a session controller wired
// to all of them with a delegate that records what it hears.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/SWAppConfig.h"
#include "media/SWMediaHandler.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/power/Power.h"
#include "session/MirrorChannel.h"
#include "support/SessionParts.h"
#include "support/TestReceiver.h"

namespace quill::testing {

// Records every delegate call in order, with bounded waits. A hook may act on a call from inside it.
class ChannelRecorder : public MirrorChannelDelegate {
  public:
    void onConnectToReceiverSuccess() override { add("onConnectToReceiverSuccess"); }
    void onConnectToReceiverFailed(int code) override {
        add("onConnectToReceiverFailed:" + std::to_string(code));
    }
    void onRequestMirrorOnSuccess() override { add("onRequestMirrorOnSuccess"); }
    void onRequestMirrorOnFailed(int code) override {
        add("onRequestMirrorOnFailed:" + std::to_string(code));
    }
    void onRequestMirrorOffSuccess() override { add("onRequestMirrorOffSuccess"); }
    void onRequestReceiverVersionSuccess(const std::string& version) override {
        add("onRequestReceiverVersionSuccess:" + version);
    }

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    size_t count(const std::string& name) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& e : events_)
            n += e == name;
        return n;
    }
    bool waitFor(const std::string& name, size_t n, double seconds) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            size_t c = 0;
            for (const auto& e : events_)
                c += e == name;
            return c >= n;
        });
    }
    void setHook(std::function<void(const std::string&)> hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }

  private:
    void add(std::string name) {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(mutex_);
            events_.push_back(name);
            hook = hook_;
        }
        changed_.notify_all();
        if (hook) hook(name);
    }
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
    std::function<void(const std::string&)> hook_;
};

struct SessionRigOptions {
    int width = 640;
    bool displayPresent = true;
    int height = 360;
    double changesPerSecond = 30;
    // Whether the stand-in detection tool reports the loopback driver as loaded.
    bool driverLoaded = true;
    double receiverHeartbeat = 0.3;
    // Applied to the link options after the ports are filled in.
    std::function<void(NetStream::Options&)> link;
    // Applied to the test receiver's options.
    std::function<void(TestReceiver::Options&)> receiver;
    // A real screen to mirror in place of the synthetic one (which is then made but not used), and
    // whether its cursor is drawn.
    std::shared_ptr<platform::display::DisplayService> screen;
    bool showCursor = false;
};

class SessionRig : public SimulatedSound {
  public:
    explicit SessionRig(SessionRigOptions options = {})
        : SimulatedSound(options.driverLoaded), options_(std::move(options)) {
        power = std::make_unique<platform::power::PowerManager>(powerBackend);
        config->setDeviceName("Test Mac");
        display =
            platform::display::SyntheticDisplayService::create({.width = options_.width,
                                                                .height = options_.height,
                                                                .changesPerSecond = options_.changesPerSecond,
                                                                .present = options_.displayPresent});

        TestReceiver::Options ro;
        ro.heartbeatSeconds = options_.receiverHeartbeat;
        if (options_.receiver) options_.receiver(ro);
        receiver = std::make_unique<TestReceiver>(ro);

        MirrorChannelParts parts;
        parts.link = linkOptionsFor(*receiver);
        if (options_.link) options_.link(parts.link);
        parts.soundflowerManager = soundflower.get();
        parts.audioDeviceManager = devices.get();
        parts.powerManager = power.get();
        parts.config = config.get();
        parts.soundflowerSettingFile = settingFile();
        parts.makeMediaHandler = [this, alive = alive_] {
            ++handlersMade;
            auto handler = makeHandler();
            std::lock_guard lock(handlerMutex_);
            lastHandler_ = handler;
            return handler;
        };
        parts.display = screenService();
        channel = MirrorChannel::create(std::move(parts));
        channel->setDelegate(view);
        channel->setLocalIP("127.0.0.42");
    }

    ~SessionRig() {
        releaseChannel();
        receiver.reset();
    }

    // Drops the controller and waits until it is gone (at most ten seconds). A link callback under way
    // may still hold it; it must be gone before the parts it uses. Its parts (and the token in them) go
    // last in its destruction, so the token's end says that the controller is gone, where the
    // controller's own weak pointers expire as its destructor begins.
    bool releaseChannel() {
        std::weak_ptr<void> weak = alive_;
        alive_.reset();
        channel.reset();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!weak.expired() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return weak.expired();
    }

    // A media handler over the synthetic screen and tone and the simulated sound devices.
    std::shared_ptr<SWMediaHandler> makeHandler() {
        return makeMediaHandler(screenService(), settingFile(), options_.showCursor);
    }
    // The screen the session mirrors.
    std::shared_ptr<platform::display::DisplayService> screenService() const {
        return options_.screen ? options_.screen : display;
    }

    // The media handler of the latest start, while it lives.
    std::shared_ptr<SWMediaHandler> lastHandler() {
        std::lock_guard lock(handlerMutex_);
        return lastHandler_.lock();
    }

    std::string settingFile() const { return tmp / ".soundflower"; }
    bool settingFileExists() const { return std::filesystem::exists(settingFile()); }

    // Connects and waits for the set-up requests to have arrived (the pin is the last).
    bool connect(const std::string& pin = "123456", double seconds = 5) {
        channel->connect("127.0.0.1", pin);
        return view->waitFor("onConnectToReceiverSuccess", 1, seconds) &&
               receiver->waitForRequests(35, 1, seconds);
    }

    SessionRigOptions options_;
    std::shared_ptr<platform::power::RecordingPowerBackend> powerBackend =
        std::make_shared<platform::power::RecordingPowerBackend>();
    std::unique_ptr<platform::power::PowerManager> power;
    std::unique_ptr<SWAppConfig> config = std::make_unique<SWAppConfig>();
    std::shared_ptr<platform::display::SyntheticDisplayService> display;
    std::unique_ptr<TestReceiver> receiver;
    std::shared_ptr<ChannelRecorder> view = std::make_shared<ChannelRecorder>();
    std::atomic<int> handlersMade{0};
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::mutex handlerMutex_;
    std::weak_ptr<SWMediaHandler> lastHandler_;
    std::shared_ptr<MirrorChannel> channel;
};

}  // namespace quill::testing
