#pragma once
// What the session view needs of the session controller: connect to a receiver, start and stop
// mirroring, disconnect; its reports (MirrorChannelDelegate) arrive on the controller's threads, never on
// the main thread. MirrorChannelSession drives the real MirrorChannel; tests use fakes.

#include <memory>
#include <string>

#include "session/MirrorChannel.h"

namespace quill {

class MirrorSession {
  public:
    virtual ~MirrorSession() = default;
    // Held weakly.
    virtual void setDelegate(std::weak_ptr<MirrorChannelDelegate> delegate) = 0;
    virtual void setLocalIP(const std::string& localIP) = 0;
    virtual void connect(const std::string& host, const std::string& pin) = 0;
    virtual bool installSoundPlugin() = 0;
    virtual void requestMirrorOn() = 0;
    virtual void requestMirrorOff() = 0;
    virtual void disconnect() = 0;
};

// The real controller. It holds its delegate strongly while the view holds the controller, so it gets
// a relay that holds the view weakly.
class MirrorChannelSession : public MirrorSession {
  public:
    explicit MirrorChannelSession(std::shared_ptr<MirrorChannel> channel);
    void setDelegate(std::weak_ptr<MirrorChannelDelegate> delegate) override;
    void setLocalIP(const std::string& localIP) override { channel_->setLocalIP(localIP); }
    void connect(const std::string& host, const std::string& pin) override { channel_->connect(host, pin); }
    bool installSoundPlugin() override { return channel_->installSoundPlugin(); }
    void requestMirrorOn() override { channel_->requestMirrorOn(); }
    void requestMirrorOff() override { channel_->requestMirrorOff(); }
    void disconnect() override { channel_->disconnect(); }
    const std::shared_ptr<MirrorChannel>& channel() const { return channel_; }

  private:
    std::shared_ptr<MirrorChannel> channel_;
};

}  // namespace quill
