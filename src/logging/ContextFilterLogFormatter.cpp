#include "logging/ContextFilterLogFormatter.h"

namespace quill {

void LoggingContextSet::addToSet(int32_t context) {
    std::lock_guard lock(lock_);
    set_.insert(context);
}

void LoggingContextSet::removeFromSet(int32_t context) {
    std::lock_guard lock(lock_);
    set_.erase(context);
}

std::vector<int32_t> LoggingContextSet::currentSet() const {
    std::lock_guard lock(lock_);
    return {set_.begin(), set_.end()};
}

bool LoggingContextSet::isInSet(int32_t context) const {
    std::lock_guard lock(lock_);
    return set_.count(context) > 0;
}

}  // namespace quill
