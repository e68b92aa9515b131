#include "logging/ASLLogger.h"

#include <syslog.h>

#include <mutex>

#include "platform/foundation/SysLog.h"

namespace quill {

std::shared_ptr<ASLLogger> ASLLogger::sharedInstance() {
    static std::shared_ptr<ASLLogger> instance = create(Log::shared());
    return instance;
}

std::shared_ptr<ASLLogger> ASLLogger::create(LogRegistry& registry) {
    return std::shared_ptr<ASLLogger>(new ASLLogger(registry));
}

ASLLogger::ASLLogger(LogRegistry& registry) : AbstractLogger("app.logging.aslLogger", registry) {
    static std::once_flag opened;
    // The process name as the sender, no options, the facility of user programs' console messages.
    std::call_once(opened, [] { openlog(nullptr, 0, LOG_USER); });
}

int ASLLogger::priorityForFlag(int32_t flag) {
    switch (flag) {
        case LOG_FLAG_ERROR:
            return LOG_ALERT;
        case LOG_FLAG_WARN:
            return LOG_CRIT;
        case LOG_FLAG_INFO:
            return LOG_ERR;
        case LOG_FLAG_DEBUG:
            return LOG_WARNING;
        default:
            return LOG_NOTICE;
    }
}

void ASLLogger::logMessage(const LogMessage& message) {
    LogText text = textOf(message);
    if (!text) return;
    platform::foundation::writeSyslog(priorityForFlag(message.logFlag()), *text);
}

}  // namespace quill
