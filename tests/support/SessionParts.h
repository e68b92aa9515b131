#pragma once
// What session tests share beneath the session controller: link options that point at a test receiver,
// and a simulated sound system with the loopback driver's manager.

#include <memory>
#include <string>

#include "audio/AudioDeviceManager.h"
#include "audio/SoundflowerManager.h"
#include "link/NetStream.h"
#include "media/SWMediaHandler.h"
#include "platform/coreaudio/SimulatedAudioBackend.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/security/Authorization.h"
#include "support/TempFolder.h"
#include "support/TestReceiver.h"

namespace quill::testing {

// The default link options with the receiver's four ports.
NetStream::Options linkOptionsFor(const TestReceiver& rx);

// A microphone, speakers (the defaults) and the loopback device as simulated sound devices, the device
// manager over them, and the loopback driver's manager with its stand-in tools in a temporary folder
// ("tools", with "private" as the user's temporary folder).
class SimulatedSound {
  public:
    static constexpr platform::coreaudio::AudioDeviceID kMic = 2, kSpeakers = 3, kLoop = 7;

    // driverLoaded: whether the stand-in detection tool reports the loopback driver as loaded.
    explicit SimulatedSound(bool driverLoaded = true);

    void setDriverLoaded(bool loaded);
    // The user's devices are the defaults.
    bool userDevicesAreDefault();
    // The loopback device is both defaults.
    bool loopbackIsDefault();

    // A media handler over this screen, a synthetic 1000 Hz tone as sound input and these devices,
    // saving the user's devices in settingFile. The cursor is drawn only when asked.
    std::shared_ptr<SWMediaHandler> makeMediaHandler(
        std::shared_ptr<platform::display::DisplayService> display, const std::string& settingFile,
        bool showCursor = false);

    TempFolder tmp;
    std::shared_ptr<platform::coreaudio::SimulatedAudioBackend> backend =
        std::make_shared<platform::coreaudio::SimulatedAudioBackend>();
    std::shared_ptr<AudioHardware> hardware;
    platform::foundation::NotificationCenter center;
    std::unique_ptr<AudioDeviceManager> devices;
    std::shared_ptr<platform::security::RecordingAuthorizationService> authorization =
        std::make_shared<platform::security::RecordingAuthorizationService>();
    std::unique_ptr<SoundflowerManager> soundflower;
};

}  // namespace quill::testing
