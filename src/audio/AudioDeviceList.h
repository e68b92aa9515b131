#pragma once
// The devices that have channels in one direction, in the order the hardware lists them, built once.

#include <memory>
#include <vector>

#include "audio/AudioDevice.h"

namespace quill {

class AudioDeviceList {
  public:
    struct Device {
        char mName[64] = {};
        AudioDeviceID mID = 0;
    };

    AudioDeviceList(std::shared_ptr<AudioHardware> hardware, bool inputs);

    const std::vector<Device>& GetList() const { return mDevices; }
    bool inputs() const { return mInputs; }

  private:
    void BuildList(const std::shared_ptr<AudioHardware>& hardware);

    bool mInputs;
    std::vector<Device> mDevices;
};

}  // namespace quill
