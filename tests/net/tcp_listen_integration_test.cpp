// TcpSocket as a listener on loopback ports and unix-domain paths, and as a unix-domain client: accepted
// sockets carry data, refusals carry their texts, files at the path are replaced only when they are
// sockets, and accepted connections nobody can take are closed.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <tuple>

#include "net/TcpRecorder.h"
#include "net/TcpSocket.h"
#include "support/LoopbackServer.h"
#include "support/TempFolder.h"

namespace quill::net {
namespace {

using platform::dispatch::Queue;
using platform::foundation::bytesOf;
using platform::foundation::stringOf;
using tcptest::Event;
using tcptest::Recorder;

// A blocking client connected to address (IPv4 or IPv6), or -1.
int connectTo(const Bytes& address) {
    int fd = ::socket(addressFamily(address), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), socklen_t(address.size())) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool isSocketFile(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

class TcpListenTest : public ::testing::Test {
  protected:
    void SetUp() override { listener = TcpSocket::create(recorder, delegateQueue); }
    void TearDown() override {
        for (int fd : clients)
            ::close(fd);
    }
    // Sends text from a client descriptor and expects it on the i-th accepted socket.
    void expectCarried(int client, size_t i, const std::string& text) {
        auto acceptedRecorder = std::make_shared<Recorder>();
        auto accepted = recorder->acceptedSocket(i);
        ASSERT_TRUE(accepted);
        accepted->setDelegate(acceptedRecorder);
        accepted->readDataToLength(text.size(), 5.0, 1);
        ASSERT_TRUE(testing::writeAll(client, bytesOf(text)));
        ASSERT_TRUE(acceptedRecorder->waitFor(Event::Read));
        EXPECT_EQ(stringOf(acceptedRecorder->readBytes()), text);
    }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    platform::dispatch::QueuePtr delegateQueue = Queue::serial("test.listen.delegate");
    std::shared_ptr<TcpSocket> listener;
    std::vector<int> clients;
};

TEST_F(TcpListenTest, BothFamiliesListenOnOnePortAndCarryData) {
    ASSERT_TRUE(listener->acceptOnPort(0));
    uint16_t port4 = 0, port6 = 0;
    std::string host4, host6;
    listener->performBlock([&] {
        port4 = listener->localPort4();
        port6 = listener->localPort6();
        host4 = listener->localHost4();
        host6 = listener->localHost6();
    });
    ASSERT_NE(port4, 0);
    EXPECT_EQ(port6, port4);
    EXPECT_EQ(host4, "0.0.0.0");
    EXPECT_EQ(host6, "::");
    // Off the socket queue they do not look.
    EXPECT_EQ(listener->localPort4(), 0);
    clients.push_back(connectTo(loopbackAddress4(port4)));
    ASSERT_TRUE(recorder->waitFor(Event::Accept, 1));
    clients.push_back(connectTo(loopbackAddress6(port4)));
    ASSERT_TRUE(recorder->waitFor(Event::Accept, 2));
    expectCarried(clients[0], 0, "over IPv4");
    expectCarried(clients[1], 1, "over IPv6");
    // Each accepted socket has one family's descriptor, and its getters answer for that family only.
    for (size_t i = 0; i < 2; ++i) {
        auto a = recorder->acceptedSocket(i);
        uint16_t peer4 = 1, peer6 = 1, local = 0;
        a->performBlock([&] {
            peer4 = a->connectedPort4();
            peer6 = a->connectedPort6();
            local = i == 0 ? a->localPort4() : a->localPort6();
        });
        EXPECT_EQ(i == 0 ? peer6 : peer4, 0) << i;
        EXPECT_EQ(i == 0 ? peer4 : peer6, a->connectedPort()) << i;
        EXPECT_EQ(local, port4) << i;
    }
    EXPECT_EQ(hostFromAddress(recorder->acceptedFrom.at(1)), "::1");
    // Closing the listener leaves the accepted connections alone.
    listener->disconnect();
    ASSERT_TRUE(recorder->waitFor(Event::Disconnect));
    EXPECT_TRUE(recorder->acceptedSocket(0)->isConnected());
}

// Linux cannot count the connections waiting on a listener: one event takes every one of them.
TEST_F(TcpListenTest, ConnectionsPendingAtOneEventAreAllAcceptedInIt) {
    // The socket queue is the delegate queue, so each accept report runs only after the event that
    // accepted it; the first report looks whether connections were left waiting.
    auto queue = Queue::serial("test.listen.shared");
    listener = TcpSocket::create(recorder, queue, queue);
    int leftWaiting = -1;
    recorder->onAcceptQuestion = [&](TcpSocket& sock) {
        if (leftWaiting != -1) return;
        pollfd p{sock.socket4FD(), POLLIN, 0};
        leftWaiting = ::poll(&p, 1, 0);
    };
    ASSERT_TRUE(listener->acceptOnInterface(std::string("127.0.0.1"), 0));
    const uint16_t port = listener->localPort();
    platform::dispatch::Semaphore release, holding;
    queue->async([&] {
        holding.signal();
        release.wait(10);
    });
    ASSERT_TRUE(holding.wait(5));
    for (int i = 0; i < 3; ++i)
        clients.push_back(connectTo(loopbackAddress4(port)));
    release.signal();
    ASSERT_TRUE(recorder->waitFor(Event::Accept, 3));
    EXPECT_EQ(leftWaiting, 0);
    for (size_t i = 0; i < 3; ++i)
        expectCarried(clients[i], i, "client " + std::to_string(i));
}

// Paths that cannot be used are refused with their texts: a file that is no socket stays as it was, and
// a path too long for an address is never shortened. A listening socket refuses a second accept.
TEST_F(TcpListenTest, RefusalsCarryTheirTexts) {
    testing::TempFolder folder;
    const std::string keep = folder / "notes.txt";
    std::ofstream(keep) << "keep me";
    const std::string tooLong = folder / std::string(sizeof(sockaddr_un::sun_path), 'x');
    using Call = std::function<bool(TcpSocket&, Error*)>;
    const std::vector<std::tuple<Call, long, std::string>> cases = {
        {[&](TcpSocket& s, Error* e) { return s.acceptOnUrl("file://" + keep, e); }, 8,
         "Could not remove previous unix domain socket at given url."},
        {[&](TcpSocket& s, Error* e) { return s.acceptOnUrl(tooLong, e); }, 2,
         "Invalid unix domain url. Specify a valid file url that does not exist (e.g. "
         "\"file:///tmp/socket\")"},
        {[&](TcpSocket& s, Error* e) { return s.connectToUrl(tooLong, -1, e); }, 2,
         "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {[&](TcpSocket& s, Error* e) { return s.connectToUrl("http://x/y", -1, e); }, 2,
         "Invalid unix domain socket url."},
        {[&](TcpSocket& s, Error* e) { return s.acceptOnPort(0) && s.acceptOnUrl(folder / "b.sock", e); }, 1,
         "Attempting to accept while connected or accepting connections. Disconnect first."},
    };
    for (const auto& [call, code, text] : cases) {
        Error err;
        EXPECT_FALSE(call(*listener, &err)) << text;
        EXPECT_EQ(err.domain, "TcpSocketErrorDomain") << text;
        EXPECT_EQ(err.code, code) << text;
        EXPECT_EQ(err.localizedDescription(), text);
    }
    std::ifstream in(keep);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
    EXPECT_FALSE(std::filesystem::exists(folder / "b.sock"));
}

TEST_F(TcpListenTest, UnixListenerAndClientExchangeDataAndTheFileGoesAtClose) {
    testing::TempFolder folder;
    const std::string path = folder / "quill listen.sock";
    // A socket left over from an earlier listener is replaced.
    {
        int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        Bytes a = makeAddressUN(path);
        ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(a.data()), socklen_t(a.size())), 0);
        ::close(stale);
    }
    ASSERT_TRUE(isSocketFile(path));
    const std::string url = fileUrlFromPath(path);
    ASSERT_TRUE(listener->acceptOnUrl(url));

    auto clientRecorder = std::make_shared<Recorder>();
    auto client = TcpSocket::create(clientRecorder, Queue::serial("test.listen.client"));
    ASSERT_TRUE(client->connectToUrl(url, 5.0));
    ASSERT_TRUE(clientRecorder->waitFor(Event::ConnectUrl));
    EXPECT_EQ(clientRecorder->events(Event::ConnectUrl).at(0).host, url);
    EXPECT_EQ(client->connectedUrl(), url);
    EXPECT_EQ(client->connectedPort(), 0);
    ASSERT_TRUE(recorder->waitFor(Event::Accept));

    auto acceptedRecorder = std::make_shared<Recorder>();
    auto accepted = recorder->acceptedSocket(0);
    accepted->setDelegate(acceptedRecorder);
    accepted->readDataToData(LFData(), 5.0, 1);
    client->writeData(bytesOf("ping\n"), 5.0, 2);
    ASSERT_TRUE(acceptedRecorder->waitFor(Event::Read));
    EXPECT_EQ(stringOf(acceptedRecorder->readBytes()), "ping\n");
    accepted->writeData(bytesOf("pong"), 5.0, 3);
    client->readDataToLength(4, 5.0, 4);
    ASSERT_TRUE(clientRecorder->waitFor(Event::Read));
    EXPECT_EQ(stringOf(clientRecorder->readBytes()), "pong");

    client->disconnect();
    ASSERT_TRUE(acceptedRecorder->waitFor(Event::Disconnect));
    EXPECT_EQ(acceptedRecorder->disconnectEvent().error->code, 7);
    EXPECT_TRUE(isSocketFile(path));
    listener->disconnect();
    EXPECT_FALSE(std::filesystem::exists(path));

    // Nothing listens there any more: the connect fails later, with the system's reason.
    ASSERT_TRUE(client->connectToUrl(url, 5.0));
    ASSERT_TRUE(clientRecorder->waitFor(Event::Disconnect, 2));
    Error err = *clientRecorder->events(Event::Disconnect).at(1).error;
    EXPECT_EQ(err.code, ENOENT);
    EXPECT_EQ(err.localizedFailureReason(), "Error in connect() function");
}

// With no delegate queue (set to null after listening began), an accepted connection has nobody to go
// to: it is closed rather than kept open for ever.
TEST_F(TcpListenTest, AcceptedConnectionWithoutDelegateQueueIsClosed) {
    ASSERT_TRUE(listener->acceptOnInterface(std::string("localhost"), 0));
    const uint16_t port = listener->localPort();
    listener->synchronouslySetDelegateQueue(nullptr);
    clients.push_back(connectTo(loopbackAddress4(port)));
    ASSERT_GE(clients[0], 0);
    EXPECT_TRUE(testing::peerHungUp(clients[0], 5000));
    EXPECT_EQ(recorder->count(Event::Accept), 0u);
}

// Interface descriptions that are IPv6 addresses, and an interface that failed to bind once does not
// stay bound to later connects.
TEST_F(TcpListenTest, IPv6InterfacesAndNoStaleInterface) {
    ASSERT_TRUE(listener->acceptOnInterface(std::string("::1"), 0));
    EXPECT_TRUE(listener->isIPv6());
    EXPECT_FALSE(listener->isIPv4());
    const uint16_t port = listener->localPort();
    ASSERT_NE(port, 0);

    auto clientRecorder = std::make_shared<Recorder>();
    auto client = TcpSocket::create(clientRecorder, Queue::serial("test.listen.client"));
    // The listener's own port is taken: binding to it fails at once.
    Error err;
    EXPECT_FALSE(
        client->connectToAddress(loopbackAddress6(port), "[::1]:" + std::to_string(port), 5.0, &err));
    EXPECT_EQ(err.localizedFailureReason(), "Error in bind() function");
    ASSERT_TRUE(client->connectToAddress(loopbackAddress6(port), 5.0, &err)) << err.description();
    ASSERT_TRUE(clientRecorder->waitFor(Event::Connect));
    EXPECT_NE(client->localPort(), port);
    EXPECT_EQ(client->connectedHost(), "::1");
}

}  // namespace
}  // namespace quill::net
