#include "media/MirrorChannel.h"

#include <utility>

namespace quill {

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

struct MirrorChannel::SendRun {};

std::shared_ptr<MirrorChannel> MirrorChannel::create() {
    return create(MirrorChannelParts{});
}

std::shared_ptr<MirrorChannel> MirrorChannel::create(MirrorChannelParts parts) {
    std::shared_ptr<MirrorChannel> channel(new MirrorChannel(std::move(parts)));
    channel->init();
    return channel;
}

MirrorChannel::MirrorChannel(MirrorChannelParts parts)
    : parts_(std::move(parts)),
      soundflowerManager_(parts_.soundflowerManager),
      audioDeviceManager_(parts_.audioDeviceManager),
      powerManager_(parts_.powerManager),
      config_(parts_.config),
      netStream_(NetStream::create(parts_.link)) {}

void MirrorChannel::init() {
    listener_ = std::make_shared<LinkListener>(weak_from_this());
    netStream_->setDelegate(listener_);
    autoShare_ = true;
}

MirrorChannel::~MirrorChannel() {
    netStream_->disconnect();
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
    {
        std::lock_guard lock(mutex_);
        pinCode_ = pin;
        accepting_ = true;
    }
    netStream_->connect(address);
}

bool MirrorChannel::installSoundPlugin() {
    return false;
}

void MirrorChannel::requestMirrorOn() {
    netStream_->requestMirrorStart();
}

void MirrorChannel::requestMirrorOff() {
    netStream_->requestMirrorStop();
}

void MirrorChannel::disconnect() {
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
    }
    netStream_->disconnect();
}

void MirrorChannel::onConnectSuccess() {
    if (auto d = delegate()) d->onConnectToReceiverSuccess();
}
void MirrorChannel::onConnectFailed() {
    if (auto d = delegate()) d->onConnectToReceiverFailed(-1);
}
void MirrorChannel::onServerTimeout() {
    if (auto d = delegate()) d->onConnectToReceiverFailed(-2);
}
void MirrorChannel::onRequestMirrorStartSuccess() {}
void MirrorChannel::onRequestMirrorStopSuccess() {
    if (auto d = delegate()) d->onRequestMirrorOffSuccess();
}
void MirrorChannel::onServerRequestMirrorOn() {
    netStream_->requestMirrorStart();
}
void MirrorChannel::onServerRequestMirrorOff() {
    netStream_->requestMirrorStop();
}
void MirrorChannel::onServerRequestKeyFrame() {}
void MirrorChannel::onServerRequestKeyStatus() {}
void MirrorChannel::onServerRequestDeviceStatus(int) {}
void MirrorChannel::onServerResponseVersion(const std::string& version) {
    if (auto d = delegate()) d->onRequestReceiverVersionSuccess(version);
}

}  // namespace quill
