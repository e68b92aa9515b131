// The media pipeline of one run: what it captures depending on the default sound device, how it stops
// (promptly, once, with the sound devices put back), and a stop while the screen is not there.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/SessionRig.h"
#include "platform/foundation/SysLog.h"
#include "support/VideoTestUtil.h"

namespace quill {
namespace {

using platform::foundation::LogCapture;
using testing::SessionRig;
using Clock = std::chrono::steady_clock;

// Takes packets from the queue for `seconds`, counting them.
size_t drain(EncodedVideoQueue& queue, double seconds) {
    size_t n = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (queue.take(0.05)) ++n;
    }
    return n;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(MediaHandlerTest, CapturesSoundOnlyWhenTheLoopbackDeviceIsAlreadyTheDefault) {
    SessionRig rig;
    LogCapture log;
    auto handler = rig.makeHandler();
    handler->startMedia();
    EXPECT_FALSE(handler->isCapturingSound());
    ASSERT_TRUE(handler->videoOutputQueue()->take(10.0).has_value());
    EXPECT_GT(drain(*handler->videoOutputQueue(), 0.8), 3u);
    EXPECT_FALSE(handler->audioOutputQueue()->take(0.3).has_value());
    handler->stopMedia();
    EXPECT_TRUE(log.contains("start media"));
    EXPECT_TRUE(log.contains("going to begin audio recorder"));
    EXPECT_TRUE(log.contains("going to video recorder"));

    ASSERT_TRUE(rig.soundflower->setSoundflowerAsDefaultAudio());
    auto withSound = rig.makeHandler();
    withSound->startMedia();
    EXPECT_TRUE(withSound->isCapturingSound());
    auto packet = withSound->audioOutputQueue()->take(10.0);
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(packet->kind(), kMediaKindAudio);
    withSound->stopMedia();
    EXPECT_FALSE(withSound->isCapturingSound());
}

TEST(MediaHandlerTest, StopEndsEverythingPromptlyOnceAndPutsTheSavedDevicesBack) {
    SessionRig rig;
    ASSERT_TRUE(rig.devices->writeSystemAudioSettingToFile(rig.settingFile()));
    ASSERT_TRUE(rig.soundflower->setSoundflowerAsDefaultAudio());
    rig.soundflower->setProtectSetting(true);

    auto handler = rig.makeHandler();
    handler->startMedia();
    ASSERT_TRUE(handler->videoOutputQueue()->take(10.0).has_value());
    // Nobody drains the queues now: the encoders block on full queues until the stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    handler->stopMedia();
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_TRUE(handler->videoOutputQueue()->isStopped());
    EXPECT_TRUE(handler->audioInputQueue()->isStopped());
    EXPECT_FALSE(rig.soundflower->protectSetting());
    EXPECT_TRUE(rig.userDevicesAreDefault());
    EXPECT_FALSE(rig.settingFileExists());
    EXPECT_FALSE(handler->videoRecorder().isCapturing());

    // A second stop and a late start do nothing.
    ASSERT_TRUE(rig.soundflower->setSoundflowerAsDefaultAudio());
    handler->stopMedia();
    handler->startMedia();
    EXPECT_TRUE(rig.loopbackIsDefault());
    EXPECT_FALSE(handler->videoRecorder().isCapturing());
}

TEST(MediaHandlerTest, AStopWhileNoScreenIsThereEndsTheWaitForOne) {
    SessionRig rig({.displayPresent = false});
    auto handler = rig.makeHandler();
    handler->startMedia();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    handler->stopMedia();
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_FALSE(handler->videoRecorder().isCapturing());
}

TEST(MediaHandlerTest, AStopRightAfterTheStartLeavesNoCaptureRunning) {
    SessionRig rig;
    for (int i = 0; i < 3; ++i) {
        auto handler = rig.makeHandler();
        handler->startMedia();
        const auto start = Clock::now();
        handler->stopMedia();
        EXPECT_LT(secondsSince(start), 2.0);
        EXPECT_FALSE(handler->videoRecorder().isCapturing());
    }
}

TEST(MediaHandlerTest, AKeyFrameRequestMarksTheNextFrame) {
    SessionRig rig;
    auto handler = rig.makeHandler();
    handler->startMedia();
    ASSERT_TRUE(handler->videoOutputQueue()->take(10.0).has_value());
    drain(*handler->videoOutputQueue(), 0.3);
    handler->setNeedsKeyFrame(true);
    bool idr = false;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!idr && Clock::now() < end) {
        if (auto p = handler->videoOutputQueue()->take(0.05))
            idr = quill::testing::nalType(p->payload()) == 5;
    }
    EXPECT_TRUE(idr);
    handler->stopMedia();
}

}  // namespace
}  // namespace quill
