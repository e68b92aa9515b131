// TcpSocket against plain loopback peers: connecting, the three kinds of reads, writes, time-outs and
// the single disconnect report.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>

#include "net/TcpRecorder.h"
#include "net/TcpSocket.h"
#include "support/LoopbackServer.h"

namespace quill::net {
namespace {

using platform::dispatch::Queue;
using platform::foundation::bytesOf;
using platform::foundation::stringOf;
using tcptest::Event;
using tcptest::Recorder;
using testing::Listener;

class TcpSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        recorder = std::make_shared<Recorder>();
        delegateQueue = Queue::serial("test.tcp.delegate");
        sock = TcpSocket::create(recorder, delegateQueue);
    }
    void TearDown() override {
        if (peerFd >= 0) ::close(peerFd);
    }
    // Connects to the listener and accepts the peer's side.
    void connectPair() {
        ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 5.0));
        peerFd = listener.accept(5000);
        ASSERT_GE(peerFd, 0);
        ASSERT_TRUE(recorder->waitFor(Event::Connect));
    }
    void peerSend(std::string_view text) { ASSERT_TRUE(testing::writeAll(peerFd, bytesOf(text))); }
    // Reads exactly n bytes at the peer, at most 5 s.
    Bytes peerReceive(size_t n) {
        Bytes all, chunk;
        for (int i = 0; i < 1000 && all.size() < n; ++i) {
            long r = testing::readSome(peerFd, chunk, n - all.size(), 5000);
            if (r <= 0) break;
            all.insert(all.end(), chunk.begin(), chunk.end());
        }
        return all;
    }
    // Gives the socket queue time to act on what arrived: a synchronous call is a barrier.
    void drainSocketQueue() {
        sock->performBlock([] {});
    }

    std::shared_ptr<Recorder> recorder;
    platform::dispatch::QueuePtr delegateQueue;
    std::shared_ptr<TcpSocket> sock;
    Listener listener;
    int peerFd = -1;
};

// A listener on ::1 only.
struct Listener6 {
    Listener6() {
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_loopback;
        socklen_t len = sizeof sa;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, 8) != 0) return;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin6_port);
    }
    ~Listener6() { ::close(fd); }
    int fd = -1;
    uint16_t port = 0;
};

// A listener whose accept queue is full, so that further connects hang without any outside traffic.
struct FullListener {
    FullListener() : listener(0, 0) {
        for (int i = 0; i < 4; ++i) {
            int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(listener.port());
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            fillers.push_back(c);
        }
        // Let the handshakes that can complete do so.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~FullListener() {
        for (int c : fillers)
            ::close(c);
    }
    Listener listener;
    std::vector<int> fillers;
};

// ---- connecting ----

TEST_F(TcpSocketTest, ConnectReportsPeerHostAndPort) {
    EXPECT_TRUE(sock->isDisconnected());
    connectPair();
    auto e = recorder->events(Event::Connect).at(0);
    EXPECT_EQ(e.host, "127.0.0.1");
    EXPECT_EQ(e.port, listener.port());
    EXPECT_TRUE(sock->isConnected());
    EXPECT_FALSE(sock->isDisconnected());
    EXPECT_EQ(sock->connectedPort(), listener.port());
    EXPECT_EQ(sock->connectedHost(), "127.0.0.1");
    EXPECT_EQ(sock->localHost(), "127.0.0.1");
    EXPECT_NE(sock->localPort(), 0);
    EXPECT_TRUE(sock->isIPv4());
    EXPECT_FALSE(sock->isIPv6());
    EXPECT_EQ(sock->connectedAddress().size(), 16u);
}

TEST_F(TcpSocketTest, LocalhostFallsBackToIPv6AfterTheDelay) {
    Listener6 l6;
    ASSERT_NE(l6.port, 0);
    // Nothing listens on 127.0.0.1 at that port: IPv4 is refused, IPv6 is tried after the delay.
    sock->setAlternateAddressDelay(0.1);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(sock->connectToHost("localhost", l6.port, 5.0));
    ASSERT_TRUE(recorder->waitFor(Event::Connect));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(90));
    auto e = recorder->events(Event::Connect).at(0);
    EXPECT_EQ(e.host, "::1");
    EXPECT_EQ(e.port, l6.port);
    EXPECT_TRUE(sock->isIPv6());
    EXPECT_EQ(sock->connectedAddress().size(), 28u);
    EXPECT_EQ(recorder->count(Event::Disconnect), 0u);
}

TEST_F(TcpSocketTest, DisabledFamilyIsNeverConnected) {
    Listener6 l6;
    sock->setIPv6Enabled(false);
    sock->setAlternateAddressDelay(0.05);
    ASSERT_TRUE(sock->connectToHost("localhost", l6.port, 5.0));
    // Only IPv4 may be tried, and it is refused.
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_EQ(recorder->count(Event::Connect), 0u);
    EXPECT_EQ(recorder->disconnectEvent().error->code, ECONNREFUSED);
}

TEST_F(TcpSocketTest, RefusedPortGivesThePosixError) {
    uint16_t port = Listener().port();  // free again once the temporary closes
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", port, 5.0));
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    Error err = *recorder->disconnectEvent().error;
    EXPECT_EQ(err.domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(err.code, ECONNREFUSED);
    EXPECT_EQ(err.localizedDescription(), "Connection refused");
    EXPECT_EQ(err.localizedFailureReason(), "Error in connect() function");
    EXPECT_TRUE(sock->isDisconnected());
    // Idle again: it can connect anew.
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 5.0));
    EXPECT_TRUE(recorder->waitFor(Event::Connect));
    EXPECT_EQ(recorder->count(Event::Disconnect), 1u);
}

TEST_F(TcpSocketTest, ConnectTimesOutAgainstAFullBacklog) {
    FullListener full;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", full.listener.port(), 0.3));
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    Error err = *recorder->disconnectEvent().error;
    EXPECT_EQ(err.domain, "TcpSocketErrorDomain");
    EXPECT_EQ(err.code, 3);
    EXPECT_EQ(err.localizedDescription(), "Attempt to connect to host timed out");
    EXPECT_TRUE(sock->isDisconnected());
    EXPECT_EQ(recorder->count(Event::Connect), 0u);
}

// A time-out written as the literal 0 is a time-out, not a null error pointer.
static_assert(requires(TcpSocket & s) { s.connectToHost(std::string(), uint16_t(1), 0); });

TEST_F(TcpSocketTest, ZeroTimeoutTimesOutAtOnce) {
    FullListener full;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", full.listener.port(), 0));
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_EQ(recorder->disconnectEvent().error->code, 3);
}

TEST_F(TcpSocketTest, DisconnectWhileConnectingReportsOnceWithoutError) {
    FullListener full;
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", full.listener.port(), -1));
    sock->disconnect();
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_FALSE(recorder->disconnectEvent().error.has_value());
    // A second connect reuses descriptors freely; the abandoned attempt must not disturb it.
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 5.0));
    EXPECT_TRUE(recorder->waitFor(Event::Connect));
    drainSocketQueue();
    EXPECT_EQ(recorder->count(Event::Disconnect), 1u);
    EXPECT_TRUE(sock->isConnected());
}

TEST_F(TcpSocketTest, ImmediateRefusalsCarryTheirTexts) {
    auto expectRefused = [](TcpSocket& s, std::function<bool(TcpSocket&, Error*)> call, long code,
                            const std::string& text) {
        Error err;
        EXPECT_FALSE(call(s, &err));
        EXPECT_EQ(err.domain, "TcpSocketErrorDomain");
        EXPECT_EQ(err.code, code);
        EXPECT_EQ(err.localizedDescription(), text);
    };
    auto bare = TcpSocket::create();
    auto toHost = [&](TcpSocket& s, Error* e) {
        return s.connectToHost("127.0.0.1", listener.port(), 1.0, e);
    };
    expectRefused(*bare, toHost, 1, "Attempting to connect without a delegate. Set a delegate first.");
    bare->setDelegate(recorder);
    expectRefused(*bare, toHost, 1,
                  "Attempting to connect without a delegate queue. Set a delegate queue first.");
    // The asynchronous setter is seen by the following (synchronous) connect.
    bare->setDelegateQueue(delegateQueue);
    expectRefused(
        *bare, [](TcpSocket& s, Error* e) { return s.connectToHost("", 80, e); }, 2,
        "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
    expectRefused(
        *bare, [](TcpSocket& s, Error* e) { return s.connectToAddress(Bytes(5, 0), 1.0, e); }, 2,
        "A valid IPv4 or IPv6 address was not given");
    expectRefused(
        *bare,
        [&](TcpSocket& s, Error* e) {
            return s.connectToHost("127.0.0.1", 80, std::string("no-such-interface0"), 1.0, e);
        },
        2, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
    bare->setIPv4Enabled(false);
    expectRefused(
        *bare,
        [&](TcpSocket& s, Error* e) { return s.connectToAddress(loopbackAddress4(listener.port()), 1.0, e); },
        2, "IPv4 has been disabled and an IPv4 address was passed.");
    bare->setIPv6Enabled(false);
    expectRefused(*bare, toHost, 1,
                  "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
    bare->setIPv4Enabled(true);
    bare->setIPv6Enabled(true);
    EXPECT_TRUE(toHost(*bare, nullptr));
    expectRefused(*bare, toHost, 1,
                  "Attempting to connect while connected or accepting connections. Disconnect first.");
    bare->disconnect();
    EXPECT_TRUE(recorder->waitFor(Event::Disconnect));
}

TEST_F(TcpSocketTest, ConnectToAddressAndWrappedDescriptor) {
    ASSERT_TRUE(sock->connectToAddress(loopbackAddress4(listener.port()), 5.0));
    ASSERT_TRUE(recorder->waitFor(Event::Connect));
    peerFd = listener.accept(5000);
    ASSERT_GE(peerFd, 0);

    // The peer's own descriptor wrapped as a connected socket.
    auto other = std::make_shared<Recorder>();
    Error err;
    auto wrapped = TcpSocket::socketFromConnectedSocketFD(peerFd, other, delegateQueue, nullptr, &err);
    ASSERT_TRUE(wrapped);
    peerFd = -1;  // owned by the wrapper now
    EXPECT_TRUE(wrapped->isConnected());
    wrapped->readDataToLength(3, 5.0, 9);
    sock->writeData(bytesOf("abc"), 5.0, 1);
    ASSERT_TRUE(other->waitFor(Event::Read));
    EXPECT_EQ(stringOf(other->readBytes()), "abc");

    EXPECT_FALSE(TcpSocket::socketFromConnectedSocketFD(-1, other, delegateQueue, nullptr, &err));
    EXPECT_EQ(err.code, 8);
    EXPECT_EQ(err.localizedDescription(),
              "Attempt to create socket from socket FD failed. getpeername() failed");
}

// ---- reading ----

TEST_F(TcpSocketTest, AvailableBytesReadsAcrossSplitDeliveries) {
    connectPair();
    sock->readDataWithTimeout(-1, 1);
    peerSend("hello");
    ASSERT_TRUE(recorder->waitFor(Event::Read));
    EXPECT_EQ(stringOf(recorder->readBytes()), "hello");
    EXPECT_EQ(recorder->events(Event::Read)[0].tag, 1);

    // Data sent before the read is asked for waits for it.
    peerSend("world");
    drainSocketQueue();
    sock->readDataWithTimeout(-1, 2);
    ASSERT_TRUE(recorder->waitFor(Event::Read, 2));
    EXPECT_EQ(stringOf(recorder->readBytes()), "helloworld");
    EXPECT_EQ(recorder->events(Event::Read)[1].tag, 2);

    // A maximum length leaves the rest for the next read.
    auto buffer = std::make_shared<Bytes>(bytesOf(">>"));
    sock->readDataWithTimeout(-1, buffer, 2, 4, 3);
    peerSend("abcdefgh");
    ASSERT_TRUE(recorder->waitFor(Event::Read, 3));
    EXPECT_EQ(stringOf(recorder->events(Event::Read)[2].data), "abcd");
    EXPECT_EQ(stringOf(*buffer), ">>abcd");
    sock->readDataWithTimeout(-1, 4);
    ASSERT_TRUE(recorder->waitFor(Event::Read, 4));
    EXPECT_EQ(stringOf(recorder->events(Event::Read)[3].data), "efgh");
}

TEST_F(TcpSocketTest, FixedLengthReadCompletesAcrossDeliveriesWithPartialReports) {
    connectPair();
    sock->readDataToLength(10, -1, 7);
    peerSend("0123");
    ASSERT_TRUE(recorder->waitFor(Event::ReadPartial));
    EXPECT_EQ(recorder->events(Event::ReadPartial)[0].length, 4u);
    EXPECT_EQ(recorder->count(Event::Read), 0u);
    float progress = sock->progressOfReadReturningTag(nullptr, nullptr, nullptr);
    EXPECT_FLOAT_EQ(progress, 0.4f);
    peerSend("456789XY");
    ASSERT_TRUE(recorder->waitFor(Event::Read));
    EXPECT_EQ(stringOf(recorder->events(Event::Read)[0].data), "0123456789");
    EXPECT_EQ(recorder->events(Event::Read)[0].tag, 7);
    EXPECT_TRUE(std::isnan(sock->progressOfReadReturningTag(nullptr, nullptr, nullptr)));
    sock->readDataToLength(2, -1, 8);
    ASSERT_TRUE(recorder->waitFor(Event::Read, 2));
    EXPECT_EQ(stringOf(recorder->events(Event::Read)[1].data), "XY");
}

TEST_F(TcpSocketTest, TerminatorReadsFindSplitTerminatorsAndKeepTheRest) {
    connectPair();
    sock->readDataToData(CRLFData(), -1, 1);
    peerSend("GET / HTTP/1.0\r");
    ASSERT_TRUE(recorder->waitFor(Event::ReadPartial));
    peerSend("\nHost: x\r\n\r\nbody");
    ASSERT_TRUE(recorder->waitFor(Event::Read));
    EXPECT_EQ(stringOf(recorder->events(Event::Read)[0].data), "GET / HTTP/1.0\r\n");
    // The following lines were read already; they are served from what was kept.
    sock->readDataToData(CRLFData(), -1, 2);
    sock->readDataToData(CRLFData(), -1, 3);
    sock->readDataToLength(4, -1, 4);
    ASSERT_TRUE(recorder->waitFor(Event::Read, 4));
    auto reads = recorder->events(Event::Read);
    EXPECT_EQ(stringOf(reads[1].data), "Host: x\r\n");
    EXPECT_EQ(stringOf(reads[2].data), "\r\n");
    EXPECT_EQ(stringOf(reads[3].data), "body");
    EXPECT_EQ(reads[3].tag, 4);
}

TEST_F(TcpSocketTest, TerminatorSplitByteByByte) {
    connectPair();
    const Bytes term = bytesOf("<END>");
    sock->readDataToData(term, -1, 5);
    for (char c : std::string("abc<EN")) {
        peerSend(std::string(1, c));
        drainSocketQueue();
    }
    peerSend("D>tail");
    ASSERT_TRUE(recorder->waitFor(Event::Read));
    EXPECT_EQ(stringOf(recorder->events(Event::Read)[0].data), "abc<END>");
    sock->readDataWithTimeout(-1, 6);
    ASSERT_TRUE(recorder->waitFor(Event::Read, 2));
    EXPECT_EQ(stringOf(recorder->events(Event::Read)[1].data), "tail");
}

TEST_F(TcpSocketTest, TerminatorReadReachingItsMaximumCloses) {
    connectPair();
    sock->readDataToData(LFData(), -1, 8, 1);
    peerSend("0123456789");
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    Error err = *recorder->disconnectEvent().error;
    EXPECT_EQ(err.code, 6);
    EXPECT_EQ(err.localizedDescription(), "Read operation reached set maximum length");
    EXPECT_EQ(recorder->count(Event::Read), 0u);
}

TEST_F(TcpSocketTest, RefusedReadRequestsMakeNoCallback) {
    sock->readDataWithTimeout(-1, 1);  // not started: dropped
    connectPair();
    sock->readDataToLength(0, -1, 2);
    sock->readDataToData(Bytes(), -1, 3);
    sock->readDataToData(bytesOf("abc"), -1, 2, 4);  // maximum below the terminator's length
    sock->writeData(Bytes(), -1, 5);
    sock->readDataWithTimeout(-1, 6);
    peerSend("x");
    ASSERT_TRUE(recorder->waitFor(Event::Read));
    drainSocketQueue();
    auto reads = recorder->events(Event::Read);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].tag, 6);
    EXPECT_EQ(recorder->count(Event::Write), 0u);
}

TEST_F(TcpSocketTest, PeerCloseDeliversPendingDataThenOneDisconnect) {
    connectPair();
    peerSend("last words");
    ::shutdown(peerFd, SHUT_WR);
    sock->readDataToLength(5, -1, 1);
    sock->readDataToLength(5, -1, 2);
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_EQ(stringOf(recorder->readBytes()), "last words");
    Error err = *recorder->disconnectEvent().error;
    EXPECT_EQ(err.domain, "TcpSocketErrorDomain");
    EXPECT_EQ(err.code, 7);
    EXPECT_EQ(err.localizedDescription(), "Socket closed by remote peer");
    // The disconnect comes after the data.
    auto kinds = recorder->kinds();
    EXPECT_EQ(kinds.back(), Event::Disconnect);
    drainSocketQueue();
    EXPECT_EQ(recorder->count(Event::Disconnect), 1u);
    EXPECT_TRUE(sock->isDisconnected());
    EXPECT_EQ(sock->connectedPort(), 0);
}

TEST_F(TcpSocketTest, HalfDuplexKeepsWritingAfterThePeerStopsSending) {
    sock->setAutoDisconnectOnClosedReadStream(false);
    connectPair();
    sock->readDataWithTimeout(-1, 1);
    ::shutdown(peerFd, SHUT_WR);
    ASSERT_TRUE(recorder->waitFor(Event::CloseReadStream));
    sock->writeData(bytesOf("still here"), 5.0, 2);
    ASSERT_TRUE(recorder->waitFor(Event::Write));
    EXPECT_EQ(stringOf(peerReceive(10)), "still here");
    EXPECT_EQ(recorder->count(Event::Disconnect), 0u);
    EXPECT_TRUE(sock->isConnected());
}

// ---- time-outs ----

TEST_F(TcpSocketTest, ReadTimesOutWithoutExtension) {
    connectPair();
    sock->readDataWithTimeout(0.2, 1);
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    Error err = *recorder->disconnectEvent().error;
    EXPECT_EQ(err.code, 4);
    EXPECT_EQ(err.localizedDescription(), "Read operation timed out");
    ASSERT_EQ(recorder->readElapsed.size(), 1u);
    EXPECT_DOUBLE_EQ(recorder->readElapsed[0], 0.2);
}

TEST_F(TcpSocketTest, ReadTimeoutExtensionsAddUp) {
    recorder->readExtensions = {0.2, 0.2};
    connectPair();
    auto start = std::chrono::steady_clock::now();
    sock->readDataToLength(4, 0.2, 1);
    peerSend("ab");
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));
    EXPECT_EQ(recorder->disconnectEvent().error->code, 4);
    ASSERT_EQ(recorder->readElapsed.size(), 3u);
    EXPECT_DOUBLE_EQ(recorder->readElapsed[1], 0.4);
    EXPECT_DOUBLE_EQ(recorder->readElapsed[2], 0.6);
}

TEST_F(TcpSocketTest, ReadCompletesWithinAnExtension) {
    recorder->readExtensions = {5.0};
    connectPair();
    sock->readDataToLength(4, 0.1, 1);
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect, 1, 0.3) == false);
    peerSend("abcd");
    ASSERT_TRUE(recorder->waitFor(Event::Read));
    EXPECT_EQ(recorder->readElapsed.size(), 1u);
    EXPECT_EQ(recorder->count(Event::Disconnect), 0u);
}

// Answers the read time-out question only when the test lets it.
class SlowAnswerer : public Recorder {
  public:
    double socketShouldTimeoutReadWithTag(TcpSocket& sock, long tag, double elapsed, size_t done) override {
        asked.signal();
        release.wait(5);
        return Recorder::socketShouldTimeoutReadWithTag(sock, tag, elapsed, done);
    }
    platform::dispatch::Semaphore asked, release;
};

TEST_F(TcpSocketTest, LateTimeoutAnswerDoesNotTouchANewerConnection) {
    auto slow = std::make_shared<SlowAnswerer>();
    // A concurrent delegate queue, so that other callbacks pass the pending question.
    sock = TcpSocket::create(slow, Queue::global(platform::dispatch::Priority::High));
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 5.0));
    peerFd = listener.accept(5000);
    ASSERT_TRUE(slow->waitFor(Event::Connect));
    sock->readDataWithTimeout(0.1, 1);
    ASSERT_TRUE(slow->asked.wait(5));
    // While the question is out, the connection is closed and a new one reads without time-out.
    sock->disconnect();
    ASSERT_TRUE(slow->waitFor(Event::Disconnect));
    ::close(peerFd);
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener.port(), 5.0));
    peerFd = listener.accept(5000);
    ASSERT_TRUE(slow->waitFor(Event::Connect, 2));
    sock->readDataToLength(2, -1, 2);
    slow->release.signal();  // the answer 0 would close a current read with a time-out
    // Let the answer reach the socket queue before the new read gets its data.
    for (int i = 0; i < 500 && slow->readQuestions() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    drainSocketQueue();
    peerSend("ok");
    ASSERT_TRUE(slow->waitFor(Event::Read));
    EXPECT_EQ(stringOf(slow->readBytes()), "ok");
    drainSocketQueue();
    EXPECT_EQ(slow->count(Event::Disconnect), 1u);
    EXPECT_TRUE(sock->isConnected());
}

// Fills the kernel buffers so that the socket's writes stall: the peer reads nothing.
Bytes bigPayload(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + (i >> 10));
    return b;
}

TEST_F(TcpSocketTest, WriteTimesOutWithAndWithoutExtension) {
    recorder->writeExtensions = {0.2};
    connectPair();
    sock->writeData(bigPayload(32 << 20), 0.2, 3);
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    Error err = *recorder->disconnectEvent().error;
    EXPECT_EQ(err.code, 5);
    EXPECT_EQ(err.localizedDescription(), "Write operation timed out");
    ASSERT_EQ(recorder->writeElapsed.size(), 2u);
    EXPECT_DOUBLE_EQ(recorder->writeElapsed[0], 0.2);
    EXPECT_DOUBLE_EQ(recorder->writeElapsed[1], 0.4);
    EXPECT_EQ(recorder->count(Event::Write), 0u);
}

// ---- writing ----

TEST_F(TcpSocketTest, LargeWriteToASlowReaderReportsPartialProgress) {
    connectPair();
    const size_t total = 8 << 20;
    Bytes payload = bigPayload(total);
    sock->writeData(payload, 10.0, 42);
    // Read slowly at first so that the socket's writes come back short.
    Bytes got, chunk;
    for (int i = 0; i < 20000 && got.size() < total; ++i) {
        if (got.size() < 256 * 1024) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        long r = testing::readSome(peerFd, chunk, 64 * 1024, 5000);
        if (r <= 0) break;
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == payload);
    ASSERT_TRUE(recorder->waitFor(Event::Write));
    auto partials = recorder->events(Event::WritePartial);
    ASSERT_GE(partials.size(), 1u);
    size_t sum = 0;
    for (const auto& p : partials) {
        EXPECT_EQ(p.tag, 42);
        EXPECT_GT(p.length, 0u);
        sum += p.length;
    }
    // Every write() but the last one that finished the request was reported.
    EXPECT_LT(sum, total);
    EXPECT_EQ(recorder->events(Event::Write)[0].tag, 42);
    auto kinds = recorder->kinds();
    EXPECT_EQ(kinds.back(), Event::Write);
}

// Socket to socket, as fast as both go: every byte arrives once and in order through reads of both
// kinds, whatever the kernel happens to have gathered at each read, and the writes complete in order.
TEST_F(TcpSocketTest, LargeTransferBetweenTwoSocketsKeepsByteOrder) {
    connectPair();
    auto reader = std::make_shared<Recorder>();
    auto readerSock =
        TcpSocket::socketFromConnectedSocketFD(peerFd, reader, Queue::serial("test.tcp.reader"), nullptr);
    ASSERT_TRUE(readerSock);
    peerFd = -1;  // owned by the reader socket now
    const size_t chunk = 64 * 1024;
    const size_t total = 16 << 20;
    const Bytes payload = bigPayload(total);
    std::atomic<size_t> received{0};
    std::atomic<long> nextTag{1};
    reader->onRead = [&](TcpSocket& s) {
        // Re-armed from each callback, alternating an available-bytes read and a fixed-length one.
        size_t got = 0;
        for (const auto& e : reader->events(Event::Read))
            got += e.data.size();
        received = got;
        if (got >= total) return;
        long tag = nextTag.fetch_add(1);
        if (tag % 2 == 0) {
            s.readDataToLength(std::min<size_t>(100000, total - got), -1, tag);
        } else {
            s.readDataWithTimeout(-1, tag);
        }
    };
    readerSock->readDataWithTimeout(-1, 0);
    for (size_t off = 0; off < total; off += chunk) {
        sock->writeData(Bytes(payload.begin() + long(off), payload.begin() + long(off + chunk)), 10.0,
                        long(off / chunk));
    }
    ASSERT_TRUE(recorder->waitFor(Event::Write, total / chunk, 30));
    for (int i = 0; i < 3000 && received.load() < total; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(received.load(), total);
    EXPECT_TRUE(reader->readBytes() == payload);
    auto reads = reader->events(Event::Read);
    for (size_t i = 0; i < reads.size(); ++i)
        EXPECT_EQ(reads[i].tag, long(i)) << "read " << i;
    auto writes = recorder->events(Event::Write);
    for (size_t i = 0; i < writes.size(); ++i)
        EXPECT_EQ(writes[i].tag, long(i)) << "write " << i;
    EXPECT_EQ(reader->count(Event::Disconnect), 0u);
    readerSock->disconnect();
    ASSERT_TRUE(reader->waitFor(Event::Disconnect));
}

TEST_F(TcpSocketTest, WritesCompleteInOrder) {
    connectPair();
    for (long tag = 1; tag <= 5; ++tag)
        sock->writeData(bytesOf("w" + std::to_string(tag)), 5.0, tag);
    EXPECT_EQ(stringOf(peerReceive(10)), "w1w2w3w4w5");
    ASSERT_TRUE(recorder->waitFor(Event::Write, 5));
    auto writes = recorder->events(Event::Write);
    for (size_t i = 0; i < writes.size(); ++i)
        EXPECT_EQ(writes[i].tag, long(i + 1));
}

TEST_F(TcpSocketTest, WritingToAResetPeerDisconnectsOnceWithoutSignal) {
    connectPair();
    linger l{1, 0};
    setsockopt(peerFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(peerFd);
    peerFd = -1;
    for (long tag = 0; tag < 50; ++tag)
        sock->writeData(bigPayload(64 * 1024), 5.0, tag);
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_TRUE(recorder->disconnectEvent().error.has_value());
    drainSocketQueue();
    EXPECT_EQ(recorder->count(Event::Disconnect), 1u);
    EXPECT_TRUE(sock->isDisconnected());
}

// ---- closing ----

TEST_F(TcpSocketTest, DisconnectReportsOnceWithoutError) {
    sock->disconnect();  // never started: nothing
    connectPair();
    sock->readDataWithTimeout(-1, 1);
    sock->disconnect();
    EXPECT_TRUE(sock->isDisconnected());
    sock->disconnect();
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_FALSE(recorder->disconnectEvent().error.has_value());
    EXPECT_FALSE(recorder->disconnectEvent().nullSocket);
    Bytes rest;
    EXPECT_EQ(testing::readSome(peerFd, rest, 16, 5000), -1);  // the peer sees the close
    drainSocketQueue();
    EXPECT_EQ(recorder->count(Event::Disconnect), 1u);
    EXPECT_EQ(recorder->count(Event::Read), 0u);
}

TEST_F(TcpSocketTest, DisconnectAfterWritingFinishesQueuedWrites) {
    connectPair();
    sock->writeData(bytesOf("first"), 5.0, 1);
    sock->writeData(bytesOf("second"), 5.0, 2);
    sock->disconnectAfterWriting();
    sock->writeData(bytesOf("refused"), 5.0, 3);
    EXPECT_EQ(stringOf(peerReceive(11)), "firstsecond");
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_FALSE(recorder->disconnectEvent().error.has_value());
    auto writes = recorder->events(Event::Write);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].tag, 1);
    EXPECT_EQ(writes[1].tag, 2);
    Bytes rest;
    EXPECT_EQ(testing::readSome(peerFd, rest, 16, 5000), -1);
}

TEST_F(TcpSocketTest, DisconnectAfterReadingWaitsForTheRead) {
    connectPair();
    sock->readDataToLength(3, -1, 1);
    sock->disconnectAfterReading();
    drainSocketQueue();
    EXPECT_TRUE(sock->isConnected());
    peerSend("abc");
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_EQ(stringOf(recorder->readBytes()), "abc");
    EXPECT_FALSE(recorder->disconnectEvent().error.has_value());
}

TEST_F(TcpSocketTest, DroppingTheLastReferenceClosesAndReportsWithoutSocket) {
    connectPair();
    sock->readDataWithTimeout(-1, 1);
    sock.reset();
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_TRUE(recorder->disconnectEvent().nullSocket);
    EXPECT_FALSE(recorder->disconnectEvent().error.has_value());
    Bytes rest;
    EXPECT_EQ(testing::readSome(peerFd, rest, 16, 5000), -1);
}

TEST_F(TcpSocketTest, ReleasedFromItsOwnCallback) {
    // The last reference goes away inside a callback that runs on the delegate queue.
    connectPair();
    recorder->onRead = [this](TcpSocket&) { sock.reset(); };
    sock->readDataWithTimeout(-1, 1);
    peerSend("bye");
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_EQ(stringOf(recorder->readBytes()), "bye");
}

}  // namespace
}  // namespace quill::net
