#include "platform/foundation/SysLog.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <shared_mutex>

namespace quill::platform::foundation {
namespace {

std::shared_mutex& sinkMutex() {
    static std::shared_mutex m;
    return m;
}
LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

std::shared_mutex& writerMutex() {
    static std::shared_mutex m;
    return m;
}
SyslogWriter& currentWriter() {
    static SyslogWriter writer;
    return writer;
}

void defaultSink(const std::string& text) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    std::string line = std::string(stamp) + " " + program_invocation_short_name + "[" +
                       std::to_string(getpid()) + ":" +
                       std::to_string(static_cast<long>(syscall(SYS_gettid))) + "] " + text;
    if (line.empty() || line.back() != '\n') line += '\n';
    // One write per line so that lines from several threads do not interleave.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    writeSyslog(LOG_DEBUG, text);
}

void emit(const std::string& text) {
    std::shared_lock lock(sinkMutex());
    if (currentSink()) {
        currentSink()(text);
    } else {
        defaultSink(text);
    }
}

}  // namespace

void sysLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    emit(text);
}

void sysLogString(const std::string& text) {
    emit(text);
}

void writeSyslog(int priority, const std::string& text) {
    std::shared_lock lock(writerMutex());
    if (currentWriter()) {
        currentWriter()(priority, text);
    } else {
        syslog(priority, "%s", text.c_str());
    }
}

SyslogWriter setSyslogWriter(SyslogWriter writer) {
    std::unique_lock lock(writerMutex());
    SyslogWriter previous = std::move(currentWriter());
    currentWriter() = std::move(writer);
    return previous;
}

LogSink setLogSink(LogSink sink) {
    std::unique_lock lock(sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

LogCapture::LogCapture() {
    previous_ = setLogSink([this](const std::string& text) {
        std::lock_guard lock(mutex_);
        lines_.push_back(text);
    });
}

LogCapture::~LogCapture() {
    setLogSink(std::move(previous_));
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& text) const {
    return count(text) > 0;
}

size_t LogCapture::count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), text));
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace quill::platform::foundation
