// The user's default sound devices saved before mirroring and put back after it, against a private
// PulseAudio server.
#include <gtest/gtest.h>

#include "audio/AudioDeviceManager.h"
#include "platform/coreaudio/PulseAudioBackend.h"
#include "support/PrivatePulseServer.h"
#include "support/TempFolder.h"

using namespace quill;
using namespace quill::platform::coreaudio;
using quill::platform::foundation::NotificationCenter;
using quill::testing::PrivatePulseServer;
using quill::testing::ScopedEnv;
using quill::testing::TempFolder;

TEST(SavedDevicesPulse, AnOutputsMonitorAsTheDefaultInputIsPutBack) {
    // Only outputs: with no microphone configured the server records from an output's monitor.
    PrivatePulseServer server({{true, "speakers", "Speakers", true}});
    if (!server.available()) GTEST_SKIP() << "no private PulseAudio server: " << server.failure();
    ScopedEnv pulseServer("PULSE_SERVER", server.server());
    server.pactl("set-default-sink speakers");
    server.pactl("set-default-source speakers.monitor");
    ASSERT_NE(server.pactl("info").find("Default Source: speakers.monitor\n"), std::string::npos);

    auto backend = PulseAudioBackend::connect();
    ASSERT_TRUE(backend);
    ASSERT_TRUE(backend->loadLoopbackDevice());
    NotificationCenter center;
    AudioDeviceManager devices(std::make_shared<AudioHardware>(backend), center);
    TempFolder tmp;
    const std::string saved = tmp / ".soundflower";
    ASSERT_TRUE(devices.writeSystemAudioSettingToFile(saved));
    ASSERT_TRUE(devices.setDefaultInputAudioDevice("Soundflower (2ch)"));
    ASSERT_TRUE(devices.setDefaultOutputAudioDevice("Soundflower (2ch)"));
    ASSERT_NE(server.pactl("info").find("Default Source: Soundflower.monitor\n"), std::string::npos);

    ASSERT_TRUE(devices.restoreSystemAudioSettingFromFile(saved));
    const std::string info = server.pactl("info");
    EXPECT_NE(info.find("Default Source: speakers.monitor\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Default Sink: speakers\n"), std::string::npos) << info;
}
