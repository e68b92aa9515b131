// The user's default sound devices saved before mirroring and put back after it, against a private
// PulseAudio server.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "audio/AudioDeviceManager.h"
#include "audio/AudioRestore.h"
#include "audio/SoundflowerManager.h"
#include "platform/coreaudio/PulseAudioBackend.h"
#include "support/PrivatePulseServer.h"
#include "support/TempFolder.h"

using namespace quill;
using namespace quill::platform::coreaudio;
using quill::platform::foundation::NotificationCenter;
using quill::testing::PrivatePulseServer;
using quill::testing::ScopedEnv;
using quill::testing::TempFolder;

// A private server whose only device is "speakers", the default, with the loopback device loaded.
class SavedDevicesPulse : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!server.available()) GTEST_SKIP() << "no private PulseAudio server: " << server.failure();
        pulseServer.emplace("PULSE_SERVER", server.server());
        server.pactl("set-default-sink speakers");
        auto backend = PulseAudioBackend::connect();
        ASSERT_TRUE(backend);
        ASSERT_TRUE(backend->loadLoopbackDevice());
        devices.emplace(std::make_shared<AudioHardware>(backend), center);
    }

    // Only outputs: with no microphone configured the server records from an output's monitor.
    PrivatePulseServer server{{{true, "speakers", "Speakers", true}}};
    std::optional<ScopedEnv> pulseServer;
    NotificationCenter center;
    std::optional<AudioDeviceManager> devices;
    TempFolder tmp;
    const std::string saved = tmp / ".soundflower";
};

TEST_F(SavedDevicesPulse, AnOutputsMonitorAsTheDefaultInputIsPutBack) {
    server.pactl("set-default-source speakers.monitor");
    ASSERT_NE(server.pactl("info").find("Default Source: speakers.monitor\n"), std::string::npos);
    ASSERT_TRUE(devices->writeSystemAudioSettingToFile(saved));
    ASSERT_TRUE(devices->setDefaultInputAudioDevice("Soundflower (2ch)"));
    ASSERT_TRUE(devices->setDefaultOutputAudioDevice("Soundflower (2ch)"));
    ASSERT_NE(server.pactl("info").find("Default Source: Soundflower.monitor\n"), std::string::npos);

    ASSERT_TRUE(devices->restoreSystemAudioSettingFromFile(saved));
    const std::string info = server.pactl("info");
    EXPECT_NE(info.find("Default Source: speakers.monitor\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Default Sink: speakers\n"), std::string::npos) << info;
}

// The server stops answering while mirroring: the file that names the user's devices survives the restore
// that could not reach it, and the next restore, once the server answers, puts them back.
TEST_F(SavedDevicesPulse, DevicesSavedWhileTheServerDoesNotAnswerAreKeptForTheNextRestore) {
    SoundflowerManager soundflower({.audioDeviceManager = &*devices,
                                    .notificationCenter = &center,
                                    .resourceArchive = [] { return std::optional<std::string>(); }});
    ASSERT_TRUE(devices->writeSystemAudioSettingToFile(saved));
    ASSERT_TRUE(devices->setDefaultOutputAudioDevice("Soundflower (2ch)"));

    server.pause();
    restoreSavedAudioDevices(soundflower, *devices, saved);
    server.resume();
    EXPECT_TRUE(std::filesystem::exists(saved));
    EXPECT_NE(server.pactl("info").find("Default Sink: Soundflower\n"), std::string::npos);

    restoreSavedAudioDevices(soundflower, *devices, saved);
    EXPECT_FALSE(std::filesystem::exists(saved));
    const std::string info = server.pactl("info");
    EXPECT_NE(info.find("Default Sink: speakers\n"), std::string::npos) << info;
}
