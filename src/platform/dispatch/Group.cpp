// Groups and counting semaphores.

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/dispatch/Internal.h"

namespace quill::platform::dispatch {

namespace {

// Waits on condition until ready() holds; timeout in seconds, negative = forever. Tells the pool
// that its thread is blocked, so that the work we may be waiting for still finds a thread.
template <class Ready>
bool waitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& condition, double timeoutSeconds,
             Ready ready) {
    if (ready()) return true;
    if (timeoutSeconds == 0) return false;
    detail::BlockingScope blocking;
    if (timeoutSeconds < 0) {
        condition.wait(lock, ready);
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() + foundation::durationFromSeconds(timeoutSeconds);
    return condition.wait_until(lock, deadline, ready);
}

}  // namespace

struct Group::State {
    std::mutex mutex;
    std::condition_variable empty;
    long count = 0;
    std::vector<std::pair<QueuePtr, Work>> notifications;
};

Group::Group() : state_(std::make_shared<State>()) {}
Group::~Group() = default;

void Group::enter() {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void Group::leave() {
    auto state = state_;  // a waiter may destroy this group as soon as it sees it empty
    std::vector<std::pair<QueuePtr, Work>> notifications;
    {
        std::lock_guard lock(state->mutex);
        if (state->count <= 0) detail::fail("dispatch: Group::leave() without a matching enter()");
        if (--state->count > 0) return;
        notifications.swap(state->notifications);
        state->empty.notify_all();
    }
    for (auto& [queue, work] : notifications)
        queue->async(std::move(work));
}

void Group::async(const QueuePtr& queue, Work work) {
    enter();
    Group self = *this;  // shares the state, so the work may outlive this object
    queue->async([self, work = std::move(work)]() mutable {
        work();
        work = nullptr;
        self.leave();
    });
}

bool Group::wait(double timeoutSeconds) {
    std::unique_lock lock(state_->mutex);
    return waitFor(lock, state_->empty, timeoutSeconds, [this] { return state_->count == 0; });
}

void Group::notify(const QueuePtr& queue, Work work) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifications.emplace_back(queue, std::move(work));
            return;
        }
    }
    queue->async(std::move(work));
}

struct Semaphore::State {
    std::mutex mutex;
    std::condition_variable positive;
    long value = 0;
};

Semaphore::Semaphore(long value) : state_(std::make_unique<State>()) {
    state_->value = value;
}
Semaphore::~Semaphore() = default;

void Semaphore::signal() {
    // Notify under the lock: a waiter may destroy the semaphore as soon as it sees the count.
    std::lock_guard lock(state_->mutex);
    ++state_->value;
    state_->positive.notify_one();
}

bool Semaphore::wait(double timeoutSeconds) {
    std::unique_lock lock(state_->mutex);
    if (!waitFor(lock, state_->positive, timeoutSeconds, [this] { return state_->value > 0; })) return false;
    --state_->value;
    return true;
}

}  // namespace quill::platform::dispatch
