// UdpSocket between loopback peers: both families, filters, receiving once or continuously, connected
// sockets, immediate refusals, closing with datagrams queued, and the faults the socket guards against.
// Every datagram goes to 127.0.0.1 or ::1.

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "UdpTestSupport.h"
#include "net/SocketCalls.h"

namespace quill::net {
namespace {

using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;
using platform::dispatch::Semaphore;

constexpr const char* kUdpDomain = "UdpSocketErrorDomain";

// A plain socket bound to the loopback address of a family, for sending and receiving around the
// socket under test.
struct PlainSocket {
    explicit PlainSocket(int af = AF_INET) : fd(openSocket(af, SOCK_DGRAM)) {
        bindTo(fd, af == AF_INET ? loopbackAddress4(0) : loopbackAddress6(0));
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~PlainSocket() { ::close(fd); }
    Bytes address() const { return localAddressOf(fd); }
    void send(const std::string& text, const Bytes& to) const {
        sendNoSignal(fd, text.data(), text.size(), to);
    }
    std::string receive() const {
        char buf[2048];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n < 0 ? "<nothing>" : std::string(buf, size_t(n));
    }
    int fd;
};

class UdpSocketTest : public ::testing::Test {
  protected:
    std::shared_ptr<UdpSocket> make(const std::shared_ptr<UdpRecorder>& recorder) {
        return UdpSocket::create(recorder, delegateQueue);
    }
    // Waits until a datagram waits in the kernel for the socket's descriptor (at most a second).
    static void waitUntilQueuedInKernel(UdpSocket& s) {
        int n = 0;
        for (int i = 0; i < 500 && n == 0; ++i) {
            s.performBlock([&] { ::ioctl(s.socketFD(), FIONREAD, &n); });
            if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // Waits until work already posted to the delegate queue has run.
    void drainDelegateQueue() {
        delegateQueue->sync([] {});
    }

    QueuePtr delegateQueue = Queue::serial("test.udp.delegate");
    std::shared_ptr<UdpRecorder> sender = std::make_shared<UdpRecorder>();
    std::shared_ptr<UdpRecorder> receiver = std::make_shared<UdpRecorder>();
};

// ---- traffic ----

TEST_F(UdpSocketTest, DatagramsTravelBothWaysOnBothFamilies) {
    // The receiver binds to the interface; the sender sends to the host, or without one to the
    // loopback address of the expected family.
    struct Case {
        const char* interface;
        const char* host;
        int expectedFamily;
        bool preferIPv6 = false;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", nullptr, AF_INET},
        {"::1", nullptr, AF_INET6},
        {"127.0.0.1", "127.0.0.1", AF_INET},
        {"::1", "::1", AF_INET6},
        {"localhost", "localhost", AF_INET},  // the resolver's order
        {"localhost", "localhost", AF_INET6, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.interface) + (c.host ? " by name" : "") +
                     (c.preferIPv6 ? ", IPv6 preferred" : ""));
        sender = std::make_shared<UdpRecorder>();
        receiver = std::make_shared<UdpRecorder>();
        auto in = make(receiver), out = make(sender);
        Error error;
        ASSERT_TRUE(in->bindToPort(0, std::string(c.interface), &error)) << error.description();
        // Bound to "localhost", each family has a port of its own.
        const uint16_t port = c.expectedFamily == AF_INET ? in->localPort_IPv4() : in->localPort_IPv6();
        ASSERT_TRUE(in->beginReceiving(&error));
        if (c.preferIPv6) out->setPreferIPv6();
        if (c.host) {
            out->sendData(datagram("ping"), c.host, port, 5, 7);
        } else {
            out->sendData(datagram("ping"),
                          c.expectedFamily == AF_INET ? loopbackAddress4(port) : loopbackAddress6(port), 5,
                          7);
        }
        ASSERT_TRUE(receiver->waitFor(UdpEvent::Received));
        UdpEvent got = receiver->events(UdpEvent::Received).at(0);
        EXPECT_EQ(got.data, "ping");
        EXPECT_EQ(addressFamily(got.address), c.expectedFamily);
        ASSERT_TRUE(sender->waitFor(UdpEvent::Sent));
        EXPECT_EQ(sender->events(UdpEvent::Sent).at(0).tag, 7);
        // The send made and bound the sender's descriptors, so it can receive the answer unbound.
        ASSERT_TRUE(out->receiveOnce(&error)) << error.description();
        in->sendData(datagram("pong"), got.address, 5, 8);
        ASSERT_TRUE(sender->waitFor(UdpEvent::Received));
        EXPECT_EQ(sender->received().at(0), "pong");
        EXPECT_EQ(sender->count(UdpEvent::Closed) + receiver->count(UdpEvent::Closed), 0u);
    }
}

TEST_F(UdpSocketTest, FiltersDecideOnTheirQueues) {
    // Each filter refuses "drop"; the receive filter leaves the datagram's length as its context.
    auto filterQueue = Queue::serial("test.udp.filter");
    for (bool async : {false, true}) {
        for (bool onSend : {true, false}) {
            SCOPED_TRACE(std::string(async ? "async " : "sync ") +
                         (onSend ? "send filter" : "receive filter"));
            sender = std::make_shared<UdpRecorder>();
            receiver = std::make_shared<UdpRecorder>();
            auto in = make(receiver), out = make(sender);
            ASSERT_TRUE(in->bindToPort(0, std::string("127.0.0.1")));
            ASSERT_TRUE(in->beginReceiving());
            if (onSend) {
                out->setSendFilter(
                    [](const SharedBytes& d, const Bytes&, long) {
                        return *d != Bytes{'d', 'r', 'o', 'p'};
                    },
                    filterQueue, async);
            } else {
                in->setReceiveFilter(
                    [](const SharedBytes& d, const Bytes&, std::any* context) {
                        *context = d->size();
                        return *d != Bytes{'d', 'r', 'o', 'p'};
                    },
                    filterQueue, async);
            }
            const Bytes to = loopbackAddress4(in->localPort());
            out->sendData(datagram("drop"), to, 5, 1);
            out->sendData(datagram("keep"), to, 5, 2);
            ASSERT_TRUE(receiver->waitFor(UdpEvent::Received));
            ASSERT_TRUE(sender->waitFor(UdpEvent::Sent, 2));
            EXPECT_EQ(receiver->received(), std::vector<std::string>{"keep"});
            // A refused datagram is reported as sent, in queue order.
            auto sent = sender->events(UdpEvent::Sent);
            EXPECT_EQ(sent.at(0).tag, 1);
            EXPECT_EQ(sent.at(1).tag, 2);
            const std::any context = receiver->events(UdpEvent::Received).at(0).context;
            EXPECT_EQ(context.has_value(), !onSend);
            if (!onSend) {
                EXPECT_EQ(std::any_cast<size_t>(context), 4u);
            }
        }
    }
}

TEST_F(UdpSocketTest, ReceiveOnceDeliversOneAndPausedDatagramsWaitInTheKernel) {
    auto in = make(receiver);
    ASSERT_TRUE(in->bindToPort(0, std::string("127.0.0.1")));
    PlainSocket peer;
    const Bytes to = loopbackAddress4(in->localPort());
    peer.send("one", to);
    peer.send("two", to);
    ASSERT_TRUE(in->receiveOnce());
    ASSERT_TRUE(receiver->waitFor(UdpEvent::Received));
    // "two" waits until asked for.
    waitUntilQueuedInKernel(*in);
    drainDelegateQueue();
    EXPECT_EQ(receiver->received(), std::vector<std::string>{"one"});
    ASSERT_TRUE(in->receiveOnce());
    ASSERT_TRUE(receiver->waitFor(UdpEvent::Received, 2));
    // Paused: datagrams stay in the kernel until receiving begins again.
    ASSERT_TRUE(in->beginReceiving());
    in->pauseReceiving();
    in->performBlock([] {});  // the pause has taken effect
    peer.send("three", to);
    peer.send("four", to);
    waitUntilQueuedInKernel(*in);
    drainDelegateQueue();
    EXPECT_EQ(receiver->count(UdpEvent::Received), 2u);
    ASSERT_TRUE(in->beginReceiving());
    ASSERT_TRUE(receiver->waitFor(UdpEvent::Received, 4));
    EXPECT_EQ(receiver->received(), (std::vector<std::string>{"one", "two", "three", "four"}));
}

TEST_F(UdpSocketTest, ConnectedSocketHearsOnlyItsPeerAndForgetsItOnClose) {
    auto sock = make(receiver);
    ASSERT_TRUE(sock->bindToPort(0, std::string("127.0.0.1")));
    PlainSocket stranger, peer;
    const Bytes self = loopbackAddress4(sock->localPort());
    stranger.send("stranger", self);  // waits in the kernel from before the connect
    waitUntilQueuedInKernel(*sock);
    ASSERT_TRUE(sock->connectToAddress(peer.address()));
    ASSERT_TRUE(receiver->waitFor(UdpEvent::Connect));
    EXPECT_EQ(receiver->events(UdpEvent::Connect).at(0).address, peer.address());
    EXPECT_EQ(sock->connectedPort(), portFromAddress(peer.address()));
    ASSERT_TRUE(sock->beginReceiving());
    peer.send("peer", self);
    ASSERT_TRUE(receiver->waitFor(UdpEvent::Received));
    EXPECT_EQ(receiver->received(), std::vector<std::string>{"peer"});
    // Datagrams go to the peer only.
    sock->sendData(datagram("to peer"), 1);
    sock->sendData(datagram("elsewhere"), stranger.address(), 5, 2);
    EXPECT_EQ(peer.receive(), "to peer");
    ASSERT_TRUE(receiver->waitFor(UdpEvent::NotSent));
    expectError(receiver->events(UdpEvent::NotSent).at(0).error, kUdpDomain, 1,
                "Cannot specify destination of packet for connected socket");
    sock->close();
    EXPECT_TRUE(sock->connectedAddress().empty());
    EXPECT_EQ(sock->connectedPort(), 0);
    EXPECT_FALSE(sock->isConnected());
}

TEST_F(UdpSocketTest, SendFromACallbackOnTheSynchronousFilterQueueGoesOut) {
    struct Resender : UdpRecorder {  // sends again from the first send callback, the socket queue idle
        Bytes to;
        void udpSocketDidSendDataWithTag(UdpSocket& s, long tag) override {
            UdpRecorder::udpSocketDidSendDataWithTag(s, tag);
            if (tag == 1) s.performBlock([] {}), s.sendData(datagram("second"), to, 5, 2);
        }
    };
    PlainSocket peer;
    auto resender = std::make_shared<Resender>();
    resender->to = peer.address();
    auto sock = UdpSocket::create(resender, delegateQueue);
    sock->setSendFilter([](const SharedBytes&, const Bytes&, long) { return true; }, delegateQueue, false);
    sock->sendData(datagram("first"), peer.address(), 5, 1);
    ASSERT_TRUE(resender->waitFor(UdpEvent::Sent, 2));
    EXPECT_EQ(peer.receive(), "first");
    EXPECT_EQ(peer.receive(), "second");
}

TEST_F(UdpSocketTest, ReceiveFilterAnswerAskedBeforeACloseIsDropped) {
    Semaphore asked, release;  // the first answer waits until the socket has closed and opened again
    std::atomic<int> calls = 0;
    auto in = make(receiver);
    in->setReceiveFilter(
        [&](const SharedBytes&, const Bytes&, std::any*) {
            if (calls++ == 0) asked.signal(), release.wait(5);
            return true;
        },
        Queue::serial("test.udp.filter"));
    PlainSocket peer;
    for (const std::string text : {"old", "new"}) {
        ASSERT_TRUE(in->bindToPort(0, std::string("127.0.0.1")));
        ASSERT_TRUE(in->receiveOnce());
        if (text == "new") release.signal();
        peer.send(text, loopbackAddress4(in->localPort()));
        if (text != "old") continue;
        ASSERT_TRUE(asked.wait(5));
        in->close();
    }
    ASSERT_TRUE(receiver->waitFor(UdpEvent::Received));
    drainDelegateQueue();
    EXPECT_EQ(receiver->received(), std::vector<std::string>{"new"});
    EXPECT_EQ(receiver->kinds(), (std::vector<UdpEvent::Kind>{UdpEvent::Closed, UdpEvent::Received}));
}

// ---- refusals and closing ----

TEST_F(UdpSocketTest, ImmediateRefusalsCarryTheirTexts) {
    struct Case {
        const char* text;
        long code;
        std::function<bool(UdpSocket&, Error*)> call;
        std::function<void(UdpSocket&)> setup = nullptr;
        bool withDelegate = true;
    };
    PlainSocket holder;  // binds its port without address reuse
    const std::vector<Case> cases = {
        {"Attempting to use socket without a delegate. Set a delegate first.", 1,
         [](UdpSocket& s, Error* e) { return s.bindToPort(0, e); }, nullptr, false},
        {"Cannot bind a socket more than once.", 1, [](UdpSocket& s, Error* e) { return s.bindToPort(0, e); },
         [](UdpSocket& s) { s.bindToPort(0, std::string("127.0.0.1")); }},
        {"Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.", 2,
         [](UdpSocket& s, Error* e) { return s.bindToPort(0, std::string("no-such-if0"), e); }},
        {"IPv4 has been disabled and specified interface doesn't support IPv6.", 2,
         [](UdpSocket& s, Error* e) { return s.bindToPort(0, std::string("127.0.0.1"), e); },
         [](UdpSocket& s) { s.setIPv4Enabled(false); }},
        {"A valid IPv4 or IPv6 address was not given", 2,
         [](UdpSocket& s, Error* e) { return s.bindToAddress(Bytes(16, 0), e); }},
        {"Cannot bind after connecting. If needed, bind first, then connect.", 1,
         [](UdpSocket& s, Error* e) {
             // On the socket queue, so that the connect is still resolving.
             bool bound = true;
             s.performBlock([&] {
                 s.connectToHost("localhost", 9);
                 bound = s.bindToPort(0, e);
             });
             return bound;
         }},
        {"Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly "
         "via "
         "connect or by sending data.",
         1, [](UdpSocket& s, Error* e) { return s.receiveOnce(e); }},
        {"Must bind a socket before joining a multicast group.", 1,
         [](UdpSocket& s, Error* e) { return s.joinMulticastGroup("239.1.2.3", e); }},
        {"Socket, group, and interface do not have matching IP versions", 2,
         [](UdpSocket& s, Error* e) { return s.joinMulticastGroup("ff02::1", std::string("127.0.0.1"), e); },
         [](UdpSocket& s) { s.bindToPort(0, std::string("127.0.0.1")); }},
        {"Address already in use", EADDRINUSE,
         [&](UdpSocket& s, Error* e) { return s.bindToAddress(holder.address(), e); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto sock = c.withDelegate ? make(receiver) : UdpSocket::create();
        if (c.setup) c.setup(*sock);
        Error error;
        EXPECT_FALSE(c.call(*sock, &error));
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.localizedDescription(), c.text);
    }
}

TEST_F(UdpSocketTest, CloseDropsQueuedDatagramsSilentlyAndCloseAfterSendingSendsThemFirst) {
    PlainSocket peer;
    // An asynchronous filter held at the first datagram keeps the rest queued.
    auto filterQueue = Queue::serial("test.udp.filter");
    Semaphore release;
    auto sock = make(sender);
    sock->setSendFilter(
        [&](const SharedBytes&, const Bytes&, long) {
            release.wait(5);
            return true;
        },
        filterQueue);
    for (long tag = 1; tag <= 3; ++tag)
        sock->sendData(datagram("queued"), peer.address(), 5, tag);
    sock->close();
    release.signal();
    ASSERT_TRUE(sender->waitFor(UdpEvent::Closed));
    filterQueue->sync([] {});
    sock->performBlock([] {});
    drainDelegateQueue();
    EXPECT_EQ(sender->kinds(), std::vector<UdpEvent::Kind>{UdpEvent::Closed});
    EXPECT_FALSE(sender->events(UdpEvent::Closed).at(0).error.has_value());

    sock->setSendFilter(nullptr, nullptr);
    sock->sendData(datagram("a"), peer.address(), 5, 4);
    sock->sendData(datagram("b"), peer.address(), 5, 5);
    sock->closeAfterSending();
    ASSERT_TRUE(sender->waitFor(UdpEvent::Closed, 2));
    EXPECT_EQ(sender->kinds(), (std::vector<UdpEvent::Kind>{UdpEvent::Closed, UdpEvent::Sent, UdpEvent::Sent,
                                                            UdpEvent::Closed}));
    EXPECT_EQ(peer.receive(), "a");
    EXPECT_EQ(peer.receive(), "b");
}

TEST_F(UdpSocketTest, BroadcastIsAnIPv4Option) {
    auto sock4 = make(receiver), sock6 = make(receiver);
    ASSERT_TRUE(sock4->bindToPort(0, std::string("127.0.0.1")));
    ASSERT_TRUE(sock6->bindToPort(0, std::string("::1")));
    Error error;
    ASSERT_TRUE(sock4->enableBroadcast(true, &error)) << error.description();
    int value = -1;
    sock4->performBlock([&] { value = intOption(sock4->socket4FD(), SOL_SOCKET, SO_BROADCAST); });
    EXPECT_EQ(value, 1);
    error = Error();
    EXPECT_FALSE(sock6->enableBroadcast(true, &error));
    EXPECT_EQ(error.code, 0);
}

// ---- faults the socket guards against ----

TEST_F(UdpSocketTest, EmptyDatagramDoesNotCloseTheSocket) {
    auto in = make(receiver);
    ASSERT_TRUE(in->bindToPort(0, std::string("127.0.0.1")));
    ASSERT_TRUE(in->beginReceiving());
    PlainSocket peer;
    const Bytes to = loopbackAddress4(in->localPort());
    peer.send("", to);
    peer.send("after", to);
    ASSERT_TRUE(receiver->waitFor(UdpEvent::Received));
    EXPECT_EQ(receiver->received(), std::vector<std::string>{"after"});
    EXPECT_FALSE(in->isClosed());
    EXPECT_EQ(receiver->count(UdpEvent::Closed), 0u);
}

TEST_F(UdpSocketTest, DescriptorsThatCannotBeMadeAtTheFirstSendAreReported) {
    auto sock = make(sender);
    sock->performBlock([] {});  // idle: a send runs at once on the thread that asks for it
    std::thread([&] {
        ASSERT_TRUE(failOnThisThread(__NR_socket, EMFILE));
        sock->sendData(datagram("x"), loopbackAddress4(9), 5, 1);
    }).join();
    ASSERT_TRUE(sender->waitFor(UdpEvent::Closed));
    const Error error = *sender->events(UdpEvent::Closed).at(0).error;
    EXPECT_EQ(error.code, EMFILE);
    EXPECT_EQ(error.localizedFailureReason(), "Error in socket() function");
    EXPECT_EQ(sender->count(UdpEvent::Sent) + sender->count(UdpEvent::NotSent), 0u);
}

TEST_F(UdpSocketTest, IPv6DescriptorIsMadeWhereIPv6OnlyIsRefused) {
    auto sock = make(receiver);
    Error error;
    std::thread([&] {  // bindToPort makes the descriptors on the calling thread
        ASSERT_TRUE(failOnThisThread(__NR_setsockopt, EPERM, {IPPROTO_IPV6, IPV6_V6ONLY}));
        EXPECT_TRUE(sock->bindToPort(0, std::string("::1"), &error)) << error.description();
    })
        .join();
}

TEST_F(UdpSocketTest, UnusableDestinationsFailOnlyTheirDatagram) {
    PlainSocket peer;
    struct Case {
        const char* name;
        std::function<void(UdpSocket&)> send;
        long code;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"no family", [](UdpSocket& s) { s.sendData(datagram("x"), Bytes(16, 0), 5, 1); }, 2,
         "A valid IPv4 or IPv6 address was not given"},
        {"deactivated family", [](UdpSocket& s) { s.sendData(datagram("x"), loopbackAddress6(9), 5, 1); }, 2,
         "IPv6 has been deactivated due to bind/connect, and an IPv6 address was passed."},
        {"both families excluded",
         [](UdpSocket& s) {
             s.setIPv4Enabled(false);
             s.sendData(datagram("x"), "localhost", 9, 5, 1);
         },
         5,
         "Neither IPv4 nor IPv6 can be used (disabled, or deactivated due to bind/connect) for the "
         "address(es) "
         "found."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sender = std::make_shared<UdpRecorder>();
        auto sock = make(sender);
        ASSERT_TRUE(sock->bindToPort(0, std::string("127.0.0.1")));  // IPv6 is deactivated
        c.send(*sock);
        ASSERT_TRUE(sender->waitFor(UdpEvent::NotSent));
        expectError(sender->events(UdpEvent::NotSent).at(0).error, kUdpDomain, c.code, c.text);
        // The socket stays open and sends on.
        sock->setIPv4Enabled(true);
        sock->sendData(datagram("next"), peer.address(), 5, 2);
        ASSERT_TRUE(sender->waitFor(UdpEvent::Sent));
        EXPECT_EQ(peer.receive(), "next");
        EXPECT_EQ(sender->count(UdpEvent::Closed), 0u);
    }
}

TEST_F(UdpSocketTest, ErrorsOfOneDatagramFailItAloneAndTheQueueGoesOn) {
    PlainSocket peer;
    struct Case {
        const char* name;
        SharedBytes data;
        Bytes to;
        int error;
        // The loopback cannot be made to answer it: the send's sendto() fails with the error instead.
        bool injected = false;
    };
    const std::vector<Case> cases = {
        {"too long", std::make_shared<const Bytes>(70000, 'x'), peer.address(), EMSGSIZE},
        // 127.255.255.255, the loopback broadcast address, without the broadcast option.
        {"broadcast not allowed", datagram("x"), makeAddress4(in_addr{htonl(0x7fffffff)}, 9), EACCES},
        {"port 0", datagram("x"), loopbackAddress4(0), EINVAL},
        {"refused by a firewall rule", datagram("x"), peer.address(), EPERM, true},
        {"no route to the network", datagram("x"), peer.address(), ENETUNREACH, true},
        {"no route to the host", datagram("x"), peer.address(), EHOSTUNREACH, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sender = std::make_shared<UdpRecorder>();
        auto sock = make(sender);
        // The socket queue is idle, so the datagram's system calls are made on the asking thread.
        std::thread([&] {
            if (c.injected) {
                ASSERT_TRUE(failOnThisThread(__NR_sendto, c.error));
            }
            sock->sendData(c.data, c.to, 5, 1);
        }).join();
        sock->sendData(datagram("next"), peer.address(), 5, 2);
        ASSERT_TRUE(sender->waitFor(UdpEvent::Sent));
        EXPECT_EQ(peer.receive(), "next");
        ASSERT_EQ(sender->kinds(), (std::vector<UdpEvent::Kind>{UdpEvent::NotSent, UdpEvent::Sent}));
        const UdpEvent failed = sender->events(UdpEvent::NotSent).at(0);
        EXPECT_EQ(failed.tag, 1);
        EXPECT_EQ(failed.error->code, c.error);
        EXPECT_FALSE(sock->isClosed());
    }
}

TEST_F(UdpSocketTest, DestructionReportsTheCloseWithoutTheSocket) {
    auto sock = make(receiver);
    ASSERT_TRUE(sock->bindToPort(0, std::string("127.0.0.1")));
    sock.reset();
    ASSERT_TRUE(receiver->waitFor(UdpEvent::Closed));
    UdpEvent closed = receiver->events(UdpEvent::Closed).at(0);
    EXPECT_TRUE(closed.nullSocket);
    EXPECT_FALSE(closed.error.has_value());
}

// Queues have no target queues: a queue marked as the socket queue's target never runs socket-queue
// work, so its work must not count as such (for both sockets, which share the mark).
TEST_F(UdpSocketTest, WorkOnAMarkedQueueIsNotOnTheSocketQueue) {
    auto sock = make(receiver);
    ASSERT_TRUE(sock->bindToPort(0, std::string("127.0.0.1")));
    auto other = Queue::serial("test.socket.other");
    sock->markSocketQueueTargetQueue(other);
    int there = 0, here = -1;
    other->sync([&] { there = sock->socketFD(); });
    sock->performBlock([&] { here = sock->socketFD(); });
    EXPECT_TRUE(there == -1 && here >= 0) << there << " " << here;
}

TEST_F(UdpSocketTest, LocalPortOfAFamilyNotYetBoundIsAskedAgain) {
    PlainSocket peer4, peer6(AF_INET6);
    auto sock = make(sender);
    sock->sendData(datagram("x"), peer4.address(), 5, 1);
    ASSERT_TRUE(sender->waitFor(UdpEvent::Sent));
    EXPECT_NE(sock->localPort_IPv4(), 0);
    EXPECT_EQ(sock->localPort_IPv6(), 0);  // the IPv6 descriptor is not bound yet
    sock->sendData(datagram("y"), peer6.address(), 5, 2);
    ASSERT_TRUE(sender->waitFor(UdpEvent::Sent, 2));
    EXPECT_NE(sock->localPort_IPv6(), 0);
}

TEST_F(UdpSocketTest, ALongQueueEndingAtOnceIsServedWithoutDeepRecursion) {
    // Counts the failures and checks their order without keeping them.
    static constexpr long kDatagrams = 200000;
    struct Counter : UdpSocketDelegate {
        void udpSocketDidSendDataWithTag(UdpSocket&, long tag) override { inOrder = inOrder && tag == 0; }
        void udpSocketDidNotSendDataWithTag(UdpSocket&, long tag, const Error&) override {
            inOrder = inOrder && tag == ++last;
            if (tag == kDatagrams) done.signal();
        }
        long last = 0;
        bool inOrder = true;
        Semaphore done;
    };
    auto counter = std::make_shared<Counter>();
    auto sock = UdpSocket::create(counter, delegateQueue);
    PlainSocket peer;
    auto filterQueue = Queue::serial("test.udp.filter");
    Semaphore release;
    sock->setSendFilter(
        [&](const SharedBytes&, const Bytes&, long) {
            release.wait(10);
            return true;
        },
        filterQueue);
    sock->sendData(datagram("first"), peer.address(), 5, 0);
    // Behind the first, held by its filter: datagrams that all fail at once when their turn comes.
    for (long tag = 1; tag <= kDatagrams; ++tag)
        sock->sendData(datagram("x"), Bytes(16, 0), 5, tag);
    sock->setSendFilter(nullptr, nullptr);
    release.signal();
    ASSERT_TRUE(counter->done.wait(60));
    drainDelegateQueue();
    EXPECT_TRUE(counter->inOrder);
    EXPECT_EQ(peer.receive(), "first");
}

}  // namespace
}  // namespace quill::net
