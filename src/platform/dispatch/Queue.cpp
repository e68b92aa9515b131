// Serial, global and main queues.

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/dispatch/Internal.h"

namespace quill::platform::dispatch {

using detail::BlockingScope;
using detail::QueueBase;
using detail::RunningScope;
using detail::WorkerPool;

namespace detail {

namespace {
thread_local RunningScope* tlsTop = nullptr;
}

RunningScope::RunningScope(QueueBase* q) : queue(q), previous(tlsTop) {
    tlsTop = this;
}
RunningScope::~RunningScope() {
    tlsTop = previous;
}
RunningScope* currentScope() {
    return tlsTop;
}

bool QueueBase::isRunningHere() const {
    for (RunningScope* s = tlsTop; s != nullptr; s = s->previous) {
        if (s->queue == this) return true;
    }
    return false;
}

void QueueBase::after(double seconds, Work work) {
    if (!(seconds > 0)) {
        async(std::move(work));
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(reactor(), foundation::durationFromSeconds(seconds));
    auto self = shared_from_this();
    timer->async_wait([timer, self, work = std::move(work)](const std::error_code& ec) mutable {
        if (!ec) self->async(std::move(work));
    });
}

void QueueBase::setSpecific(const void* key, void* value) {
    std::lock_guard lock(specificsMutex_);
    for (auto it = specifics_.begin(); it != specifics_.end(); ++it) {
        if (it->first == key) {
            if (value == nullptr) {
                specifics_.erase(it);
            } else {
                it->second = value;
            }
            return;
        }
    }
    if (value != nullptr) specifics_.emplace_back(key, value);
}

void* QueueBase::specific(const void* key) const {
    std::lock_guard lock(specificsMutex_);
    for (const auto& [k, v] : specifics_) {
        if (k == key) return v;
    }
    return nullptr;
}

}  // namespace detail

namespace {

// Work runs one item at a time in submission order. At most one party owns the queue at a time: a
// drain task on a pool thread, or a caller of sync() running its work on its own thread. A sync()
// that finds the queue busy waits in line and is handed ownership when its turn comes.
class SerialQueue final : public QueueBase {
  public:
    SerialQueue(std::string label, Priority priority) : label_(std::move(label)), priority_(priority) {}

    const std::string& label() const override { return label_; }
    bool isSerial() const override { return true; }

    void async(Work work) override {
        const bool followUp = isRunningHere();
        {
            std::lock_guard lock(mutex_);
            items_.push_back({std::move(work), nullptr, followUp});
            if (owned_) return;
            owned_ = true;
        }
        scheduleDrain();
    }

    void asyncOrRunHere(Work work) override {
        if (isRunningHere()) {
            async(std::move(work));
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (owned_) {  // queued items always have an owner to run them
                items_.push_back({std::move(work), nullptr, false});
                return;
            }
            owned_ = true;
        }
        RunningScope running(this);
        work();
        work = nullptr;
        // Still the owner. Work that this work queued onto the queue follows here, a batch at most; the
        // first item queued from elsewhere, and everything after it, goes to the pool as usual, so that
        // the caller never runs foreign work (which might want a lock the caller holds).
        std::unique_lock lock(mutex_);
        for (int n = 0; n < kBatch && !items_.empty() && items_.front().followUp; ++n) {
            Item item = std::move(items_.front());
            items_.pop_front();
            lock.unlock();
            item.work();
            item.work = nullptr;
            lock.lock();
        }
        if (items_.empty()) {
            owned_ = false;
            return;
        }
        lock.unlock();
        scheduleDrain();
    }

    void sync(const Work& work) override {
        if (isRunningHere()) {
            detail::fail("dispatch: sync() onto serial queue \"" + label_ +
                         "\" from its own work would deadlock");
        }
        {
            std::unique_lock lock(mutex_);
            if (!owned_ && items_.empty()) {
                owned_ = true;
            } else {
                Waiter waiter;
                items_.push_back({nullptr, &waiter, false});
                BlockingScope blocking;
                waiter.turn.wait(lock, [&] { return waiter.granted; });
            }
        }
        struct Release {
            SerialQueue* queue;
            ~Release() { queue->releaseOwnership(); }
        } release{this};
        RunningScope running(this);
        work();
    }

  private:
    struct Waiter {
        std::condition_variable turn;
        bool granted = false;
    };
    struct Item {
        Work work;
        Waiter* waiter;  // a sync() caller waiting for its turn, instead of work
        bool followUp;   // queued by work of this queue
    };
    // Items run per drain task before it makes way for other queues' work.
    static constexpr int kBatch = 64;

    void scheduleDrain() {
        auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
        WorkerPool::instance().submit(priority_, [self = std::move(self)] { self->drain(); });
    }

    void releaseOwnership() {
        {
            std::lock_guard lock(mutex_);
            if (items_.empty()) {
                owned_ = false;
                return;
            }
        }
        scheduleDrain();
    }

    void drain() {
        RunningScope running(this);
        std::unique_lock lock(mutex_);
        for (int n = 0;; ++n) {
            if (items_.empty()) {
                owned_ = false;
                return;
            }
            if (n == kBatch) {
                lock.unlock();
                scheduleDrain();
                return;
            }
            Item item = std::move(items_.front());
            items_.pop_front();
            if (item.waiter != nullptr) {
                // Hand the queue to the waiting caller; notify under the lock because the waiter
                // lives on that caller's stack.
                item.waiter->granted = true;
                item.waiter->turn.notify_one();
                return;
            }
            lock.unlock();
            item.work();
            item.work = nullptr;
            lock.lock();
        }
    }

    const std::string label_;
    const Priority priority_;
    std::mutex mutex_;
    std::deque<Item> items_;
    bool owned_ = false;
};

// Concurrent: every item goes to the pool on its own; sync() runs the work at once on the caller.
class GlobalQueue final : public QueueBase {
  public:
    GlobalQueue(std::string label, Priority priority) : label_(std::move(label)), priority_(priority) {}

    const std::string& label() const override { return label_; }
    bool isSerial() const override { return false; }

    void async(Work work) override {
        WorkerPool::instance().submit(priority_, [this, work = std::move(work)] {
            RunningScope running(this);
            work();
        });
    }

    void sync(const Work& work) override {
        RunningScope running(this);
        work();
    }

  private:
    const std::string label_;
    const Priority priority_;
};

pid_t threadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// Drained by the main loop. Its work always runs on the main thread, also for sync() from elsewhere.
class MainQueue final : public QueueBase {
  public:
    const std::string& label() const override { return label_; }
    bool isSerial() const override { return true; }

    void async(Work work) override {
        std::function<void()> wakeup;
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(work));
            wakeup = wakeup_;
        }
        ready_.notify_one();
        if (wakeup) wakeup();
    }

    void sync(const Work& work) override {
        if (isRunningHere()) {
            detail::fail("dispatch: sync() onto the main queue from its own work would deadlock");
        }
        if (isMain()) {
            // The main thread outside main-queue work: run what is ahead of us first, then the work.
            drain();
            RunningScope running(this);
            work();
            return;
        }
        std::mutex doneMutex;
        std::condition_variable doneCondition;
        bool done = false;
        async([&] {
            work();
            std::lock_guard lock(doneMutex);
            done = true;
            doneCondition.notify_one();
        });
        BlockingScope blocking;
        std::unique_lock lock(doneMutex);
        doneCondition.wait(lock, [&] { return done; });
    }

    bool isMain() {
        if (claimed_.load(std::memory_order_acquire)) return std::this_thread::get_id() == mainId_;
        return threadId() == getpid();
    }

    void claim(const char* what) {
        std::call_once(claimOnce_, [this] {
            mainId_ = std::this_thread::get_id();
            claimed_.store(true, std::memory_order_release);
        });
        if (std::this_thread::get_id() != mainId_) {
            detail::fail(std::string("dispatch: ") + what + " called off the main thread");
        }
    }

    size_t drain() {
        size_t ready;
        {
            std::lock_guard lock(mutex_);
            ready = items_.size();
        }
        size_t ran = 0;
        RunningScope running(this);
        while (ran < ready) {
            Work work;
            {
                std::lock_guard lock(mutex_);
                if (items_.empty()) break;
                work = std::move(items_.front());
                items_.pop_front();
            }
            work();
            ++ran;
        }
        return ran;
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (stop_) {
                stop_ = false;
                return;
            }
            if (items_.empty()) {
                ready_.wait(lock);
                continue;
            }
            Work work = std::move(items_.front());
            items_.pop_front();
            lock.unlock();
            {
                RunningScope running(this);
                work();
            }
            work = nullptr;
            lock.lock();
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        ready_.notify_all();
    }

    void setWakeup(std::function<void()> wakeup) {
        bool pending;
        {
            std::lock_guard lock(mutex_);
            wakeup_ = wakeup;
            pending = !items_.empty();
        }
        if (wakeup && pending) wakeup();
    }

  private:
    const std::string label_ = "main";
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Work> items_;
    bool stop_ = false;
    std::function<void()> wakeup_;
    std::once_flag claimOnce_;
    std::atomic<bool> claimed_{false};
    std::thread::id mainId_;
};

MainQueue& mainQueue() {
    static auto* queue = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return **queue;
}

}  // namespace

QueuePtr Queue::serial(const std::string& label) {
    return std::make_shared<SerialQueue>(label, Priority::Default);
}

QueuePtr Queue::global(Priority priority) {
    static auto* queues = new QueuePtr[4]{
        std::make_shared<GlobalQueue>("global.high", Priority::High),
        std::make_shared<GlobalQueue>("global.default", Priority::Default),
        std::make_shared<GlobalQueue>("global.low", Priority::Low),
        std::make_shared<GlobalQueue>("global.background", Priority::Background),
    };
    return queues[static_cast<size_t>(priority)];
}

QueuePtr Queue::main() {
    return mainQueue().shared_from_this();
}

QueuePtr Queue::current() {
    RunningScope* top = detail::currentScope();
    return top != nullptr ? top->queue->shared_from_this() : nullptr;
}

void* Queue::getSpecific(const void* key) {
    RunningScope* top = detail::currentScope();
    return top != nullptr ? top->queue->specific(key) : nullptr;
}

void runMain() {
    mainQueue().claim("runMain()");
    mainQueue().run();
}

void stopMain() {
    mainQueue().stop();
}

size_t drainMain() {
    mainQueue().claim("drainMain()");
    return mainQueue().drain();
}

void setMainWakeup(std::function<void()> wakeup) {
    mainQueue().setWakeup(std::move(wakeup));
}

bool isMainThread() {
    return mainQueue().isMain();
}

}  // namespace quill::platform::dispatch
