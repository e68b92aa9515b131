#include "app/pincode/ServerlessPinCode.h"

#include "app/pincode/WiFiAddress.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/Text.h"

namespace quill {

namespace {

// At most three digits, so the value always fits.
int decimal(const std::string& digits) {
    int value = 0;
    for (char c : digits)
        value = value * 10 + (c - '0');
    return value;
}

ServerlessPinCodeResult failed(ServerlessPinCodeStatus status) {
    return {status, std::nullopt};
}

}  // namespace

ServerlessPinCodeResult decodeServerlessPinCode(const std::string& inputPinCode,
                                                const std::optional<std::string>& localIP) {
    if (!localIP) {
        sysLogString("get local ip error");
        return failed(ServerlessPinCodeStatus::noLocalIP);
    }
    sysLogString("local ip=" + *localIP);
    const auto local = platform::foundation::parseIPv4(*localIP);
    if (!local) {
        sysLogString("get a invalid ip");
        return failed(ServerlessPinCodeStatus::invalidLocalIP);
    }

    // Only eight decimal digits carry a key and two octets.
    if (inputPinCode.size() != 8 || !platform::foundation::isDecimalDigits(inputPinCode)) {
        sysLogString("invalid pincode");
        return failed(ServerlessPinCodeStatus::invalidPinCode);
    }
    const std::string sf = inputPinCode.substr(0, 2);
    const std::string sa = inputPinCode.substr(2, 3);
    const std::string sb = inputPinCode.substr(5, 3);
    sysLogString("sf=" + sf + ", sa=" + sa + ", sb=" + sb);

    const int k = decimal(sf);
    const int a = decimal(sa) ^ k;
    const int b = decimal(sb) ^ k;
    if (a >= 256 || b >= 256) {
        sysLogString("invalid pincode");
        return failed(ServerlessPinCodeStatus::invalidPinCode);
    }
    const std::string target = std::to_string((*local)[0]) + "." + std::to_string((*local)[1]) + "." +
                               std::to_string(a) + "." + std::to_string(b);
    sysLogString("targetIp =" + target);
    return {ServerlessPinCodeStatus::found, ReceiverObject{"", "", {target}, inputPinCode}};
}

ServerlessPinCodeResult checkServerlessPinCode(const std::string& inputPinCode) {
    return decodeServerlessPinCode(inputPinCode, getWiFiAddress());
}

}  // namespace quill
