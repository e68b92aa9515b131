#include "app/MainNib.h"
#include "platform/dispatch/Dispatch.h"

namespace quill {

namespace {

// Stand-ins until the look-up client and the session controller are wired in: both report failure.
class UnavailableLookup : public PincodeLookup {
  public:
    void setPincodeDelegate(std::weak_ptr<PincodeLookupDelegate> delegate) override { delegate_ = delegate; }
    void findReceiverByPincode(const std::string&) override {
        auto weak = delegate_;
        platform::dispatch::Queue::global()->async([weak] {
            if (auto d = weak.lock()) d->onConnectServerFailed();
        });
    }

  private:
    std::weak_ptr<PincodeLookupDelegate> delegate_;
};

class UnavailableSession : public MirrorSession {
  public:
    void setDelegate(std::weak_ptr<MirrorSessionDelegate> delegate) override { delegate_ = delegate; }
    void setLocalIP(const std::string&) override {}
    void connect(const std::string&, const std::string&) override {
        auto weak = delegate_;
        platform::dispatch::Queue::global()->async([weak] {
            if (auto d = weak.lock()) d->onConnectToReceiverFailed(-1);
        });
    }
    bool installSoundPlugin() override { return false; }
    void requestMirrorOn() override {}
    void requestMirrorOff() override {}
    void disconnect() override {}

  private:
    std::weak_ptr<MirrorSessionDelegate> delegate_;
};

}  // namespace

ShellParts defaultShellParts() {
    ShellParts parts;
    parts.makePincodeChannel = [] { return std::make_shared<UnavailableLookup>(); };
    parts.makeMirrorChannel = [] { return std::make_shared<UnavailableSession>(); };
    return parts;
}

}  // namespace quill
