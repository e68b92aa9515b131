// The receiver link against the test receiver: connecting, set-up, heartbeats, the silence watch, losing
// and closing connections, reconnecting, and the control stream's framing on a real connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "NetStreamTestSupport.h"
#include "link/NetStream.h"
#include "platform/foundation/SysLog.h"
#include "support/TestReceiver.h"

namespace quill {
namespace {

using platform::foundation::LogCapture;
using testing::ControlRecord;
using testing::NetStreamRecorder;
using testing::ReceiverPort;
using testing::TestReceiver;

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Shortened timings for everything but the tests of the link's own heartbeat period and silence limit.
NetStream::Options fastOptionsFor(const TestReceiver& rx) {
    NetStream::Options o = linkOptionsFor(rx);
    o.heartbeatPeriod = 0.05;
    o.silenceLimit = 0.5;
    o.connectTimeout = 1.0;
    return o;
}

TestReceiver::Options receiverOptions(double heartbeat = 0.3) {
    TestReceiver::Options o;
    o.heartbeatSeconds = heartbeat;
    return o;
}

// A control packet from the receiver, unscrambled.
std::array<uint8_t, 16> fromReceiver(uint8_t kind, uint8_t code, uint8_t byte5 = 0) {
    std::array<uint8_t, 16> p{};
    p[0] = 200;
    p[1] = 4;
    p[2] = kind;
    p[3] = code;
    p[5] = byte5;
    return p;
}

std::vector<uint8_t> scrambled(std::array<uint8_t, 16> p) {
    testing::scrambleControl(p);
    return std::vector<uint8_t>(p.begin(), p.end());
}

struct Link : testing::ReceiverLink {
    explicit Link(TestReceiver::Options ro = receiverOptions()) : ReceiverLink(std::move(ro)) {}
};

TEST(NetStreamLinkTest, ConnectsAllFourAndSpeaksTheControlProtocol) {
    LogCapture log;
    Link l;
    l.start(linkOptionsFor(l.rx));
    l.ns->setLocaIpByte(37);
    l.rx.setVersion("3.1.4");
    l.ns->connect("127.0.0.1");
    EXPECT_TRUE(l.ns->isConnected());
    ASSERT_TRUE(l.rec->waitFor("onConnectSuccess", 1, 5));
    ASSERT_TRUE(l.rx.waitForConnections(1, 5));
    EXPECT_TRUE(log.contains("receiver addr = 127.0.0.1, last byte=37"));
    ASSERT_TRUE(l.rx.waitFor(
        [&] {
            return log.contains("video socket connect to server") &&
                   log.contains("audio socket connect to server") &&
                   log.contains("touch socket connect to server");
        },
        5));
    EXPECT_TRUE(log.contains("control socket connect to server"));
    EXPECT_TRUE(log.contains("didConnectToHost:127.0.0.1:" + std::to_string(l.rx.controlPort())));

    // A set-up as the session sends it: every request arrives with this sender's address byte.
    l.ns->setSenderName("Quill Laptop 2");
    l.ns->requestReceiverVersion();
    l.ns->requestGetAuthentication();
    l.ns->requestSyncClientType();
    EXPECT_TRUE(l.ns->requestAuthenPinCode("12345678"));
    ASSERT_TRUE(l.rx.waitForRequests(35, 1, 5));
    auto codes = [&] {
        std::vector<int> out;
        for (const auto& r : l.rx.control()) {
            if (r.kind() == 1 && r.code() != 0) out.push_back(r.code());
        }
        return out;
    }();
    EXPECT_EQ(codes, (std::vector<int>{15, 16, 14, 25, 20, 35}));
    for (const auto& r : l.rx.control()) {
        if (r.kind() == 1) {
            EXPECT_EQ(r.bytes[0], 37);
            EXPECT_EQ(r.bytes[1], 4);
        }
    }
    // The answers come back through the delegate.
    ASSERT_TRUE(l.rec->waitFor("onServerResponseVersion", 1, 5));
    EXPECT_EQ(l.rec->events("onServerResponseVersion")[0].text, "3.1.4");
    ASSERT_TRUE(l.rec->waitFor("onServerResponseAuthenticateType", 1, 5));
    EXPECT_EQ(l.rec->names().front(), "onConnectSuccess");

    // Mirror start and stop round trips, and receiver-initiated requests and callbacks.
    l.ns->requestMirrorStart();
    ASSERT_TRUE(l.rec->waitFor("onRequestMirrorStartSuccess", 1, 5));
    l.ns->requestMirrorStop();
    ASSERT_TRUE(l.rec->waitFor("onRequestMirrorStopSuccess", 1, 5));
    l.rx.setMirrorStartResult(false);
    l.rx.setStatus(2, 99);
    l.ns->requestMirrorStart();
    ASSERT_TRUE(l.rec->waitFor("onRequestMirrorStartFailed", 1, 5));
    EXPECT_EQ(l.rec->events("onRequestMirrorStartFailed")[0].text, "-1");
    EXPECT_EQ(l.rx.requests(9).size(), 1u);
    ASSERT_TRUE(l.rx.sendRequest(1));
    ASSERT_TRUE(l.rx.sendCallback(128, 7));
    ASSERT_TRUE(l.rec->waitFor("onServerRequestDeviceStatus", 1, 5));
    EXPECT_EQ(l.rec->count("onServerRequestMirrorOn"), 1u);
    EXPECT_EQ(l.rec->events("onServerRequestDeviceStatus")[0].text, "7");

    // Callbacks come from the link's threads, never from the caller's.
    for (const auto& e : l.rec->events())
        EXPECT_NE(e.thread, std::this_thread::get_id());
    EXPECT_EQ(l.rec->count("onConnectFailed"), 0u);

    l.ns->disconnect();
    EXPECT_FALSE(l.ns->isConnected());
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    EXPECT_EQ(l.rx.touchBytes(), 0u);
    EXPECT_TRUE(l.rx.problems().empty());
    // A close that was asked for is no failure.
    EXPECT_FALSE(l.rec->waitFor("onConnectFailed", 1, 0.3));
}

TEST(NetStreamLinkTest, HeartbeatsGoOutAboutEveryThreeHundredMilliseconds) {
    Link l(receiverOptions(0));
    l.start(linkOptionsFor(l.rx));
    l.ns->setLocaIpByte(37);
    l.ns->connect("127.0.0.1");
    ASSERT_TRUE(l.rx.waitForRequests(0, 7, 5));
    auto beats = l.rx.requests(0);
    std::array<uint8_t, 16> expected{};
    expected[0] = 37;
    expected[1] = 4;
    expected[2] = 1;
    for (const auto& b : beats)
        EXPECT_EQ(b.bytes, expected);
    double total = seconds(beats[6].at - beats[0].at);
    EXPECT_GT(total, 6 * 0.27);
    EXPECT_LT(total, 6 * 0.36);
    // Single gaps are read at the receiver and jitter on a busy machine; a second heartbeat thread
    // would still show as gaps near zero (and as a short total above).
    for (size_t i = 1; i < 7; ++i) {
        double gap = seconds(beats[i].at - beats[i - 1].at);
        EXPECT_GT(gap, 0.1) << i;
        EXPECT_LT(gap, 0.5) << i;
    }
    // The receiver answers every heartbeat, so the link stays up.
    EXPECT_EQ(l.rec->count("onConnectFailed"), 0u);
    l.ns->disconnect();
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    // No heartbeat after the link was closed.
    size_t after = l.rx.requests(0).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(l.rx.requests(0).size(), after);
}

TEST(NetStreamLinkTest, SilentReceiverIsReportedAfterTheSilenceLimit) {
    LogCapture log;
    Link l;
    l.rx.setSilent(true);
    l.start(linkOptionsFor(l.rx));  // the link's own timings: a heartbeat every 0.3 s, silent for 5.001 s
    l.ns->connect("127.0.0.1");
    ASSERT_TRUE(l.rec->waitFor("onConnectSuccess", 1, 5));
    ASSERT_TRUE(l.rec->waitFor("onConnectFailed", 1, 7));
    double after = seconds(l.rec->events("onConnectFailed")[0].at - l.rec->events("onConnectSuccess")[0].at);
    EXPECT_GE(after, 5.0);
    EXPECT_LE(after, 5.35);
    EXPECT_TRUE(log.contains("receiver timeout. going to disconnect."));
    ASSERT_TRUE(l.rx.waitFor([&] { return log.contains("sendHeartBeat exit."); }, 2));
    // The heartbeat has ended; the connections stay open until the session disconnects.
    size_t beats = l.rx.requests(0).size();
    EXPECT_FALSE(l.rx.waitFor([&] { return l.rx.requests(0).size() > beats; }, 0.7));
    EXPECT_FALSE(l.rx.peerClosed(ReceiverPort::Control));
    EXPECT_FALSE(l.rx.peerClosed(ReceiverPort::Video));
    l.ns->disconnect();
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    EXPECT_EQ(l.rec->count("onConnectFailed"), 1u);
}

TEST(NetStreamLinkTest, SilenceLimitScalesAndAnyControlByteCounts) {
    Link l(receiverOptions(0));
    l.start(fastOptionsFor(l.rx));
    l.ns->connect("127.0.0.1");
    ASSERT_TRUE(l.rec->waitFor("onConnectSuccess", 1, 5));
    // The receiver sends no heartbeat but answers ours: that is enough.
    EXPECT_FALSE(l.rec->waitFor("onConnectFailed", 1, 1.5));
    // Without answers the link gives up after the limit.
    l.rx.setAnswerRequests(false);
    auto quiet = std::chrono::steady_clock::now();
    ASSERT_TRUE(l.rec->waitFor("onConnectFailed", 1, 3));
    double after = seconds(l.rec->events("onConnectFailed")[0].at - quiet);
    EXPECT_GE(after, 0.45);
    EXPECT_LE(after, 0.8);
    // A control error after the silence report is not a second failure.
    l.rx.closeControl();
    ASSERT_TRUE(l.rx.waitFor([&] { return l.rx.peerClosed(ReceiverPort::Control); }, 5));
    EXPECT_FALSE(l.rec->waitFor("onConnectFailed", 2, 0.5));
    l.ns->disconnect();
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
}

TEST(NetStreamLinkTest, LostControlIsReportedOnceAndDisconnectStillClosesEverything) {
    LogCapture log;
    Link l(receiverOptions(0.05));
    l.start(fastOptionsFor(l.rx));
    ASSERT_TRUE(l.connect());
    l.rx.closeControl();
    ASSERT_TRUE(l.rec->waitFor("onConnectFailed", 1, 5));
    EXPECT_TRUE(log.contains("control socket disconnected"));
    EXPECT_FALSE(l.ns->isConnected());
    // Neither the silence watch nor anything else reports it again.
    EXPECT_FALSE(l.rec->waitFor("onConnectFailed", 2, 1.0));
    // The media and touch connections are still open to the old receiver until disconnect().
    EXPECT_FALSE(l.rx.peerClosed(ReceiverPort::Video));
    EXPECT_FALSE(l.rx.peerClosed(ReceiverPort::Touch));
    l.ns->disconnect();
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    EXPECT_TRUE(l.rx.peerClosed(ReceiverPort::Video));
    EXPECT_TRUE(l.rx.peerClosed(ReceiverPort::Audio));
    EXPECT_TRUE(l.rx.peerClosed(ReceiverPort::Touch));
}

TEST(NetStreamLinkTest, ConnectAfterAFailureWithoutDisconnectClosesTheOldConnections) {
    Link l(receiverOptions(0.05));
    l.start(fastOptionsFor(l.rx));
    ASSERT_TRUE(l.connect());
    l.rx.closeControl();
    ASSERT_TRUE(l.rec->waitFor("onConnectFailed", 1, 5));
    ASSERT_TRUE(l.connect());
    // Every port's latest connection is the new one and open; the old media sockets were closed, which
    // the receiver saw before it accepted the new ones (one connection at a time per port).
    for (auto p : {ReceiverPort::Control, ReceiverPort::Video, ReceiverPort::Audio, ReceiverPort::Touch})
        EXPECT_FALSE(l.rx.peerClosed(p));
    l.ns->disconnect();
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    EXPECT_EQ(l.rec->count("onConnectFailed"), 1u);
}

TEST(NetStreamLinkTest, ConnectFailuresAreReportedOnceAndOnlyForTheControlConnection) {
    LogCapture log;
    Link l;
    l.start(fastOptionsFor(l.rx));
    // Refused at once: an empty host.
    l.ns->connect("");
    ASSERT_TRUE(l.rec->waitFor("onConnectFailed", 1, 5));
    EXPECT_FALSE(l.ns->isConnected());
    EXPECT_FALSE(l.rec->waitFor("onConnectFailed", 2, 0.3));
    EXPECT_EQ(l.rec->count("onConnectSuccess"), 0u);

    // The link can connect after that; a refused video port is only logged.
    ASSERT_TRUE(l.rx.refusePort(ReceiverPort::Video));
    l.ns->connect("127.0.0.1");
    ASSERT_TRUE(l.rec->waitFor("onConnectSuccess", 1, 5));
    ASSERT_TRUE(l.rx.waitFor([&] { return log.contains("video socket disconnect"); }, 5));
    EXPECT_TRUE(l.ns->isConnected());
    EXPECT_EQ(l.rec->count("onConnectFailed"), 1u);
    l.ns->disconnect();

    // A refused control port fails the link, once.
    ASSERT_TRUE(l.rx.refusePort(ReceiverPort::Control));
    l.ns->connect("127.0.0.1");
    ASSERT_TRUE(l.rec->waitFor("onConnectFailed", 2, 5));
    EXPECT_FALSE(l.ns->isConnected());
    EXPECT_FALSE(l.rec->waitFor("onConnectFailed", 3, 0.5));
    l.ns->disconnect();
}

TEST(NetStreamLinkTest, QuickReconnectKeepsOneHeartbeat) {
    Link l(receiverOptions(0));
    l.start(linkOptionsFor(l.rx));
    l.ns->connect("127.0.0.1");
    ASSERT_TRUE(l.rec->waitFor("onConnectSuccess", 1, 5));
    l.ns->disconnect();
    ASSERT_TRUE(l.connect());
    l.rx.clearRecords();
    ASSERT_TRUE(l.rx.waitForRequests(0, 6, 5));
    auto beats = l.rx.requests(0);
    for (size_t i = 1; i < beats.size(); ++i)
        EXPECT_GT(seconds(beats[i].at - beats[i - 1].at), 0.2) << i;
    // Two connect calls in a row open one connection.
    l.ns->connect("127.0.0.1");
    EXPECT_FALSE(l.rx.waitForConnections(3, 0.5));
    l.ns->disconnect();
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    EXPECT_EQ(l.rec->count("onConnectFailed"), 0u);
}

TEST(NetStreamLinkTest, ControlBytesAreFramedAcrossSegments) {
    Link l(receiverOptions(0));
    l.start(linkOptionsFor(l.rx));
    // The receiver's own answers would interleave with the bytes written here; turned off before
    // connecting, since an answer to the link's first request can still be on its way afterwards.
    l.rx.setAnswerRequests(false);
    ASSERT_TRUE(l.connect());

    auto a = scrambled(fromReceiver(3, 128, 7));
    auto b = scrambled(fromReceiver(3, 128, 6));
    auto c = scrambled(fromReceiver(3, 128, 5));
    // Five bytes dispatch nothing; the other eleven complete the packet.
    ASSERT_TRUE(l.rx.sendRawControl(std::vector<uint8_t>(a.begin(), a.begin() + 5)));
    EXPECT_FALSE(l.rec->waitFor("onServerRequestDeviceStatus", 1, 0.2));
    ASSERT_TRUE(l.rx.sendRawControl(std::vector<uint8_t>(a.begin() + 5, a.end())));
    ASSERT_TRUE(l.rec->waitFor("onServerRequestDeviceStatus", 1, 5));
    // Two and a half packets in one segment, then the rest.
    std::vector<uint8_t> seg(b);
    seg.insert(seg.end(), c.begin(), c.end());
    seg.insert(seg.end(), a.begin(), a.begin() + 8);
    ASSERT_TRUE(l.rx.sendRawControl(seg));
    ASSERT_TRUE(l.rec->waitFor("onServerRequestDeviceStatus", 3, 5));
    EXPECT_FALSE(l.rec->waitFor("onServerRequestDeviceStatus", 4, 0.2));
    ASSERT_TRUE(l.rx.sendRawControl(std::vector<uint8_t>(a.begin() + 8, a.end())));
    ASSERT_TRUE(l.rec->waitFor("onServerRequestDeviceStatus", 4, 5));
    std::vector<std::string> got;
    for (const auto& e : l.rec->events("onServerRequestDeviceStatus"))
        got.push_back(e.text);
    EXPECT_EQ(got, (std::vector<std::string>{"7", "6", "5", "7"}));
    l.ns->disconnect();
}

TEST(NetStreamLinkTest, APartialPacketDoesNotSurviveIntoTheNextConnection) {
    Link l(receiverOptions(0));
    l.start(linkOptionsFor(l.rx));
    l.rx.setAnswerRequests(false);
    ASSERT_TRUE(l.connect());
    ASSERT_TRUE(l.rx.sendRawControl({1, 2, 3, 4, 5}));
    // The five bytes reach the link before it is closed: the heartbeat answer to them comes later, so
    // wait until a heartbeat request followed them.
    size_t beats = l.rx.requests(0).size();
    ASSERT_TRUE(l.rx.waitForRequests(0, beats + 2, 5));
    l.ns->disconnect();
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    ASSERT_TRUE(l.connect());
    ASSERT_TRUE(l.rx.sendCallback(128, 7));
    ASSERT_TRUE(l.rec->waitFor("onServerRequestDeviceStatus", 1, 5));
    EXPECT_EQ(l.rec->events("onServerRequestDeviceStatus")[0].text, "7");
    l.ns->disconnect();
}

// Holds the delegate call for device status 7 until released (at most 10 s).
class HoldingRecorder : public NetStreamRecorder {
  public:
    void onServerRequestDeviceStatus(int status) override {
        NetStreamRecorder::onServerRequestDeviceStatus(status);
        if (status != 7) return;
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        cv_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
};

TEST(NetStreamLinkTest, PacketsReadBeforeADisconnectAreNotDispatchedAfterIt) {
    LogCapture log;
    Link l;
    auto holder = std::make_shared<HoldingRecorder>();
    l.rec = holder;
    l.start(fastOptionsFor(l.rx));
    ASSERT_TRUE(l.connect());
    // Two packets in one write arrive in one read; the first one's delegate call is held.
    std::vector<uint8_t> both = scrambled(fromReceiver(3, 128, 7));
    const std::vector<uint8_t> second = scrambled(fromReceiver(3, 128, 6));
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(l.rx.sendRawControl(both));
    ASSERT_TRUE(holder->waitFor("onServerRequestDeviceStatus", 1, 5));
    l.ns->disconnect();
    holder->release();
    ASSERT_TRUE(l.rx.waitFor(
        [&] {
            return log.contains("control packets read before the disconnect are dropped.") ||
                   holder->count("onServerRequestDeviceStatus") > 1;
        },
        5));
    EXPECT_EQ(holder->count("onServerRequestDeviceStatus"), 1u);
    // Bytes handed over for the closed connection go nowhere either.
    l.ns->onReceiveControlData(scrambled(fromReceiver(3, 128, 5)));
    EXPECT_EQ(holder->count("onServerRequestDeviceStatus"), 1u);
}

TEST(NetStreamLinkTest, ReceiverHeartbeatIsAnsweredWithExactBytes) {
    Link l(receiverOptions(0.1));
    l.start(linkOptionsFor(l.rx));
    l.ns->setLocaIpByte(37);
    l.ns->connect("127.0.0.1");
    ASSERT_TRUE(l.rx.waitFor([&] { return l.rx.responses(0).size() >= 2; }, 5));
    std::array<uint8_t, 16> expected{};
    expected[0] = 37;  // this sender's address byte
    expected[1] = 4;
    expected[2] = 2;    // a response
    expected[3] = 1;    // ok
    expected[4] = 4;    // the request's byte 1
    expected[5] = 200;  // the request's byte 0: the receiver's address byte
    expected[6] = 0;    // the request's code
    for (const auto& r : l.rx.responses(0))
        EXPECT_EQ(r.bytes, expected);
    // Requests other than the heartbeat are not answered.
    ASSERT_TRUE(l.rx.sendRequest(24));
    ASSERT_TRUE(l.rec->waitFor("onServerRequestKeyFrame", 1, 5));
    EXPECT_TRUE(l.rx.responses(24).empty());
    l.ns->disconnect();
}

}  // namespace
}  // namespace quill
