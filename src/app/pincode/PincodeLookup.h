#pragma once
// What the pin view needs of the look-up client: one look-up per 6-digit pin, its outcome reported to a
// PincodeDelegate on the client's own queue. PincodeChannelLookup drives the real PincodeChannel; tests
// use fakes.

#include <memory>
#include <string>

#include "app/pincode/PincodeChannel.h"

namespace quill {

class PincodeLookup {
  public:
    virtual ~PincodeLookup() = default;
    // Held weakly.
    virtual void setPincodeDelegate(std::weak_ptr<PincodeDelegate> delegate) = 0;
    virtual void findReceiverByPincode(const std::string& pin) = 0;
};

class PincodeChannelLookup : public PincodeLookup {
  public:
    explicit PincodeChannelLookup(std::shared_ptr<PincodeChannel> channel) : channel_(std::move(channel)) {}
    void setPincodeDelegate(std::weak_ptr<PincodeDelegate> delegate) override {
        channel_->setPincodeDelegate(std::move(delegate));
    }
    void findReceiverByPincode(const std::string& pin) override { channel_->findReceiverByPincode(pin); }
    const std::shared_ptr<PincodeChannel>& channel() const { return channel_; }

  private:
    std::shared_ptr<PincodeChannel> channel_;
};

}  // namespace quill
