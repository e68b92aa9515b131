#include "logging/MultiFormatter.h"

#include <algorithm>

namespace quill {

LogText MultiFormatter::formatLogMessage(const LogMessage& message) {
    LogText line = message.logMsg();
    for (const auto& formatter : *snapshot()) {
        line = formatter->formatLogMessage(logMessageForLine(line, message));
        if (!line) return nullptr;
    }
    return line;
}

LogMessage MultiFormatter::logMessageForLine(LogText line, const LogMessage& originalMessage) {
    return LogMessage(originalMessage, std::move(line));
}

std::shared_ptr<const MultiFormatter::Formatters> MultiFormatter::snapshot() const {
    std::lock_guard lock(mutex_);
    return formatters_;
}

MultiFormatter::Formatters MultiFormatter::formatters() const {
    return *snapshot();
}

void MultiFormatter::addFormatter(std::shared_ptr<LogFormatter> formatter) {
    std::lock_guard lock(mutex_);
    auto next = std::make_shared<Formatters>(*formatters_);
    next->push_back(std::move(formatter));
    formatters_ = std::move(next);
}

void MultiFormatter::removeFormatter(const std::shared_ptr<LogFormatter>& formatter) {
    std::lock_guard lock(mutex_);
    auto next = std::make_shared<Formatters>(*formatters_);
    next->erase(std::remove(next->begin(), next->end(), formatter), next->end());
    formatters_ = std::move(next);
}

void MultiFormatter::removeAllFormatters() {
    std::lock_guard lock(mutex_);
    formatters_ = std::make_shared<const Formatters>();
}

bool MultiFormatter::isFormattingWithFormatter(const std::shared_ptr<LogFormatter>& formatter) const {
    auto list = snapshot();
    return std::find(list->begin(), list->end(), formatter) != list->end();
}

}  // namespace quill
