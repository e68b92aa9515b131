#include "logging/LogFileManagerDefault.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "logging/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SysLog.h"

namespace quill {

namespace fs = std::filesystem;

std::shared_ptr<LogFileManagerDefault> LogFileManagerDefault::create(Options options) {
    return std::shared_ptr<LogFileManagerDefault>(new LogFileManagerDefault(std::move(options)));
}

LogFileManagerDefault::LogFileManagerDefault(Options options)
    : logsDirectory_(std::move(options.logsDirectory)),
      applicationName_(std::move(options.applicationName)),
      retentionQueue_(std::move(options.retentionQueue)),
      now_(std::move(options.now)) {
    if (applicationName_.empty()) applicationName_ = program_invocation_short_name;
    if (logsDirectory_.empty()) {
        logsDirectory_ = (fs::path(platform::foundation::homeFolder()) / "Library" / "Logs" /
                          std::string(program_invocation_short_name))
                             .string();
    }
    if (!retentionQueue_) retentionQueue_ = Log::loggingQueue();
    if (!now_) now_ = [] { return std::chrono::system_clock::now(); };
}

std::string LogFileManagerDefault::logsDirectory() {
    platform::foundation::Error error;
    if (!platform::foundation::createFolders(logsDirectory_, 0755, &error)) {
        sysLog("FileLogManagerDefault: Error creating logsDirectory: %s", error.description().c_str());
    }
    return logsDirectory_;
}

const LogDatePattern& LogFileManagerDefault::logFileDateFormatter() {
    static const LogDatePattern pattern("yyyy'-'MM'-'dd' 'HH'-'mm'", LogDatePattern::Zone::UTC);
    return pattern;
}

bool LogFileManagerDefault::isLogFile(const std::string& fileName) const {
    static const std::string suffix = ".log";
    if (fileName.size() < applicationName_.size() + suffix.size()) return false;
    if (fileName.compare(0, applicationName_.size(), applicationName_) != 0) return false;
    if (fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    std::string middle =
        fileName.substr(applicationName_.size(), fileName.size() - applicationName_.size() - suffix.size());
    if (middle.size() < 17) return false;
    // Split at every blank: " <date> <time>" gives an empty first piece, then date, time and attempt.
    std::vector<std::string> pieces(1);
    for (char c : middle) {
        if (c == ' ') {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    if (pieces.size() != 3 && pieces.size() != 4) return false;
    return logFileDateFormatter().matches(pieces[1] + " " + pieces[2]);
}

std::string LogFileManagerDefault::generateLogFileNameWithAttempt(unsigned long attempt) const {
    std::string date = logFileDateFormatter().format(now_());
    if (attempt > 1) return applicationName_ + " " + date + " " + std::to_string(attempt) + ".log";
    return applicationName_ + " " + date + ".log";
}

std::vector<std::string> LogFileManagerDefault::unsortedLogFilePaths() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(logsDirectory(), ec)) {
        std::string name = entry.path().filename().string();
        if (isLogFile(name)) out.push_back(entry.path().string());
    }
    return out;
}

std::vector<std::string> LogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> out;
    for (const auto& path : unsortedLogFilePaths())
        out.push_back(fs::path(path).filename().string());
    return out;
}

std::vector<std::shared_ptr<LogFileInfo>> LogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<std::shared_ptr<LogFileInfo>> out;
    for (auto& path : unsortedLogFilePaths())
        out.push_back(LogFileInfo::logFileWithPath(std::move(path)));
    return out;
}

std::vector<std::shared_ptr<LogFileInfo>> LogFileManagerDefault::sortedLogFileInfos() {
    auto infos = unsortedLogFileInfos();
    std::stable_sort(infos.begin(), infos.end(),
                     [](const auto& a, const auto& b) { return a->reverseCompareByCreationDate(*b) < 0; });
    return infos;
}

std::vector<std::string> LogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::string> out;
    for (const auto& info : sortedLogFileInfos())
        out.push_back(info->filePath());
    return out;
}

std::vector<std::string> LogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> out;
    for (const auto& info : sortedLogFileInfos())
        out.push_back(info->fileName());
    return out;
}

std::string LogFileManagerDefault::createNewLogFile() {
    std::string folder = logsDirectory();
    for (unsigned long attempt = 1;; ++attempt) {
        std::string path = (fs::path(folder) / generateLogFileNameWithAttempt(attempt)).string();
        // Exclusive creation: a name taken meanwhile by anyone (also a link) moves on to the next attempt.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            deleteOldLogFiles();
            return path;
        }
        if (errno != EEXIST) return {};
    }
}

void LogFileManagerDefault::deleteOldLogFiles() {
    size_t maximum = maximumNumberOfLogFiles_;
    if (maximum == 0) return;
    auto infos = sortedLogFileInfos();
    if (!infos.empty() && !infos.front()->isArchived()) infos.erase(infos.begin());
    for (size_t i = maximum; i < infos.size(); ++i)
        ::unlink(infos[i]->filePath().c_str());
}

void LogFileManagerDefault::setMaximumNumberOfLogFiles(size_t maximum) {
    if (maximumNumberOfLogFiles_.exchange(maximum) == maximum) return;
    retentionQueue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->deleteOldLogFiles();
    });
}

}  // namespace quill
