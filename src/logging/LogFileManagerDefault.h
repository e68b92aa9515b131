#pragma once
// The default keeper of a log folder: "~/Library/Logs/<process name>" unless given one, files named
// "<app> yyyy-MM-dd HH-mm.log" after the time of creation in UTC ("<app> yyyy-MM-dd HH-mm N.log" for
// attempts N = 2, 3, ... within one minute), and retention of the newest maximumNumberOfLogFiles archived
// files (default 5).
//
// New files are made with O_CREAT|O_EXCL, so two processes (or two loggers) of the same name never
// share a new file, and with mode 0644 less the umask.
//
// Threads: any. A change of the maximum runs the retention asynchronously on the retention queue (the
// logging registry's queue by default); everything else runs on the caller.

#include <atomic>
#include <chrono>
#include <functional>

#include "logging/LogDatePattern.h"
#include "logging/LogFileManager.h"
#include "platform/dispatch/Dispatch.h"

namespace quill {

class LogFileManagerDefault : public LogFileManager,
                              public std::enable_shared_from_this<LogFileManagerDefault> {
  public:
    struct Options {
        // Empty: "<home>/Library/Logs/<process name>".
        std::string logsDirectory;
        // Empty: the process name.
        std::string applicationName;
        // Where retention runs after a change of the maximum; null: the process-wide logging queue.
        platform::dispatch::QueuePtr retentionQueue;
        // The clock that names new files; null: the wall clock.
        std::function<std::chrono::system_clock::time_point()> now;
    };

    static std::shared_ptr<LogFileManagerDefault> create(Options options = {});

    // Creates the folder with its parents when missing (failure printed; creating files then fails).
    std::string logsDirectory() override;
    const std::string& applicationName() const { return applicationName_; }
    // True for "<app> <date> <time>.log" and "<app> <date> <time> <N>.log" in the file date pattern.
    bool isLogFile(const std::string& fileName) const;
    // "yyyy'-'MM'-'dd' 'HH'-'mm'" in UTC.
    static const LogDatePattern& logFileDateFormatter();
    std::string generateLogFileNameWithAttempt(unsigned long attempt) const;

    std::vector<std::string> unsortedLogFilePaths() override;
    std::vector<std::string> unsortedLogFileNames() override;
    std::vector<std::shared_ptr<LogFileInfo>> unsortedLogFileInfos() override;
    std::vector<std::string> sortedLogFilePaths() override;
    std::vector<std::string> sortedLogFileNames() override;
    std::vector<std::shared_ptr<LogFileInfo>> sortedLogFileInfos() override;
    std::string createNewLogFile() override;
    // Deletes the archived files beyond the maximum, oldest first; the newest file is left out when it
    // is not archived (it is being written).
    void deleteOldLogFiles();

    size_t maximumNumberOfLogFiles() const override { return maximumNumberOfLogFiles_; }
    void setMaximumNumberOfLogFiles(size_t maximum) override;

  protected:
    explicit LogFileManagerDefault(Options options);

  private:
    std::string logsDirectory_;
    std::string applicationName_;
    platform::dispatch::QueuePtr retentionQueue_;
    std::function<std::chrono::system_clock::time_point()> now_;
    std::atomic<size_t> maximumNumberOfLogFiles_{5};
};

}  // namespace quill
