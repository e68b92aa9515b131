#include "audio/AudioRestore.h"

#include <filesystem>
#include <system_error>

#include "audio/AudioDeviceManager.h"
#include "audio/SoundflowerManager.h"
#include "platform/foundation/SysLog.h"

namespace quill {

void restoreSavedAudioDevices(SoundflowerManager& soundflower, AudioDeviceManager& devices,
                              const std::string& settingFile) {
    soundflower.setProtectSetting(false);
    // A sound server that does not answer has not taken the devices back and cannot even say which are
    // the defaults: the file is all that still names the user's devices, so it stays for the next
    // restore (the next start of mirroring keeps it while the loopback device is the default). A file
    // that cannot be read or parsed names nothing and never will, so it goes like any other: the next
    // start saves the devices anew.
    const bool read = devices.restoreSystemAudioSettingFromFile(settingFile);
    if (read && devices.getDefaultAudioDeviceIDRoute(false) == 0) {
        sysLog("sound devices not put back: the sound server does not answer; %s is kept",
               settingFile.c_str());
        return;
    }
    std::error_code ignored;
    std::filesystem::remove(settingFile, ignored);
}

}  // namespace quill
