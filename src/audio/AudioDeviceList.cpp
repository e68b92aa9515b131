#include "audio/AudioDeviceList.h"

namespace quill {

using namespace platform::coreaudio;

AudioDeviceList::AudioDeviceList(std::shared_ptr<AudioHardware> hardware, bool inputs) : mInputs(inputs) {
    BuildList(hardware);
}

void AudioDeviceList::BuildList(const std::shared_ptr<AudioHardware>& hardware) {
    mDevices.clear();
    const AudioObjectPropertyAddress devicesAddress{kAudioHardwarePropertyDevices};
    uint32_t size = 0;
    if (hardware->getPropertyDataSize(kAudioObjectSystemObject, devicesAddress, &size) !=
        kAudioHardwareNoError) {
        return;
    }
    std::vector<AudioDeviceID> ids(size / sizeof(AudioDeviceID));
    size = static_cast<uint32_t>(ids.size() * sizeof(AudioDeviceID));
    if (ids.empty() || hardware->getPropertyData(kAudioObjectSystemObject, devicesAddress, &size,
                                                 ids.data()) != kAudioHardwareNoError) {
        return;
    }
    // The list may have shrunk between the two reads.
    ids.resize(size / sizeof(AudioDeviceID));
    AudioDevice device(hardware);
    for (AudioDeviceID id : ids) {
        device.Init(id, mInputs);
        if (device.CountChannels() > 0) {
            Device d;
            device.GetName(d.mName, sizeof d.mName);
            d.mID = id;
            mDevices.push_back(d);
        }
    }
}

}  // namespace quill
