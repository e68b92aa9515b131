#include "app/session/MirrorSession.h"

namespace quill {

namespace {

class Relay : public MirrorChannelDelegate {
  public:
    explicit Relay(std::weak_ptr<MirrorChannelDelegate> target) : target_(std::move(target)) {}
    void onConnectToReceiverSuccess() override {
        if (auto t = target_.lock()) t->onConnectToReceiverSuccess();
    }
    void onConnectToReceiverFailed(int code) override {
        if (auto t = target_.lock()) t->onConnectToReceiverFailed(code);
    }
    void onRequestMirrorOnSuccess() override {
        if (auto t = target_.lock()) t->onRequestMirrorOnSuccess();
    }
    void onRequestMirrorOnFailed(int code) override {
        if (auto t = target_.lock()) t->onRequestMirrorOnFailed(code);
    }
    void onRequestMirrorOffSuccess() override {
        if (auto t = target_.lock()) t->onRequestMirrorOffSuccess();
    }
    void onRequestReceiverVersionSuccess(const std::string& version) override {
        if (auto t = target_.lock()) t->onRequestReceiverVersionSuccess(version);
    }

  private:
    std::weak_ptr<MirrorChannelDelegate> target_;
};

}  // namespace

MirrorChannelSession::MirrorChannelSession(std::shared_ptr<MirrorChannel> channel)
    : channel_(std::move(channel)) {}

void MirrorChannelSession::setDelegate(std::weak_ptr<MirrorChannelDelegate> delegate) {
    channel_->setDelegate(std::make_shared<Relay>(std::move(delegate)));
}

}  // namespace quill
