#pragma once
// What the TCP and UDP socket tests share: the recording half of their delegates (callbacks arrive on the
// delegate queue and are kept in order as events, any struct with a `kind` field; tests wait for them with
// bounded waits), and the check that a socket refuses to mark another queue as its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/SysLog.h"

namespace quill::net {

template <class Event>
class EventLog {
  public:
    using Kind = decltype(Event::kind);

    // Until n events of the kind have arrived, at most `seconds`; true when they have.
    bool waitFor(Kind kind, size_t n = 1, double seconds = 5) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return countLocked(kind) >= n; });
    }
    size_t count(Kind kind) {
        std::lock_guard lock(mutex_);
        return countLocked(kind);
    }
    std::vector<Event> events(Kind kind) {
        std::lock_guard lock(mutex_);
        std::vector<Event> out;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
                     [&](const Event& e) { return e.kind == kind; });
        return out;
    }
    std::vector<Kind> kinds() {
        std::lock_guard lock(mutex_);
        std::vector<Kind> out;
        for (const auto& e : events_)
            out.push_back(e.kind);
        return out;
    }

  protected:
    void add(Event e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        cv_.notify_all();
    }
    // Also guards what a recorder keeps beside its events; never held while calling add().
    std::mutex mutex_;

  private:
    size_t countLocked(Kind kind) const {
        return size_t(
            std::count_if(events_.begin(), events_.end(), [&](const Event& e) { return e.kind == kind; }));
    }
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// Without target queues in the dispatch layer a marked queue's work never runs as socket-queue work, so
// marking is refused with a line in the log (className names the socket's class): work there still sees
// the socket from outside, and work on the socket queue from inside.
template <class Socket>
void expectMarkingRefused(Socket& sock, const std::string& className) {
    platform::foundation::LogCapture log;
    auto other = platform::dispatch::Queue::serial("test.socket.other");
    sock.markSocketQueueTargetQueue(other);
    int fd = 0;
    other->sync([&] { fd = sock.socketFD(); });
    EXPECT_EQ(fd, -1);
    sock.performBlock([&] { fd = sock.socketFD(); });
    EXPECT_GE(fd, 0);
    sock.unmarkSocketQueueTargetQueue(other);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_NE(log.lines()[0].find(className + ": markSocketQueueTargetQueue refused"), std::string::npos);
    EXPECT_NE(log.lines()[1].find(className + ": unmarkSocketQueueTargetQueue refused"), std::string::npos);
}

}  // namespace quill::net
