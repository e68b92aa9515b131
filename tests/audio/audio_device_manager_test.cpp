#include "audio/AudioDeviceManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "audio/AudioRestore.h"
#include "audio/SoundflowerManager.h"
#include "platform/coreaudio/SimulatedAudioBackend.h"
#include "platform/foundation/PropertyList.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

using namespace quill;
using namespace quill::platform::coreaudio;
using quill::platform::foundation::Notification;
using quill::platform::foundation::NotificationCenter;
using quill::testing::TempFolder;

namespace {

class AudioDeviceManagerTest : public ::testing::Test {
  protected:
    AudioDeviceManagerTest() {
        backend->addDevice({2, "Built-in Microphone", 2, 0, kAudioDeviceTransportTypeBuiltIn, 1, 0});
        backend->addDevice({3, "Built-in Output", 0, 2, kAudioDeviceTransportTypeBuiltIn, 0, 1});
        backend->addDevice({4, "USB Headset", 1, 2, kAudioDeviceTransportTypeUSB});
        backend->addDevice({5, "Twin", 0, 2, 0});
        backend->addDevice({6, "Twin", 0, 2, 0});
        backend->changeDefaultDevice(true, 2);
        backend->changeDefaultDevice(false, 3);
        hardware = std::make_shared<AudioHardware>(backend);
        hardware->waitUntilIdle();
        manager = std::make_unique<AudioDeviceManager>(hardware, center);
        center.addObserver(kDefalutAudioDeviceDidChangeNotification, [this](const Notification& n) {
            std::lock_guard lock(mutex);
            posted.push_back(n.name);
        });
        center.addObserver(kBuildInAudioDeviceDataSourceDidChangeNotification, [this](const Notification& n) {
            std::lock_guard lock(mutex);
            posted.push_back(n.name);
        });
    }
    ~AudioDeviceManagerTest() override {
        // Notifications arrive on the hardware's thread: let the last ones finish before the members go.
        manager.reset();
        hardware->waitUntilIdle();
        std::lock_guard lock(mutex);
        posted.clear();
    }
    std::vector<std::string> takePosted() {
        hardware->waitUntilIdle();
        std::lock_guard lock(mutex);
        return std::exchange(posted, {});
    }

    std::shared_ptr<SimulatedAudioBackend> backend = std::make_shared<SimulatedAudioBackend>();
    std::shared_ptr<AudioHardware> hardware;
    NotificationCenter center;
    std::unique_ptr<AudioDeviceManager> manager;
    std::mutex mutex;
    std::vector<std::string> posted;
};

std::vector<AudioDeviceID> idsOf(const std::vector<AudioDeviceManager::AudioDevice>& list) {
    std::vector<AudioDeviceID> out;
    for (auto& d : list)
        out.push_back(d.deviceID());
    return out;
}

}  // namespace

TEST_F(AudioDeviceManagerTest, ListsDevicesPerDirection) {
    EXPECT_EQ(idsOf(manager->inputAudioDeviceArray()), (std::vector<AudioDeviceID>{2, 4}));
    EXPECT_EQ(idsOf(manager->outputAudioDeviceArray()), (std::vector<AudioDeviceID>{3, 4, 5, 6}));
    EXPECT_EQ(manager->buildInInputAudioDevice()->deviceName(), "Built-in Microphone");
    EXPECT_EQ(manager->buildInOutputAudioDevice()->deviceID(), 3u);
    EXPECT_EQ(manager->currentOutputAudioDevice()->description(), "<AudioDevice: 3, Built-in Output>");
    // The default output has no input side: no current input device through it.
    backend->changeDefaultDevice(true, 4);
    backend->removeDevice(4);
    EXPECT_FALSE(manager->currentInputAudioDevice().has_value());
}

TEST_F(AudioDeviceManagerTest, SwitchingByIdWritesOnlyWhenNeeded) {
    EXPECT_TRUE(manager->setDefaultOutputAudioDeviceWithID(3));  // already the default
    EXPECT_EQ(backend->defaultWrites(false), 0);
    EXPECT_TRUE(takePosted().empty());
    EXPECT_TRUE(manager->setDefaultOutputAudioDeviceWithID(4));
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 4u);
    EXPECT_EQ(takePosted(), std::vector<std::string>{"DefalutAudioDeviceDidChangeNotification"});
    backend->refuseSwitchesTo(0);
    EXPECT_FALSE(manager->setDefaultInputAudioDeviceWithID(4));
    EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), 2u);
}

TEST_F(AudioDeviceManagerTest, SwitchingByNameTakesTheFirstMatch) {
    EXPECT_TRUE(manager->setDefaultOutputAudioDevice("Twin"));
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 5u);
    EXPECT_FALSE(manager->setDefaultOutputAudioDevice("Nowhere"));
    EXPECT_FALSE(manager->setDefaultInputAudioDevice("Built-in Output"));  // output only
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 5u);
    // Found but refused: still true.
    backend->refuseSwitchesTo(4);
    EXPECT_TRUE(manager->setDefaultOutputAudioDevice("USB Headset"));
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 5u);
}

TEST_F(AudioDeviceManagerTest, ResetMakesTheBuiltInDevicesTheDefaults) {
    backend->changeDefaultDevice(true, 4);
    backend->changeDefaultDevice(false, 6);
    manager->resetDefaultAudioDevice();
    EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), 2u);
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 3u);
}

TEST_F(AudioDeviceManagerTest, DataSourceChangesOfBuiltInDevicesArePosted) {
    takePosted();
    backend->changeDataSource(3, false, 42);
    backend->changeDataSource(2, true, 43);
    backend->changeDataSource(4, false, 44);  // not built in
    EXPECT_EQ(takePosted(), (std::vector<std::string>{"BuildInAudioDeviceDataSourceDidChangeNotification",
                                                      "BuildInAudioDeviceDataSourceDidChangeNotification"}));
}

TEST_F(AudioDeviceManagerTest, SavedDevicesFileHasExactBytesAndItsFolderIsCreated) {
    TempFolder tmp;
    const std::string path = tmp / "Library/Quillaran/.soundflower";
    backend->changeDefaultDevice(false, 4);
    ASSERT_TRUE(manager->writeSystemAudioSettingToFile(path));
    EXPECT_EQ(quill::testing::readFileText(path),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n<dict>\n\t<key>input</key>\n\t<integer>2</integer>\n"
              "\t<key>output</key>\n\t<integer>4</integer>\n</dict>\n</plist>\n");

    backend->changeDefaultDevice(true, 4);
    backend->changeDefaultDevice(false, 6);
    EXPECT_TRUE(manager->restoreSystemAudioSettingFromFile(path));
    EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), 2u);
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 4u);
    EXPECT_TRUE(std::filesystem::exists(path));  // the callers delete it
}

TEST_F(AudioDeviceManagerTest, SavedDevicesFoldersGetMode0755WhateverTheUmask) {
    TempFolder tmp;
    quill::testing::ScopedEnv home("HOME", tmp.path().string());
    const mode_t previous = ::umask(0);
    const bool settings = manager->writeSystemAudioSettingToFile(tmp / "Library/Quillaran/.soundflower");
    const bool elsewhere = manager->writeSystemAudioSettingToFile(tmp / "other/place/.soundflower");
    ::umask(previous);
    EXPECT_TRUE(settings);
    EXPECT_TRUE(elsewhere);
    for (const char* folder : {"Library", "Library/Quillaran", "other", "other/place"}) {
        struct stat st {};
        ASSERT_EQ(::stat((tmp / folder).c_str(), &st), 0) << folder;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << folder;
    }
}

TEST_F(AudioDeviceManagerTest, RestoreCases) {
    TempFolder tmp;
    backend->changeDefaultDevice(false, 6);
    EXPECT_FALSE(manager->restoreSystemAudioSettingFromFile(tmp / "missing"));
    quill::testing::writeFileText(tmp / "garbage", "not a plist");
    EXPECT_FALSE(manager->restoreSystemAudioSettingFromFile(tmp / "garbage"));
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 6u);

    // Without "output": the input comes back, device 0 is refused for the output, and it is still true.
    quill::testing::writeFileText(
        tmp / "input-only",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>input</key>\n\t<integer>4</integer>\n</dict>\n</plist>\n");
    EXPECT_TRUE(manager->restoreSystemAudioSettingFromFile(tmp / "input-only"));
    EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), 4u);
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 6u);
}

// A saved-devices file that cannot be parsed names no device now and never will: the end of mirroring
// deletes it, leaving the defaults as they are, so that the next start saves the devices anew.
TEST_F(AudioDeviceManagerTest, AnUnparsableSavedDevicesFileIsDeletedByTheRestore) {
    SoundflowerManager soundflower({.audioDeviceManager = manager.get(),
                                    .notificationCenter = &center,
                                    .resourceArchive = [] { return std::optional<std::string>(); }});
    TempFolder tmp;
    const std::string path = tmp / ".soundflower";
    backend->changeDefaultDevice(false, 6);
    for (const char* content :
         {"", "not a plist", "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>"}) {
        quill::testing::writeFileText(path, content);
        restoreSavedAudioDevices(soundflower, *manager, path);
        EXPECT_FALSE(std::filesystem::exists(path)) << '"' << content << '"';
        EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 6u);
    }
}

TEST_F(AudioDeviceManagerTest, SavedNumbersOutsideTheIdRangeNameNoDevice) {
    // 2^32 + 4 and -(2^32 - 6) cut down to 32 bits would be the headset (4) and a "Twin" (6).
    TempFolder tmp;
    const std::string path = tmp / ".soundflower";
    ASSERT_TRUE(quill::platform::foundation::writePropertyListFile(
        PropertyList(
            PropertyList::Dictionary{{"input", int64_t{0x100000004}}, {"output", -int64_t{0xFFFFFFFA}}}),
        path));
    EXPECT_TRUE(manager->restoreSystemAudioSettingFromFile(path));
    EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), 2u);
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), 3u);
}
