#pragma once
// The end of mirroring for the sound devices, in the one order that is safe: the loopback guard goes off
// first (waiting for a guard step under way), so that nothing switches back to the loopback device; then
// the devices saved in the settings file become the defaults again; then the file goes, so that the next
// start saves the user's devices anew (unless the file was read and the sound server did not answer:
// then the file stays, for the next restore; a file that cannot be read or parsed always goes). The
// session controller and the media handler both end this way.

#include <string>

namespace quill {

class AudioDeviceManager;
class SoundflowerManager;

void restoreSavedAudioDevices(SoundflowerManager& soundflower, AudioDeviceManager& devices,
                              const std::string& settingFile);

}  // namespace quill
