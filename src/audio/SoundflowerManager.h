#pragma once
// Everything about the loopback driver: unpacks it from the bundled archive, tells whether it is
// loaded, installs it with administrator rights, makes its device the default input and output, and
// while mirroring runs puts it back when something else changes the default device (the guard).
//
// The detection and loading commands run through "/bin/sh" as the user, with the folder of the stand-in
// tools first on their PATH. The one step that runs as root is the copy of the driver into the system's
// driver folder: the system's own tar, handed to the authorization service with its arguments, so that
// the administrator's prompt names it and nothing this user can change runs as root. It reads nothing by
// path from a tree this user can write: the driver, read once and checked, reaches it as a tar stream of
// folders and regular files on its standard input, from a sealed file in memory. A driver found in that
// folder owned by root, unchangeable by others and identical to the bundled one is loaded without asking
// again.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioDeviceManager.h"
#include "audio/PrivilegedTask.h"
#include "audio/TarStream.h"
#include "platform/foundation/Task.h"

namespace quill {

inline constexpr const char* kSoundflowerDeviceName = "Soundflower (2ch)";
// The driver's folder, made by the root copy when missing, and the installed driver in it.
inline constexpr const char* kSoundflowerDriverFolder = "/usr/local/lib/quillaran/Extensions";
inline constexpr const char* kSoundflowerInstallPath = "/usr/local/lib/quillaran/Extensions/Soundflower.kext";
// The program that copies the driver into its folder as root.
inline constexpr const char* kSoundflowerCopyProgram = "/bin/tar";
inline constexpr const char* kSoundflowerDetectCommand =
    "kextstat -b com.Cycling74.driver.Soundflower|grep 'Soundflower'\n";

// The parts a manager works with; the defaults are the process's own.
struct SoundflowerManagerParts {
    AudioDeviceManager* audioDeviceManager = nullptr;
    platform::foundation::NotificationCenter* notificationCenter = nullptr;
    std::shared_ptr<platform::security::AuthorizationService> authorization;
    // The bundled "Soundflower.zip"; nullopt when missing.
    std::function<std::optional<std::string>()> resourceArchive;
    // The user's private temporary folder.
    std::function<std::optional<std::string>()> temporaryFolder;
    // Where the stand-in driver tools are; empty: platform::foundation::helperToolsFolder().
    std::string toolsFolder;
    // Where the driver is installed; empty: kSoundflowerDriverFolder. The root copy makes it and its
    // parent when missing; the parent's parent must exist.
    std::string driverFolder;
    // Who must own the installed driver for it to count as installed: root, unless a test says otherwise.
    uid_t driverOwner = 0;
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
    // Loads the driver into the user's sound server. When the driver folder does not hold an identical
    // root-owned copy of the unpacked driver yet, first copies it there as root, which asks for
    // administrator rights, and waits for the copy: the caller blocks until the administrator has
    // answered, as with an authorization prompt. True when the driver is installed and loaded.
    bool installKext();
    // installKext on a thread of the process's pool, for a caller that must not wait for the
    // administrator (the window's thread): returns at once. False, and nothing started, when there is no
    // unpacked driver or an install is already under way, so a user never sees two prompts; the outcome
    // is logged when it ends. The manager's destructor waits for it.
    bool installKextInBackground();
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
    // The arguments of the root copy: tar unpacking its standard input into the driver folder's parent's
    // parent, every file and folder owned by root with the stream's modes (0644 and 0755), folders that
    // exist included.
    static std::vector<std::string> copyArguments(const std::string& driverFolder);

  private:
    // Runs the command through "/bin/sh -c" as the user, the stand-in tools first on PATH; reads its
    // output to the end.
    std::optional<platform::foundation::TaskResult> runToolCommand(const std::string& command) const;
    std::string installedKextPath() const;
    // The unpacked driver as read now, its folders and files named relative to it (itself first, as
    // ""); nullopt (logged) when it holds anything else or cannot be read.
    std::optional<std::vector<TarEntry>> readKext(const std::string& kext) const;
    // Whether the installed driver holds every folder and file of kext, with the same contents, each
    // owned by driverOwner and writable by no one else.
    bool isKextCopied(const std::vector<TarEntry>& kext) const;
    // Copies kext into the driver folder as root and waits; whether that copy succeeded.
    bool copyKextAsRoot(const std::vector<TarEntry>& kext);

    SoundflowerManagerParts parts_;
    AudioDeviceManager* audioDeviceManager_;
    platform::foundation::NotificationCenter& center_;
    mutable std::mutex mutex_;
    std::optional<std::string> kextPath_;
    std::vector<double> recentSettings_;
    std::atomic<bool> protectSetting_{false};
    std::mutex guardMutex_;
    std::mutex installMutex_;
    std::condition_variable installEnded_;
    bool installing_ = false;  // under installMutex_
    platform::foundation::ScopedObserver defaultObserver_;
    platform::foundation::ScopedObserver dataSourceObserver_;
};

}  // namespace quill
