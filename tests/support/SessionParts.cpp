#include "support/SessionParts.h"

#include <filesystem>
#include <optional>

#include "platform/avcapture/CaptureDevice.h"
#include "support/FileText.h"

namespace quill::testing {

using namespace platform::coreaudio;

NetStream::Options linkOptionsFor(const TestReceiver& rx) {
    NetStream::Options o;
    o.controlPort = rx.controlPort();
    o.videoPort = rx.videoPort();
    o.audioPort = rx.audioPort();
    o.touchPort = rx.touchPort();
    return o;
}

SimulatedSound::SimulatedSound(bool driverLoaded) {
    backend->addDevice({kMic, "Built-in Microphone", 2, 0, kAudioDeviceTransportTypeBuiltIn, 1, 0});
    backend->addDevice({kSpeakers, "Built-in Output", 0, 2, kAudioDeviceTransportTypeBuiltIn, 0, 1});
    backend->addDevice({kLoop, kSoundflowerDeviceName, 2, 2, kAudioDeviceTransportTypeVirtual});
    backend->changeDefaultDevice(true, kMic);
    backend->changeDefaultDevice(false, kSpeakers);
    hardware = std::make_shared<AudioHardware>(backend);
    devices = std::make_unique<AudioDeviceManager>(hardware, center);

    std::filesystem::create_directories(tmp / "tools");
    std::filesystem::create_directories(tmp / "private");
    setDriverLoaded(driverLoaded);
    SoundflowerManagerParts sp;
    sp.audioDeviceManager = devices.get();
    sp.notificationCenter = &center;
    sp.authorization = authorization;
    sp.resourceArchive = [] { return std::optional<std::string>(); };
    sp.temporaryFolder = [this] { return std::optional<std::string>(tmp / "private"); };
    sp.toolsFolder = tmp / "tools";
    soundflower = std::make_unique<SoundflowerManager>(sp);
}

void SimulatedSound::setDriverLoaded(bool loaded) {
    writeFileText(tmp / "tools/kextstat",
                  loaded ? "#!/bin/sh\necho ' 1 0 0x0 0x0 0x0 com.Cycling74.driver.Soundflower (2.0.0)'\n"
                         : "#!/bin/sh\nexit 1\n");
    std::filesystem::permissions(tmp / "tools/kextstat", std::filesystem::perms(0755));
}

bool SimulatedSound::userDevicesAreDefault() {
    return devices->getDefaultInputAudioDeviceID() == kMic &&
           devices->getDefaultOutputAudioDeviceID() == kSpeakers;
}

bool SimulatedSound::loopbackIsDefault() {
    return devices->getDefaultInputAudioDeviceID() == kLoop &&
           devices->getDefaultOutputAudioDeviceID() == kLoop;
}

std::shared_ptr<SWMediaHandler> SimulatedSound::makeMediaHandler(
    std::shared_ptr<platform::display::DisplayService> display, const std::string& settingFile,
    bool showCursor) {
    SWMediaHandlerParts mp;
    mp.video.display = std::move(display);
    mp.video.showCursor = showCursor;
    mp.audioDevices = [] { return platform::avcapture::CaptureDevice::synthetic(1000.0, 0.5); };
    mp.soundflowerManager = soundflower.get();
    mp.audioDeviceManager = devices.get();
    mp.soundflowerSettingFile = settingFile;
    return SWMediaHandler::create(std::move(mp));
}

}  // namespace quill::testing
