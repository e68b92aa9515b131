#pragma once
// Records of the session view: the chosen receiver address, and a payload buffer kept for the
// control protocol's larger messages.

#include <array>
#include <cstdint>
#include <string>

namespace quill {

class Device {
  public:
    Device(std::string name, std::string ip, std::string version);

    const std::string& deviceName() const { return deviceName_; }
    const std::string& deviceIp() const { return deviceIp_; }
    const std::string& deviceVersion() const { return deviceVersion_; }
    // The last octet of a dotted-decimal IPv4 address; 0 for anything that is not one.
    uint8_t localIp() const { return localIp_; }

  private:
    std::string deviceName_;
    std::string deviceIp_;
    std::string deviceVersion_;
    uint8_t localIp_ = 0;
};

struct ControlPayload {
    long startIndex = -1;
    long endIndex = -1;
    std::array<uint8_t, 256> payload{};
};

}  // namespace quill
