#include "audio/AudioRestore.h"

#include <filesystem>
#include <system_error>

#include "audio/AudioDeviceManager.h"
#include "audio/SoundflowerManager.h"

namespace quill {

void restoreSavedAudioDevices(SoundflowerManager& soundflower, AudioDeviceManager& devices,
                              const std::string& settingFile) {
    soundflower.setProtectSetting(false);
    devices.restoreSystemAudioSettingFromFile(settingFile);
    std::error_code ignored;
    std::filesystem::remove(settingFile, ignored);
}

}  // namespace quill
