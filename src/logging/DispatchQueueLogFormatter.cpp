#include "logging/DispatchQueueLogFormatter.h"

#include <array>

namespace quill {

using platform::dispatch::Priority;
using platform::dispatch::Queue;

namespace {

// Code points in UTF-8 text: every byte that does not continue a sequence starts one.
size_t codePoints(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

// The first count code points of s.
std::string firstCodePoints(const std::string& s, size_t count) {
    size_t seen = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && seen++ == count) return s.substr(0, i);
    }
    return s;
}

// Work of a global queue runs on whichever pool thread is free: its label says nothing of the caller.
bool isGlobalQueueLabel(const std::string& label) {
    static const std::array<std::string, 4> labels = {
        Queue::global(Priority::High)->label(), Queue::global(Priority::Default)->label(),
        Queue::global(Priority::Low)->label(), Queue::global(Priority::Background)->label()};
    for (const auto& l : labels) {
        if (l == label) return true;
    }
    return false;
}

}  // namespace

DispatchQueueLogFormatter::DispatchQueueLogFormatter()
    : dateFormatter_("yyyy-MM-dd HH:mm:ss:SSS"), replacements_{{Queue::main()->label(), "main"}} {}

LogText DispatchQueueLogFormatter::formatLogMessage(const LogMessage& message) {
    std::string line;
    line.reserve(message.logMsg()->size() + 48);
    dateFormatter_.appendTo(line, message.timestamp());
    line += " [";
    line += queueThreadLabelForLogMessage(message);
    line += "] ";
    line += *message.logMsg();
    return makeLogText(std::move(line));
}

std::string DispatchQueueLogFormatter::stringFromDate(std::chrono::system_clock::time_point date) const {
    return dateFormatter_.format(date);
}

std::string DispatchQueueLogFormatter::queueThreadLabelForLogMessage(const LogMessage& message) const {
    std::string label;
    const std::string& queue = message.queueLabel();
    if (!queue.empty() && !isGlobalQueueLabel(queue)) {
        label = queue;
    } else if (!message.threadName().empty()) {
        label = message.threadName();
    }
    if (!label.empty()) {
        std::lock_guard lock(lock_);
        auto it = replacements_.find(label);
        if (it != replacements_.end()) label = it->second;
    } else {
        label = message.threadID();
    }
    size_t maxLength = maxQueueLength_, minLength = minQueueLength_;
    size_t length = codePoints(label);
    if (maxLength > 0 && length > maxLength) {
        label = firstCodePoints(label, maxLength);
    } else if (length < minLength) {
        label.append(minLength - length, ' ');
    }
    return label;
}

std::string DispatchQueueLogFormatter::replacementStringForQueueLabel(const std::string& label) const {
    std::lock_guard lock(lock_);
    auto it = replacements_.find(label);
    return it == replacements_.end() ? std::string() : it->second;
}

void DispatchQueueLogFormatter::setReplacementString(std::optional<std::string> replacement,
                                                     const std::string& label) {
    std::lock_guard lock(lock_);
    if (replacement) {
        replacements_[label] = std::move(*replacement);
    } else {
        replacements_.erase(label);
    }
}

}  // namespace quill
