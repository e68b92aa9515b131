#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/UserDefaults.h"
#include "support/TempFolder.h"

namespace quill::platform::foundation {
namespace {

using testing::ScopedEnv;
using testing::TempFolder;

TEST(UserDefaultsTest, AbsentKeysGiveZeroEmptyAndFalse) {
    TempFolder dir;
    UserDefaults defaults(dir / "defaults.plist");
    EXPECT_EQ(defaults.integerForKey("pincode.type"), 0);
    EXPECT_EQ(defaults.stringForKey("pincode.type"), "");
    EXPECT_FALSE(defaults.boolForKey("pincode.type"));
    EXPECT_FALSE(defaults.hasKey("pincode.type"));
    EXPECT_FALSE(std::filesystem::exists(dir / "defaults.plist")) << "reading writes nothing";
}

TEST(UserDefaultsTest, ValuesAreWrittenThroughAndReadBackByANewInstance) {
    TempFolder dir;
    const std::string path = dir / "nested/quillaran/defaults.plist";
    {
        UserDefaults defaults(path);
        EXPECT_TRUE(defaults.setInteger(6, "pincode.type"));
        EXPECT_TRUE(defaults.setString("Ada", "name"));
        EXPECT_TRUE(defaults.setBool(true, "flag"));
        EXPECT_TRUE(defaults.setInteger(1, "gone"));
        EXPECT_TRUE(defaults.removeObject("gone"));
    }
    auto onDisk = readPropertyListFile(path);
    ASSERT_TRUE(onDisk);
    PropertyList expected;
    expected.set("pincode.type", 6);
    expected.set("name", "Ada");
    expected.set("flag", true);
    EXPECT_EQ(*onDisk, expected);

    UserDefaults again(path);
    EXPECT_EQ(again.integerForKey("pincode.type"), 6);
    EXPECT_EQ(again.stringForKey("name"), "Ada");
    EXPECT_TRUE(again.boolForKey("flag"));
    EXPECT_FALSE(again.hasKey("gone"));
}

TEST(UserDefaultsTest, ValuesConvertBetweenTypes) {
    TempFolder dir;
    PropertyList stored;
    stored.set("text6", "6");
    stored.set("yes", "YES");
    stored.set("real", 8.9);
    stored.set("flag", true);
    stored.set("word", "eight");
    ASSERT_TRUE(writePropertyListFile(stored, dir / "d.plist"));
    UserDefaults defaults(dir / "d.plist");
    EXPECT_EQ(defaults.integerForKey("text6"), 6);
    EXPECT_TRUE(defaults.boolForKey("text6"));
    EXPECT_TRUE(defaults.boolForKey("yes"));
    EXPECT_EQ(defaults.integerForKey("real"), 8);
    EXPECT_EQ(defaults.integerForKey("flag"), 1);
    EXPECT_EQ(defaults.integerForKey("word"), 0);
    EXPECT_FALSE(defaults.boolForKey("word"));
    EXPECT_EQ(defaults.stringForKey("flag"), "1");
}

TEST(UserDefaultsTest, DamagedFileCountsAsEmptyAndIsReplacedOnWrite) {
    TempFolder dir;
    std::ofstream(dir / "d.plist") << "<plist><dict><key>x";
    UserDefaults defaults(dir / "d.plist");
    EXPECT_FALSE(defaults.hasKey("x"));
    EXPECT_TRUE(defaults.setInteger(8, "pincode.type"));
    EXPECT_EQ(UserDefaults(dir / "d.plist").integerForKey("pincode.type"), 8);
}

TEST(UserDefaultsTest, FailedWriteIsReportedAndTheValueKept) {
    TempFolder dir;
    std::ofstream(dir / "blocker") << "a file where the folder should be";
    UserDefaults defaults(dir / "blocker/defaults.plist");
    Error error;
    EXPECT_FALSE(defaults.setInteger(6, "pincode.type", &error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_EQ(defaults.integerForKey("pincode.type"), 6);
}

TEST(UserDefaultsTest, DefaultPathFollowsXdgConfigHomeElseHome) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg/config");
        EXPECT_EQ(UserDefaults::defaultPath(), "/xdg/config/quillaran/defaults.plist");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(UserDefaults::defaultPath(), "/home/someone/.config/quillaran/defaults.plist");
    }
    ScopedEnv relative("XDG_CONFIG_HOME", "relative");
    EXPECT_EQ(UserDefaults::defaultPath(), "/home/someone/.config/quillaran/defaults.plist");
}

}  // namespace
}  // namespace quill::platform::foundation
