#pragma once
// The system log: the engine's fixed printf-style lines and the shell's single-string lines. Each line
// goes to standard error ("<local time> <process>[<pid>:<tid>] <text>") and to syslog(3) at debug
// priority (a mirroring session writes dozens of them a second, which the journal should not keep by
// default). Tests swap in a capturing sink and assert on the exact texts. Callable from any thread.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quill::platform::foundation {

// printf-style line, as the engine and the audio classes write them.
void sysLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One finished string, as the application shell writes them.
void sysLogString(const std::string& text);

// Where lines go. The default sink writes to standard error and syslog(3).
using LogSink = std::function<void(const std::string& text)>;
// Replaces the sink; returns the previous one. An empty sink restores the default.
LogSink setLogSink(LogSink sink);

// The system journal itself: one text at a syslog(3) priority ("%s", no further attributes). The
// default sink and the system-log logger write through it; tests replace the writer to see priorities.
using SyslogWriter = std::function<void(int priority, const std::string& text)>;
void writeSyslog(int priority, const std::string& text);
// Replaces the writer; returns the previous one. An empty writer restores syslog(3).
SyslogWriter setSyslogWriter(SyslogWriter writer);

// Captures every line logged while it lives (texts only, without the header), and restores the
// previous sink when destroyed. Thread-safe.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(const std::string& text) const;
    size_t count(const std::string& text) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    LogSink previous_;
};

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::sysLog;
using platform::foundation::sysLogString;
}  // namespace quill
