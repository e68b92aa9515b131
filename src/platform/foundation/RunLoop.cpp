#include "platform/foundation/RunLoop.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "platform/foundation/Clock.h"

namespace quill::platform::foundation {
namespace {

using Clock = std::chrono::steady_clock;

bool onMainThread() {
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

}  // namespace

RunLoopTimer::RunLoopTimer(Private, std::weak_ptr<void> loopState, double interval, bool repeats,
                           std::function<void(RunLoopTimer&)> action)
    : loopState_(std::move(loopState)), interval_(interval), repeats_(repeats), action_(std::move(action)) {}

void RunLoopTimer::invalidate() {
    if (!valid_.exchange(false)) return;
    // Wake the loop so that it lets go of the timer (and what its action holds).
    if (auto state = std::static_pointer_cast<RunLoop::State>(loopState_.lock())) {
        std::lock_guard lock(state->mutex);
        state->wake.notify_all();
    }
}

RunLoop::RunLoop() : state_(std::make_shared<State>()) {}

RunLoop::~RunLoop() = default;

RunLoop& RunLoop::mainRunLoop() {
    static RunLoop loop;
    return loop;
}

RunLoop& RunLoop::current() {
    if (onMainThread()) return mainRunLoop();
    thread_local RunLoop loop;
    return loop;
}

void RunLoop::run() {
    runLoop(std::nullopt);
}

bool RunLoop::runFor(double seconds) {
    return runLoop(Clock::now() + durationFromSeconds(seconds));
}

bool RunLoop::runUntil(Clock::time_point deadline) {
    return runLoop(deadline);
}

void RunLoop::stop() {
    std::lock_guard lock(state_->mutex);
    state_->stopRequested = true;
    state_->wake.notify_all();
}

void RunLoop::perform(std::function<void()> block) {
    std::lock_guard lock(state_->mutex);
    state_->performs.push_back(std::move(block));
    state_->wake.notify_all();
}

std::shared_ptr<RunLoopTimer> RunLoop::addTimer(double interval, bool repeats,
                                                std::function<void(RunLoopTimer&)> action) {
    interval = std::max(interval, 0.0001);
    auto timer = std::make_shared<RunLoopTimer>(RunLoopTimer::Private{}, std::weak_ptr<void>(state_),
                                                interval, repeats, std::move(action));
    std::lock_guard lock(state_->mutex);
    timer->fireAt_ = Clock::now() + durationFromSeconds(interval);
    state_->timers.push_back(timer);
    state_->wake.notify_all();
    return timer;
}

size_t RunLoop::timerCount() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<size_t>(std::count_if(state_->timers.begin(), state_->timers.end(),
                                             [](const auto& t) { return t->isValid(); }));
}

bool RunLoop::runLoop(std::optional<Clock::time_point> deadline) {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (s.stopRequested) {
            s.stopRequested = false;
            return true;
        }
        if (!s.performs.empty()) {
            std::deque<std::function<void()>> batch;
            batch.swap(s.performs);
            lock.unlock();
            for (auto& block : batch)
                block();
            batch.clear();  // what the blocks held is released outside the lock
            lock.lock();
            continue;
        }

        // Drop invalidated timers, collect the due ones and find the next firing.
        const auto now = Clock::now();
        std::vector<std::shared_ptr<RunLoopTimer>> due;
        std::vector<std::shared_ptr<RunLoopTimer>> released;
        std::optional<Clock::time_point> next;
        for (auto it = s.timers.begin(); it != s.timers.end();) {
            auto& t = *it;
            if (!t->isValid()) {
                released.push_back(std::move(t));
                it = s.timers.erase(it);
                continue;
            }
            if (t->fireAt_ <= now) {
                due.push_back(t);
                if (t->repeats_) {
                    const auto step = durationFromSeconds(t->interval_);
                    t->fireAt_ += step;
                    if (t->fireAt_ <= now) {  // fell behind: skip to the next firing after now
                        auto missed = (now - t->fireAt_) / step + 1;
                        t->fireAt_ += step * missed;
                    }
                } else {
                    it = s.timers.erase(it);  // fires this once, below
                    continue;
                }
            }
            if (!next || t->fireAt_ < *next) next = t->fireAt_;
            ++it;
        }
        if (!due.empty() || !released.empty()) {
            lock.unlock();
            for (auto& t : due) {
                // A one-shot timer is spent as it fires; an invalidation that came first wins.
                bool fire = t->repeats_ ? t->isValid() : t->valid_.exchange(false);
                if (fire) t->action_(*t);
                if (!t->repeats_) t->action_ = nullptr;
            }
            // A spent timer lets go of its action (and what it captured) here, on the loop's thread, the
            // only one that touches it; so a timer whose action holds its owner makes no cycle.
            for (auto& t : released)
                t->action_ = nullptr;
            due.clear();
            released.clear();
            lock.lock();
            if (!s.performs.empty() || s.stopRequested) continue;
            if (deadline && Clock::now() >= *deadline) return false;
            continue;
        }

        if (deadline && now >= *deadline) return false;
        std::optional<Clock::time_point> wakeAt = deadline;
        if (next && (!wakeAt || *next < *wakeAt)) wakeAt = next;
        if (wakeAt) {
            s.wake.wait_until(lock, *wakeAt);
        } else {
            s.wake.wait(lock);
        }
    }
}

}  // namespace quill::platform::foundation
