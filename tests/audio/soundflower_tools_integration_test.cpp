#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "audio/SoundflowerManager.h"
#include "platform/coreaudio/PulseAudioBackend.h"
#include "platform/coreaudio/SimulatedAudioBackend.h"
#include "platform/foundation/Task.h"
#include "support/PrivatePulseServer.h"
#include "support/TempFolder.h"

using namespace quill;
using namespace quill::platform::coreaudio;
using quill::platform::foundation::NotificationCenter;
using quill::testing::PrivatePulseServer;
using quill::testing::ScopedEnv;
using quill::testing::TempFolder;

// The stand-in tools built beside the tests, against a private sound server; the bundled archive.
TEST(SoundflowerTools, DetectLoadAndUnpackForReal) {
    PrivatePulseServer server;
    if (!server.available()) GTEST_SKIP() << "no private PulseAudio server: " << server.failure();
    ScopedEnv pulseServer("PULSE_SERVER", server.server());

    TempFolder tmp;
    auto backend = std::make_shared<SimulatedAudioBackend>();
    auto hardware = std::make_shared<AudioHardware>(backend);
    NotificationCenter center;
    AudioDeviceManager devices(hardware, center);
    SoundflowerManagerParts parts;
    parts.audioDeviceManager = &devices;
    parts.notificationCenter = &center;
    auto authorization = std::make_shared<platform::security::RecordingAuthorizationService>();
    authorization->runAsRecorded = true;  // the root copy runs without rights, into a temporary folder
    parts.authorization = authorization;
    parts.resourceArchive = [] {
        return std::optional<std::string>(QUILL_BINARY_DIR "/resources/Soundflower.zip");
    };
    parts.temporaryFolder = [&] { return std::optional<std::string>(tmp.str()); };
    parts.toolsFolder = QUILL_BINARY_DIR;
    parts.driverFolder = tmp / "lib/quillaran/Extensions";
    parts.driverOwner = ::geteuid();
    std::filesystem::create_directories(tmp / "lib");
    SoundflowerManager manager(parts);

    ASSERT_TRUE(manager.kextPath().has_value());
    EXPECT_TRUE(std::filesystem::exists(tmp / "Soundflower.kext/Contents/Info.plist"));
    EXPECT_FALSE(manager.isKextInstalled());

    // Copied, then loaded by the real kextutil into the user's sound server.
    EXPECT_TRUE(manager.installKext());
    EXPECT_TRUE(manager.isKextInstalled());
    EXPECT_NE(server.pactl("list short sinks").find("Soundflower"), std::string::npos);

    // The real backend then switches both directions to it.
    auto pulse = PulseAudioBackend::connect();
    ASSERT_TRUE(pulse);
    auto realHardware = std::make_shared<AudioHardware>(pulse);
    AudioDeviceManager realDevices(realHardware, center);
    EXPECT_TRUE(realDevices.setDefaultInputAudioDevice("Soundflower (2ch)"));
    EXPECT_TRUE(realDevices.setDefaultOutputAudioDevice("Soundflower (2ch)"));
    ASSERT_TRUE(realDevices.currentInputAudioDevice());
    ASSERT_TRUE(realDevices.currentOutputAudioDevice());
    EXPECT_EQ(realDevices.currentInputAudioDevice()->deviceName(), "Soundflower (2ch)");
    EXPECT_EQ(realDevices.currentOutputAudioDevice()->deviceName(), "Soundflower (2ch)");
    EXPECT_NE(server.pactl("info").find("Default Source: Soundflower.monitor"), std::string::npos);

    auto refused = platform::foundation::runTask(QUILL_BINARY_DIR "/kextutil", {"/tmp/Other.kext"});
    ASSERT_TRUE(refused.has_value());
    EXPECT_NE(refused->exitCode, 0);
}
