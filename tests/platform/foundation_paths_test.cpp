#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/Paths.h"
#include "support/TempFolder.h"

namespace quill::platform::foundation {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempFolder;

mode_t modeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(PathsTest, HomeAndSettingsFolderFollowHome) {
    TempFolder home;
    ScopedEnv env("HOME", home.str());
    EXPECT_EQ(homeFolder(), home.str());
    EXPECT_EQ(settingsFolder(), home / "Library/Quillaran");
    EXPECT_FALSE(fs::exists(settingsFolder())) << "looking the folder up must not create it";
}

TEST(PathsTest, EnsureSettingsFolderCreatesItWithMode0755) {
    TempFolder home;
    ScopedEnv env("HOME", home.str());
    mode_t old = ::umask(022);
    EXPECT_TRUE(ensureSettingsFolder());
    EXPECT_TRUE(ensureSettingsFolder()) << "a second call finds it in place";
    ::umask(old);
    EXPECT_EQ(modeOf(home / "Library/Quillaran"), 0755);
}

TEST(PathsTest, EnsureSettingsFolderReportsAFileInTheWay) {
    TempFolder home;
    ScopedEnv env("HOME", home.str());
    std::ofstream(home / "Library") << "not a folder";
    Error error;
    EXPECT_FALSE(ensureSettingsFolder(&error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_NE(error.code, 0);
}

class PrivateTempFolderTest : public ::testing::Test {
  protected:
    TempFolder tmp;
    ScopedEnv env{"TMPDIR", tmp.str()};
    std::string expected = tmp / ("quillaran-" + std::to_string(geteuid()));
};

TEST_F(PrivateTempFolderTest, CreatesAPrivateFolderOnce) {
    auto folder = privateTempFolder();
    ASSERT_TRUE(folder);
    EXPECT_EQ(*folder, expected);
    EXPECT_EQ(modeOf(expected), 0700);
    std::ofstream(expected + "/kept") << "x";
    EXPECT_EQ(privateTempFolder(), expected);
    EXPECT_TRUE(fs::exists(expected + "/kept"));
}

TEST_F(PrivateTempFolderTest, RefusesAPlantedLink) {
    fs::create_directory(tmp / "elsewhere");
    ASSERT_EQ(::chmod((tmp / "elsewhere").c_str(), 0755), 0);
    fs::create_directory_symlink(tmp / "elsewhere", expected);
    Error error;
    EXPECT_EQ(privateTempFolder(&error), std::nullopt);
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_TRUE(fs::is_symlink(expected)) << "the link is left alone";
    EXPECT_EQ(modeOf(tmp / "elsewhere"), 0755) << "the link's target is not made private";
}

TEST_F(PrivateTempFolderTest, RefusesADanglingLinkAndAFile) {
    fs::create_symlink(tmp / "nowhere", expected);
    EXPECT_EQ(privateTempFolder(), std::nullopt);
    EXPECT_FALSE(fs::exists(tmp / "nowhere")) << "nothing is created through the link";
    fs::remove(expected);
    std::ofstream(expected) << "file";
    EXPECT_EQ(privateTempFolder(), std::nullopt);
}

TEST_F(PrivateTempFolderTest, TightensLoosePermissionsOfItsOwnFolder) {
    ASSERT_EQ(::mkdir(expected.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(expected.c_str(), 0777), 0);
    EXPECT_EQ(privateTempFolder(), expected);
    EXPECT_EQ(modeOf(expected), 0700);
}

TEST_F(PrivateTempFolderTest, RefusesAFolderOfAnotherOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the folder away";
    ASSERT_EQ(::mkdir(expected.c_str(), 0700), 0);
    ASSERT_EQ(::chown(expected.c_str(), 12345, 12345), 0);
    EXPECT_EQ(privateTempFolder(), std::nullopt);
}

TEST(PathsTest, FullNameIsTheFirstGecosFieldOrTheLoginName) {
    std::string full = userFullName();
    EXPECT_FALSE(full.empty());
    EXPECT_EQ(full.find(','), std::string::npos);
    EXPECT_FALSE(userLoginName().empty());
}

TEST(PathsTest, ResourcesComeFromTheOverrideFolderFirst) {
    TempFolder res;
    ScopedEnv env("QUILLARAN_RESOURCES", res.str());
    std::ofstream(res / "quill-test-only.zip") << "zip";
    std::ofstream(res / "quill-test-plain") << "plain";
    fs::create_directory(res / "quill-test-folder.zip");

    EXPECT_EQ(resourcePath("quill-test-only", "zip"), res / "quill-test-only.zip");
    EXPECT_EQ(resourcePath("quill-test-plain", ""), res / "quill-test-plain");
    EXPECT_EQ(resourcePath("quill-test-only", "png"), std::nullopt);
    EXPECT_EQ(resourcePath("quill-test-folder", "zip"), std::nullopt) << "folders are not resources";
    EXPECT_EQ(resourcePath("../quill-test-only", "zip"), std::nullopt);
    EXPECT_EQ(resourcePath("", "zip"), std::nullopt);
}

TEST(PathsTest, ExecutableFolderHoldsThisTest) {
    std::string folder = executableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(fs::is_directory(folder));
}

}  // namespace
}  // namespace quill::platform::foundation
