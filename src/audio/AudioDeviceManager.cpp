#include "audio/AudioDeviceManager.h"

#include <cstring>
#include <filesystem>
#include <limits>

#include "platform/foundation/PropertyList.h"

namespace quill {

using namespace platform::coreaudio;
using platform::foundation::NotificationCenter;

namespace {

const AudioObjectPropertyAddress kDefaultOutputAddress{kAudioHardwarePropertyDefaultOutputDevice};
const AudioObjectPropertyAddress kDefaultInputAddress{kAudioHardwarePropertyDefaultInputDevice};
const AudioObjectPropertyAddress kOutputDataSourceAddress{kAudioDevicePropertyDataSource,
                                                          kAudioObjectPropertyScopeOutput};
const AudioObjectPropertyAddress kInputDataSourceAddress{kAudioDevicePropertyDataSource,
                                                         kAudioObjectPropertyScopeInput};

// The two listeners. The client data is the manager, whose notification centre receives the post.
OSStatus defaultAudioDeviceDidChange(AudioObjectID, uint32_t, const AudioObjectPropertyAddress*,
                                     void* clientData) {
    static_cast<AudioDeviceManager*>(clientData)
        ->notificationCenter()
        .post(kDefalutAudioDeviceDidChangeNotification);
    return kAudioHardwareNoError;
}

OSStatus buildInAudioDeviceDataSourceDidChange(AudioObjectID, uint32_t, const AudioObjectPropertyAddress*,
                                               void* clientData) {
    static_cast<AudioDeviceManager*>(clientData)
        ->notificationCenter()
        .post(kBuildInAudioDeviceDataSourceDidChangeNotification);
    return kAudioHardwareNoError;
}

}  // namespace

std::string AudioDeviceManager::AudioDevice::description() const {
    return "<AudioDevice: " + std::to_string(deviceID_) + ", " + deviceName_ + ">";
}

AudioDeviceManager& AudioDeviceManager::sharedInstance() {
    static AudioDeviceManager* manager =
        new AudioDeviceManager(AudioHardware::shared(), NotificationCenter::sharedInstance());
    return *manager;
}

AudioDeviceManager::AudioDeviceManager(std::shared_ptr<AudioHardware> hardware, NotificationCenter& center)
    : hardware_(std::move(hardware)), center_(center) {
    registerObservers();
}

AudioDeviceManager::~AudioDeviceManager() {
    unregisterObservers();
    hardware_->waitUntilIdle();
}

void AudioDeviceManager::registerObservers() {
    void* nullRunLoop = nullptr;
    hardware_->setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyRunLoop}, sizeof nullRunLoop,
                               &nullRunLoop);
    hardware_->addPropertyListener(kAudioObjectSystemObject, kDefaultOutputAddress,
                                   defaultAudioDeviceDidChange, this);
    hardware_->addPropertyListener(kAudioObjectSystemObject, kDefaultInputAddress,
                                   defaultAudioDeviceDidChange, this);
    auto output = buildInOutputAudioDevice();
    auto input = buildInInputAudioDevice();
    builtInOutputID_ = output ? output->deviceID() : 0;
    builtInInputID_ = input ? input->deviceID() : 0;
    hardware_->addPropertyListener(builtInOutputID_, kOutputDataSourceAddress,
                                   buildInAudioDeviceDataSourceDidChange, this);
    hardware_->addPropertyListener(builtInInputID_, kInputDataSourceAddress,
                                   buildInAudioDeviceDataSourceDidChange, this);
}

void AudioDeviceManager::unregisterObservers() {
    hardware_->removePropertyListener(kAudioObjectSystemObject, kDefaultOutputAddress,
                                      defaultAudioDeviceDidChange, this);
    hardware_->removePropertyListener(kAudioObjectSystemObject, kDefaultInputAddress,
                                      defaultAudioDeviceDidChange, this);
    hardware_->removePropertyListener(builtInOutputID_, kOutputDataSourceAddress,
                                      buildInAudioDeviceDataSourceDidChange, this);
    hardware_->removePropertyListener(builtInInputID_, kInputDataSourceAddress,
                                      buildInAudioDeviceDataSourceDidChange, this);
}

AudioDeviceID AudioDeviceManager::getDefaultAudioDeviceIDRoute(bool route) {
    AudioDeviceID id = 0;
    uint32_t size = sizeof id;
    if (hardware_->getPropertyData(kAudioObjectSystemObject,
                                   route ? kDefaultInputAddress : kDefaultOutputAddress, &size,
                                   &id) != kAudioHardwareNoError) {
        return 0;
    }
    return id;
}

bool AudioDeviceManager::setDefaultAudioDeviceWithID(AudioDeviceID deviceID, bool route) {
    if (getDefaultAudioDeviceIDRoute(route) == deviceID) return true;
    return hardware_->setPropertyData(kAudioObjectSystemObject,
                                      route ? kDefaultInputAddress : kDefaultOutputAddress, sizeof deviceID,
                                      &deviceID) == kAudioHardwareNoError;
}

bool AudioDeviceManager::setDefaultAudioDevice(const char* name, bool route) {
    if (!name) return false;
    AudioDeviceList list(hardware_, route);
    for (const AudioDeviceList::Device& d : list.GetList()) {
        if (std::strcmp(d.mName, name) == 0) {
            if (getDefaultAudioDeviceIDRoute(route) != d.mID) setDefaultAudioDeviceWithID(d.mID, route);
            return true;
        }
    }
    return false;
}

std::vector<AudioDeviceManager::AudioDevice> AudioDeviceManager::audioDeviceArray(bool route) {
    std::vector<AudioDevice> out;
    AudioDeviceList list(hardware_, route);
    for (const AudioDeviceList::Device& d : list.GetList())
        out.emplace_back(d.mID, std::string(d.mName));
    return out;
}

std::optional<AudioDeviceManager::AudioDevice> AudioDeviceManager::buildInAudioDevice(bool route) {
    for (const AudioDevice& d : audioDeviceArray(route)) {
        uint32_t transport = 0;
        uint32_t size = sizeof transport;
        hardware_->getPropertyData(d.deviceID(), {kAudioDevicePropertyTransportType}, &size, &transport);
        if (transport == kAudioDeviceTransportTypeBuiltIn) return d;
    }
    return std::nullopt;
}

std::optional<AudioDeviceManager::AudioDevice> AudioDeviceManager::currentAudioDevice(bool route) {
    const AudioDeviceID current = getDefaultAudioDeviceIDRoute(route);
    for (const AudioDevice& d : audioDeviceArray(route)) {
        if (d.deviceID() == current) return d;
    }
    return std::nullopt;
}

void AudioDeviceManager::resetDefaultAudioDevice() {
    if (auto builtIn = buildInInputAudioDevice()) {
        for (const AudioDevice& d : inputAudioDeviceArray()) {
            if (d.deviceID() == builtIn->deviceID()) setDefaultInputAudioDeviceWithID(d.deviceID());
        }
    }
    if (auto builtIn = buildInOutputAudioDevice()) {
        for (const AudioDevice& d : outputAudioDeviceArray()) {
            if (d.deviceID() == builtIn->deviceID()) setDefaultOutputAudioDeviceWithID(d.deviceID());
        }
    }
}

bool AudioDeviceManager::writeSystemAudioSettingToFile(const std::string& path) {
    const AudioDeviceID input = getDefaultInputAudioDeviceID();
    const AudioDeviceID output = getDefaultOutputAudioDeviceID();
    PropertyList plist(PropertyList::Dictionary{{"input", input}, {"output", output}});
    // Without its folder the saved devices would be lost, and the user's sound would stay on the
    // loopback device after mirroring.
    std::error_code ec;
    const auto folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    return platform::foundation::writePropertyListFile(plist, path);
}

bool AudioDeviceManager::restoreSystemAudioSettingFromFile(const std::string& path) {
    auto plist = platform::foundation::readPropertyListFile(path);
    if (!plist) return false;
    // A number outside the range of device ids names no device, as an absent one does; cut down to 32
    // bits it could name an unrelated device.
    auto value = [&](const char* key) -> AudioDeviceID {
        const PropertyList* v = plist->find(key);
        auto i = v ? v->integer() : std::nullopt;
        return i && *i >= 0 && *i <= int64_t{std::numeric_limits<AudioDeviceID>::max()}
                   ? static_cast<AudioDeviceID>(*i)
                   : 0;
    };
    setDefaultAudioDeviceWithID(value("input"), true);
    setDefaultAudioDeviceWithID(value("output"), false);
    return true;
}

}  // namespace quill
