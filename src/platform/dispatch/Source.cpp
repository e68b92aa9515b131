// Timer and descriptor sources.
//
// Every source serialises its own deliveries: at most one delivery (event or cancel handler) is posted
// or running at a time, so a source on a concurrent queue never runs its handlers in parallel and the
// cancel handler always follows the last event handler. The reactor thread only records events and
// posts deliveries; handlers run on the source's queue.

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/dispatch/Internal.h"

namespace quill::platform::dispatch {

namespace {

using Handler = std::shared_ptr<const Work>;

// The state and delivery machinery shared by timers and descriptor sources.
class SourceCore : public std::enable_shared_from_this<SourceCore> {
  public:
    explicit SourceCore(QueuePtr queue) : queue_(std::move(queue)) {
        if (!queue_) detail::fail("dispatch: a source needs a queue");
    }
    virtual ~SourceCore() = default;

    void setEvent(Work handler) {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        event_ = handler ? std::make_shared<const Work>(std::move(handler)) : nullptr;
    }

    void setCancel(Work handler) {
        std::lock_guard lock(mutex_);
        if (cancelDone_) return;
        cancelHandler_ = std::move(handler);
    }

    void resumeCore() {
        {
            std::lock_guard lock(mutex_);
            if (suspendCount_ == 0) detail::fail("dispatch: source resumed more often than suspended");
            if (--suspendCount_ == 0) activeChangedLocked();
        }
        stateChanged();
        post();
    }

    void suspendCore() {
        {
            std::lock_guard lock(mutex_);
            if (suspendCount_++ == 0) activeChangedLocked();
        }
        stateChanged();
    }

    void cancelCore() {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            activeChangedLocked();
        }
        stateChanged();
        post();
    }

    bool cancelledCore() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    size_t dataCore() const { return data_.load(std::memory_order_relaxed); }

  protected:
    bool activeLocked() const { return !cancelled_ && suspendCount_ == 0; }

    // Under the lock, after suspension or cancellation changed whether the source is active.
    virtual void activeChangedLocked() {}
    // Without the lock, after any change of state and after every delivery.
    virtual void stateChanged() {}
    // On the queue, before the event handler: the value data() reports, or nothing when the event
    // turned out to be stale and the handler must not run.
    virtual std::optional<size_t> eventData(size_t pending) = 0;

    // Records events (count added, or set to at least 1 for readiness) and posts a delivery.
    void signalLocked(size_t count) { pending_ += count; }

    // Posts a delivery when one is due and none is outstanding.
    void post() {
        {
            std::lock_guard lock(mutex_);
            if (inFlight_ || suspendCount_ > 0) return;
            bool due = cancelled_ ? !cancelDone_ : pending_ > 0;
            if (!due) return;
            inFlight_ = true;
        }
        auto self = weak_from_this().lock();
        if (!self) {  // being destroyed: nothing will run any more
            std::lock_guard lock(mutex_);
            inFlight_ = false;
            return;
        }
        queue_->async([self = std::move(self)] { self->deliver(); });
    }

    bool cancelledLocked() const { return cancelled_; }
    bool inFlightLocked() const { return inFlight_; }

    const QueuePtr queue_;
    mutable std::mutex mutex_;

  private:
    void deliver() {
        std::unique_lock lock(mutex_);
        if (cancelled_) {
            if (suspendCount_ == 0 && !cancelDone_) {
                cancelDone_ = true;
                Work cancelHandler = std::move(cancelHandler_);
                cancelHandler_ = nullptr;
                Handler event = std::move(event_);  // handlers are released once cancelled
                lock.unlock();
                event = nullptr;
                if (cancelHandler) cancelHandler();
                cancelHandler = nullptr;
                lock.lock();
            }
            inFlight_ = false;
            return;
        }
        if (suspendCount_ > 0 || pending_ == 0) {
            inFlight_ = false;
            lock.unlock();
            stateChanged();
            return;
        }
        size_t pending = pending_;
        pending_ = 0;
        Handler event = event_;
        lock.unlock();
        if (std::optional<size_t> data = eventData(pending)) {
            data_.store(*data, std::memory_order_relaxed);
            // A cancel() made on this queue since the event was recorded must win.
            bool cancelled = cancelledCore();
            if (event && !cancelled) (*event)();
        }
        event = nullptr;
        lock.lock();
        inFlight_ = false;
        lock.unlock();
        stateChanged();
        post();
    }

    Handler event_;
    Work cancelHandler_;
    int suspendCount_ = 1;  // sources start suspended
    bool cancelled_ = false;
    bool cancelDone_ = false;
    bool inFlight_ = false;
    size_t pending_ = 0;
    std::atomic<size_t> data_{0};
};

// Implements the public source interface over the shared core.
template <class Interface>
class SourceBase : public Interface, public SourceCore {
  public:
    using SourceCore::SourceCore;
    void setEventHandler(Work handler) override { setEvent(std::move(handler)); }
    void setCancelHandler(Work handler) override { setCancel(std::move(handler)); }
    void resume() override { resumeCore(); }
    void suspend() override { suspendCore(); }
    void cancel() override { cancelCore(); }
    bool isCancelled() const override { return cancelledCore(); }
    size_t data() const override { return dataCore(); }
};

// ---- timers ----

class TimerImpl final : public SourceBase<TimerSource> {
  public:
    explicit TimerImpl(const QueuePtr& queue) : SourceBase(queue), timer_(detail::reactor()) {}

    void setTimer(double startSeconds, double intervalSeconds, double /*leewaySeconds*/) override {
        std::lock_guard lock(mutex_);
        if (cancelledLocked()) return;
        next_ = Clock::now() + detail::toDuration(startSeconds);
        interval_ = Clock::duration::zero();
        if (intervalSeconds > 0) {
            interval_ =
                std::max<Clock::duration>(detail::toDuration(intervalSeconds), std::chrono::microseconds(1));
        }
        scheduled_ = true;
        armLocked();
    }

  private:
    using Clock = std::chrono::steady_clock;

    void activeChangedLocked() override {
        if (!activeLocked()) {
            ++generation_;
            timer_.cancel();
            if (cancelledLocked()) scheduled_ = false;
            return;
        }
        // Resumed: firings missed while suspended are delivered as one event, then the schedule goes on.
        catchUpLocked();
        armLocked();
    }

    std::optional<size_t> eventData(size_t pending) override { return pending; }

    // Counts the firings due by now, advances the schedule past them, and records them.
    void catchUpLocked() {
        if (!scheduled_) return;
        auto now = Clock::now();
        if (next_ > now) return;
        size_t count = 1;
        if (interval_ > Clock::duration::zero()) {
            auto missed = (now - next_) / interval_;
            count += static_cast<size_t>(missed);
            next_ += interval_ * (missed + 1);
        } else {
            scheduled_ = false;
        }
        signalLocked(count);
    }

    void armLocked() {
        ++generation_;
        if (!scheduled_ || !activeLocked()) {
            timer_.cancel();
            return;
        }
        timer_.expires_at(next_);
        std::weak_ptr<SourceCore> weak = weak_from_this();
        timer_.async_wait([weak, generation = generation_](const std::error_code& ec) {
            if (ec) return;
            if (auto self = weak.lock()) static_cast<TimerImpl*>(self.get())->fired(generation);
        });
    }

    void fired(uint64_t generation) {
        {
            std::lock_guard lock(mutex_);
            if (generation != generation_ || !activeLocked()) return;
            catchUpLocked();
            armLocked();
        }
        post();
    }

    asio::steady_timer timer_;
    bool scheduled_ = false;
    Clock::time_point next_;
    Clock::duration interval_{};
    uint64_t generation_ = 0;
};

// ---- descriptor sources ----

class FdImpl;

// The one registration of a descriptor with the reactor, shared by its read and its write source
// (epoll accepts a descriptor once per set). It is registered only while one of its sources wants
// events: a suspended source must not stay registered, because epoll reports hang-up and error
// conditions even for an empty event mask. Once every source of it has been cancelled it retires, so
// that a descriptor number reused after close gets a registration of its own.
class FdRegistration : public std::enable_shared_from_this<FdRegistration> {
  public:
    explicit FdRegistration(int fd) : fd_(fd), descriptor_(detail::reactor()) {}
    ~FdRegistration() {
        if (assigned_) {
            (void)descriptor_.release();  // the descriptor belongs to the caller; never close it
        }
    }

    static std::shared_ptr<FdRegistration> forDescriptor(int fd);

    void attach(FdEvent event, FdImpl* source) {
        std::lock_guard lock(mutex_);
        sources_[index(event)] = source;
    }
    void detach(FdEvent event, FdImpl* source);
    void refresh() {
        std::lock_guard lock(mutex_);
        updateLocked();
    }
    bool retired() {
        std::lock_guard lock(mutex_);
        return retired_;
    }

  private:
    static size_t index(FdEvent event) { return event == FdEvent::Read ? 0 : 1; }
    void updateLocked();
    void completed(size_t direction, uint64_t epoch, const std::error_code& ec);

    const int fd_;
    std::mutex mutex_;
    asio::posix::stream_descriptor descriptor_;
    bool assigned_ = false;
    bool retired_ = false;
    bool unwatchable_ = false;  // epoll refuses the descriptor (a regular file): it is always ready
    uint64_t epoch_ = 0;
    bool armed_[2] = {false, false};
    FdImpl* sources_[2] = {nullptr, nullptr};
};

class FdImpl final : public SourceBase<FdSource> {
  public:
    FdImpl(int fd, FdEvent event, const QueuePtr& queue)
        : SourceBase(queue), fd_(fd), kind_(event), registration_(FdRegistration::forDescriptor(fd)) {
        registration_->attach(kind_, this);
    }
    ~FdImpl() override { registration_->detach(kind_, this); }

    int fd() const override { return fd_; }

    // Under the registration's lock.
    bool wantsEvents() const {
        std::lock_guard lock(mutex_);
        return activeLocked() && !inFlightLocked();
    }
    void ready() {
        {
            std::lock_guard lock(mutex_);
            signalLocked(1);
        }
        post();
    }

  private:
    void stateChanged() override {
        if (cancelledCore()) {
            registration_->detach(kind_, this);
        } else {
            registration_->refresh();
        }
    }

    std::optional<size_t> eventData(size_t) override {
        pollfd p{fd_, static_cast<short>(kind_ == FdEvent::Read ? (POLLIN | POLLRDHUP) : POLLOUT), 0};
        if (kind_ == FdEvent::Write) {
            // Writable, or failed (the handler's write will say how): run the handler.
            if (::poll(&p, 1, 0) == 1) return size_t{1};
            return std::nullopt;
        }
        // Readiness first, then the count: bytes that arrive in between are counted, never mistaken
        // for the end of the stream. Not readable: a stale event.
        if (::poll(&p, 1, 0) != 1) return std::nullopt;
        int available = 0;
        // Listening sockets refuse FIONREAD; readable means a connection waits.
        if (::ioctl(fd_, FIONREAD, &available) != 0) return size_t{1};
        // Readable with nothing to count: end of stream, or an error the read will report.
        return static_cast<size_t>(std::max(available, 0));
    }

    const int fd_;
    const FdEvent kind_;
    const std::shared_ptr<FdRegistration> registration_;
};

std::shared_ptr<FdRegistration> FdRegistration::forDescriptor(int fd) {
    static std::mutex registryMutex;
    static auto* registry = new std::unordered_map<int, std::weak_ptr<FdRegistration>>;
    std::lock_guard lock(registryMutex);
    auto& slot = (*registry)[fd];
    auto existing = slot.lock();
    if (existing && !existing->retired()) return existing;
    auto fresh = std::make_shared<FdRegistration>(fd);
    slot = fresh;
    return fresh;
}

void FdRegistration::detach(FdEvent event, FdImpl* source) {
    std::lock_guard lock(mutex_);
    size_t i = index(event);
    if (sources_[i] == source) sources_[i] = nullptr;
    if (sources_[0] == nullptr && sources_[1] == nullptr) retired_ = true;
    updateLocked();
}

void FdRegistration::updateLocked() {
    bool want[2];
    for (size_t i = 0; i < 2; ++i)
        want[i] = sources_[i] != nullptr && sources_[i]->wantsEvents();
    if (!want[0] && !want[1]) {
        if (assigned_) {
            (void)descriptor_.release();  // deregisters and aborts the outstanding waits
            assigned_ = false;
            ++epoch_;
            armed_[0] = armed_[1] = false;
        }
        return;
    }
    if (unwatchable_) {
        for (size_t i = 0; i < 2; ++i) {
            if (want[i]) sources_[i]->ready();
        }
        return;
    }
    if (!assigned_) {
        std::error_code ec;
        descriptor_.assign(fd_, ec);
        if (ec) {
            unwatchable_ = true;
            updateLocked();
            return;
        }
        assigned_ = true;
    }
    for (size_t i = 0; i < 2; ++i) {
        if (!want[i] || armed_[i]) continue;
        armed_[i] = true;
        auto type =
            i == 0 ? asio::posix::descriptor_base::wait_read : asio::posix::descriptor_base::wait_write;
        std::weak_ptr<FdRegistration> weak = weak_from_this();
        descriptor_.async_wait(type, [weak, i, epoch = epoch_](const std::error_code& ec) {
            if (auto self = weak.lock()) self->completed(i, epoch, ec);
        });
    }
}

void FdRegistration::completed(size_t direction, uint64_t epoch, const std::error_code& ec) {
    std::lock_guard lock(mutex_);
    if (epoch != epoch_) return;
    armed_[direction] = false;
    if (ec != asio::error::operation_aborted) {
        FdImpl* source = sources_[direction];
        if (source != nullptr && source->wantsEvents()) source->ready();
    }
    updateLocked();
}

}  // namespace

std::shared_ptr<TimerSource> TimerSource::create(const QueuePtr& queue) {
    return std::make_shared<TimerImpl>(queue);
}

std::shared_ptr<FdSource> FdSource::create(int fd, FdEvent event, const QueuePtr& queue) {
    if (fd < 0) detail::fail("dispatch: FdSource::create() with a negative descriptor");
    return std::make_shared<FdImpl>(fd, event, queue);
}

}  // namespace quill::platform::dispatch
