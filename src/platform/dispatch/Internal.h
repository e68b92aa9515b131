#pragma once
// Pieces shared by the dispatch implementation files: the worker pool, the per-thread record of which
// queue's work is running, the reactor that runs timers, and small helpers.

#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Clock.h"

namespace quill::platform::dispatch::detail {

// How long a pool thread that ran out of work watches for more before it sleeps. Work handed from queue
// to queue (a socket's queue posting to its delegate's and back) then starts without a wake-up. The
// watch adapts: one during which no work came halves the next (down to none), while one during which
// work came, or a sleep that work ended sooner than a whole watch would have, brings it back to the
// whole. Work that comes at a steady pace of its own (pictures, sound, timers) then costs no watching,
// and hand-offs in quick succession still start at once. The pool keeps it under its lock.
class SpinPolicy {
  public:
    static constexpr std::chrono::nanoseconds kWhole = std::chrono::microseconds(50);
    static constexpr std::chrono::nanoseconds kLeast = std::chrono::microseconds(1);

    // The next watch; zero to sleep at once.
    std::chrono::nanoseconds watch() const { return time_ < kLeast ? std::chrono::nanoseconds(0) : time_; }
    // A watch of this length ended; work came during it or not.
    void watched(std::chrono::nanoseconds watch, bool workCame) { time_ = workCame ? kWhole : watch / 2; }
    // A thread slept this long before work woke it.
    void slept(std::chrono::nanoseconds sleep) {
        if (sleep < kWhole) time_ = kWhole;
    }

  private:
    std::chrono::nanoseconds time_ = kWhole;
};

// Elastic pool of worker threads shared by every queue. Up to softLimit() threads run work at once;
// when work waits in the pool while every thread is blocked (in our own waits, which say so, or in
// anything else, which a watchdog notices), more threads are started, up to hardLimit(). Idle threads
// retire after a while.
class WorkerPool {
  public:
    static WorkerPool& instance();

    void submit(Priority priority, Work work);
    // Our own blocking waits call these around the wait when they run on a pool thread.
    void blockingBegin();
    void blockingEnd();

    static bool onWorkerThread();
    size_t threadCount();
    size_t softLimit() const;
    static constexpr size_t hardLimit() { return 64; }

  private:
    WorkerPool();
    struct State;
    State* state_;
};

// Marks the calling thread as blocked for the pool while it lives (no effect off the pool).
class BlockingScope {
  public:
    BlockingScope() : active_(WorkerPool::onWorkerThread()) {
        if (active_) WorkerPool::instance().blockingBegin();
    }
    ~BlockingScope() {
        if (active_) WorkerPool::instance().blockingEnd();
    }
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

  private:
    bool active_;
};

// Common base of our queue classes: shared ownership and the current-queue record.
class QueueBase : public Queue, public std::enable_shared_from_this<QueueBase> {
  public:
    // True when work of this queue is running on the calling thread (possibly below other queues'
    // sync work).
    bool isRunningHere() const;
    void after(double seconds, Work work) override;
    void setSpecific(const void* key, void* value) override;
    void* specific(const void* key) const override;

  private:
    mutable std::mutex specificsMutex_;
    std::vector<std::pair<const void*, void*>> specifics_;
};

// Records, for the calling thread, that work of a queue runs while it lives.
class RunningScope {
  public:
    explicit RunningScope(QueueBase* queue);
    ~RunningScope();
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

    QueueBase* queue;
    RunningScope* previous;
};
RunningScope* currentScope();

// The reactor: one thread running an Asio io_context that waits for timers (descriptors have a watcher
// thread of their own, in Source.cpp). It never runs user work; its handlers post onto the target queues.
asio::io_context& reactor();

// Prints a programming-error message and aborts.
[[noreturn]] void fail(const std::string& message);

}  // namespace quill::platform::dispatch::detail
