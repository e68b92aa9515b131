#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "audio/AudioDeviceList.h"
#include "platform/coreaudio/CoreAudio.h"
#include "platform/coreaudio/PulseAudioBackend.h"
#include "platform/foundation/SysLog.h"
#include "support/PrivatePulseServer.h"
#include "support/TempFolder.h"

using namespace quill::platform::coreaudio;
using quill::platform::foundation::LogCapture;
using quill::testing::PrivatePulseServer;
using quill::testing::ScopedEnv;
using namespace std::chrono_literals;

namespace {

std::atomic<int> gOutputChanges{0};
std::atomic<int> gInputChanges{0};

OSStatus countChange(AudioObjectID, uint32_t, const AudioObjectPropertyAddress* a, void*) {
    (a->mSelector == kAudioHardwarePropertyDefaultOutputDevice ? gOutputChanges : gInputChanges)++;
    return 0;
}

bool waitFor(const std::function<bool()>& condition, double seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

const DeviceDescription* byName(const std::vector<DeviceDescription>& list, const std::string& name) {
    for (const auto& d : list) {
        if (d.name == name) return &d;
    }
    return nullptr;
}

constexpr double kDeadline = 1.0;

class CoreAudioPulse : public ::testing::Test {
  protected:
    void SetUp() override {
        server = std::make_unique<PrivatePulseServer>(std::vector<PrivatePulseServer::Device>{
            {true, "speakers", "Test Speakers", true},
            {true, "headset", "Test Headset"},
            {false, "mic", "Test Microphone", true},
        });
        if (!server->available()) GTEST_SKIP() << "no private sound server: " << server->failure();
        env = std::make_unique<ScopedEnv>("PULSE_SERVER", server->server());
        backend = PulseAudioBackend::connect(PulseAudioBackend::kConnectTimeoutSeconds, kDeadline);
        ASSERT_TRUE(backend);
    }
    std::unique_ptr<PrivatePulseServer> server;
    std::unique_ptr<ScopedEnv> env;
    std::shared_ptr<PulseAudioBackend> backend;
};

}  // namespace

TEST_F(CoreAudioPulse, ListsSinksAsOutputsAndSourcesAsInputs) {
    auto list = backend->devices();
    const auto* speakers = byName(list, "Test Speakers");
    const auto* mic = byName(list, "Test Microphone");
    ASSERT_TRUE(speakers && mic);
    EXPECT_EQ(speakers->outputChannels, 2u);
    EXPECT_EQ(speakers->inputChannels, 0u);
    EXPECT_EQ(speakers->transportType, kAudioDeviceTransportTypeBuiltIn);
    EXPECT_GT(mic->inputChannels, 0u);
    EXPECT_EQ(mic->outputChannels, 0u);
    // Monitors of ordinary sinks are not input devices.
    for (const auto& d : list)
        EXPECT_EQ(d.name.find("Monitor"), std::string::npos) << d.name;
    EXPECT_EQ(speakers->id, PulseAudioBackend::idForName("sink", "speakers"));
}

TEST_F(CoreAudioPulse, SwitchesDefaultsAndHearsChanges) {
    AudioHardware hw(backend);
    gOutputChanges = 0;
    gInputChanges = 0;
    hw.addPropertyListener(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, countChange,
                           nullptr);
    hw.addPropertyListener(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice}, countChange,
                           nullptr);
    const AudioDeviceID headset = PulseAudioBackend::idForName("sink", "headset");
    const AudioDeviceID speakers = PulseAudioBackend::idForName("sink", "speakers");
    ASSERT_EQ(hw.setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, 4,
                                 &speakers),
              0);
    ASSERT_TRUE(waitFor([&] { return backend->defaultDevice(false) == speakers; }));
    ASSERT_TRUE(hw.waitUntilIdle());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gOutputChanges = 0;

    ASSERT_EQ(hw.setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, 4,
                                 &headset),
              0);
    EXPECT_EQ(backend->defaultDevice(false), headset);
    EXPECT_TRUE(waitFor([] { return gOutputChanges >= 1; }));

    // A change made by another client (as a desktop mixer would) arrives too.
    server->pactl("set-default-sink speakers");
    EXPECT_TRUE(waitFor([] { return gOutputChanges >= 2; }));
    EXPECT_EQ(backend->defaultDevice(false), speakers);

    const AudioDeviceID mic = PulseAudioBackend::idForName("source", "mic");
    ASSERT_EQ(backend->setDefaultDevice(true, mic), 0);
    EXPECT_EQ(backend->defaultDevice(true), mic);
    EXPECT_NE(backend->setDefaultDevice(true, 12345), 0);
}

TEST_F(CoreAudioPulse, LoopbackSinkAndMonitorAreOneDevice) {
    EXPECT_FALSE(backend->hasLoopbackDevice());
    ASSERT_TRUE(backend->loadLoopbackDevice());
    EXPECT_TRUE(backend->hasLoopbackDevice());
    ASSERT_TRUE(backend->loadLoopbackDevice());  // already there: nothing more is loaded
    EXPECT_EQ(server->pactl("list short sinks").find("Soundflower"),
              server->pactl("list short sinks").rfind("Soundflower"));

    auto list = backend->devices();
    const auto* loop = byName(list, "Soundflower (2ch)");
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop->inputChannels, 2u);
    EXPECT_EQ(loop->outputChannels, 2u);
    ASSERT_EQ(backend->setDefaultDevice(true, loop->id), 0);
    ASSERT_EQ(backend->setDefaultDevice(false, loop->id), 0);
    EXPECT_EQ(backend->defaultDevice(true), loop->id);
    EXPECT_EQ(backend->defaultDevice(false), loop->id);
    EXPECT_NE(server->pactl("info").find("Default Source: Soundflower.monitor"), std::string::npos);
}

// A device list reads every device's properties; one listing of the server serves them all.
TEST_F(CoreAudioPulse, OneListingServesOneDeviceList) {
    auto hw = std::make_shared<AudioHardware>(backend);
    const uint64_t before = backend->listingCount();
    quill::AudioDeviceList outputs(hw, false);
    EXPECT_EQ(outputs.GetList().size(), 3u);  // the test sink, speakers, headset
    EXPECT_LE(backend->listingCount() - before, 1u);
}

// A stopped server costs one deadline: the device list read that meets it and the default-device
// restore after it both fail, logged, within it; once the server goes on, so do the requests.
TEST_F(CoreAudioPulse, AStoppedServerFailsRequestsWithinTheDeadline) {
    const AudioDeviceID speakers = PulseAudioBackend::idForName("sink", "speakers");
    ASSERT_EQ(backend->setDefaultDevice(false, speakers), 0);  // and the listing is taken again
    LogCapture log;
    server->pause();
    auto stalled = std::async(std::launch::async, [&] {
        const auto start = std::chrono::steady_clock::now();
        const bool listed = !backend->devices().empty();
        const OSStatus restored = backend->setDefaultDevice(false, speakers);
        return std::make_tuple(listed, restored, std::chrono::steady_clock::now() - start);
    });
    const bool inTime =
        stalled.wait_for(std::chrono::duration<double>(kDeadline) + 2s) == std::future_status::ready;
    server->resume();  // lets a hung request go, to fail rather than hang
    auto [listed, restored, took] = stalled.get();
    EXPECT_TRUE(inTime);
    EXPECT_FALSE(listed);
    EXPECT_EQ(restored, kAudioHardwareNotRunningError);
    EXPECT_LT(took, std::chrono::duration<double>(kDeadline) + 500ms);
    EXPECT_TRUE(
        log.contains("sound server: no answer to device list within 1.0 s; taken as not answering until "
                     "it answers again"));
    EXPECT_TRUE(log.contains("sound server: not answering; device list not done"));
    EXPECT_TRUE(waitFor([&] { return !backend->devices().empty(); }));
}
