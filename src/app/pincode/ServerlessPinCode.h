#pragma once
// Local decoding of an 8-digit pin code. The pin holds the last two octets of the receiver's IPv4
// address, each XOR a 2-digit key; the receiver shares the first two octets with this computer's own
// local-network address:
//   digits 1-2  the key k (decimal, 0 to 99)
//   digits 3-5  the receiver's third octet XOR k (decimal)
//   digits 6-8  the receiver's fourth octet XOR k (decimal)
// The pin view runs the decoding on a global queue and turns a failure into its alert:
//   noLocalIP, invalidLocalIP  "Failed to get local ip" / "Unable to get local ip, or get a invalid ip"
//   invalidPinCode             "Invalid input" / "The Pin Code is invalid."

#include <optional>
#include <string>

#include "app/pincode/ReceiverObject.h"

namespace quill {

enum class ServerlessPinCodeStatus {
    // The receiver was decoded.
    found,
    // No qualifying local address ("get local ip error").
    noLocalIP,
    // The local address is not four dotted parts ("get a invalid ip").
    invalidLocalIP,
    // The pin is not eight decimal digits, or an octet decodes to 256 or more ("invalid pincode").
    invalidPinCode,
};

struct ServerlessPinCodeResult {
    ServerlessPinCodeStatus status = ServerlessPinCodeStatus::invalidPinCode;
    // With found: no name, no version, the decoded address alone, the pin.
    std::optional<ReceiverObject> receiver;
};

// Decodes inputPinCode against the given local address (none: no local address was found), logging as it
// goes. The local address is checked before the pin.
ServerlessPinCodeResult decodeServerlessPinCode(const std::string& inputPinCode,
                                                const std::optional<std::string>& localIP);
// Decodes inputPinCode against getWiFiAddress().
ServerlessPinCodeResult checkServerlessPinCode(const std::string& inputPinCode);

}  // namespace quill
