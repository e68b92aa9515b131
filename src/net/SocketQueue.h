#pragma once
// The queue discipline the TCP and UDP sockets share. All of a socket's state lives on one serial
// queue, the socket queue: the caller's, or one of the socket's own. The queue carries a queue-specific
// key (the address of a field of this object) whose value is the socket, so that work running on it is
// "on the socket queue". A public call runs inline there;
// from elsewhere, calls that return something go synchronously onto the queue and the rest
// asynchronously. Delegate callbacks are posted to the delegate queue only while a delegate and its
// queue are set, the delegate being read again for each callback.
//
// Blocks posted to the socket queue hold the socket weakly: work that finds the socket gone does
// nothing, and a destruction that the block's own reference causes runs on the socket queue.

#include <memory>
#include <string>
#include <utility>

#include "platform/dispatch/Dispatch.h"

namespace quill::net {

using platform::dispatch::QueuePtr;

class SocketQueue {
  public:
    // Keeps `given`, or makes a serial queue named `className` (the socket's class, which also names it
    // in log lines), and marks it with `owner` as the value.
    SocketQueue(QueuePtr given, const std::string& className, void* owner)
        : ownsQueue_(!given),
          queue_(given ? std::move(given) : platform::dispatch::Queue::serial(className)),
          className_(className),
          owner_(owner) {
        queue_->setSpecific(key(), owner_);
    }
    // A queue given by the caller outlives the socket; its mark goes with the socket.
    ~SocketQueue() {
        if (!ownsQueue_) queue_->setSpecific(key(), nullptr);
    }
    SocketQueue(const SocketQueue&) = delete;
    SocketQueue& operator=(const SocketQueue&) = delete;

    const QueuePtr& queue() const { return queue_; }

    // True while work of the socket queue runs on the calling thread.
    bool isCurrent() const { return platform::dispatch::Queue::getSpecific(key()) != nullptr; }

    // Inline on the socket queue, else synchronously on it; returns what f returns.
    template <class F>
    auto sync(F&& f) const -> decltype(f()) {
        if (isCurrent()) return f();
        return queue_->syncResult(std::forward<F>(f));
    }

    // Runs work(socket) on the socket queue later, never inline, if the socket still exists then.
    template <class T, class F>
    void async(std::weak_ptr<T> socket, F&& work) const {
        queue_->async(holdingWeakly(std::move(socket), std::forward<F>(work)));
    }
    // Like async(), but at once on the calling thread when the socket queue is idle (and not the
    // caller's own): requests made from a delegate callback then start without a hand-off. The caller
    // may be inside any queue's work (the delegate queue's, a filter queue's) and may hold its own
    // locks, so the work may do no more there than system calls and posting: it asks onCallersThread()
    // and hands everything else (filters, the TLS engine) on with asyncOffCallersThread().
    template <class T, class F>
    void asyncOrRunHere(std::weak_ptr<T> socket, F&& work) const {
        CallersThread scope(this);
        queue_->asyncOrRunHere(holdingWeakly(std::move(socket), std::forward<F>(work)));
    }
    // True inside work that asyncOrRunHere() runs on the thread that asked for it.
    bool onCallersThread() const { return CallersThread::current == this && isCurrent(); }
    // Runs work(socket) on the socket queue later, on a thread of its own. From work that
    // asyncOrRunHere() runs on a caller's thread, async() work would follow on that thread; this goes
    // through another queue instead, so it may arrive after work queued meanwhile.
    template <class T, class F>
    void asyncOffCallersThread(std::weak_ptr<T> socket, F&& work) const {
        if (!onCallersThread()) {
            async(std::move(socket), std::forward<F>(work));
            return;
        }
        platform::dispatch::Queue::global()->async(
            [queue = queue_, work = holdingWeakly(std::move(socket), std::forward<F>(work))] {
                queue->async(work);
            });
    }
    // Inline on the socket queue, else later.
    template <class T, class F>
    void inlineOrAsync(T& socket, F&& work) const {
        if (isCurrent()) {
            work(socket);
        } else {
            async(socket.weak_from_this(), std::forward<F>(work));
        }
    }

    // Would let work on q count as running on the socket queue, for a socket queue that targets q. The
    // dispatch layer has no target queues, so work on q never runs as part of the socket queue: marking
    // q would let such work touch the socket's state unguarded, beside the socket queue. Both refuse with
    // a line in the log and mark nothing.
    void mark(const QueuePtr& q) const;
    void unmark(const QueuePtr& q) const;

  private:
    const void* key() const { return &key_; }

    // Marks the calling thread while it asks asyncOrRunHere() of this queue (restored after, so that
    // nested requests of other sockets keep theirs).
    struct CallersThread {
        explicit CallersThread(const SocketQueue* q) : outer(current) { current = q; }
        ~CallersThread() { current = outer; }
        CallersThread(const CallersThread&) = delete;
        CallersThread& operator=(const CallersThread&) = delete;
        const SocketQueue* outer;
        static thread_local const SocketQueue* current;
    };

    template <class T, class F>
    static platform::dispatch::Work holdingWeakly(std::weak_ptr<T> weak, F&& work) {
        return [weak = std::move(weak), work = std::forward<F>(work)]() mutable {
            if (auto self = weak.lock()) {
                work(*self);
                self.reset();
            }
        };
    }

    bool ownsQueue_;  // before queue_, which takes `given` over
    QueuePtr queue_;
    std::string className_;
    void* owner_;
    char key_ = 0;  // its address is the key
};

// Posts callback(delegate, socket) onto the delegate queue when the queue is set and the delegate
// still exists. The block holds both strongly until it has run; socket may be null (a socket being
// destroyed reports its close without itself).
template <class Delegate, class Socket, class Callback>
void postToDelegate(const QueuePtr& delegateQueue, const std::weak_ptr<Delegate>& delegate,
                    std::shared_ptr<Socket> socket, Callback&& callback) {
    if (!delegateQueue) return;
    auto strong = delegate.lock();
    if (!strong) return;
    delegateQueue->async([strong = std::move(strong), socket = std::move(socket),
                          callback = std::forward<Callback>(callback)]() mutable {
        callback(*strong, socket.get());
        socket.reset();
        strong.reset();
    });
}

}  // namespace quill::net
