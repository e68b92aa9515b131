#pragma once
// Dispatch queues, groups, semaphores and event sources: the work-scheduling service every subsystem is
// written against. Serial queues run their work one item at a time in submission order; global queues
// run work concurrently on an elastic thread pool that grows rather than starving when work blocks; the
// main queue is drained by whichever loop owns the main thread (runMain() or a UI event loop).
//
// Sources (timers and file-descriptor readiness) are created suspended, so that no event can arrive
// before their handlers are set: set the handlers, then call resume() once to start them.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace quill::platform::dispatch {

using Work = std::function<void()>;

enum class Priority { High, Default, Low, Background };

class Queue {
  public:
    virtual ~Queue() = default;

    // A new serial queue with the given label.
    static std::shared_ptr<Queue> serial(const std::string& label);
    // The process-wide concurrent queue of a priority.
    static std::shared_ptr<Queue> global(Priority priority = Priority::Default);
    // The queue drained by the main loop.
    static std::shared_ptr<Queue> main();
    // The queue whose work is running on the calling thread, or null outside any queue's work.
    static std::shared_ptr<Queue> current();

    virtual const std::string& label() const = 0;
    virtual bool isSerial() const = 0;

    // Runs work later, in submission order on a serial queue.
    virtual void async(Work work) = 0;
    // Runs work on the calling thread once the queue reaches it, and returns after it ran; no pool
    // thread is held meanwhile. On a global queue it runs at once. On the main queue it runs on the main
    // thread (the caller waits). A sync onto a serial queue whose work is running on the calling thread
    // (also further down a chain of nested syncs) is a programming error and aborts with a message.
    virtual void sync(const Work& work) = 0;
    // Like async(), but when the queue is serial and idle (nothing owns it, nothing waits in it) and the
    // caller is not inside the queue's own work, the work runs at once on the calling thread, as the
    // queue's work, before this returns. Work that it queues onto the same queue follows there, a batch
    // at most; work queued from elsewhere meanwhile runs on the pool as usual. It saves a hand-off to
    // another thread for callers that do not rely on the work running only after they return.
    virtual void asyncOrRunHere(Work work) { async(std::move(work)); }
    // Runs work on the queue after the given number of seconds (<= 0: as soon as possible).
    virtual void after(double seconds, Work work) = 0;

    // sync() that returns the work's result.
    template <class F>
    auto syncResult(F&& f) -> decltype(f()) {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            sync(std::forward<F>(f));
        } else {
            std::optional<R> out;
            sync([&] { out.emplace(f()); });
            return std::move(*out);
        }
    }

    // Queue-specific values: a key is any address; the value is opaque to the queue.
    virtual void setSpecific(const void* key, void* value) = 0;
    virtual void* specific(const void* key) const = 0;
    // The value for key on the queue whose work is running on the calling thread (also inside sync
    // work; inside nested sync work, the innermost queue's), or null.
    static void* getSpecific(const void* key);
};

using QueuePtr = std::shared_ptr<Queue>;

// Main-loop support. runMain() drains the main queue on the calling thread until stopMain() is called
// (a stopMain() made while no runMain() runs makes the next one return at once); programs and tests
// without a UI use it. A UI event loop instead installs a wake-up hook (called from any
// thread when main-queue work is submitted) and calls drainMain() on its own thread in response.
void runMain();
void stopMain();
// Runs every main-queue item that is ready now; returns how many ran.
size_t drainMain();
void setMainWakeup(std::function<void()> wakeup);
// True on the main thread: the first thread that called runMain() or drainMain(), or, before either
// was called, the process's initial thread. Calling runMain() or drainMain() on another thread later
// is a programming error and aborts with a message.
bool isMainThread();

class Group {
  public:
    Group();
    ~Group();
    void enter();
    void leave();
    // Runs work on queue and counts it as a member until it returns.
    void async(const QueuePtr& queue, Work work);
    // Waits until the group is empty; timeout in seconds, negative = forever. True when empty.
    bool wait(double timeoutSeconds = -1);
    // Runs work on queue once the group is (or becomes) empty.
    void notify(const QueuePtr& queue, Work work);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

class Semaphore {
  public:
    explicit Semaphore(long value = 0);
    ~Semaphore();
    void signal();
    // Waits for the count to be positive and takes one; timeout in seconds, negative = forever.
    // True when taken, false on time-out.
    bool wait(double timeoutSeconds = -1);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Shared behaviour of timer and descriptor sources. A source never runs its handlers concurrently,
// also on a global queue. Dropping the last reference to a source that was not cancelled stops it
// quietly (no cancel handler); a cancellation in progress keeps the source alive until its cancel
// handler has run. Both handlers are released once the cancel handler has run.
class Source {
  public:
    virtual ~Source() = default;
    virtual void setEventHandler(Work handler) = 0;
    // Runs exactly once, on the source's queue, after the last event handler, once the source is
    // cancelled (and resumed, if it was suspended). Owners close descriptors here.
    virtual void setCancelHandler(Work handler) = 0;
    // Counted: every suspend() needs a resume(). A new source starts suspended once.
    virtual void resume() = 0;
    virtual void suspend() = 0;
    // After cancel() returns on the source's queue, the event handler never runs again.
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
    // For a read source: bytes available (0 at end of stream or error; 1 for a listening socket with a
    // connection waiting). For a write source: an estimate of the buffer space (may be 1 when unknown).
    // For a timer: the number of firings since the last handler. Meaningful inside the event handler.
    virtual size_t data() const = 0;
};

class TimerSource : public Source {
  public:
    static std::shared_ptr<TimerSource> create(const QueuePtr& queue);
    // First firing after startSeconds; then every intervalSeconds (<= 0: one-shot). Re-arming replaces
    // the previous schedule. Leeway is a hint.
    virtual void setTimer(double startSeconds, double intervalSeconds, double leewaySeconds = 0) = 0;
    // Stops the schedule until the next setTimer(), also dropping firings not yet delivered: called on
    // the timer's queue, no event handler runs for the old schedule afterwards. Cheaper than cancelling
    // and making a new timer when one timer serves many deadlines in turn.
    virtual void clearTimer() = 0;
};

enum class FdEvent { Read, Write };

class FdSource : public Source {
  public:
    // Watches fd for readability or writability; the event handler runs on queue while the condition
    // holds (level-triggered). A read and a write source may watch the same descriptor (one of each at a
    // time: a newer source of the same kind on the same descriptor takes over from the older one). The
    // source never closes the descriptor; close it in the cancel handler, after cancelling every source
    // that watches it.
    static std::shared_ptr<FdSource> create(int fd, FdEvent event, const QueuePtr& queue);
    virtual int fd() const = 0;
};

}  // namespace quill::platform::dispatch
