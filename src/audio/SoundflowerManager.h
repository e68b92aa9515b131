#pragma once
// Everything about the loopback driver: unpacks it from the bundled archive, tells whether it is
// loaded, installs it with administrator rights, makes its device the default input and output, and
// while mirroring runs puts it back when something else changes the default device (the guard).
//
// The detection and installation commands run through "/bin/sh". The detection runs as the user, with
// the folder of the stand-in tools first on its PATH. The installation runs as root: its shell's PATH
// holds the system folders only, and it starts the stand-in "kextutil" by its full path, from a tools
// folder that only root or the user can change.

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioDeviceManager.h"
#include "audio/PrivilegedTask.h"

namespace quill {

inline constexpr const char* kSoundflowerDeviceName = "Soundflower (2ch)";
// The driver's folder, made by the install script when missing, and the installed driver in it.
inline constexpr const char* kSoundflowerDriverFolder = "/usr/local/lib/quillaran/Extensions";
inline constexpr const char* kSoundflowerInstallPath = "/usr/local/lib/quillaran/Extensions/Soundflower.kext";
// The PATH of the root shell that installs the driver.
inline constexpr const char* kRootShellPath = "/usr/sbin:/usr/bin:/sbin:/bin";
inline constexpr const char* kSoundflowerDetectCommand =
    "kextstat -b com.Cycling74.driver.Soundflower|grep 'Soundflower'\n";

// Runs the command as root through "/bin/sh -c" without waiting for it; the launch status.
OSStatus runCommand(const std::string& command,
                    std::shared_ptr<platform::security::AuthorizationService> service = nullptr,
                    const std::map<std::string, std::string>& environment = {});

// The parts a manager works with; the defaults are the process's own.
struct SoundflowerManagerParts {
    AudioDeviceManager* audioDeviceManager = nullptr;
    platform::foundation::NotificationCenter* notificationCenter = nullptr;
    std::shared_ptr<platform::security::AuthorizationService> authorization;
    // The bundled "Soundflower.zip"; nullopt when missing.
    std::function<std::optional<std::string>()> resourceArchive;
    // The user's private temporary folder.
    std::function<std::optional<std::string>()> temporaryFolder;
    // Where the stand-in driver tools are; empty: the executable's folder.
    std::string toolsFolder;
    // Where the driver is installed; empty: kSoundflowerDriverFolder.
    std::string driverFolder;
    // Seconds since the reference date.
    std::function<double()> clock;
};

class SoundflowerManager {
  public:
    static SoundflowerManager& sharedInstance();

    explicit SoundflowerManager(SoundflowerManagerParts parts = {});
    ~SoundflowerManager();
    SoundflowerManager(const SoundflowerManager&) = delete;
    SoundflowerManager& operator=(const SoundflowerManager&) = delete;

    bool extractKext();
    // Runs the detection command and reads its output to the end; blocks.
    bool isKextInstalled();
    // Starts the install script as root; true when it was authorised and started. False without asking
    // when the loading tool or its folder could be changed by others than root and the user.
    bool installKext();
    bool uninstallKext() { return true; }
    // Makes "Soundflower (2ch)" the default input and output; whether both are it afterwards.
    bool setSoundflowerAsDefaultAudio();
    bool isSoundflowerDefaultAudio();
    // Makes the last non-loopback device of each direction the default.
    void resetDefaultAudioDevice();

    void defaultAudioDeviceDidChange(const platform::foundation::Notification& notification);
    void buildInAudioDeviceDataSourceDidChange(const platform::foundation::Notification& notification);

    bool protectSetting() const { return protectSetting_.load(); }
    // Turning the guard off waits for a guard step under way, so that nothing switches back to the
    // loopback device once the caller goes on to restore the user's devices.
    void setProtectSetting(bool on);

    std::optional<std::string> kextPath() const;
    std::vector<double> recentSettings() const;
    AudioDeviceManager& audioDeviceManager() { return *audioDeviceManager_; }
    // The install script for a driver at kextPath: the driver folder made when missing, the driver
    // copied into it, its modes and owner set, and loaded by the tool at loaderPath.
    static std::string installScript(const std::string& kextPath, const std::string& loaderPath,
                                     const std::string& driverFolder = kSoundflowerDriverFolder);

  private:
    std::map<std::string, std::string> detectionEnvironment() const;
    // The full path of the stand-in tool, when root may run it (see installKext).
    std::optional<std::string> toolForRoot(const std::string& name) const;

    SoundflowerManagerParts parts_;
    AudioDeviceManager* audioDeviceManager_;
    platform::foundation::NotificationCenter& center_;
    mutable std::mutex mutex_;
    std::optional<std::string> kextPath_;
    std::vector<double> recentSettings_;
    std::atomic<bool> protectSetting_{false};
    std::mutex guardMutex_;
    platform::foundation::ScopedObserver defaultObserver_;
    platform::foundation::ScopedObserver dataSourceObserver_;
};

}  // namespace quill
