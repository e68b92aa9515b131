#pragma once
// The mirroring engine's settings: the name this computer announces to the receiver and the options read
// from ".config.plist" in the settings folder ("~/Library/Quillaran"), and the path of ".soundflower",
// where the sound devices are saved while mirroring. The settings file is only read by the running
// system; a missing or unreadable one gives the defaults.

#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace quill {

inline constexpr const char* kSettingsFileName = ".config.plist";
inline constexpr const char* kSoundflowerSettingFileName = ".soundflower";
inline constexpr const char* kProductName = "Quillaran";

class SWAppConfig {
  public:
    // Initial values (the user's full name as the device name), then loadData().
    SWAppConfig();
    SWAppConfig(const SWAppConfig&) = delete;
    SWAppConfig& operator=(const SWAppConfig&) = delete;

    static SWAppConfig& singleton();

    // Reads the settings file again: "AutoShare" and "gesturePPT" (false when absent), "deviceName" when
    // it is a string. The cursor option is always off, whatever the file says.
    void loadData();
    // Writes the four settings keys to the settings file atomically, creating the settings folder
    // (0755) when missing.
    bool storeData(Error* error = nullptr) const;

    // Full paths in the settings folder of the current home folder.
    static std::string settingsFile();
    static std::string soundflowerSettingFile();

    bool autoShare() const;
    void setAutoShare(bool v);
    bool gesturePPT() const;
    void setGesturePPT(bool v);
    bool mouseAlone() const;
    void setMouseAlone(bool v);
    int hidState() const;
    void setHidState(int v);
    std::optional<std::string> hidDeviceVersion() const;
    void setHidDeviceVersion(std::optional<std::string> v);
    std::optional<std::string> serverVersion() const;
    void setServerVersion(std::optional<std::string> v);
    std::string productName() const;
    void setProductName(std::string v);
    std::string deviceName() const;
    void setDeviceName(std::string v);

  private:
    mutable std::mutex mutex_;
    bool autoShare_ = false;
    bool gesturePPT_ = false;
    bool mouseAlone_ = false;
    int hidState_ = -1;
    std::optional<std::string> hidDeviceVersion_;
    std::optional<std::string> serverVersion_;
    std::string productName_;
    std::string deviceName_;
};

}  // namespace quill
