#include "app/session/Device.h"

#include <utility>

#include "platform/foundation/Text.h"

namespace quill {

Device::Device(std::string name, std::string ip, std::string version)
    : deviceName_(std::move(name)), deviceIp_(std::move(ip)), deviceVersion_(std::move(version)) {
    if (auto octets = platform::foundation::parseIPv4(deviceIp_)) localIp_ = (*octets)[3];
}

}  // namespace quill
