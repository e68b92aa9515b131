// Timer and descriptor sources.
//
// Every source serialises its own deliveries: at most one delivery (event or cancel handler) is posted
// or running at a time, so a source on a concurrent queue never runs its handlers in parallel and the
// cancel handler always follows the last event handler. The reactor thread (timers) and the descriptor
// watcher thread only record events and post deliveries; handlers run on the source's queue.

#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/dispatch/Internal.h"
#include "platform/foundation/ThreadName.h"

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
        bool check = false;
        {
            std::lock_guard lock(mutex_);
            if (suspendCount_ == 0) detail::fail("dispatch: source resumed more often than suspended");
            if (--suspendCount_ == 0) {
                activeChangedLocked();
                check = pending_ == 0 && !cancelled_;
            }
        }
        // A condition that holds at resumption is delivered even if no event announced it while the
        // source was suspended (or before it existed).
        if (check && stillReady()) {
            std::lock_guard lock(mutex_);
            signalLocked(1);
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
    // Without the lock, after a handler ran or on resumption: whether the watched condition holds.
    virtual bool stillReady() { return false; }

    // Records events (count added, or set to at least 1 for readiness) and posts a delivery.
    void signalLocked(size_t count) { pending_ += count; }
    // Forgets events not yet delivered.
    void discardLocked() { pending_ = 0; }

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
        bool ran = false;
        if (std::optional<size_t> data = eventData(pending)) {
            data_.store(*data, std::memory_order_relaxed);
            // A cancel() made on this queue since the event was recorded must win.
            bool cancelled = cancelledCore();
            if (event && !cancelled) {
                (*event)();
                ran = true;
            }
        }
        event = nullptr;
        lock.lock();
        inFlight_ = false;
        const bool recheck = ran && pending_ == 0 && activeLocked();
        lock.unlock();
        // A condition the handler left standing is delivered again.
        if (recheck && stillReady()) {
            lock.lock();
            signalLocked(1);
            lock.unlock();
        }
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

// A timer touches its Asio wait only when the wait would fire too late: a deadline moved later, a
// cleared schedule, a suspension or a cancellation leave the outstanding wait alone, and when it
// fires early it is simply armed again for the current deadline. A timer re-armed for every packet
// of a busy connection therefore costs no system call and no wake-up of the reactor.
class TimerImpl final : public SourceBase<TimerSource> {
  public:
    explicit TimerImpl(const QueuePtr& queue) : SourceBase(queue), timer_(detail::reactor()) {}

    void setTimer(double startSeconds, double intervalSeconds, double /*leewaySeconds*/) override {
        std::lock_guard lock(mutex_);
        if (cancelledLocked()) return;
        next_ = Clock::now() + foundation::durationFromSeconds(startSeconds);
        interval_ = Clock::duration::zero();
        if (intervalSeconds > 0) {
            interval_ = std::max<Clock::duration>(foundation::durationFromSeconds(intervalSeconds),
                                                  std::chrono::microseconds(1));
        }
        scheduled_ = true;
        armLocked();
    }

    void clearTimer() override {
        std::lock_guard lock(mutex_);
        scheduled_ = false;
        discardLocked();
    }

  private:
    using Clock = std::chrono::steady_clock;

    void activeChangedLocked() override {
        if (cancelledLocked()) scheduled_ = false;
        if (!activeLocked()) return;  // an outstanding wait that fires meanwhile finds nothing to do
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
        if (!scheduled_ || !activeLocked()) return;
        if (waiting_ && waitingUntil_ <= next_) return;  // fires in time and is armed again then
        // Replaces a wait that would fire too late (its handler sees the abort, or a stale generation).
        ++generation_;
        waiting_ = true;
        waitingUntil_ = next_;
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
            if (generation != generation_) return;
            waiting_ = false;
            if (!activeLocked()) return;  // resumption arms it again
            catchUpLocked();
            armLocked();
        }
        post();
    }

    asio::steady_timer timer_;
    bool scheduled_ = false;
    Clock::time_point next_;
    Clock::duration interval_{};
    bool waiting_ = false;  // an Asio wait is outstanding, until waitingUntil_
    Clock::time_point waitingUntil_;
    uint64_t generation_ = 0;
};

// ---- descriptor sources ----
//
// Descriptors are watched by a thread of their own that waits on an edge-triggered epoll set. Each
// descriptor is registered once, for reading and writing, when its first source is made, and stays
// registered until its last source is gone: suspending, resuming and delivering touch no kernel state.
// An edge only records that the condition may hold; every delivery checks the descriptor with poll()
// first (a stale edge runs no handler) and checks it again after the handler, so a condition that
// still holds is delivered again, as level-triggered watching would. Hang-up and error are reported
// once per change of state, so a suspended source on a dead descriptor costs nothing.

class FdImpl;

// The one registration of a descriptor, shared by its read and its write source (epoll accepts a
// descriptor once per set). Once every source of it is gone it retires, so that a descriptor number
// reused after close gets a registration of its own.
class FdRegistration : public std::enable_shared_from_this<FdRegistration> {
  public:
    explicit FdRegistration(int fd) : fd_(fd) {}
    ~FdRegistration() { retireLocked(); }

    static std::shared_ptr<FdRegistration> forDescriptor(int fd);

    void attach(FdEvent event, FdImpl* source) {
        std::lock_guard lock(mutex_);
        sources_[index(event)] = source;
    }
    void detach(FdEvent event, FdImpl* source) {
        std::lock_guard lock(mutex_);
        size_t i = index(event);
        if (sources_[i] == source) sources_[i] = nullptr;
        if (sources_[0] == nullptr && sources_[1] == nullptr) retireLocked();
    }
    bool retired() {
        std::lock_guard lock(mutex_);
        return retired_;
    }
    // From the watcher thread: the epoll events of an edge.
    void notify(uint32_t events);

  private:
    static size_t index(FdEvent event) { return event == FdEvent::Read ? 0 : 1; }
    void registerWithWatcher();
    void retireLocked();

    const int fd_;
    uint64_t id_ = 0;
    std::mutex mutex_;
    bool registered_ = false;
    bool retired_ = false;
    FdImpl* sources_[2] = {nullptr, nullptr};
};

// The thread that waits on the epoll set and hands edges to the registrations. Registrations are
// found through a number that is never reused, so an edge that races with a removal finds nothing.
class FdWatcher {
  public:
    static FdWatcher& instance() {
        static FdWatcher* watcher = new FdWatcher;  // never destroyed, like the pool
        return *watcher;
    }

    // Returns 0, or the errno of a descriptor that epoll refuses (a regular file: always ready).
    int add(int fd, const std::shared_ptr<FdRegistration>& registration, uint64_t* id) {
        {
            std::lock_guard lock(mutex_);
            *id = ++lastId_;
            registrations_[*id] = registration;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = *id;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0) return 0;
        int err = errno;
        std::lock_guard lock(mutex_);
        registrations_.erase(*id);
        return err;
    }

    void remove(int fd, uint64_t id) {
        // The descriptor may already be closed (then the kernel dropped it from the set).
        (void)::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        std::lock_guard lock(mutex_);
        registrations_.erase(id);
    }

  private:
    FdWatcher() {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) detail::fail("dispatch: epoll_create1() failed");
        std::thread([this] { run(); }).detach();
    }

    void run() {
        platform::foundation::setCurrentThreadName("quill-fdwatch");
        epoll_event events[64];
        for (;;) {
            int n = ::epoll_wait(epoll_, events, 64, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                detail::fail("dispatch: epoll_wait() failed");
            }
            for (int i = 0; i < n; ++i) {
                // epoll_event is packed on x86-64: its 64-bit field sits at offset 4, so it is copied
                // out rather than bound to the look-up's reference parameter.
                const uint64_t id = events[i].data.u64;
                std::shared_ptr<FdRegistration> registration;
                {
                    std::lock_guard lock(mutex_);
                    auto it = registrations_.find(id);
                    if (it != registrations_.end()) registration = it->second.lock();
                }
                if (registration) registration->notify(events[i].events);
            }
        }
    }

    int epoll_ = -1;
    std::mutex mutex_;
    uint64_t lastId_ = 0;
    std::unordered_map<uint64_t, std::weak_ptr<FdRegistration>> registrations_;
};

class FdImpl final : public SourceBase<FdSource> {
  public:
    FdImpl(int fd, FdEvent event, const QueuePtr& queue)
        : SourceBase(queue), fd_(fd), kind_(event), registration_(FdRegistration::forDescriptor(fd)) {
        registration_->attach(kind_, this);
    }
    ~FdImpl() override { registration_->detach(kind_, this); }

    int fd() const override { return fd_; }

    // From the watcher thread, under the registration's lock: the condition may hold.
    void ready() {
        {
            std::lock_guard lock(mutex_);
            signalLocked(1);
        }
        post();
    }

  private:
    void stateChanged() override {
        if (cancelledCore()) registration_->detach(kind_, this);
    }

    bool stillReady() override { return pollReady() != 0; }

    // The poll() result for this source's condition: 0 when it does not hold.
    short pollReady() const {
        pollfd p{fd_, static_cast<short>(kind_ == FdEvent::Read ? (POLLIN | POLLRDHUP) : POLLOUT), 0};
        if (::poll(&p, 1, 0) != 1) return 0;
        return p.revents;
    }

    std::optional<size_t> eventData(size_t) override {
        // Writable, or failed (the handler's write will say how): run the handler.
        if (kind_ == FdEvent::Write) return pollReady() != 0 ? std::optional<size_t>(1) : std::nullopt;
        // Readiness first, then the count: bytes that arrive in between are counted, never mistaken
        // for the end of the stream. Not readable: a stale event.
        if (pollReady() == 0) return std::nullopt;
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
    fresh->registerWithWatcher();
    slot = fresh;
    return fresh;
}

void FdRegistration::registerWithWatcher() {
    std::lock_guard lock(mutex_);
    // A descriptor epoll refuses (a regular file) is always ready; the readiness checks around every
    // delivery keep such a source firing while it is resumed.
    registered_ = FdWatcher::instance().add(fd_, shared_from_this(), &id_) == 0;
}

void FdRegistration::retireLocked() {
    if (retired_) return;
    retired_ = true;
    if (registered_) {
        FdWatcher::instance().remove(fd_, id_);
        registered_ = false;
    }
}

void FdRegistration::notify(uint32_t events) {
    std::lock_guard lock(mutex_);
    if (retired_) return;
    constexpr uint32_t kFailed = EPOLLHUP | EPOLLERR;
    if (sources_[0] != nullptr && (events & (EPOLLIN | EPOLLRDHUP | kFailed))) sources_[0]->ready();
    if (sources_[1] != nullptr && (events & (EPOLLOUT | kFailed))) sources_[1]->ready();
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
