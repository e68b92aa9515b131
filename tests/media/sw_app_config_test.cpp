#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "media/SWAppConfig.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace quill {
namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;

class SWAppConfigTest : public ::testing::Test {
  protected:
    testing::TempFolder home;
    testing::ScopedEnv env{"HOME", home.str()};
    fs::path folder = home.path() / "Library" / "Quillaran";

    void writeSettingsText(const std::string& text) {
        fs::create_directories(folder);
        testing::writeFileText(folder / ".config.plist", text);
    }
    void writeSettings(const PropertyList& plist) {
        fs::create_directories(folder);
        ASSERT_TRUE(pf::writePropertyListFile(plist, (folder / ".config.plist").string()));
    }
};

TEST_F(SWAppConfigTest, DefaultsWithoutASettingsFile) {
    SWAppConfig config;
    EXPECT_FALSE(config.autoShare());
    EXPECT_FALSE(config.gesturePPT());
    EXPECT_FALSE(config.mouseAlone());
    EXPECT_EQ(config.hidState(), -1);
    EXPECT_FALSE(config.hidDeviceVersion().has_value());
    EXPECT_FALSE(config.serverVersion().has_value());
    EXPECT_EQ(config.productName(), "Quillaran");
    EXPECT_EQ(config.deviceName(), pf::userFullName());
    EXPECT_FALSE(config.deviceName().empty());
    EXPECT_FALSE(fs::exists(folder)) << "reading creates nothing";
}

TEST_F(SWAppConfigTest, PathsLiveInTheSettingsFolder) {
    EXPECT_EQ(SWAppConfig::settingsFile(), (folder / ".config.plist").string());
    EXPECT_EQ(SWAppConfig::soundflowerSettingFile(), (folder / ".soundflower").string());
}

TEST_F(SWAppConfigTest, FileValuesAndTheCursorOptionStayingOff) {
    writeSettingsText(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n"
        "\t<key>AutoShare</key>\n\t<true/>\n"
        "\t<key>gesturePPT</key>\n\t<true/>\n"
        "\t<key>MouseAlone</key>\n\t<true/>\n"
        "\t<key>deviceName</key>\n\t<string>Studio \xC3\xA9"
        "cran</string>\n"
        "</dict>\n</plist>\n");
    SWAppConfig config;
    EXPECT_TRUE(config.autoShare());
    EXPECT_TRUE(config.gesturePPT());
    EXPECT_FALSE(config.mouseAlone());
    EXPECT_EQ(config.deviceName(),
              "Studio \xC3\xA9"
              "cran");
}

TEST_F(SWAppConfigTest, ReloadingFollowsTheFile) {
    PropertyList first;
    first.set("AutoShare", true);
    first.set("deviceName", "Desk");
    writeSettings(first);
    SWAppConfig config;
    EXPECT_TRUE(config.autoShare());
    EXPECT_EQ(config.deviceName(), "Desk");

    // Absent flags fall back to off; an absent name keeps the one held.
    writeSettings(PropertyList{});
    config.loadData();
    EXPECT_FALSE(config.autoShare());
    EXPECT_EQ(config.deviceName(), "Desk");
}

TEST_F(SWAppConfigTest, NameThatIsNotAStringIsNotUsed) {
    PropertyList settings;
    settings.set("deviceName", 42);
    settings.set("AutoShare", 1);
    writeSettings(settings);
    SWAppConfig config;
    EXPECT_EQ(config.deviceName(), pf::userFullName());
    EXPECT_TRUE(config.autoShare());
}

TEST_F(SWAppConfigTest, DamagedOrForeignFilesGiveTheDefaults) {
    for (const std::string& text : {std::string("<plist><dict><key>AutoShare</key><true/>"), std::string(""),
                                    std::string("bplist00garbage")}) {
        writeSettingsText(text);
        SWAppConfig config;
        EXPECT_FALSE(config.autoShare()) << text;
        EXPECT_EQ(config.deviceName(), pf::userFullName());
    }
    // A root that is not a dictionary.
    writeSettings(PropertyList(PropertyList::Array{PropertyList(true)}));
    SWAppConfig config;
    EXPECT_FALSE(config.autoShare());
    // A folder in place of the file.
    fs::remove(folder / ".config.plist");
    fs::create_directories(folder / ".config.plist");
    config.loadData();
    EXPECT_FALSE(config.autoShare());
}

TEST_F(SWAppConfigTest, StoringCreatesTheFolderOnAFreshAccount) {
    SWAppConfig config;
    config.setAutoShare(true);
    config.setDeviceName("Kitchen");
    Error error;
    ASSERT_TRUE(config.storeData(&error)) << error.description();
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    auto stored = pf::readPropertyListFile(SWAppConfig::settingsFile());
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->find("AutoShare")->boolean(), true);
    EXPECT_EQ(stored->find("gesturePPT")->boolean(), false);
    EXPECT_EQ(stored->find("MouseAlone")->boolean(), false);
    EXPECT_EQ(*stored->find("deviceName")->string(), "Kitchen");

    SWAppConfig again;
    EXPECT_TRUE(again.autoShare());
    EXPECT_EQ(again.deviceName(), "Kitchen");
}

TEST_F(SWAppConfigTest, StoringFailsCleanlyWhenTheFolderCannotBeMade) {
    // A file where the Library folder should be.
    testing::writeFileText(home.path() / "Library", "not a folder");
    SWAppConfig config;
    Error error;
    EXPECT_FALSE(config.storeData(&error));
    EXPECT_FALSE(error.domain.empty());
}

}  // namespace
}  // namespace quill
