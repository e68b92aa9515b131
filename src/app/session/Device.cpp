#include "app/session/Device.h"

#include <utility>
#include <vector>

namespace quill {

namespace {

std::vector<std::string> splitAtDots(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == '.') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

}  // namespace

Device::Device(std::string name, std::string ip, std::string version)
    : deviceName_(std::move(name)), deviceIp_(std::move(ip)), deviceVersion_(std::move(version)) {
    auto parts = splitAtDots(deviceIp_);
    if (parts.size() != 4) return;
    const std::string& last = parts[3];
    if (last.empty() || last.size() > 3) return;
    unsigned value = 0;
    for (char c : last) {
        if (c < '0' || c > '9') return;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value <= 255) localIp_ = static_cast<uint8_t>(value);
}

}  // namespace quill
