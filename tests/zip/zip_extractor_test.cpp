#include "zip/ZipExtractor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/FileText.h"
#include "support/TempFolder.h"
#include "support/ZipFixture.h"

namespace fs = std::filesystem;
using quill::Error;
using quill::ZipExtractor;
using quill::testing::readFileText;
using quill::testing::TempFolder;
using quill::testing::writeFileText;
using quill::testing::writeZipFixture;
using quill::testing::ZipFixtureEntry;

namespace {

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    lstat(p.c_str(), &st);
    return st.st_mode;
}

time_t mtimeOf(const fs::path& p) {
    struct stat st {};
    lstat(p.c_str(), &st);
    return st.st_mtime;
}

// 2025-01-14 13:33:26 local time in MS-DOS form.
constexpr uint32_t kDosDate = (45u << 25) | (1u << 21) | (14u << 16) | (13u << 11) | (33u << 5) | 13u;

time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

struct RecordingDelegate : quill::ZipExtractorDelegate {
    std::vector<std::string> events;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    void zipArchiveWillUnzipArchiveAtPath(const std::string&, const quill::ZipInfo& info) override {
        events.push_back("will archive " + std::to_string(info.numberOfEntries));
    }
    void zipArchiveProgressEvent(uint64_t loaded, uint64_t total) override {
        progress.emplace_back(loaded, total);
    }
    void zipArchiveWillUnzipFileAtIndex(uint64_t i, uint64_t n, const std::string&,
                                        const quill::ZipFileInfo&) override {
        events.push_back("will " + std::to_string(i) + "/" + std::to_string(n));
    }
    void zipArchiveDidUnzipFileAtIndex(uint64_t i, uint64_t n, const std::string&,
                                       const quill::ZipFileInfo&) override {
        events.push_back("did " + std::to_string(i) + "/" + std::to_string(n));
    }
    void zipArchiveDidUnzipArchiveAtPath(const std::string&, const quill::ZipInfo&,
                                         const std::string&) override {
        events.push_back("did archive");
    }
};

class ZipExtractorTest : public ::testing::Test {
  protected:
    TempFolder tmp;
    std::string archive = tmp / "a.zip";
    fs::path dest = tmp.path() / "out";
};

}  // namespace

TEST_F(ZipExtractorTest, MsDosDatesConvertFieldByField) {
    EXPECT_EQ(std::chrono::system_clock::to_time_t(ZipExtractor::_dateWithMSDOSFormat(kDosDate)),
              localTime(2025, 1, 14, 13, 33, 26));
    // Seconds are stored halved: 31 means 62, which the calendar carries into the next minute.
    uint32_t v = (0u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
    EXPECT_EQ(std::chrono::system_clock::to_time_t(ZipExtractor::_dateWithMSDOSFormat(v)),
              localTime(1980, 12, 31, 23, 59, 58));
}

TEST_F(ZipExtractorTest, UnpacksFilesFoldersLinksDatesAndModes) {
    ASSERT_TRUE(
        writeZipFixture(archive, {
                                     {"Driver.kext/", "", 040755, 3, kDosDate},
                                     {"Driver.kext/Contents/Info.plist", "<plist/>", 0100644, 3, kDosDate},
                                     {"Driver.kext/Contents/run", "#!/bin/sh\n", 0100750, 3, kDosDate},
                                     {"Driver.kext/link", "Contents/Info.plist", 0120777, 3, kDosDate},
                                     {"win\\sub\\file.txt", "dos", 0, 0, kDosDate},
                                 }));
    RecordingDelegate delegate;
    ASSERT_TRUE(ZipExtractor::unzipFileAtPath(archive, dest.string(), &delegate));

    EXPECT_EQ(readFileText(dest / "Driver.kext/Contents/Info.plist"), "<plist/>");
    EXPECT_EQ(modeOf(dest / "Driver.kext/Contents/Info.plist") & 07777, 0644u);
    EXPECT_EQ(modeOf(dest / "Driver.kext/Contents/run") & 07777, 0750u);
    EXPECT_TRUE(fs::is_symlink(dest / "Driver.kext/link"));
    EXPECT_EQ(fs::read_symlink(dest / "Driver.kext/link"), "Contents/Info.plist");
    // Backslashes separate folders; a file without mode bits keeps the default permissions.
    EXPECT_EQ(readFileText(dest / "win/sub/file.txt"), "dos");
    EXPECT_NE(modeOf(dest / "win/sub/file.txt") & 0600, 0u);

    const time_t when = localTime(2025, 1, 14, 13, 33, 26);
    EXPECT_EQ(mtimeOf(dest / "Driver.kext/Contents/run"), when);
    // The folder's own date comes back after its files were written.
    EXPECT_EQ(mtimeOf(dest / "Driver.kext"), when);

    ASSERT_GE(delegate.events.size(), 3u);
    EXPECT_EQ(delegate.events.front(), "will archive 5");
    EXPECT_EQ(delegate.events[1], "will 0/5");
    EXPECT_EQ(delegate.events[2], "did 0/5");
    EXPECT_EQ(delegate.events.back(), "did archive");
    ASSERT_FALSE(delegate.progress.empty());
    const uint64_t size = fs::file_size(archive);
    EXPECT_EQ(delegate.progress.front(), std::make_pair(uint64_t{0}, size));
    EXPECT_EQ(delegate.progress.back(), std::make_pair(size, size));
}

TEST_F(ZipExtractorTest, LinkFromAnotherHostIsAnOrdinaryFile) {
    ASSERT_TRUE(writeZipFixture(archive, {{"link", "target", 0120777, 0, kDosDate}}));
    ASSERT_TRUE(ZipExtractor::unzipFileAtPath(archive, dest.string()));
    EXPECT_FALSE(fs::is_symlink(dest / "link"));
    EXPECT_EQ(readFileText(dest / "link"), "target");
}

TEST_F(ZipExtractorTest, SetIdBitsAreDropped) {
    ASSERT_TRUE(writeZipFixture(archive, {{"tool", "x", 0106755, 3, kDosDate}}));
    ASSERT_TRUE(ZipExtractor::unzipFileAtPath(archive, dest.string()));
    EXPECT_EQ(modeOf(dest / "tool") & 07777, 0755u);
}

TEST_F(ZipExtractorTest, MissingArchiveFailsWithCodeMinusOne) {
    Error error;
    EXPECT_FALSE(ZipExtractor::unzipFileAtPath(tmp / "none.zip", dest.string(), true, {}, &error));
    EXPECT_EQ(error.domain, "ZipExtractorErrorDomain");
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.localizedDescription(), "failed to open zip file");
}

TEST_F(ZipExtractorTest, BrokenDirectoryFailsWithCodeMinusTwo) {
    ASSERT_TRUE(writeZipFixture(archive, {{"f", "x"}}));
    // Spoil the signature of the first central-directory record; the end record still opens.
    ASSERT_TRUE(quill::testing::damageZipData(archive, std::string("PK\x01\x02", 4)));
    Error error;
    EXPECT_FALSE(ZipExtractor::unzipFileAtPath(archive, dest.string(), true, {}, &error));
    EXPECT_EQ(error.code, -2);
    EXPECT_EQ(error.localizedDescription(), "failed to open first file in zip file");
}

TEST_F(ZipExtractorTest, ExistingFileIsKeptWithoutOverwrite) {
    writeFileText(dest / "f", "mine");
    ASSERT_TRUE(writeZipFixture(archive, {{"f", "theirs"}, {"g", "new"}}));
    RecordingDelegate delegate;
    EXPECT_TRUE(ZipExtractor::unzipFileAtPath(archive, dest.string(), false, {}, nullptr, &delegate));
    EXPECT_EQ(readFileText(dest / "f"), "mine");
    EXPECT_EQ(readFileText(dest / "g"), "new");
    // The kept entry sends no completion and is not counted, but its size still moves the progress on.
    EXPECT_EQ(delegate.events,
              (std::vector<std::string>{"will archive 2", "will 0/2", "will 0/2", "did 0/2", "did archive"}));
    EXPECT_EQ(delegate.progress.size(), 4u);

    EXPECT_TRUE(ZipExtractor::unzipFileAtPath(archive, dest.string(), true, {}, nullptr));
    EXPECT_EQ(readFileText(dest / "f"), "theirs");
}

TEST_F(ZipExtractorTest, UnsafeNamesAreSkipped) {
    ASSERT_TRUE(writeZipFixture(archive, {
                                             {"../escaped", "x"},
                                             {"a/../../escaped2", "x"},
                                             {"/tmp/absolute-" + tmp.path().filename().string(), "x"},
                                             {"..\\escaped3", "x"},
                                             {"bad\xff", "x"},
                                             // An overlong '/', a surrogate, a value above U+10FFFF.
                                             {"over\xC0\xAFlong", "x"},
                                             {"surrogate\xED\xA0\x80", "x"},
                                             {"beyond\xF4\x90\x80\x80", "x"},
                                             {"ok", "fine"},
                                         }));
    EXPECT_TRUE(ZipExtractor::unzipFileAtPath(archive, dest.string()));
    EXPECT_EQ(readFileText(dest / "ok"), "fine");
    EXPECT_FALSE(fs::exists(tmp / "escaped"));
    EXPECT_FALSE(fs::exists(tmp / "escaped2"));
    EXPECT_FALSE(fs::exists(tmp / "escaped3"));
    EXPECT_FALSE(fs::exists("/tmp/absolute-" + tmp.path().filename().string()));
    std::vector<fs::path> made;
    for (auto& e : fs::recursive_directory_iterator(dest))
        made.push_back(e.path().filename());
    EXPECT_EQ(made, std::vector<fs::path>{"ok"});
}

TEST_F(ZipExtractorTest, NeverWritesThroughALinkTheArchiveMade) {
    fs::create_directories(tmp / "outside");
    ASSERT_TRUE(writeZipFixture(archive, {
                                             {"dir", tmp / "outside", 0120777},
                                             {"dir/planted", "evil"},
                                             {"file", tmp / "outside/victim", 0120777},
                                             {"file", "replaced"},
                                         }));
    writeFileText(tmp / "outside/victim", "safe");
    EXPECT_TRUE(ZipExtractor::unzipFileAtPath(archive, dest.string()));
    EXPECT_FALSE(fs::exists(tmp / "outside/planted"));
    EXPECT_EQ(readFileText(tmp / "outside/victim"), "safe");
    // The later regular entry replaced the link instead of writing through it.
    EXPECT_FALSE(fs::is_symlink(dest / "file"));
    EXPECT_EQ(readFileText(dest / "file"), "replaced");
}

TEST_F(ZipExtractorTest, NeverFollowsALinkAlreadyInTheDestination) {
    fs::create_directories(tmp / "outside");
    fs::create_directories(dest);
    fs::create_directory_symlink(tmp / "outside", dest / "sub");
    ASSERT_TRUE(writeZipFixture(archive, {{"sub/x/y", "evil"}}));
    EXPECT_TRUE(ZipExtractor::unzipFileAtPath(archive, dest.string()));
    EXPECT_FALSE(fs::exists(tmp / "outside/x"));
}

TEST_F(ZipExtractorTest, CorruptDataFailsAndLeavesNoPartialFile) {
    const std::string body(10000, 'q');
    ASSERT_TRUE(writeZipFixture(
        archive, {{"good", "fine", 0100644, 3, kDosDate, true}, {"bad", body, 0100644, 3, kDosDate, true}}));
    ASSERT_TRUE(quill::testing::damageZipData(archive, body));
    EXPECT_FALSE(ZipExtractor::unzipFileAtPath(archive, dest.string()));
    EXPECT_EQ(readFileText(dest / "good"), "fine");
    EXPECT_FALSE(fs::exists(dest / "bad"));
}

TEST_F(ZipExtractorTest, WrittenArchivesRoundTrip) {
    writeFileText(tmp / "src/a.txt", "alpha");
    writeFileText(tmp / "src/deep/b.bin", std::string(40000, '\x01'));
    fs::permissions(tmp / "src/deep/b.bin", fs::perms(0700));
    const std::string made = tmp / "made.zip";
    ASSERT_TRUE(ZipExtractor::createZipFileAtPathWithContentsOfDirectory(made, tmp / "src"));
    ASSERT_TRUE(ZipExtractor::unzipFileAtPath(made, dest.string()));
    EXPECT_EQ(readFileText(dest / "a.txt"), "alpha");
    EXPECT_EQ(readFileText(dest / "deep/b.bin"), std::string(40000, '\x01'));
    EXPECT_EQ(modeOf(dest / "deep/b.bin") & 07777, 0700u);
    EXPECT_EQ(mtimeOf(dest / "a.txt") / 2, mtimeOf(tmp / "src/a.txt") / 2);

    ZipExtractor writer(tmp / "data.zip");
    EXPECT_FALSE(writer.writeData(quill::Bytes{1}, "early"));  // not open yet
    ASSERT_TRUE(writer.open());
    EXPECT_FALSE(writer.writeData({}, "empty"));
    EXPECT_TRUE(writer.writeData(quill::Bytes{'h', 'i'}, "hi.txt"));
    EXPECT_FALSE(writer.writeFile(tmp / "missing"));
    EXPECT_TRUE(writer.close());
    TempFolder out2;
    ASSERT_TRUE(ZipExtractor::unzipFileAtPath(tmp / "data.zip", out2.str()));
    EXPECT_EQ(readFileText(out2.path() / "hi.txt"), "hi");

    EXPECT_FALSE(ZipExtractor::createZipFileAtPath(tmp / "no/such/dir/x.zip", {}));
}
