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
    if (pollSemaphore(sem_empty, timeout, stopped) != WaitResult::Acquired) return false;
    sem_full.signal();
    return true;
}

bool NoDataQueue::take(double timeout) {
    if (pollSemaphore(sem_full, timeout, stopped) == WaitResult::Acquired) sem_empty.signal();
    return true;
}

}  // namespace quill
