// The worker pool behind every queue, and the reactor thread.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/dispatch/Internal.h"
#include "platform/foundation/ThreadName.h"

namespace quill::platform::dispatch::detail {

namespace {

thread_local bool tlsWorker = false;

constexpr size_t kPriorities = 4;
// A queued task that no thread picks up for this long while every thread is busy means the busy
// threads are blocked somewhere we cannot see: start another one.
constexpr auto kStallTime = std::chrono::milliseconds(20);
constexpr auto kIdleRetire = std::chrono::seconds(10);
// At most this many threads watch at once; the others sleep at once, so that spinning stays cheap.
constexpr size_t kMaxSpinning = 2;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

struct WorkerPool::State {
    std::mutex mutex;
    std::condition_variable workers;
    std::condition_variable watchdog;
    std::deque<Work> pending[kPriorities];
    size_t pendingCount = 0;
    size_t threads = 0;
    size_t idle = 0;        // waiting and not yet claimed by a submit
    size_t signals = 0;     // claims not yet taken up by a waiting thread
    size_t spinning = 0;    // watching for work before sleeping
    size_t spinClaims = 0;  // submits left to spinning threads (at most one each)
    SpinPolicy spin;
    uint64_t submitted = 0;              // work submitted so far
    std::atomic<size_t> pendingSeen{0};  // pendingCount, readable without the lock
    size_t blocked = 0;                  // inside one of our own blocking waits
    uint64_t dequeued = 0;
    bool watchdogRunning = false;
    size_t softLimit = 4;

    void spawnLocked();
    void workerMain();
    // Without sleeping, waits a little for work; true (with the lock held) when some is pending.
    bool spinForWork(std::unique_lock<std::mutex>& lock);
    void watchdogMain();
    bool mayGrowLocked() const {
        // Threads that are neither idle nor blocked are running work; keep those near the core count.
        return threads < hardLimit() && threads - blocked < softLimit;
    }
};

WorkerPool::WorkerPool() : state_(new State) {
    state_->softLimit = std::clamp<size_t>(std::thread::hardware_concurrency(), 4, hardLimit());
}

WorkerPool& WorkerPool::instance() {
    // Never destroyed: work may still run while the process exits.
    static WorkerPool* pool = new WorkerPool;
    return *pool;
}

bool WorkerPool::onWorkerThread() {
    return tlsWorker;
}

size_t WorkerPool::softLimit() const {
    return state_->softLimit;
}

size_t WorkerPool::threadCount() {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

void WorkerPool::submit(Priority priority, Work work) {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    s.pending[static_cast<size_t>(priority)].push_back(std::move(work));
    ++s.pendingCount;
    ++s.submitted;
    s.pendingSeen.store(s.pendingCount, std::memory_order_release);
    if (s.spinning > s.spinClaims) {
        // A spinning thread takes it when it next looks, or when it stops spinning.
        ++s.spinClaims;
        return;
    }
    if (s.idle > 0) {
        --s.idle;
        ++s.signals;
        lock.unlock();
        s.workers.notify_one();
        return;
    }
    if (s.mayGrowLocked()) {
        s.spawnLocked();
        return;
    }
    // Every thread is busy: let the watchdog decide whether they are stuck.
    if (!s.watchdogRunning) {
        s.watchdogRunning = true;
        try {
            std::thread([&s] { s.watchdogMain(); }).detach();
        } catch (const std::system_error&) {
            s.watchdogRunning = false;
        }
    } else {
        s.watchdog.notify_one();
    }
}

void WorkerPool::blockingBegin() {
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    ++s.blocked;
    if (s.pendingCount > s.signals + s.spinClaims && s.idle == 0 && s.mayGrowLocked()) s.spawnLocked();
}

void WorkerPool::blockingEnd() {
    std::lock_guard lock(state_->mutex);
    --state_->blocked;
}

void WorkerPool::State::spawnLocked() {
    ++threads;
    try {
        std::thread([this] { workerMain(); }).detach();
    } catch (const std::system_error&) {
        --threads;
        if (threads == 0) fail("dispatch: cannot start a worker thread");
    }
}

void WorkerPool::State::workerMain() {
    tlsWorker = true;
    platform::foundation::setCurrentThreadName("quill-dispatch");
    std::unique_lock lock(mutex);
    for (;;) {
        if (pendingCount > 0) {
            Work work;
            for (auto& queue : pending) {
                if (!queue.empty()) {
                    work = std::move(queue.front());
                    queue.pop_front();
                    break;
                }
            }
            --pendingCount;
            pendingSeen.store(pendingCount, std::memory_order_release);
            ++dequeued;
            lock.unlock();
            work();
            work = nullptr;
            lock.lock();
            continue;
        }
        if (spinForWork(lock)) continue;
        ++idle;
        const auto sleptAt = std::chrono::steady_clock::now();
        bool claimed = workers.wait_for(lock, kIdleRetire, [this] { return signals > 0; });
        if (claimed) {
            --signals;  // the submit that claimed us already took us off the idle count
            spin.slept(std::chrono::steady_clock::now() - sleptAt);
            continue;
        }
        --idle;
        if (pendingCount == 0) {
            --threads;
            return;
        }
    }
}

bool WorkerPool::State::spinForWork(std::unique_lock<std::mutex>& lock) {
    const auto watch = spin.watch();
    if (spinning >= kMaxSpinning || watch.count() == 0) return false;
    const uint64_t submittedBefore = submitted;
    ++spinning;
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + watch;
    for (unsigned i = 1;; ++i) {
        if (pendingSeen.load(std::memory_order_acquire) > 0) break;
        if (i % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
        cpuRelax();
    }
    lock.lock();
    --spinning;
    // Claims beyond the threads still spinning were made on this one; the work they stand for is
    // pending, and this thread takes it now (or another thread already did).
    if (spinClaims > spinning) spinClaims = spinning;
    const bool found = pendingCount > 0;
    // Work that came meanwhile and went to another thread counts as found: watching paid off.
    spin.watched(watch, found || submitted != submittedBefore);
    return found;
}

void WorkerPool::State::watchdogMain() {
    platform::foundation::setCurrentThreadName("quill-watchdog");
    std::unique_lock lock(mutex);
    for (;;) {
        if (pendingCount == 0) {
            watchdog.wait(lock);
            continue;
        }
        uint64_t seen = dequeued;
        watchdog.wait_for(lock, kStallTime);
        if (pendingCount > 0 && dequeued == seen && idle == 0 && threads < hardLimit()) spawnLocked();
    }
}

// ---- reactor ----

namespace {

struct Reactor {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    std::thread thread;

    Reactor() {
        thread = std::thread([this] {
            platform::foundation::setCurrentThreadName("quill-reactor");
            for (;;) {
                try {
                    io.run();
                    return;
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "dispatch: reactor handler threw: %s\n", e.what());
                }
            }
        });
        thread.detach();
    }
};

}  // namespace

asio::io_context& reactor() {
    static Reactor* r = new Reactor;  // never destroyed, like the pool
    return r->io;
}

void fail(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace quill::platform::dispatch::detail
