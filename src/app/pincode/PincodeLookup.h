#pragma once
// What the pin view needs of the look-up client: one look-up per 6-digit pin, its outcome reported to
// a PincodeLookupDelegate on the client's own queue. PincodeChannel is the real one; tests use fakes.

#include <memory>
#include <string>

#include "app/pincode/ReceiverObject.h"

namespace quill {

class PincodeLookupDelegate {
  public:
    virtual ~PincodeLookupDelegate() = default;
    virtual void onConnectServerFailed() = 0;
    virtual void onConnectServerSuccess() = 0;
    virtual void onUnableToFindReceiver() = 0;
    virtual void onFindReceiverSuccess(const ReceiverObject& receiver) = 0;
};

class PincodeLookup {
  public:
    virtual ~PincodeLookup() = default;
    // Held weakly.
    virtual void setPincodeDelegate(std::weak_ptr<PincodeLookupDelegate> delegate) = 0;
    virtual void findReceiverByPincode(const std::string& pin) = 0;
};

}  // namespace quill
