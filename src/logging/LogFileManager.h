#pragma once
// What a file logger asks of the keeper of its log folder: where the files are, which of them are log
// files (newest first when sorted), a new empty file, and how many archived files to keep.
//
// Threads: a file logger calls everything on its own queue; setMaximumNumberOfLogFiles() may be called
// on any thread. An implementation shared by several loggers must allow calls from several queues at
// once.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "logging/LogFileInfo.h"

namespace quill {

class LogFileManager {
  public:
    virtual ~LogFileManager() = default;

    virtual std::string logsDirectory() = 0;
    virtual std::vector<std::string> unsortedLogFilePaths() = 0;
    virtual std::vector<std::string> unsortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LogFileInfo>> unsortedLogFileInfos() = 0;
    // Newest first, by creation date.
    virtual std::vector<std::string> sortedLogFilePaths() = 0;
    virtual std::vector<std::string> sortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LogFileInfo>> sortedLogFileInfos() = 0;
    // Creates a new empty log file and returns its path; empty when none could be created.
    virtual std::string createNewLogFile() = 0;
    // 0 keeps every file.
    virtual size_t maximumNumberOfLogFiles() const = 0;
    virtual void setMaximumNumberOfLogFiles(size_t maximum) = 0;

    // A newest file that was left unarchived and is not reused was archived.
    virtual void didArchiveLogFile(const std::string& /*path*/) {}
    // The current file was closed and archived.
    virtual void didRollAndArchiveLogFile(const std::string& /*path*/) {}
};

}  // namespace quill
