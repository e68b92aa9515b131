#include "media/NoDataQueue.h"

#include <stdexcept>

namespace quill {

namespace {
int64_t checked(int64_t capacity) {
    if (capacity < 0) throw std::invalid_argument("NoDataQueue capacity must not be negative");
    return capacity;
}
}  // namespace

NoDataQueue::NoDataQueue(int64_t capacity)
    : m_capacity(checked(capacity)), sem_empty(capacity), sem_full(0) {}

bool NoDataQueue::put(double timeout) {
    return acquire(timeout) == WaitResult::Acquired;
}

WaitResult NoDataQueue::acquire(double timeout, const std::atomic<bool>* cancel) {
    const WaitResult result = pollSemaphore(sem_empty, timeout, stopped, cancel);
    if (result == WaitResult::Acquired) sem_full.signal();
    return result;
}

bool NoDataQueue::take(double timeout) {
    if (pollSemaphore(sem_full, timeout, stopped) == WaitResult::Acquired) sem_empty.signal();
    return true;
}

}  // namespace quill
