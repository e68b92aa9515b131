#include "app/pincode/ServerlessPinCode.h"

#include <algorithm>
#include <vector>

#include "app/pincode/WiFiAddress.h"
#include "platform/foundation/SysLog.h"

namespace quill {

namespace {

bool allDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> splitOnDots(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot - start));
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

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
    const std::vector<std::string> local = splitOnDots(*localIP);
    if (local.size() != 4 || !std::all_of(local.begin(), local.end(), allDigits)) {
        sysLogString("get a invalid ip");
        return failed(ServerlessPinCodeStatus::invalidLocalIP);
    }

    // Only eight decimal digits carry a key and two octets.
    if (inputPinCode.size() != 8 || !allDigits(inputPinCode)) {
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
    const std::string target = local[0] + "." + local[1] + "." + std::to_string(a) + "." + std::to_string(b);
    sysLogString("targetIp =" + target);
    return {ServerlessPinCodeStatus::found, ReceiverObject{"", "", {target}, inputPinCode}};
}

ServerlessPinCodeResult checkServerlessPinCode(const std::string& inputPinCode) {
    return decodeServerlessPinCode(inputPinCode, getWiFiAddress());
}

}  // namespace quill
