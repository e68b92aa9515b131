#pragma once
// What the session view needs of the session controller: connect to a receiver, start and stop
// mirroring, disconnect; its reports arrive on the controller's threads, never on the main thread.
// MirrorChannel is the real one; tests use fakes.

#include <memory>
#include <string>

namespace quill {

class MirrorSessionDelegate {
  public:
    virtual ~MirrorSessionDelegate() = default;
    virtual void onConnectToReceiverSuccess() = 0;
    virtual void onConnectToReceiverFailed(int code) = 0;
    virtual void onRequestMirrorOnSuccess() = 0;
    virtual void onRequestMirrorOnFailed(int code) = 0;
    virtual void onRequestMirrorOffSuccess() = 0;
    virtual void onRequestReceiverVersionSuccess(const std::string& version) = 0;
};

class MirrorSession {
  public:
    virtual ~MirrorSession() = default;
    // Held weakly.
    virtual void setDelegate(std::weak_ptr<MirrorSessionDelegate> delegate) = 0;
    virtual void setLocalIP(const std::string& localIP) = 0;
    virtual void connect(const std::string& host, const std::string& pin) = 0;
    virtual bool installSoundPlugin() = 0;
    virtual void requestMirrorOn() = 0;
    virtual void requestMirrorOff() = 0;
    virtual void disconnect() = 0;
};

}  // namespace quill
