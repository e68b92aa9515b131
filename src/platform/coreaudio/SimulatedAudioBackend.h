#pragma once
// Sound devices that exist only in memory, for tests (QUILLARAN_AUDIO_DEVICES=simulated). Hooks
// let a test plug and unplug devices, change a default as a user would, change a data source, and make
// the hardware refuse switches.

#include <map>
#include <mutex>
#include <set>

#include "platform/coreaudio/CoreAudio.h"

namespace quill::platform::coreaudio {

class SimulatedAudioBackend : public AudioBackend {
  public:
    // A built-in microphone (id 2) and built-in output (id 3), the defaults.
    static std::shared_ptr<SimulatedAudioBackend> withStandardDevices();

    std::string backendName() const override { return "simulated"; }
    std::vector<DeviceDescription> devices() override;
    AudioDeviceID defaultDevice(bool input) override;
    OSStatus setDefaultDevice(bool input, AudioDeviceID id) override;
    OSStatus setBufferFrameSize(AudioDeviceID id, bool input, uint32_t frames) override;
    void setChangeSink(ChangeSink sink) override;

    // Hooks.
    void addDevice(const DeviceDescription& device);
    void removeDevice(AudioDeviceID id);
    // Changes a default from outside (as the user would), even when switches are refused.
    void changeDefaultDevice(bool input, AudioDeviceID id);
    void changeDataSource(AudioDeviceID id, bool input, uint32_t source);
    // Switches to this device (0: every switch) fail with an error.
    void refuseSwitchesTo(AudioDeviceID id);
    void allowSwitches();
    // Successful writes of the default through the hardware, per direction.
    int defaultWrites(bool input) const;

  private:
    OSStatus applyDefault(bool input, AudioDeviceID id, bool fromUser);
    void notify(AudioObjectID object, const AudioObjectPropertyAddress& address);

    mutable std::mutex mutex_;
    std::vector<DeviceDescription> devices_;
    AudioDeviceID defaultInput_ = 0;
    AudioDeviceID defaultOutput_ = 0;
    std::set<AudioDeviceID> refused_;
    int writes_[2] = {0, 0};
    ChangeSink sink_;
};

}  // namespace quill::platform::coreaudio
