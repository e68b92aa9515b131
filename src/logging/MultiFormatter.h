#pragma once
// A chain of formatters: each gets the message with the line so far as its text, and its result becomes
// the line; a null result ends the chain with null (the logger skips the message).
//
// Threads: any. Chains run concurrently, each over the list as it stood when it began; changes of the
// list take effect for chains that begin after them.

#include <memory>
#include <mutex>
#include <vector>

#include "logging/Log.h"

namespace quill {

class MultiFormatter : public LogFormatter {
  public:
    using Formatters = std::vector<std::shared_ptr<LogFormatter>>;

    LogText formatLogMessage(const LogMessage& message) override;
    // A copy of the message with its text replaced by line.
    static LogMessage logMessageForLine(LogText line, const LogMessage& originalMessage);

    Formatters formatters() const;
    void addFormatter(std::shared_ptr<LogFormatter> formatter);
    void removeFormatter(const std::shared_ptr<LogFormatter>& formatter);
    void removeAllFormatters();
    bool isFormattingWithFormatter(const std::shared_ptr<LogFormatter>& formatter) const;

  private:
    std::shared_ptr<const Formatters> snapshot() const;

    mutable std::mutex mutex_;
    // Replaced, never changed in place, so that a running chain keeps the list it began with.
    std::shared_ptr<const Formatters> formatters_ = std::make_shared<const Formatters>();
};

}  // namespace quill
