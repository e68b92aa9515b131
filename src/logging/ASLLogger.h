#pragma once
// The system-log logger: each message goes to the system log (syslog(3), through the replaceable writer
// of the system-log layer) as "%s" with a priority from its flag: 1 alert, 2 critical, 4 error,
// 8 warning, anything else notice.
//
// Threads: logMessage() runs on the logger's queue; the process's one system-log client is opened once,
// by the first logger made.

#include <memory>

#include "logging/Log.h"

namespace quill {

class ASLLogger : public AbstractLogger {
  public:
    // The facility the logger's messages are filed under. The system log of this platform files user
    // programs' console messages under LOG_USER, which is what the client opens with.
    static constexpr const char* kFacility = "com.apple.console";

    // The process-wide instance, of the process-wide registry.
    static std::shared_ptr<ASLLogger> sharedInstance();
    static std::shared_ptr<ASLLogger> create(LogRegistry& registry);

    // The system-log priority of a message flag.
    static int priorityForFlag(int32_t flag);

    void logMessage(const LogMessage& message) override;

  private:
    explicit ASLLogger(LogRegistry& registry);
};

}  // namespace quill
