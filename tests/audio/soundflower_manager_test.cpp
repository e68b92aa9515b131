#include "audio/SoundflowerManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
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

// Simulated devices whose next switch to one device can be held at the door: the call waits there until
// the test releases it (at most 10 s), so that a test can act while a switch is under way.
class HoldingBackend : public SimulatedAudioBackend {
  public:
    OSStatus setDefaultDevice(bool input, AudioDeviceID id) override {
        {
            std::unique_lock lock(gate_);
            if (holdId_ == id) {
                holdId_.reset();
                held_ = true;
                changed_.notify_all();
                changed_.wait_for(lock, std::chrono::seconds(10), [&] { return released_; });
            }
        }
        return SimulatedAudioBackend::setDefaultDevice(input, id);
    }
    void holdNextSwitchTo(AudioDeviceID id) {
        std::lock_guard lock(gate_);
        holdId_ = id;
    }
    bool waitUntilHeld(double seconds) {
        std::unique_lock lock(gate_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return held_; });
    }
    void release() {
        std::lock_guard lock(gate_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex gate_;
    std::condition_variable changed_;
    std::optional<AudioDeviceID> holdId_;
    bool held_ = false;
    bool released_ = false;
};

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
        parts.driverFolder = tmp / "lib/quillaran/Extensions";
        parts.driverOwner = ::geteuid();
        parts.clock = [this] { return now.load(); };
        std::filesystem::create_directories(tmp / "private");
        std::filesystem::create_directories(tmp / "lib");
        return std::make_unique<SoundflowerManager>(parts);
    }
    // A driver archive of one folder and one file.
    std::string driverArchive() {
        const std::string archive = tmp / "Soundflower.zip";
        EXPECT_TRUE(quill::testing::writeZipFixture(
            archive,
            {{"Soundflower.kext/", "", 040755}, {"Soundflower.kext/Contents/Info.plist", "<plist/>"}}));
        return archive;
    }
    void settle() { ASSERT_TRUE(hardware->waitUntilIdle()); }

    TempFolder tmp;
    std::shared_ptr<HoldingBackend> backend = std::make_shared<HoldingBackend>();
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
    // The user's change starts a guard step, held just as it switches the output back to the loopback.
    backend->holdNextSwitchTo(kLoop);
    backend->changeDefaultDevice(false, kSpeakers);
    ASSERT_TRUE(backend->waitUntilHeld(5));

    // A stop turns the guard off, then puts the user's speakers back, as the session controller does.
    std::promise<void> guardOff;
    std::thread stop([&] {
        m->setProtectSetting(false);
        guardOff.set_value();
        devices->setDefaultOutputAudioDeviceWithID(kSpeakers);
    });
    // Turning the guard off waits for the step under way: it must not come back while the step is held.
    const bool returnedEarly =
        guardOff.get_future().wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
    backend->release();
    stop.join();
    settle();
    EXPECT_FALSE(returnedEarly);
    // The step ended before the restore, so the user's speakers stay.
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

TEST_F(SoundflowerManagerTest, OnlyTheSystemCopyAsksForRootAndTheUserLoadsWhatItCopied) {
    writeTool(tmp / "tools/kextutil", "echo \"$(id -u) $@\" > \"$(dirname \"$0\")/loaded\"\n");
    auto m = makeManager(driverArchive());
    ASSERT_EQ(*m->kextPath(), tmp / "private/Soundflower.kext");
    fake->runAsRecorded = true;  // the copy runs for real, without rights
    // An earlier install left its folders 0700.
    std::filesystem::create_directories(tmp / "lib/quillaran/Extensions");
    for (const auto& folder : {tmp / "lib/quillaran", tmp / "lib/quillaran/Extensions"})
        std::filesystem::permissions(folder, std::filesystem::perms(0700));
    const mode_t mask = ::umask(077);
    const bool done = m->installKext();
    ::umask(mask);
    ASSERT_TRUE(done);

    // One launch asked for rights: the root-owned system tar, into the driver folder's parent's parent.
    ASSERT_EQ(fake->launches().size(), 1u);
    const auto copy = fake->launches()[0];
    struct stat st {};
    ASSERT_EQ(::stat(copy.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & (S_IWGRP | S_IWOTH), 0u);
    EXPECT_EQ(copy.arguments, (std::vector<std::string>{"--extract", "--file=-", "--directory=" + tmp / "lib",
                                                        "--no-same-owner", "--same-permissions"}));
    // Fixed modes whatever the user's mask; loaded by the user's own process.
    const std::string installed = tmp / "lib/quillaran/Extensions/Soundflower.kext";
    EXPECT_EQ(quill::testing::readFileText(installed + "/Contents/Info.plist"), "<plist/>");
    ASSERT_EQ(::stat((installed + "/Contents/Info.plist").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // Every folder, those the earlier install left 0700 included.
    std::vector<std::filesystem::path> folders{tmp / "lib/quillaran"};
    for (const auto& e : std::filesystem::recursive_directory_iterator(tmp / "lib/quillaran"))
        if (e.is_directory()) folders.push_back(e.path());
    EXPECT_EQ(folders.size(), 4u);  // quillaran, Extensions, Soundflower.kext, Contents
    for (const auto& folder : folders) {
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u) << folder;
    }
    EXPECT_EQ(quill::testing::readFileText(tmp / "tools/loaded"),
              std::to_string(::getuid()) + " " + installed + "\n");
    EXPECT_TRUE(drainMainUntil(noChildLeft));
}

TEST_F(SoundflowerManagerTest, WhatChangesInTheUsersFilesWhileTheAdministratorIsAskedIsNeverCopied) {
    namespace fs = std::filesystem;
    writeTool(tmp / "tools/kextutil", "exit 0\n");
    auto m = makeManager(driverArchive());
    fake->runAsRecorded = true;
    fs::create_directories(tmp / "secret");
    quill::testing::writeFileText(tmp / "secret/Info.plist", "secret");
    // While the prompt is open, every driver folder in the user's private folder becomes a link to
    // another folder, and a FIFO appears beside it.
    fake->whilePrompting = [&](const PrivilegedLaunchRequest&) {
        std::vector<fs::path> folders;
        for (const auto& e : fs::recursive_directory_iterator(tmp / "private"))
            if (e.path().filename() == "Contents") folders.push_back(e.path());
        for (const auto& f : folders) {
            fs::remove_all(f);
            fs::create_directory_symlink(tmp / "secret", f);
            ::mkfifo((f.parent_path() / "fifo").c_str(), 0600);
        }
    };
    ASSERT_TRUE(m->installKext());
    const auto launches = fake->launches();
    ASSERT_EQ(launches.size(), 1u);
    for (const auto& argument : launches[0].arguments)
        EXPECT_EQ(argument.find(tmp / "private"), std::string::npos) << argument;
    const fs::path installed = tmp / "lib/quillaran/Extensions/Soundflower.kext";
    EXPECT_EQ(fs::symlink_status(installed / "Contents").type(), fs::file_type::directory);
    EXPECT_EQ(quill::testing::readFileText(installed / "Contents/Info.plist"), "<plist/>");
    EXPECT_FALSE(fs::exists(fs::symlink_status(installed / "fifo")));
    EXPECT_TRUE(drainMainUntil(noChildLeft));
}

TEST_F(SoundflowerManagerTest, AnIdenticalInstalledDriverLoadsWithoutAsking) {
    writeTool(tmp / "tools/kextutil", "exit 0\n");
    const std::string kext = tmp / "lib/quillaran/Extensions/Soundflower.kext",
                      installed = kext + "/Contents/Info.plist";
    std::filesystem::create_directories(kext + "/Contents");
    quill::testing::writeFileText(installed, "<plist/>");
    for (const std::string& p : {kext, kext + "/Contents", installed})
        std::filesystem::permissions(p, std::filesystem::perms(p == installed ? 0644 : 0755));
    auto m = makeManager(driverArchive());
    EXPECT_TRUE(m->installKext());
    EXPECT_TRUE(fake->rightRequests().empty());

    quill::testing::writeFileText(installed, "<plist>");  // another driver: copied again
    EXPECT_FALSE(m->installKext());                       // the fake copied nothing
    EXPECT_EQ(fake->launches().size(), 1u);
    EXPECT_TRUE(drainMainUntil(noChildLeft));
}

TEST_F(SoundflowerManagerTest, InstallingInTheBackgroundWaitsForNoAnswerAndAsksOnce) {
    const std::string answer = tmp / "answer";
    ASSERT_EQ(::mkfifo(answer.c_str(), 0600), 0);
    fake->substitute = {"/bin/sh", "-c", "read line < '" + answer + "'"};  // the prompt, until answered
    auto m = makeManager(driverArchive());
    auto first = std::async(std::launch::async, [&] { return m->installKextInBackground(); });
    const bool returned = first.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(drainMainUntil([&] { return fake->launches().size() == 1u; }));
    EXPECT_FALSE(m->installKextInBackground());  // one prompt at a time
    quill::testing::writeFileText(answer, "cancel\n");
    ASSERT_TRUE(returned) << "the caller waited for the administrator";
    EXPECT_TRUE(first.get());
    m.reset();  // waits for the install to end
    EXPECT_EQ(fake->launches().size(), 1u);
    EXPECT_TRUE(drainMainUntil(noChildLeft));
}

TEST_F(SoundflowerManagerTest, ALinkInTheUnpackedDriverIsNeverCopied) {
    auto m = makeManager(driverArchive());
    std::filesystem::create_symlink("/etc/hostname", tmp / "private/Soundflower.kext/Contents/hostname");
    EXPECT_FALSE(m->installKext());
    EXPECT_TRUE(fake->launches().empty());
}

TEST_F(SoundflowerManagerTest, NoDriverMeansNoInstallation) {
    auto m = makeManager(tmp / "missing.zip");
    EXPECT_FALSE(m->kextPath().has_value());
    EXPECT_FALSE(m->installKext());
    EXPECT_TRUE(fake->launches().empty());
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
