// The two files the system reads from the settings folder, made of fuzzer bytes: ".config.plist" read by
// the settings and ".soundflower" read back by the sound-device manager, over simulated devices. The
// property-list reader itself has its own target; this one covers what the readers make of its results.
//
// - Settings: the device name becomes the file's "deviceName" only when the file is a dictionary holding
//   it as a string, and the cursor option stays off. The name then goes to the receiver as the sender
//   name: its pieces are requests 15 then 16, each at most 11 UTF-16 units and 12 bytes, and joined they
//   give the name back (malformed UTF-8 repaired).
// - Saved devices: restoring succeeds exactly when the file is a property list, and a default device
//   changes only to a device whose id the file holds exactly under "input" or "output".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "audio/AudioDeviceManager.h"
#include "link/ControlProtocol.h"
#include "link/Utf8Text.h"
#include "media/SWAppConfig.h"
#include "platform/coreaudio/SimulatedAudioBackend.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "support/TempFolder.h"

namespace fs = std::filesystem;
using namespace quill;
using platform::coreaudio::AudioHardware;
using platform::coreaudio::SimulatedAudioBackend;

namespace {

constexpr AudioDeviceID kMicrophone = 2, kSpeakers = 3, kHeadset = 4;

struct World {
    testing::TempFolder home;
    testing::ScopedEnv env{"HOME", home.str()};
    std::shared_ptr<SimulatedAudioBackend> backend = SimulatedAudioBackend::withStandardDevices();
    std::shared_ptr<AudioHardware> hardware;
    platform::foundation::NotificationCenter center;
    std::unique_ptr<AudioDeviceManager> manager;
    std::unique_ptr<SWAppConfig> config;

    World() {
        backend->addDevice({kHeadset, "USB Headset", 1, 2});
        hardware = std::make_shared<AudioHardware>(backend);
        manager = std::make_unique<AudioDeviceManager>(hardware, center);
        if (!platform::foundation::ensureSettingsFolder()) std::abort();
        config = std::make_unique<SWAppConfig>();
    }
    ~World() {
        manager.reset();
        hardware->waitUntilIdle();
    }
};

// The sender-name requests, unscrambled.
class Packets : public ControlProtocolDelegate {
  public:
    std::vector<ControlPacket> written;
    void writeControlPacket(const ControlPacket& scrambled, long) override {
        written.push_back(scrambled.scrambled());
    }
    void onServerRequestMirrorOn() override {}
    void onServerRequestMirrorOff() override {}
    void onServerRequestKeyFrame() override {}
    void onServerRequsstUpdateFrameRate(int) override {}
    void onRequestMirrorStartSuccess() override {}
    void onRequestMirrorStartFailed(int) override {}
    void onRequestMirrorStopSuccess() override {}
    void onServerResponseVersion(const std::string&) override {}
    void onServerResponseAuthenticateType() override {}
    void onServerRequestDeviceStatus(int) override {}
    void onServerRequestKeyStatus() override {}
};

void checkSenderName(const std::string& name) {
    Packets packets;
    ControlProtocol protocol(packets);
    protocol.setSenderName(name);
    if (name.empty() != packets.written.empty()) std::abort();
    std::string joined;
    for (size_t i = 0; i < packets.written.size(); ++i) {
        const ControlPacket& p = packets.written[i];
        if (p.kind() != kControlKindRequest || p[1] != kControlProtocolByte) std::abort();
        if (p.code() != (i == 0 ? kRequestSenderNameFirst : kRequestSenderNameNext)) std::abort();
        size_t length = 0;
        while (length < 12 && p[4 + length] != 0)
            ++length;
        const std::string piece(reinterpret_cast<const char*>(p.bytes.data() + 4), length);
        size_t units = 0;
        for (char32_t cp : utf8::decode(piece))
            units += utf8::utf16Length(cp);
        if (units > 11 || utf8::sanitize(piece) != piece) std::abort();
        joined += piece;
    }
    // A NUL character in the name ends a piece early on the wire; only names without one read back whole.
    if (name.find('\0') == std::string::npos && joined != utf8::sanitize(name)) std::abort();
}

// The default a restore may leave: the saved id when it names a device of that direction, else the one
// that was there.
AudioDeviceID expectedDefault(const std::optional<PropertyList>& saved, const char* key,
                              std::initializer_list<AudioDeviceID> devices, AudioDeviceID before) {
    const PropertyList* value = saved ? saved->find(key) : nullptr;
    const auto id = value ? value->integer() : std::nullopt;
    for (AudioDeviceID d : devices)
        if (id && *id == int64_t(d)) return d;
    return before;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silenceLog();
    static World world;
    const auto plist = platform::foundation::readPropertyList(std::span<const uint8_t>(data, size));

    fuzz::writeNewFile(SWAppConfig::settingsFile(), data, size);
    world.config->setDeviceName("before");
    world.config->loadData();
    const PropertyList* name = plist && plist->dictionary() ? plist->find("deviceName") : nullptr;
    const std::string expectedName = name && name->string() ? *name->string() : "before";
    if (world.config->deviceName() != expectedName || world.config->mouseAlone()) std::abort();
    if ((!plist || !plist->find("AutoShare")) && world.config->autoShare()) std::abort();
    checkSenderName(world.config->deviceName());

    const std::string saved = SWAppConfig::soundflowerSettingFile();
    fuzz::writeNewFile(saved, data, size);
    world.backend->changeDefaultDevice(true, kMicrophone);
    world.backend->changeDefaultDevice(false, kSpeakers);
    if (world.manager->restoreSystemAudioSettingFromFile(saved) != plist.has_value()) std::abort();
    if (world.manager->getDefaultInputAudioDeviceID() !=
        expectedDefault(plist, "input", {kMicrophone, kHeadset}, kMicrophone))
        std::abort();
    if (world.manager->getDefaultOutputAudioDeviceID() !=
        expectedDefault(plist, "output", {kSpeakers, kHeadset}, kSpeakers))
        std::abort();

    if (fuzz::openFilesUnder(world.home.path()) != 0) std::abort();
    return 0;
}
