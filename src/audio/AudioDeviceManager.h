#pragma once
// The system's sound devices: lists them per direction, finds the built-in and the default devices,
// switches the default input and output by id or by name, saves the two defaults to a property-list
// file and puts them back, and turns default-device and built-in data-source changes into
// notifications.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioDeviceList.h"
#include "platform/foundation/NotificationCenter.h"

namespace quill {

inline constexpr const char* kDefalutAudioDeviceDidChangeNotification =
    "DefalutAudioDeviceDidChangeNotification";
inline constexpr const char* kBuildInAudioDeviceDataSourceDidChangeNotification =
    "BuildInAudioDeviceDataSourceDidChangeNotification";

class AudioDeviceManager {
  public:
    // A device as the manager hands it out. The route flag throughout: true is input, false output.
    class AudioDevice {
      public:
        AudioDevice(AudioDeviceID deviceID, std::string deviceName)
            : deviceID_(deviceID), deviceName_(std::move(deviceName)) {}
        AudioDeviceID deviceID() const { return deviceID_; }
        const std::string& deviceName() const { return deviceName_; }
        // "<AudioDevice: <id>, <name>>"
        std::string description() const;
        bool operator==(const AudioDevice&) const = default;

      private:
        AudioDeviceID deviceID_;
        std::string deviceName_;
    };

    // The process's manager over the process's hardware and notification centre, made on first use.
    static AudioDeviceManager& sharedInstance();

    // Registers the hardware listeners that post the two notifications on `center`.
    AudioDeviceManager(std::shared_ptr<AudioHardware> hardware,
                       platform::foundation::NotificationCenter& center);
    // Removes the listeners and waits for a delivery in progress.
    ~AudioDeviceManager();
    AudioDeviceManager(const AudioDeviceManager&) = delete;
    AudioDeviceManager& operator=(const AudioDeviceManager&) = delete;

    AudioDeviceID getDefaultAudioDeviceIDRoute(bool route);
    AudioDeviceID getDefaultInputAudioDeviceID() { return getDefaultAudioDeviceIDRoute(true); }
    AudioDeviceID getDefaultOutputAudioDeviceID() { return getDefaultAudioDeviceIDRoute(false); }

    bool setDefaultAudioDeviceWithID(AudioDeviceID deviceID, bool route);
    bool setDefaultInputAudioDeviceWithID(AudioDeviceID id) { return setDefaultAudioDeviceWithID(id, true); }
    bool setDefaultOutputAudioDeviceWithID(AudioDeviceID id) {
        return setDefaultAudioDeviceWithID(id, false);
    }

    // By name: true when a device of that name exists in the direction (even when the switch failed).
    bool setDefaultAudioDevice(const char* name, bool route);
    bool setDefaultInputAudioDevice(const char* name) { return setDefaultAudioDevice(name, true); }
    bool setDefaultOutputAudioDevice(const char* name) { return setDefaultAudioDevice(name, false); }

    std::vector<AudioDevice> audioDeviceArray(bool route);
    std::vector<AudioDevice> inputAudioDeviceArray() { return audioDeviceArray(true); }
    std::vector<AudioDevice> outputAudioDeviceArray() { return audioDeviceArray(false); }

    std::optional<AudioDevice> buildInAudioDevice(bool route);
    std::optional<AudioDevice> buildInInputAudioDevice() { return buildInAudioDevice(true); }
    std::optional<AudioDevice> buildInOutputAudioDevice() { return buildInAudioDevice(false); }

    std::optional<AudioDevice> currentAudioDevice(bool route);
    std::optional<AudioDevice> currentInputAudioDevice() { return currentAudioDevice(true); }
    std::optional<AudioDevice> currentOutputAudioDevice() { return currentAudioDevice(false); }

    // Makes the built-in input, then the built-in output, the defaults.
    void resetDefaultAudioDevice();

    // Saves {"input", "output"} default ids as an XML property list, atomically; the file's folder is
    // created when missing.
    bool writeSystemAudioSettingToFile(const std::string& path);
    // Switches back to the saved defaults; false (nothing changed) when the file cannot be read.
    bool restoreSystemAudioSettingFromFile(const std::string& path);

    AudioHardware& hardware() { return *hardware_; }
    platform::foundation::NotificationCenter& notificationCenter() { return center_; }

  private:
    void registerObservers();
    void unregisterObservers();

    std::shared_ptr<AudioHardware> hardware_;
    platform::foundation::NotificationCenter& center_;
    AudioDeviceID builtInOutputID_ = 0;
    AudioDeviceID builtInInputID_ = 0;
};

}  // namespace quill
