#include "audio/SoundflowerManager.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/coreaudio/SimulatedAudioBackend.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Task.h"
#include "support/FileText.h"
#include "support/TempFolder.h"
#include "support/ZipFixture.h"

using namespace quill;
using namespace quill::platform::coreaudio;
using namespace quill::platform::security;
using quill::platform::foundation::Notification;
using quill::platform::foundation::NotificationCenter;
using quill::testing::TempFolder;

namespace {

constexpr AudioDeviceID kMic = 2, kSpeakers = 3, kLoop = 7;

class SoundflowerManagerTest : public ::testing::Test {
  protected:
    SoundflowerManagerTest() {
        backend->addDevice({kMic, "Built-in Microphone", 2, 0, kAudioDeviceTransportTypeBuiltIn, 1, 0});
        backend->addDevice({kSpeakers, "Built-in Output", 0, 2, kAudioDeviceTransportTypeBuiltIn, 0, 1});
        backend->addDevice({kLoop, "Soundflower (2ch)", 2, 2, kAudioDeviceTransportTypeVirtual});
        backend->changeDefaultDevice(true, kMic);
        backend->changeDefaultDevice(false, kSpeakers);
        hardware = std::make_shared<AudioHardware>(backend);
        devices = std::make_unique<AudioDeviceManager>(hardware, center);
    }
    std::unique_ptr<SoundflowerManager> makeManager(std::optional<std::string> archive = std::nullopt) {
        SoundflowerManagerParts parts;
        parts.audioDeviceManager = devices.get();
        parts.notificationCenter = &center;
        parts.authorization = fake;
        parts.resourceArchive = [archive] { return archive; };
        parts.temporaryFolder = [this] { return std::optional<std::string>(tmp / "private"); };
        parts.toolsFolder = tmp / "tools";
        parts.clock = [this] { return now.load(); };
        std::filesystem::create_directories(tmp / "private");
        return std::make_unique<SoundflowerManager>(parts);
    }
    void settle() { ASSERT_TRUE(hardware->waitUntilIdle()); }

    TempFolder tmp;
    std::shared_ptr<SimulatedAudioBackend> backend = std::make_shared<SimulatedAudioBackend>();
    std::shared_ptr<AudioHardware> hardware;
    NotificationCenter center;
    std::unique_ptr<AudioDeviceManager> devices;
    std::shared_ptr<RecordingAuthorizationService> fake = std::make_shared<RecordingAuthorizationService>();
    std::atomic<double> now{1000.0};
};

void writeTool(const std::string& path, const std::string& body) {
    quill::testing::writeFileText(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
}

// Whether every child of the process has been reaped (looks without reaping any).
bool noChildLeft() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

// Runs main-queue work, where privileged tasks poll their child, until done() holds; at most 5 s.
bool drainMainUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        quill::platform::dispatch::drainMain();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

TEST_F(SoundflowerManagerTest, SwitchesToTheLoopbackDeviceAndTellsWhetherItIsDefault) {
    auto m = makeManager();
    EXPECT_FALSE(m->isSoundflowerDefaultAudio());
    EXPECT_TRUE(m->setSoundflowerAsDefaultAudio());
    EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), kLoop);
    EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), kLoop);
    backend->changeDefaultDevice(false, kSpeakers);
    EXPECT_FALSE(m->isSoundflowerDefaultAudio());  // input is, output is not
    backend->removeDevice(kLoop);
    EXPECT_FALSE(m->setSoundflowerAsDefaultAudio());
    m->resetDefaultAudioDevice();
    EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), kMic);
}

TEST_F(SoundflowerManagerTest, GuardUndoesALoneChangeAndLeavesQuickSecondChanges) {
    auto m = makeManager();
    ASSERT_TRUE(m->setSoundflowerAsDefaultAudio());
    settle();
    m->setProtectSetting(true);

    backend->changeDefaultDevice(false, kSpeakers);  // the user's change
    settle();
    EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), kLoop);  // undone; its echo was ignored
    EXPECT_EQ(m->recentSettings().size(), 2u);

    now = now + 0.5;
    backend->changeDefaultDevice(false, kSpeakers);  // within the window: left alone
    settle();
    EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), kSpeakers);

    now = now + 1.5;
    backend->changeDefaultDevice(true, kMic);  // window passed: undone
    settle();
    EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), kLoop);
    // An entry exactly 1.0 s old stays.
    now = now + 1.0;
    backend->changeDefaultDevice(true, kMic);
    settle();
    EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), kMic);
}

TEST_F(SoundflowerManagerTest, GuardOffIgnoresChangesAndDataSourcesResetToBuiltIn) {
    auto m = makeManager();
    ASSERT_TRUE(m->setSoundflowerAsDefaultAudio());
    settle();
    backend->changeDefaultDevice(false, kSpeakers);
    settle();
    EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), kSpeakers);
    EXPECT_TRUE(m->recentSettings().empty());

    backend->changeDataSource(kSpeakers, false, 9);  // headphones plugged in
    settle();
    EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), kMic);

    ASSERT_TRUE(m->setSoundflowerAsDefaultAudio());
    settle();
    m->setProtectSetting(true);
    backend->changeDataSource(kSpeakers, false, 10);
    settle();
    EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), kLoop);
}

TEST_F(SoundflowerManagerTest, TurningTheGuardOffWaitsForAStepUnderWay) {
    auto m = makeManager();
    ASSERT_TRUE(m->setSoundflowerAsDefaultAudio());
    settle();
    m->setProtectSetting(true);
    // Many changes from outside race with a stop that restores the user's devices.
    std::thread user([&] {
        for (int i = 0; i < 50; ++i) {
            now = now + 2.0;
            backend->changeDefaultDevice(false, kSpeakers);
        }
    });
    m->setProtectSetting(false);
    user.join();
    settle();
    devices->setDefaultOutputAudioDeviceWithID(kSpeakers);
    settle();
    EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), kSpeakers);
}

TEST_F(SoundflowerManagerTest, DetectionRunsTheCommandWithTheToolsFirstOnThePath) {
    writeTool(tmp / "tools/kextstat",
              "echo \"$@\" > \"$(dirname \"$0\")/args\"\necho 'Index Refs Address'\n");
    auto m = makeManager();
    EXPECT_FALSE(m->isKextInstalled());  // only the header: grep finds nothing
    EXPECT_EQ(quill::testing::readFileText(tmp / "tools/args"), "-b com.Cycling74.driver.Soundflower\n");
    writeTool(tmp / "tools/kextstat", "echo ' 1 0 0x0 0x0 0x0 com.Cycling74.driver.Soundflower (2.0.0)'\n");
    EXPECT_TRUE(m->isKextInstalled());
    writeTool(tmp / "tools/kextstat", "exit 1\n");
    EXPECT_FALSE(m->isKextInstalled());
}

TEST_F(SoundflowerManagerTest, UnpacksTheDriverAndInstallsItThroughTheFake) {
    const std::string archive = tmp / "Soundflower.zip";
    ASSERT_TRUE(quill::testing::writeZipFixture(
        archive, {{"Soundflower.kext/", "", 040755}, {"Soundflower.kext/Contents/Info.plist", "<plist/>"}}));
    writeTool(tmp / "tools/kextutil", "exit 0\n");
    auto m = makeManager(archive);
    ASSERT_TRUE(m->kextPath().has_value());
    EXPECT_EQ(*m->kextPath(), tmp / "private/Soundflower.kext");
    EXPECT_TRUE(std::filesystem::exists(tmp / "private/Soundflower.kext/Contents/Info.plist"));

    ASSERT_TRUE(m->installKext());
    auto launches = fake->launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].path, "/bin/sh");
    ASSERT_EQ(launches[0].arguments.size(), 2u);
    EXPECT_EQ(launches[0].arguments[0], "-c");
    const std::string tools = std::filesystem::canonical(tmp / "tools").string();
    EXPECT_EQ(launches[0].arguments[1],
              "mkdir -p /usr/local/lib/quillaran/Extensions\n"
              "cp -R " +
                  tmp / "private/Soundflower.kext" +
                  " /usr/local/lib/quillaran/Extensions\n"
                  "chmod -R 700 /usr/local/lib/quillaran/Extensions/Soundflower.kext\n"
                  "chown -R root:root /usr/local/lib/quillaran/Extensions/Soundflower.kext\n" +
                  tools + "/kextutil /usr/local/lib/quillaran/Extensions/Soundflower.kext");
    // The root shell finds cp, chmod and chown in the system's folders only, never in the user's.
    EXPECT_EQ(launches[0].environment,
              (std::map<std::string, std::string>{{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}));

    fake->copyRightsStatus = errAuthorizationCanceled;
    EXPECT_FALSE(m->installKext());
    fake->copyRightsStatus = errAuthorizationSuccess;
    fake->available = false;
    EXPECT_FALSE(m->installKext());
    EXPECT_EQ(fake->launches().size(), 1u);
    // The launched stand-in is reaped and its task let go.
    EXPECT_TRUE(drainMainUntil(noChildLeft));
}

TEST_F(SoundflowerManagerTest, NoToolRunsAsRootFromWhereOthersCouldChangeIt) {
    const std::string archive = tmp / "Soundflower.zip";
    ASSERT_TRUE(quill::testing::writeZipFixture(archive, {{"Soundflower.kext/", "", 040755}}));
    auto m = makeManager(archive);
    const std::string tools = tmp / "tools", tool = tmp / "tools/kextutil";
    auto reset = [&] {
        std::filesystem::remove_all(tools);
        std::filesystem::create_directories(tools);
        std::filesystem::permissions(tools, std::filesystem::perms(0755));
        writeTool(tool, "exit 0\n");
    };
    const std::vector<std::pair<std::string, std::function<void()>>> cases{
        {"folder writable by others",
         [&] { std::filesystem::permissions(tools, std::filesystem::perms(0757)); }},
        {"folder writable by the group",
         [&] { std::filesystem::permissions(tools, std::filesystem::perms(0775)); }},
        {"tool writable by others",
         [&] { std::filesystem::permissions(tool, std::filesystem::perms(0757)); }},
        {"tool missing", [&] { std::filesystem::remove(tool); }},
        {"folder of another user", [&] { ASSERT_EQ(::chown(tools.c_str(), 65534, 65534), 0); }},
    };
    for (const auto& [name, spoil] : cases) {
        if (name == "folder of another user" && ::geteuid() != 0) continue;  // only root can give it away
        reset();
        spoil();
        EXPECT_FALSE(m->installKext()) << name;
        EXPECT_TRUE(fake->launches().empty()) << name;
    }
    reset();
    EXPECT_TRUE(m->installKext());
    EXPECT_TRUE(drainMainUntil(noChildLeft));
}

TEST(SoundflowerInstallScript, RunsWithoutErrorsAsTheRootShellWould) {
    if (::geteuid() != 0) GTEST_SKIP() << "setting the driver's owner to root needs root";
    TempFolder tmp;
    std::filesystem::create_directories(tmp / "private/Soundflower.kext/Contents");
    quill::testing::writeFileText(tmp / "private/Soundflower.kext/Contents/Info.plist", "<plist/>");
    writeTool(tmp / "kextutil", "echo \"$@\" >> \"$(dirname \"$0\")/loaded\"\n");
    const std::string folder = tmp / "lib/quillaran/Extensions";  // missing: the script makes it
    const std::string script =
        SoundflowerManager::installScript(tmp / "private/Soundflower.kext", tmp / "kextutil", folder);
    platform::foundation::TaskOptions options;
    options.environment = std::map<std::string, std::string>{{"PATH", kRootShellPath}};
    options.standardError = platform::foundation::TaskStream::Pipe;
    for (int run = 0; run < 2; ++run) {  // installing again replaces the driver
        auto result = platform::foundation::runTask("/bin/sh", {"-c", script}, options);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->exitCode, 0) << run;
        EXPECT_EQ(std::string(result->standardError.begin(), result->standardError.end()), "") << run;
    }
    const std::string installed = folder + "/Soundflower.kext";
    EXPECT_TRUE(std::filesystem::exists(installed + "/Contents/Info.plist"));
    EXPECT_FALSE(std::filesystem::exists(installed + "/Soundflower.kext"));
    struct stat st {};
    ASSERT_EQ(::stat(installed.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(quill::testing::readFileText(tmp / "loaded"), installed + "\n" + installed + "\n");
}

TEST_F(SoundflowerManagerTest, NoDriverMeansNoInstallation) {
    auto m = makeManager(tmp / "missing.zip");
    EXPECT_FALSE(m->kextPath().has_value());
    EXPECT_FALSE(m->installKext());
    EXPECT_TRUE(fake->launches().empty());
}

TEST(SoundflowerInstallScript, OddPathsAreQuoted) {
    const std::string script =
        SoundflowerManager::installScript("/tmp/quillaran-0/Soundflower.kext", "/opt/q/kextutil");
    EXPECT_TRUE(script.starts_with(
        "mkdir -p /usr/local/lib/quillaran/Extensions\ncp -R /tmp/quillaran-0/Soundflower.kext /usr"));
    EXPECT_TRUE(script.ends_with("\n/opt/q/kextutil /usr/local/lib/quillaran/Extensions/Soundflower.kext"));
    EXPECT_NE(SoundflowerManager::installScript("/tmp/a b/it's;rm -rf x/Soundflower.kext", "/o p/kextutil")
                  .find("cp -R '/tmp/a b/it'\\''s;rm -rf x/Soundflower.kext' /usr"),
              std::string::npos);
    EXPECT_NE(SoundflowerManager::installScript("/tmp/Soundflower.kext", "/o p/kextutil")
                  .find("\n'/o p/kextutil' /usr"),
              std::string::npos);
}

TEST(PrivilegedTaskTest, LifeCycleAgainstAShellThatExitsWithThree) {
    auto fake = std::make_shared<RecordingAuthorizationService>();
    fake->runAsRecorded = true;
    NotificationCenter center;
    auto task = PrivilegedTask::create(fake, &center);
    task->setLaunchPath("/bin/sh");
    task->setArguments({"-c", "exit 3"});
    EXPECT_FALSE(task->isRunning());
    EXPECT_NE(task->description().find(" /bin/sh -c exit 3"), std::string::npos);

    std::atomic<int> terminated{0};
    quill::platform::foundation::ScopedObserver observer(center, kPrivilegedTaskDidTerminateNotification,
                                                         [&](const Notification& n) {
                                                             EXPECT_EQ(n.object, task.get());
                                                             ++terminated;
                                                         });
    const auto before = std::filesystem::current_path();
    task->setCurrentDirectoryPath("/");
    ASSERT_EQ(task->launch(), 0);
    EXPECT_EQ(std::filesystem::current_path(), before);
    EXPECT_TRUE(task->isRunning());
    EXPECT_GT(task->processIdentifier(), 0);
    EXPECT_GE(task->outputFileHandle(), 0);
    EXPECT_TRUE(drainMainUntil([&] { return terminated > 0; }));
    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(task->isRunning());
    EXPECT_TRUE(WIFEXITED(task->terminationStatus()));
    EXPECT_EQ(WEXITSTATUS(task->terminationStatus()), 3);

    // A second task reuses the service's authorization; once its child has ended it is let go.
    auto second = PrivilegedTask::create("/bin/sh", {"-c", "exit 0"}, fake);
    ASSERT_EQ(second->launch(), 0);
    std::weak_ptr<PrivilegedTask> weakSecond = second;
    second.reset();
    EXPECT_TRUE(drainMainUntil([&] { return weakSecond.expired(); }));
    EXPECT_EQ(fake->createCount(), 1);
    ASSERT_EQ(fake->launchRefs().size(), 2u);
    EXPECT_EQ(fake->launchRefs()[0], fake->launchRefs()[1]);
    EXPECT_EQ(fake->rightRequests()[0].second, 19u);
}

TEST(PrivilegedTaskTest, AServiceMadeWhereAnEndedOneLivedHasNoAuthorizationYet) {
    // The same address for both services, as the allocator may well give.
    alignas(RecordingAuthorizationService) unsigned char storage[sizeof(RecordingAuthorizationService)];
    OSStatus status = -1;
    auto* first = new (storage) RecordingAuthorizationService();
    const AuthorizationRef granted = PrivilegedTask::sharedAuthorizationRefWithError(*first, &status);
    ASSERT_EQ(status, errAuthorizationSuccess);
    ASSERT_TRUE(granted);
    EXPECT_EQ(PrivilegedTask::sharedAuthorizationRefWithError(*first, &status), granted);
    first->~RecordingAuthorizationService();

    auto* second = new (storage) RecordingAuthorizationService();
    second->createStatus = errAuthorizationDenied;
    EXPECT_FALSE(PrivilegedTask::sharedAuthorizationRefWithError(*second, &status));
    EXPECT_EQ(status, errAuthorizationDenied);
    EXPECT_EQ(second->createCount(), 1);
    second->~RecordingAuthorizationService();
}

TEST(PrivilegedTaskTest, FailuresLeaveTheTaskCreated) {
    auto fake = std::make_shared<RecordingAuthorizationService>();
    fake->available = false;
    auto task = PrivilegedTask::create("/bin/sh", {"-c", "exit 0"}, fake);
    EXPECT_EQ(task->launch(), -70001);
    EXPECT_FALSE(task->isRunning());
    auto refused = std::make_shared<RecordingAuthorizationService>();
    refused->copyRightsStatus = errAuthorizationCanceled;
    EXPECT_EQ(PrivilegedTask::create("/bin/sh", {}, refused)->launch(), errAuthorizationCanceled);
    EXPECT_TRUE(refused->launches().empty());
}
