#pragma once
// A logger that appends each message as one line to the current file of a log folder, and rolls to a
// new file when the current one reaches maximumFileSize bytes (default 1 MiB, 0: no limit), when it is
// rollingFrequency seconds old (default one day, 0 or less: no limit), when it is deleted or renamed on
// disk, or on request. A rolled file is marked archived through its open descriptor before it is closed.
// On start the newest file is reused when it is unarchived, small enough and young enough.
//
// Deletion and renaming are seen through a LogFileWatch. Where none could be made (inotify instances or
// watches used up), the file is looked at before a write, every few writes and after any pause of a
// second: one that has lost its last link or been replaced at its path rolls the same way.
//
// Lines are written with O_APPEND, one write each, so loggers of several processes sharing a file lose
// no line. Write failures are printed on the system log (standard error), at most ten in the process.
//
// Threads: logMessage(), willRemoveLogger() and the current-file accessors run on the logger's queue,
// as do the age timer and the file watch. Settings go through the registry's queue and then the logger's
// queue (see AbstractLogger); rollLogFile() may be called anywhere and its completion runs on the main
// queue.

#include <cstdint>
#include <functional>
#include <memory>

#include "logging/Log.h"
#include "logging/LogFileManager.h"
#include "logging/LogFileWatch.h"
#include "platform/foundation/Error.h"

namespace quill {

class FileLogger : public AbstractLogger {
  public:
    static constexpr uint64_t kDefaultMaximumFileSize = 1024 * 1024;
    static constexpr double kDefaultRollingFrequency = 60 * 60 * 24;

    // A null manager: a LogFileManagerDefault of the default folder. The formatter starts as a
    // LogFileFormatterDefault. startWatch watches each file opened (tests give one that fails).
    static std::shared_ptr<FileLogger> create(LogRegistry& registry = Log::shared(),
                                              std::shared_ptr<LogFileManager> manager = nullptr,
                                              LogFileWatch::Starter startWatch = LogFileWatch::start);
    ~FileLogger() override;

    const std::shared_ptr<LogFileManager>& logFileManager() const { return manager_; }

    uint64_t maximumFileSize();
    // Stores the limit, then rolls when the current file has reached it.
    void setMaximumFileSize(uint64_t bytes);
    double rollingFrequency();
    // Stores the limit, then rolls when the current file is that old, or re-arms the age timer.
    void setRollingFrequency(double seconds);

    // Closes and archives the current file on the logger's queue (at once when called there); then runs
    // completion, when given, on the main queue.
    void rollLogFile(std::function<void()> completion = nullptr);

    void logMessage(const LogMessage& message) override;
    void willRemoveLogger() override;

    // Logger's queue only. The current file, chosen or created on first use; null when none could be.
    std::shared_ptr<LogFileInfo> currentLogFileInfo();
    // Logger's queue only. The open descriptor of the current file, opened on first use; -1 (with the
    // reason in error) when it cannot be opened.
    int currentLogFileHandle(Error* error = nullptr);

    // The process-wide count of write failures, which caps their reports at ten. For tests.
    static void resetWriteFailureCount();

  private:
    FileLogger(LogRegistry& registry, std::shared_ptr<LogFileManager> manager,
               LogFileWatch::Starter startWatch);
    bool writeLine(const std::string& text, Error* error);
    void reportWriteFailure(const Error& error);
    void rollLogFileNow();
    void maybeRollLogFileDueToSize();
    void maybeRollLogFileGoneFromDisk();
    void maybeRollLogFileDueToAge();
    void scheduleTimerToRollLogFileDueToAge();

    std::shared_ptr<LogFileManager> manager_;
    LogFileWatch::Starter startWatch_;
    // Logger's queue only.
    std::shared_ptr<LogFileInfo> currentLogFileInfo_;
    int currentLogFileHandle_ = -1;
    // The end of the current file after this logger's last write, asked of the kernel every few writes
    // (lines of other writers sharing the file count too) and whenever it seems to reach the limit.
    uint64_t currentLogFilePosition_ = 0;
    unsigned writesSincePositionCheck_ = 0;
    std::unique_ptr<LogFileWatch> currentLogFileWatch_;  // null when none could be made
    // Without a watch: writes since the file was last looked at, and when that was (steady seconds).
    unsigned writesSinceDiskCheck_ = 0;
    double lastDiskCheck_ = 0;
    std::shared_ptr<platform::dispatch::TimerSource> rollingTimer_;
    // Settings: written under the settings lock on the logger's queue.
    uint64_t maximumFileSize_ = kDefaultMaximumFileSize;
    double rollingFrequency_ = kDefaultRollingFrequency;
};

}  // namespace quill
