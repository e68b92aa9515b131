#pragma once
// Lines of the form "yyyy-MM-dd HH:mm:ss:SSS [label] text" in local time, where the label names where the
// message was made: its queue's label, the thread's name for work of a global queue (or outside any
// queue), or else the thread number in hexadecimal. Labels can be replaced by short ones (the main queue
// shows "main"), cut to a maximum length and padded with blanks to a minimum, counted in code points.
//
// Threads: any. One formatter may serve several loggers, formatting on their queues at once: dates are
// formatted without shared state, the replacements are guarded by a lock, and the lengths are atomic.

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "logging/Log.h"
#include "logging/LogDatePattern.h"

namespace quill {

class DispatchQueueLogFormatter : public LogFormatter {
  public:
    DispatchQueueLogFormatter();

    LogText formatLogMessage(const LogMessage& message) override;
    std::string stringFromDate(std::chrono::system_clock::time_point date) const;
    std::string queueThreadLabelForLogMessage(const LogMessage& message) const;

    // Empty when the label has no replacement.
    std::string replacementStringForQueueLabel(const std::string& label) const;
    // nullopt removes the label's replacement.
    void setReplacementString(std::optional<std::string> replacement, const std::string& label);

    // 0: no limit.
    size_t minQueueLength() const { return minQueueLength_; }
    void setMinQueueLength(size_t length) { minQueueLength_ = length; }
    size_t maxQueueLength() const { return maxQueueLength_; }
    void setMaxQueueLength(size_t length) { maxQueueLength_ = length; }

    // The loggers that use this formatter (informational: formatting is the same for any number).
    int32_t loggerCount() const { return atomicLoggerCount_; }
    void didAddToLogger(Logger&) override { ++atomicLoggerCount_; }
    void willRemoveFromLogger(Logger&) override { --atomicLoggerCount_; }

  private:
    const LogDatePattern dateFormatter_;
    std::atomic<int32_t> atomicLoggerCount_{0};
    std::atomic<size_t> minQueueLength_{0};
    std::atomic<size_t> maxQueueLength_{0};
    mutable std::mutex lock_;
    std::map<std::string, std::string> replacements_;
};

}  // namespace quill
