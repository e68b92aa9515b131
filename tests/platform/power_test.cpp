#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/foundation/SysLog.h"
#include "platform/power/Power.h"
#include "support/TempFolder.h"

namespace quill::platform::power {
namespace {

TEST(PowerManagerTest, AssertionsAreTakenAndReleasedOnce) {
    auto recorder = std::make_shared<RecordingPowerBackend>();
    PowerManager pm(recorder);
    IOPMAssertionID id = 0;
    ASSERT_EQ(pm.IOPMAssertionCreateWithName(kIOPMAssertionTypePreventUserIdleDisplaySleep,
                                             kIOPMAssertionLevelOn, "Screen Mirroring", &id),
              kIOReturnSuccess);
    EXPECT_NE(id, 0u);
    ASSERT_EQ(recorder->entries().size(), 1u);
    EXPECT_EQ(recorder->entries()[0].type, "PreventUserIdleDisplaySleep");
    EXPECT_EQ(recorder->entries()[0].reason, "Screen Mirroring");
    EXPECT_EQ(recorder->held(), 1u);
    EXPECT_EQ(pm.IOPMAssertionRelease(id), kIOReturnSuccess);
    EXPECT_EQ(recorder->held(), 0u);
    EXPECT_EQ(pm.IOPMAssertionRelease(id), kIOReturnNotFound);
    EXPECT_EQ(pm.heldAssertions(), 0u);
}

TEST(PowerManagerTest, BadRequestsAreRefused) {
    auto recorder = std::make_shared<RecordingPowerBackend>();
    PowerManager pm(recorder);
    IOPMAssertionID id = 0;
    EXPECT_EQ(pm.IOPMAssertionCreateWithName("PreventUserIdleDisplaySleep", 0, "x", &id),
              kIOReturnBadArgument);
    EXPECT_EQ(pm.IOPMAssertionCreateWithName("PreventUserIdleDisplaySleep", 255, "x", nullptr),
              kIOReturnBadArgument);
    EXPECT_TRUE(recorder->entries().empty());
}

TEST(PowerManagerTest, EverythingHeldIsReleasedWithTheManager) {
    auto recorder = std::make_shared<RecordingPowerBackend>();
    {
        PowerManager pm(recorder);
        IOPMAssertionID a = 0, b = 0;
        pm.IOPMAssertionCreateWithName("PreventUserIdleDisplaySleep", 255, "one", &a);
        pm.IOPMAssertionCreateWithName("PreventUserIdleDisplaySleep", 255, "two", &b);
        pm.beginActivity(false, "Batch processing files");
        EXPECT_EQ(recorder->held(), 3u);
    }
    EXPECT_EQ(recorder->held(), 0u);
}

TEST(PowerManagerTest, ActivitiesThatAllowIdleSleepHoldNothing) {
    auto recorder = std::make_shared<RecordingPowerBackend>();
    PowerManager pm(recorder);
    uint64_t batch = pm.beginActivity(false, "Batch processing files");
    uint64_t nap = pm.beginActivity(true, "just not sleep");
    EXPECT_NE(batch, nap);
    ASSERT_EQ(recorder->entries().size(), 1u);
    EXPECT_EQ(recorder->entries()[0].type, "PreventUserIdleSystemSleep");
    pm.endActivity(nap);
    pm.endActivity(batch);
    pm.endActivity(batch);  // twice is harmless
    EXPECT_EQ(recorder->held(), 0u);
}

TEST(PowerManagerTest, WithoutADesktopTheNoopBackendLogsAndStillGivesAnId) {
    foundation::LogCapture capture;
    testing::TempFolder tmp;
    const std::string noBus = "unix:path=" + (tmp / "no-bus");
    PowerManager pm(makeNoopBackend(noBus.c_str()));
    IOPMAssertionID id = 0;
    EXPECT_EQ(pm.IOPMAssertionCreateWithName("PreventUserIdleDisplaySleep", 255, "Screen Mirroring", &id),
              kIOReturnSuccess);
    const std::string told =
        "no inhibitor of blanking and locking of the screen on this desktop (no session bus); "
        "\"Screen Mirroring\" holds nothing";
    for (int i = 0; i < 500 && !capture.contains(told); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(capture.contains(told));
    EXPECT_EQ(pm.IOPMAssertionRelease(id), kIOReturnSuccess);
}

}  // namespace
}  // namespace quill::platform::power
