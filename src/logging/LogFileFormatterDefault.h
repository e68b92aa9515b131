#pragma once
// The default line of a log file: the message's time as "yyyy/MM/dd HH:mm:ss:SSS" in local time, two
// blanks, and the text.
//
// Threads: any; a formatter shared by several loggers formats on their queues at once.

#include <memory>

#include "logging/Log.h"
#include "logging/LogDatePattern.h"

namespace quill {

class LogFileFormatterDefault : public LogFormatter {
  public:
    // A null date pattern: "yyyy/MM/dd HH:mm:ss:SSS" in local time.
    explicit LogFileFormatterDefault(std::shared_ptr<const LogDatePattern> dateFormatter = nullptr);
    LogText formatLogMessage(const LogMessage& message) override;

  private:
    std::shared_ptr<const LogDatePattern> dateFormatter_;
};

}  // namespace quill
