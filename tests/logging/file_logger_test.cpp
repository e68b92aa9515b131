#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "LogTestFolder.h"
#include "logging/FileLogger.h"
#include "logging/LogFileManagerDefault.h"
#include "platform/foundation/SysLog.h"
#include "support/FileText.h"

namespace quill {
namespace {

using platform::foundation::LogCapture;
using testing::LogTestFolder;
using testing::readFileText;
using testing::waitUntil;
using testing::writeFileText;

// 2024-03-05 23:07:59 UTC.
const auto kFixedNow = std::chrono::system_clock::from_time_t(1709680079);

// The default manager of a test folder, recording the files the logger rolled.
class RecordingManager : public LogFileManagerDefault {
  public:
    explicit RecordingManager(const LogTestFolder& folder, std::string app = "quill")
        : LogFileManagerDefault({folder.str(), std::move(app), nullptr, [] { return kFixedNow; }}) {}
    void didRollAndArchiveLogFile(const std::string& path) override {
        std::lock_guard lock(mutex);
        rolled.push_back(path);
    }
    void didArchiveLogFile(const std::string& path) override {
        std::lock_guard lock(mutex);
        archived.push_back(path);
    }
    size_t rolledCount() {
        std::lock_guard lock(mutex);
        return rolled.size();
    }
    std::mutex mutex;
    std::vector<std::string> rolled, archived;
};

bool isArchived(const std::string& path) {
    return LogFileInfo(path).isArchived();
}

struct Rig {
    explicit Rig(LogTestFolder& f, LogFileWatch::Starter startWatch = LogFileWatch::start) : folder(f) {
        manager = std::make_shared<RecordingManager>(folder);
        logger = FileLogger::create(registry, manager, std::move(startWatch));
        registry.addLogger(logger);
    }
    void log(const std::string& text) {
        registry.log(false, LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, "%s",
                     text.c_str());
    }
    std::string path(unsigned long attempt) {
        return folder / manager->generateLogFileNameWithAttempt(attempt);
    }
    LogTestFolder& folder;
    LogRegistry registry;
    std::shared_ptr<RecordingManager> manager;
    std::shared_ptr<FileLogger> logger;
};

TEST(LogFileManagerTest, NamesInUtcAndTheLogFileTest) {
    LogTestFolder folder;
    RecordingManager manager(folder, "Quill App");
    EXPECT_EQ(manager.generateLogFileNameWithAttempt(1), "Quill App 2024-03-05 23-07.log");
    EXPECT_EQ(manager.generateLogFileNameWithAttempt(3), "Quill App 2024-03-05 23-07 3.log");
    const std::pair<const char*, bool> names[] = {
        {"Quill App 2024-03-05 23-07.log", true},      {"Quill App 2024-03-05 23-07 12.log", true},
        {"Quill App 2024-03-05 23-07.txt", false},     {"Other 2024-03-05 23-07.log", false},
        {"Quill App 2024-13-05 23-07.log", false},     {"Quill App 2024-03-05 2307.log", false},
        {"Quill App 2024-03-05 23-07 2 x.log", false}, {"Quill App  2024-03-05 23-07.log", false},
        {"Quill App 2024-03-05 23-07", false},         {"Quill App.log", false},
    };
    for (const auto& [name, expected] : names)
        EXPECT_EQ(manager.isLogFile(name), expected) << name;
}

TEST(FileLoggerTest, RollsBySizeAfterTheWriteThatReachedItAndNamesTheNextAttempt2) {
    LogTestFolder folder;
    SKIP_WITHOUT_USER_XATTRS(folder);
    Rig rig(folder);
    rig.logger->setMaximumFileSize(100);
    EXPECT_EQ(rig.logger->maximumFileSize(), 100u);
    rig.log(std::string(60, 'a') + "\n");  // 86 bytes with the time stamp; the line feed is not doubled
    EXPECT_EQ(rig.manager->rolledCount(), 0u);
    rig.log(std::string(60, 'b'));  // reaches 172 bytes: rolled after this write
    ASSERT_EQ(rig.manager->rolled, std::vector<std::string>{rig.path(1)});
    std::regex twoLines(
        R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3}  a{60}\n\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3}  b{60}\n)");
    EXPECT_TRUE(std::regex_match(readFileText(rig.path(1)), twoLines)) << readFileText(rig.path(1));
    EXPECT_TRUE(isArchived(rig.path(1)));
    rig.log("c");
    EXPECT_NE(readFileText(rig.path(2)).find("  c\n"), std::string::npos);
    EXPECT_FALSE(isArchived(rig.path(2)));
}

TEST(FileLoggerTest, RollsByAgeByHandAndWhenTheFileIsDeletedOrRenamed) {
    LogTestFolder folder;
    SKIP_WITHOUT_USER_XATTRS(folder);
    enum class How { Age, Hand, Delete, Rename };
    for (How how : {How::Age, How::Hand, How::Delete, How::Rename}) {
        SCOPED_TRACE(int(how));
        std::filesystem::remove_all(folder.str());
        Rig rig(folder);
        rig.log("first");
        std::string renamed = folder / "quill 2024-03-05 23-07 9.log";  // still a log file by name
        bool completed = false;
        switch (how) {
            case How::Age:
                rig.logger->setRollingFrequency(0.2);
                break;
            case How::Hand:
                rig.logger->rollLogFile([&] { completed = true; });
                ASSERT_TRUE(waitUntil([&] {
                    platform::dispatch::drainMain();
                    return completed;
                }));
                break;
            case How::Delete:
                std::filesystem::remove(rig.path(1));
                break;
            case How::Rename:
                std::filesystem::rename(rig.path(1), renamed);
                break;
        }
        ASSERT_TRUE(waitUntil([&] { return rig.manager->rolledCount() == 1; }));
        rig.log("second");
        // A new file; where the first is gone from its place, under the first name again.
        std::string next = how == How::Delete || how == How::Rename ? rig.path(1) : rig.path(2);
        EXPECT_EQ(readFileText(next), readFileText(next).substr(0, 23) + "  second\n");
        if (how == How::Rename) {
            // Marked through the descriptor: the renamed file is archived and not reused.
            EXPECT_TRUE(isArchived(renamed));
            EXPECT_EQ(readFileText(renamed).find("second"), std::string::npos);
        }
    }
}

TEST(FileLoggerTest, WithoutAWatchAFileReplacedOnDiskIsNoticedWithinAFewWrites) {
    LogTestFolder folder;
    Rig rig(folder, [](auto&&...) { return std::unique_ptr<LogFileWatch>(); });  // out of inotify
    rig.log("first");
    writeFileText(folder / "new", "new\n");
    std::filesystem::rename(folder / "new", rig.path(1));
    // The replacement is the newest unarchived file: the lines go on there.
    bool landed = false;
    for (int i = 0; i < 50 && !landed; ++i) {
        rig.log("after " + std::to_string(i));
        landed = readFileText(rig.path(1)).ends_with("  after " + std::to_string(i) + "\n");
    }
    EXPECT_TRUE(landed) << "every line went to the file that is gone from the path";
}

TEST(FileLoggerTest, ReusesTheNewestUnarchivedFileUnlessTooLargeOrTooOld) {
    LogTestFolder folder;
    SKIP_WITHOUT_USER_XATTRS(folder);
    {
        Rig first(folder);
        first.log("before restart");
    }  // released, not removed: the file stays unarchived
    {
        Rig second(folder);
        second.log("after restart");
        EXPECT_NE(readFileText(second.path(1)).find("  after restart\n"), std::string::npos);
        EXPECT_TRUE(second.manager->archived.empty());
    }
    Rig third(folder);
    third.logger->setMaximumFileSize(10);
    third.log("too large to reuse");
    EXPECT_EQ(third.manager->archived, std::vector<std::string>{third.path(1)});
    EXPECT_TRUE(isArchived(third.path(1)));
    EXPECT_NE(readFileText(third.path(2)).find("too large"), std::string::npos);
}

TEST(LogFileManagerTest, RetentionKeepsTheNewestArchivedFiles) {
    LogTestFolder folder;
    SKIP_WITHOUT_USER_XATTRS(folder);
    LogRegistry registry;
    auto manager = LogFileManagerDefault::create(
        {folder.str(), "quill", registry.loggingQueue(), [] { return kFixedNow; }});
    std::vector<std::string> made;
    for (int i = 0; i < 8; ++i) {
        made.push_back(manager->createNewLogFile());
        if (i < 7) LogFileInfo(made.back()).setIsArchived(true);
    }
    // Seven archived files and the current one: the two oldest archived files go.
    std::vector<std::string> expected(made.rbegin(), made.rbegin() + 6);
    EXPECT_EQ(manager->sortedLogFilePaths(), expected);
    manager->setMaximumNumberOfLogFiles(2);
    registry.loggingQueue()->sync([] {});
    EXPECT_EQ(manager->sortedLogFilePaths(), std::vector<std::string>(made.rbegin(), made.rbegin() + 3));
}

TEST(LogFileManagerTest, NewFilesAreExclusiveCloseOnExecAndFollowTheUmask) {
    LogTestFolder folder;
    RecordingManager manager(folder);
    // A link left at the first name (dangling: a check for existence would see nothing there).
    std::string target = folder / "elsewhere";
    ASSERT_EQ(::symlink(target.c_str(), (folder / manager.generateLogFileNameWithAttempt(1)).c_str()), 0);
    mode_t old = ::umask(027);
    std::string path = manager.createNewLogFile();
    ::umask(old);
    EXPECT_EQ(path, folder / manager.generateLogFileNameWithAttempt(2));
    EXPECT_FALSE(std::filesystem::exists(target));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    LogRegistry registry;
    auto logger = FileLogger::create(registry, std::make_shared<RecordingManager>(folder));
    int flags = -1;
    logger->loggerQueue()->sync([&] { flags = ::fcntl(logger->currentLogFileHandle(), F_GETFD); });
    EXPECT_EQ(flags & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(FileLoggerTest, TwoLoggersOfOneNameWritingAtOnceLoseNoLine) {
    LogTestFolder folder;
    SKIP_WITHOUT_USER_XATTRS(folder);
    constexpr int kLines = 3000;
    std::vector<std::unique_ptr<Rig>> rigs;
    for (int i = 0; i < 2; ++i) {
        rigs.push_back(std::make_unique<Rig>(folder));
        rigs.back()->manager->setMaximumNumberOfLogFiles(0);  // keep every file
        rigs.back()->logger->setMaximumFileSize(32 * 1024);   // and roll now and then
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kLines; ++i)
                rigs[size_t(w)]->registry.log(true, LOG_LEVEL_ALL, 4, 0, nullptr, nullptr, 0, nullptr,
                                              "writer %d line %05d %s", w, i, std::string(40, 'x').c_str());
            rigs[size_t(w)]->registry.flushLog();
        });
    }
    for (auto& t : writers)
        t.join();
    std::set<std::string> seen;
    size_t lines = 0;
    std::regex whole(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3}  (writer \d line \d{5}) x{40})");
    for (const auto& name : folder.names()) {
        std::istringstream in(readFileText(folder / name));
        for (std::string line; std::getline(in, line); ++lines) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, whole)) << name << ": " << line;
            seen.insert(m[1]);
        }
    }
    EXPECT_EQ(lines, size_t(2 * kLines));
    EXPECT_EQ(seen.size(), size_t(2 * kLines));
    EXPECT_GT(folder.names().size(), 2u) << "the loggers rolled";
}

// A manager whose every new file is a device that refuses writes.
class FullDiskManager : public RecordingManager {
  public:
    using RecordingManager::RecordingManager;
    std::string createNewLogFile() override { return "/dev/full"; }
};

TEST(FileLoggerTest, WriteFailuresAreReportedAtMostTenTimes) {
    LogTestFolder folder;
    LogRegistry registry;
    auto logger = FileLogger::create(registry, std::make_shared<FullDiskManager>(folder));
    logger->setRollingFrequency(0);
    registry.addLogger(logger);
    FileLogger::resetWriteFailureCount();
    LogCapture capture;
    for (int i = 0; i < 13; ++i)
        registry.log(false, LOG_LEVEL_ALL, 1, 0, nullptr, nullptr, 0, nullptr, "lost %d", i);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 11u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(lines[i].rfind("FileLogger.logMessage: Error Domain=NSPOSIXErrorDomain Code=28 ", 0), 0u);
    EXPECT_EQ(lines[10], "FileLogger.logMessage: Too many exceptions -- will not log any more of them.");
    FileLogger::resetWriteFailureCount();
}

}  // namespace
}  // namespace quill
