#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace quill::platform::dispatch {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    }
    void closeSide(int i) {
        ::close(fds[i]);
        fds[i] = -1;
    }
};

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

TEST(DispatchFdTest, ReadSourceReportsByteCountsThenEndOfStream) {
    SocketPair pair;
    auto queue = Queue::serial("reader");
    auto source = FdSource::create(pair.fds[0], FdEvent::Read, queue);
    EXPECT_EQ(source->fd(), pair.fds[0]);
    std::vector<size_t> counts;  // on the queue
    std::atomic<int> cancels{0};
    Semaphore event, cancelled;
    source->setEventHandler([&] {
        size_t n = source->data();
        counts.push_back(n);
        if (n == 0) {
            source->cancel();
        } else {
            std::vector<char> buf(n);
            EXPECT_EQ(::read(pair.fds[0], buf.data(), n), static_cast<ssize_t>(n));
        }
        event.signal();
    });
    source->setCancelHandler([&] {
        cancels.fetch_add(1);
        cancelled.signal();
    });
    ASSERT_EQ(::write(pair.fds[1], "hello", 5), 5);
    EXPECT_FALSE(event.wait(0.05));  // created suspended
    source->resume();
    ASSERT_TRUE(event.wait(5));
    ASSERT_EQ(::write(pair.fds[1], "0123456789", 10), 10);
    ASSERT_TRUE(event.wait(5));
    pair.closeSide(1);
    ASSERT_TRUE(event.wait(5));
    ASSERT_TRUE(cancelled.wait(5));
    EXPECT_EQ(counts, (std::vector<size_t>{5, 10, 0}));
    EXPECT_FALSE(cancelled.wait(0.02));
    EXPECT_EQ(cancels.load(), 1);
}

// Readiness that began before a source existed, or while it was suspended, announces itself no more;
// the source still delivers it once resumed.
TEST(DispatchFdTest, ConditionThatHeldBeforeTheSourceExistedIsDelivered) {
    SocketPair pair;
    auto queue = Queue::serial("before");
    ASSERT_EQ(::write(pair.fds[1], "early", 5), 5);
    auto writer = FdSource::create(pair.fds[0], FdEvent::Write, queue);  // registers the descriptor
    std::this_thread::sleep_for(20ms);
    auto reader = FdSource::create(pair.fds[0], FdEvent::Read, queue);  // joins the registration
    Semaphore readable, writable;
    reader->setEventHandler([&] {
        EXPECT_EQ(reader->data(), 5u);
        reader->suspend();
        readable.signal();
    });
    writer->setEventHandler([&] {
        writer->suspend();
        writable.signal();
    });
    reader->resume();
    writer->resume();
    ASSERT_TRUE(readable.wait(5));
    ASSERT_TRUE(writable.wait(5));
    // Still readable and writable: each resumption delivers again.
    reader->resume();
    writer->resume();
    ASSERT_TRUE(readable.wait(5));
    ASSERT_TRUE(writable.wait(5));
    queue->sync([&] {
        reader->cancel();
        reader->resume();
        writer->cancel();
        writer->resume();
    });
}

TEST(DispatchFdTest, LevelTriggeredUntilReadAndSuspendStopsDelivery) {
    SocketPair pair;
    auto queue = Queue::serial("level");
    auto source = FdSource::create(pair.fds[0], FdEvent::Read, queue);
    std::atomic<int> events{0};
    bool suspended = false;  // on the queue
    source->setEventHandler([&] {
        // Does not read: the source fires again while the data sits there, until suspended.
        if (events.fetch_add(1) + 1 == 3) {
            source->suspend();
            suspended = true;
        }
    });
    ASSERT_EQ(::write(pair.fds[1], "x", 1), 1);
    source->resume();
    for (int i = 0; i < 500 && events.load() < 3; ++i)
        std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(queue->syncResult([&] { return suspended; }));
    EXPECT_EQ(events.load(), 3);
    ASSERT_EQ(::write(pair.fds[1], "y", 1), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(events.load(), 3);  // a suspended source delivers nothing
    source->resume();
    for (int i = 0; i < 500 && events.load() < 4; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_GE(events.load(), 4);
    source->cancel();
}

TEST(DispatchFdTest, SuspendedSourceOnHungUpDescriptorDoesNotSpin) {
    SocketPair pair;
    auto queue = Queue::serial("hup");
    auto reader = FdSource::create(pair.fds[0], FdEvent::Read, queue);
    auto writer = FdSource::create(pair.fds[0], FdEvent::Write, queue);
    Semaphore sawEnd;
    reader->setEventHandler([&] {
        if (reader->data() == 0) {
            reader->suspend();
            sawEnd.signal();
        }
    });
    writer->setEventHandler([] {});
    reader->resume();
    pair.closeSide(1);  // hang-up and, once written to, an error on fds[0]
    ASSERT_TRUE(sawEnd.wait(5));
    double before = cpuSeconds();
    std::this_thread::sleep_for(200ms);
    double used = cpuSeconds() - before;
    EXPECT_LT(used, 0.05) << "the process spun while every source was suspended";
    reader->resume();
    ASSERT_TRUE(sawEnd.wait(5));  // still at end of stream once resumed
    reader->cancel();
    writer->resume();
    writer->cancel();
}

TEST(DispatchFdTest, ReadAndWriteSourcesShareOneDescriptor) {
    SocketPair pair;
    auto queue = Queue::serial("both");
    auto reader = FdSource::create(pair.fds[0], FdEvent::Read, queue);
    auto writer = FdSource::create(pair.fds[0], FdEvent::Write, queue);
    std::atomic<int> reads{0}, writes{0};
    int openSources = 2;  // on the queue: the last cancel handler closes the descriptor
    std::atomic<int> closes{0};
    Semaphore readSem, writeSem, closed;
    reader->setEventHandler([&] {
        char buf[64];
        EXPECT_GT(::read(pair.fds[0], buf, sizeof buf), 0);
        reads.fetch_add(1);
        readSem.signal();
    });
    writer->setEventHandler([&] {
        EXPECT_EQ(writer->data() > 0, true);
        EXPECT_EQ(::write(pair.fds[0], "w", 1), 1);
        writes.fetch_add(1);
        writer->suspend();  // nothing more to write
        writeSem.signal();
    });
    auto closeOnLast = [&] {
        if (--openSources == 0) {
            ::close(pair.fds[0]);
            pair.fds[0] = -1;
            closes.fetch_add(1);
            closed.signal();
        }
    };
    reader->setCancelHandler(closeOnLast);
    writer->setCancelHandler(closeOnLast);
    reader->resume();
    writer->resume();
    ASSERT_TRUE(writeSem.wait(5));
    char c = 0;
    for (int i = 0; i < 500 && ::read(pair.fds[1], &c, 1) != 1; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(c, 'w');
    ASSERT_EQ(::write(pair.fds[1], "r", 1), 1);
    ASSERT_TRUE(readSem.wait(5));  // reading still works while the write source is suspended
    writer->resume();
    ASSERT_TRUE(writeSem.wait(5));
    EXPECT_EQ(writes.load(), 2);
    queue->async([&] {
        reader->cancel();
        writer->cancel();
        writer->resume();  // a suspended source completes its cancellation once resumed
    });
    ASSERT_TRUE(closed.wait(5));
    EXPECT_FALSE(closed.wait(0.02));
    EXPECT_EQ(closes.load(), 1);
    EXPECT_EQ(reads.load(), 1);
}

TEST(DispatchFdTest, ListeningSocketReportsWaitingConnection) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    auto queue = Queue::serial("accept");
    auto source = FdSource::create(listener, FdEvent::Read, queue);
    Semaphore accepted;
    size_t data = 0;
    int acceptedFd = -1;
    source->setEventHandler([&] {
        data = source->data();
        acceptedFd = ::accept(listener, nullptr, nullptr);
        accepted.signal();
    });
    source->resume();
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_TRUE(accepted.wait(5));
    Semaphore cancelled;
    source->setCancelHandler([&] { cancelled.signal(); });
    source->cancel();
    ASSERT_TRUE(cancelled.wait(5));
    EXPECT_GE(data, 1u);
    EXPECT_GE(acceptedFd, 0);
    ::close(acceptedFd);
    ::close(client);
    ::close(listener);
}

// Connections open and close quickly, so descriptor numbers are reused while old sources may still be
// finishing their cancellation; each connection must see exactly its own data and one cancellation.
// As a socket does, the owner keeps its sources until their cancel handlers have run.
TEST(DispatchFdTest, StressReusedDescriptorsAndCancelFromHandler) {
    constexpr int kRounds = 300;
    auto queue = Queue::serial("churn");
    struct Connection {
        int fd = -1;
        std::shared_ptr<FdSource> reader, writer;  // dropped by the last cancel handler
        size_t bytes = 0;
        bool cancelled = false;
        bool lateEvent = false;
        int open = 2;
        Semaphore done;
    };
    for (int round = 0; round < kRounds; ++round) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        auto c = std::make_shared<Connection>();
        Connection* raw = c.get();
        c->fd = fds[0];
        c->reader = FdSource::create(fds[0], FdEvent::Read, queue);
        c->writer = FdSource::create(fds[0], FdEvent::Write, queue);
        c->reader->setEventHandler([raw] {
            if (raw->cancelled) raw->lateEvent = true;
            size_t n = raw->reader->data();
            if (n > 0) {
                char buf[256];
                ssize_t got = ::read(raw->fd, buf, sizeof buf);
                if (got > 0) raw->bytes += static_cast<size_t>(got);
                return;
            }
            raw->cancelled = true;
            raw->reader->cancel();
            raw->writer->cancel();
            raw->writer->resume();
        });
        c->writer->setEventHandler([raw] {
            if (raw->cancelled) raw->lateEvent = true;
        });
        auto closeOnLast = [raw] {
            if (--raw->open == 0) {
                ::close(raw->fd);
                raw->reader.reset();
                raw->writer.reset();
                raw->done.signal();
            }
        };
        c->reader->setCancelHandler(closeOnLast);
        c->writer->setCancelHandler(closeOnLast);
        c->reader->resume();
        std::string payload(1 + round % 200, 'p');
        ASSERT_EQ(::write(fds[1], payload.data(), payload.size()), static_cast<ssize_t>(payload.size()));
        ::close(fds[1]);
        ASSERT_TRUE(c->done.wait(5)) << "round " << round;
        queue->sync([] {});
        EXPECT_FALSE(c->lateEvent);
        EXPECT_EQ(c->bytes, payload.size());
        EXPECT_EQ(c->open, 0);
    }
}

TEST(DispatchFdTest, DroppedUncancelledSourceStopsQuietly) {
    SocketPair pair;
    std::atomic<int> events{0};
    {
        auto source = FdSource::create(pair.fds[0], FdEvent::Read, Queue::serial("dropped"));
        source->setEventHandler([&] { events.fetch_add(1); });
        source->resume();
    }
    // A new source on the same descriptor works normally.
    auto queue = Queue::serial("after-drop");
    auto source = FdSource::create(pair.fds[0], FdEvent::Read, queue);
    Semaphore got;
    source->setEventHandler([&] {
        char buf[8];
        (void)::read(pair.fds[0], buf, sizeof buf);
        got.signal();
    });
    source->resume();
    ASSERT_EQ(::write(pair.fds[1], "z", 1), 1);
    EXPECT_TRUE(got.wait(5));
    EXPECT_EQ(events.load(), 0);
    source->cancel();
}

}  // namespace
}  // namespace quill::platform::dispatch
