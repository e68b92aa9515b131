#include "logging/FileLogger.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "logging/LogFileFormatterDefault.h"
#include "logging/LogFileManagerDefault.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/SysLog.h"

namespace quill {

using platform::dispatch::Queue;
using platform::dispatch::TimerSource;
using platform::foundation::posixError;
using platform::foundation::steadySeconds;

namespace {

// Lines another writer appends to a shared file are seen at least this often.
constexpr unsigned kWritesPerPositionCheck = 32;
// Without a watch, a file deleted or replaced on disk is noticed within this many writes, and at the
// first write after a pause of this many seconds: a busy logger loses at most a few lines to it, a
// quiet one none.
constexpr unsigned kWritesPerDiskCheck = 8;
constexpr double kDiskCheckPause = 1;

std::atomic<int>& writeFailureCount() {
    static std::atomic<int> count{0};
    return count;
}

}  // namespace

std::shared_ptr<FileLogger> FileLogger::create(LogRegistry& registry, std::shared_ptr<LogFileManager> manager,
                                               LogFileWatch::Starter startWatch) {
    if (!manager) manager = LogFileManagerDefault::create({.retentionQueue = registry.loggingQueue()});
    return std::shared_ptr<FileLogger>(new FileLogger(registry, std::move(manager), std::move(startWatch)));
}

FileLogger::FileLogger(LogRegistry& registry, std::shared_ptr<LogFileManager> manager,
                       LogFileWatch::Starter startWatch)
    : AbstractLogger("app.logging.fileLogger", registry, std::make_shared<LogFileFormatterDefault>()),
      manager_(std::move(manager)),
      startWatch_(std::move(startWatch)) {}

FileLogger::~FileLogger() {
    // May run on any thread, also on the logger's queue: nothing here waits for it.
    if (currentLogFileWatch_) currentLogFileWatch_->cancel();
    if (rollingTimer_) rollingTimer_->cancel();
    if (currentLogFileHandle_ >= 0) {
        ::fsync(currentLogFileHandle_);
        ::close(currentLogFileHandle_);
    }
}

uint64_t FileLogger::maximumFileSize() {
    uint64_t out = 0;
    readSettings([&] { out = maximumFileSize_; });
    return out;
}

void FileLogger::setMaximumFileSize(uint64_t bytes) {
    changeSettings([this, bytes] {
        maximumFileSize_ = bytes;
        maybeRollLogFileDueToSize();
    });
}

double FileLogger::rollingFrequency() {
    double out = 0;
    readSettings([&] { out = rollingFrequency_; });
    return out;
}

void FileLogger::setRollingFrequency(double seconds) {
    changeSettings([this, seconds] {
        rollingFrequency_ = seconds;
        maybeRollLogFileDueToAge();
    });
}

void FileLogger::rollLogFile(std::function<void()> completion) {
    onLoggerQueue([this] { rollLogFileNow(); },
                  [completion = std::move(completion)] {
                      if (completion) Queue::main()->async(completion);
                  });
}

void FileLogger::willRemoveLogger() {
    rollLogFileNow();
}

void FileLogger::resetWriteFailureCount() {
    writeFailureCount() = 0;
}

void FileLogger::logMessage(const LogMessage& message) {
    LogText text = textOf(message);
    if (!text) return;
    maybeRollLogFileGoneFromDisk();
    Error error;
    if (!writeLine(*text, &error)) {
        reportWriteFailure(error);
        return;
    }
    maybeRollLogFileDueToSize();
}

bool FileLogger::writeLine(const std::string& text, Error* error) {
    int fd = currentLogFileHandle(error);
    if (fd < 0) return false;
    static const char newline = '\n';
    iovec pieces[2] = {{const_cast<char*>(text.data()), text.size()},
                       {const_cast<char*>(&newline), text.empty() || text.back() != '\n' ? 1u : 0u}};
    // One write a line; a short one (a full disk, a signal) goes on where it stopped.
    while (pieces[0].iov_len + pieces[1].iov_len > 0) {
        ssize_t n = ::writev(fd, pieces, 2);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = posixError(n < 0 ? errno : EIO, "Error in write() function");
            return false;
        }
        currentLogFilePosition_ += uint64_t(n);
        size_t left = size_t(n);
        for (auto& piece : pieces) {
            size_t take = std::min(left, piece.iov_len);
            piece.iov_base = static_cast<char*>(piece.iov_base) + take;
            piece.iov_len -= take;
            left -= take;
        }
    }
    return true;
}

void FileLogger::reportWriteFailure(const Error& error) {
    int count = ++writeFailureCount();
    if (count <= 10) sysLog("FileLogger.logMessage: %s", error.description().c_str());
    if (count == 10) sysLog("FileLogger.logMessage: Too many exceptions -- will not log any more of them.");
}

std::shared_ptr<LogFileInfo> FileLogger::currentLogFileInfo() {
    if (currentLogFileInfo_) return currentLogFileInfo_;
    auto infos = manager_->sortedLogFileInfos();
    if (!infos.empty() && !infos.front()->isArchived()) {
        const auto& newest = infos.front();
        bool tooLarge = maximumFileSize_ > 0 && newest->fileSize() >= maximumFileSize_;
        bool tooOld = rollingFrequency_ > 0 && newest->age() >= rollingFrequency_;
        if (!tooLarge && !tooOld) {
            currentLogFileInfo_ = newest;
        } else {
            newest->setIsArchived(true);
            manager_->didArchiveLogFile(newest->filePath());
        }
    }
    if (!currentLogFileInfo_) {
        std::string path = manager_->createNewLogFile();
        if (!path.empty()) currentLogFileInfo_ = LogFileInfo::logFileWithPath(std::move(path));
    }
    return currentLogFileInfo_;
}

int FileLogger::currentLogFileHandle(Error* error) {
    if (currentLogFileHandle_ >= 0) return currentLogFileHandle_;
    auto info = currentLogFileInfo();
    if (!info) {
        if (error) *error = posixError(errno, "Error creating a new log file");
        return -1;
    }
    int fd = ::open(info->filePath().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = posixError(errno, "Error in open() function");
        currentLogFileInfo_.reset();  // choose again for the next message
        return -1;
    }
    currentLogFileHandle_ = fd;
    off_t end = ::lseek(fd, 0, SEEK_END);
    currentLogFilePosition_ = end > 0 ? uint64_t(end) : 0;
    writesSincePositionCheck_ = 0;
    writesSinceDiskCheck_ = 0;
    lastDiskCheck_ = steadySeconds();
    scheduleTimerToRollLogFileDueToAge();
    currentLogFileWatch_ = startWatch_(info->filePath(), fd, loggerQueue(), [weak = weakSelf<FileLogger>()] {
        if (auto self = weak.lock()) self->rollLogFileNow();
    });
    return fd;
}

void FileLogger::rollLogFileNow() {
    if (currentLogFileHandle_ < 0) return;
    if (currentLogFileWatch_) currentLogFileWatch_->cancel();
    currentLogFileWatch_.reset();
    if (rollingTimer_) rollingTimer_->cancel();
    rollingTimer_.reset();
    ::fsync(currentLogFileHandle_);
    // Through the descriptor: the file may have been renamed, and its path may name another file by now.
    currentLogFileInfo_->setIsArchivedThroughDescriptor(currentLogFileHandle_);
    ::close(currentLogFileHandle_);
    currentLogFileHandle_ = -1;
    auto info = std::move(currentLogFileInfo_);
    currentLogFileInfo_.reset();
    manager_->didRollAndArchiveLogFile(info->filePath());
}

void FileLogger::maybeRollLogFileDueToSize() {
    if (maximumFileSize_ == 0 || currentLogFileHandle_ < 0) return;
    if (currentLogFilePosition_ < maximumFileSize_ && ++writesSincePositionCheck_ < kWritesPerPositionCheck)
        return;
    // With O_APPEND the position after a write is the end of the file, other writers' lines included.
    writesSincePositionCheck_ = 0;
    off_t position = ::lseek(currentLogFileHandle_, 0, SEEK_CUR);
    if (position >= 0) currentLogFilePosition_ = uint64_t(position);
    if (currentLogFilePosition_ >= maximumFileSize_) rollLogFileNow();
}

void FileLogger::maybeRollLogFileGoneFromDisk() {
    // A watch reports this by itself.
    if (currentLogFileHandle_ < 0 || currentLogFileWatch_) return;
    double now = steadySeconds();
    if (++writesSinceDiskCheck_ < kWritesPerDiskCheck && now - lastDiskCheck_ < kDiskCheckPause) return;
    writesSinceDiskCheck_ = 0;
    lastDiskCheck_ = now;
    if (LogFileWatch::isGone(currentLogFileInfo_->filePath(), currentLogFileHandle_)) rollLogFileNow();
}

void FileLogger::maybeRollLogFileDueToAge() {
    if (rollingFrequency_ > 0 && currentLogFileInfo_ && currentLogFileInfo_->age() >= rollingFrequency_) {
        rollLogFileNow();
    } else {
        scheduleTimerToRollLogFileDueToAge();
    }
}

void FileLogger::scheduleTimerToRollLogFileDueToAge() {
    if (rollingTimer_) rollingTimer_->cancel();
    rollingTimer_.reset();
    if (!currentLogFileInfo_ || currentLogFileHandle_ < 0 || rollingFrequency_ <= 0) return;
    rollingTimer_ = TimerSource::create(loggerQueue());
    rollingTimer_->setEventHandler([weak = weakSelf<FileLogger>()] {
        if (auto self = weak.lock()) self->maybeRollLogFileDueToAge();
    });
    // One-shot, at the file's creation date plus the limit.
    rollingTimer_->setTimer(std::max(0.0, rollingFrequency_ - currentLogFileInfo_->age()), 0, 1e-9);
    rollingTimer_->resume();
}

}  // namespace quill
