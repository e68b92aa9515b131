#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/coreaudio/CoreAudio.h"
#include "platform/coreaudio/SimulatedAudioBackend.h"
#include "platform/foundation/SysLog.h"
#include "support/TempFolder.h"

using namespace quill::platform::coreaudio;

namespace {

struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>> events;
    std::vector<std::thread::id> threads;
    std::atomic<int> inside{0};
    int maxInside = 0;
    AudioHardware* hardware = nullptr;
    AudioDeviceID switchBackTo = 0;
};

OSStatus record(AudioObjectID object, uint32_t n, const AudioObjectPropertyAddress* addresses, void* data) {
    auto* r = static_cast<Recorder*>(data);
    int now = ++r->inside;
    {
        std::lock_guard lock(r->mutex);
        r->maxInside = std::max(r->maxInside, now);
        for (uint32_t i = 0; i < n; ++i)
            r->events.emplace_back(object, addresses[i].mSelector);
        r->threads.push_back(std::this_thread::get_id());
    }
    if (r->switchBackTo != 0 && r->hardware) {
        // Calls back into the hardware from the listener: the switch must not deadlock.
        AudioDeviceID id = r->switchBackTo;
        r->switchBackTo = 0;
        r->hardware->setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice},
                                     sizeof id, &id);
    }
    --r->inside;
    return 0;
}

std::shared_ptr<SimulatedAudioBackend> makeBackend() {
    auto b = std::make_shared<SimulatedAudioBackend>();
    b->addDevice({10, "Mic", 1, 0, kAudioDeviceTransportTypeBuiltIn, 7, 0});
    b->addDevice({11, "Speakers", 0, 2, kAudioDeviceTransportTypeBuiltIn, 0, 9});
    b->addDevice({12, "Soundflower (2ch)", 2, 2, kAudioDeviceTransportTypeVirtual});
    b->changeDefaultDevice(true, 10);
    b->changeDefaultDevice(false, 11);
    return b;
}

uint32_t readU32(AudioHardware& hw, AudioObjectID obj, AudioObjectPropertyAddress a, OSStatus* st = nullptr) {
    uint32_t v = 0, size = sizeof v;
    OSStatus s = hw.getPropertyData(obj, a, &size, &v);
    if (st) *st = s;
    return v;
}

}  // namespace

TEST(CoreAudioHardware, SystemAndDeviceProperties) {
    auto backend = makeBackend();
    AudioHardware hw(backend);
    uint32_t size = 0;
    ASSERT_EQ(hw.getPropertyDataSize(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices}, &size), 0);
    EXPECT_EQ(size, 12u);
    std::vector<AudioDeviceID> ids(3);
    ASSERT_EQ(
        hw.getPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices}, &size, ids.data()), 0);
    EXPECT_EQ(ids, (std::vector<AudioDeviceID>{10, 11, 12}));
    EXPECT_EQ(readU32(hw, kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice}), 10u);
    EXPECT_EQ(readU32(hw, kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}), 11u);
    EXPECT_EQ(readU32(hw, 11, {kAudioDevicePropertyTransportType}), kAudioDeviceTransportTypeBuiltIn);
    EXPECT_EQ(readU32(hw, 11, {kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeOutput}), 9u);

    // Stream configuration: one buffer with the direction's channels, none without.
    ASSERT_EQ(hw.getPropertyDataSize(
                  11, {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput}, &size),
              0);
    std::vector<uint8_t> block(size);
    ASSERT_EQ(
        hw.getPropertyData(11, {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput},
                           &size, block.data()),
        0);
    auto* list = reinterpret_cast<AudioBufferList*>(block.data());
    EXPECT_EQ(list->mNumberBuffers, 1u);
    EXPECT_EQ(list->mBuffers[0].mNumberChannels, 2u);
    ASSERT_EQ(hw.getPropertyDataSize(
                  11, {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput}, &size),
              0);
    uint32_t emptyList[2] = {99, 99};
    ASSERT_EQ(
        hw.getPropertyData(11, {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput},
                           &size, emptyList),
        0);
    EXPECT_EQ(emptyList[0], 0u);

    // Names are NUL-terminated and cut to the buffer.
    char name[8];
    size = sizeof name;
    ASSERT_EQ(
        hw.getPropertyData(12, {kAudioDevicePropertyDeviceName, kAudioObjectPropertyScopeInput}, &size, name),
        0);
    EXPECT_STREQ(name, "Soundfl");

    AudioStreamBasicDescription f;
    size = sizeof f;
    ASSERT_EQ(
        hw.getPropertyData(12, {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput}, &size, &f),
        0);
    EXPECT_EQ(f.mChannelsPerFrame, 2u);
    EXPECT_EQ(f.mSampleRate, 44100.0);

    OSStatus st = 0;
    readU32(hw, 99, {kAudioDevicePropertyTransportType}, &st);
    EXPECT_EQ(st, kAudioHardwareBadObjectError);
    readU32(hw, 11, {fourCC("zzzz")}, &st);
    EXPECT_EQ(st, kAudioHardwareUnknownPropertyError);

    uint32_t frames = 256;
    EXPECT_EQ(hw.setPropertyData(11, {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput},
                                 sizeof frames, &frames),
              0);
    EXPECT_EQ(readU32(hw, 11, {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeOutput}), 256u);
    void* nullLoop = nullptr;
    EXPECT_EQ(hw.setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyRunLoop}, sizeof nullLoop,
                                 &nullLoop),
              0);
}

TEST(CoreAudioHardware, SwitchingDefaultsAndRefusals) {
    auto backend = makeBackend();
    AudioHardware hw(backend);
    AudioDeviceID id = 12;
    EXPECT_EQ(
        hw.setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice}, 4, &id), 0);
    EXPECT_EQ(readU32(hw, kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice}), 12u);
    id = 11;  // no input channels
    EXPECT_NE(
        hw.setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice}, 4, &id), 0);
    id = 0;
    EXPECT_NE(
        hw.setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, 4, &id), 0);
    backend->refuseSwitchesTo(12);
    id = 12;
    EXPECT_EQ(
        hw.setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, 4, &id),
        kAudioHardwareIllegalOperationError);
    EXPECT_EQ(readU32(hw, kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}), 11u);
    EXPECT_EQ(
        hw.setPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, 2, &id),
        kAudioHardwareBadPropertySizeError);
}

TEST(CoreAudioHardware, ListenersRunSeriallyOnOneNotificationThreadAndMayCallBack) {
    auto backend = makeBackend();
    AudioHardware hw(backend);
    Recorder r;
    r.hardware = &hw;
    ASSERT_EQ(hw.addPropertyListener(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice},
                                     record, &r),
              0);
    ASSERT_EQ(hw.addPropertyListener(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice},
                                     record, &r),
              0);
    ASSERT_EQ(hw.addPropertyListener(11, {kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeOutput},
                                     record, &r),
              0);
    // A second identical registration is not a second listener.
    ASSERT_EQ(hw.addPropertyListener(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice},
                                     record, &r),
              0);

    r.switchBackTo = 11;
    backend->changeDefaultDevice(false, 12);  // the listener switches back to 11
    ASSERT_TRUE(hw.waitUntilIdle());
    for (int i = 0; i < 20; ++i)
        backend->changeDefaultDevice(true, i % 2 ? 10 : 12);
    backend->changeDataSource(11, false, 5);
    backend->changeDataSource(11, true, 5);  // other scope: nobody listens
    ASSERT_TRUE(hw.waitUntilIdle());

    std::lock_guard lock(r.mutex);
    ASSERT_EQ(r.events.size(), 23u);
    // The switch made from inside the listener is delivered after the listener returned.
    EXPECT_EQ(r.events[0], std::make_pair(AudioObjectID{1}, kAudioHardwarePropertyDefaultOutputDevice));
    EXPECT_EQ(r.events[1], std::make_pair(AudioObjectID{1}, kAudioHardwarePropertyDefaultOutputDevice));
    EXPECT_EQ(r.events[2], std::make_pair(AudioObjectID{1}, kAudioHardwarePropertyDefaultInputDevice));
    EXPECT_EQ(r.events.back(), std::make_pair(AudioObjectID{11}, kAudioDevicePropertyDataSource));
    EXPECT_EQ(std::count(r.events.begin(), r.events.end(),
                         std::make_pair(AudioObjectID{1}, kAudioHardwarePropertyDefaultOutputDevice)),
              2);
    EXPECT_EQ(r.maxInside, 1);
    for (auto& t : r.threads)
        EXPECT_EQ(t, r.threads.front());
    EXPECT_NE(r.threads.front(), std::this_thread::get_id());
    EXPECT_EQ(readU32(hw, kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}), 11u);
}

TEST(CoreAudioHardware, RemovedListenerIsNotCalled) {
    auto backend = makeBackend();
    AudioHardware hw(backend);
    Recorder r;
    AudioObjectPropertyAddress a{kAudioHardwarePropertyDefaultOutputDevice};
    hw.addPropertyListener(kAudioObjectSystemObject, a, record, &r);
    hw.removePropertyListener(kAudioObjectSystemObject, a, record, &r);
    backend->changeDefaultDevice(false, 12);
    ASSERT_TRUE(hw.waitUntilIdle());
    std::lock_guard lock(r.mutex);
    EXPECT_TRUE(r.events.empty());
}

// Without a sound server the process has no sound devices; the simulated ones only come when asked for.
TEST(CoreAudioHardware, NoSoundServerMeansNoDevicesNotSimulatedOnes) {
    quill::testing::ScopedEnv server("PULSE_SERVER", "unix:/nonexistent/quillaran/native");
    quill::testing::ScopedEnv choice("QUILLARAN_AUDIO_DEVICES", std::nullopt);
    quill::platform::foundation::LogCapture log;
    auto hardware = AudioHardware::shared();
    EXPECT_EQ(hardware->backend().backendName(), "none");
    uint32_t size = 1;
    ASSERT_EQ(hardware->getPropertyDataSize(kAudioObjectSystemObject,
                                            {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal},
                                            &size),
              kAudioHardwareNoError);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(log.contains("sound devices: no PulseAudio server answers; no sound devices"));
}
