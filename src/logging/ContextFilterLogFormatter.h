#pragma once
// Filters by context: LoggingContextSet is a set of context numbers; the whitelist filter passes a
// message's text on (the very same text object) when its context is in the set and skips it otherwise,
// the blacklist filter the other way round.
//
// Threads: any; every access to a set holds its lock.

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "logging/Log.h"

namespace quill {

class LoggingContextSet {
  public:
    void addToSet(int32_t context);
    void removeFromSet(int32_t context);
    std::vector<int32_t> currentSet() const;
    bool isInSet(int32_t context) const;

  private:
    mutable std::mutex lock_;
    std::set<int32_t> set_;
};

class ContextWhitelistFilterLogFormatter : public LogFormatter {
  public:
    void addToWhitelist(int32_t context) { contextSet_.addToSet(context); }
    void removeFromWhitelist(int32_t context) { contextSet_.removeFromSet(context); }
    std::vector<int32_t> whitelist() const { return contextSet_.currentSet(); }
    bool isOnWhitelist(int32_t context) const { return contextSet_.isInSet(context); }
    LogText formatLogMessage(const LogMessage& message) override {
        return isOnWhitelist(message.logContext()) ? message.logMsg() : nullptr;
    }

  private:
    LoggingContextSet contextSet_;
};

class ContextBlacklistFilterLogFormatter : public LogFormatter {
  public:
    void addToBlacklist(int32_t context) { contextSet_.addToSet(context); }
    void removeFromBlacklist(int32_t context) { contextSet_.removeFromSet(context); }
    std::vector<int32_t> blacklist() const { return contextSet_.currentSet(); }
    bool isOnBlacklist(int32_t context) const { return contextSet_.isInSet(context); }
    LogText formatLogMessage(const LogMessage& message) override {
        return isOnBlacklist(message.logContext()) ? nullptr : message.logMsg();
    }

  private:
    LoggingContextSet contextSet_;
};

}  // namespace quill
