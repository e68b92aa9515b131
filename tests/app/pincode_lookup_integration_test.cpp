// The look-up client against the test look-up server on 127.0.0.1: the request on the wire, the lines
// it prints, and the one outcome it reports for every kind of reply and fault.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "app/pincode/PincodeChannel.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/SysLog.h"
#include "support/TestLookupServer.h"

namespace quill {
namespace {

using platform::dispatch::Queue;
using platform::foundation::LogCapture;
using testing::TestLookupServer;
using Mode = TestLookupServer::Mode;

constexpr double kWait = 5.0;

// Records the reports in order, and whether each came on the client's queue.
class Recorder : public PincodeDelegate {
  public:
    void onConnectServerFailed() override { add("failed"); }
    void onConnectServerSuccess() override { add("connected"); }
    void onUnableToFindReceiver() override { add("unable"); }
    void onFindReceiverSuccess(const ReceiverObject& receiver) override {
        std::lock_guard lock(mutex_);
        receivers_.push_back(receiver);
        addLocked("found");
    }

    // Until n outcomes (reports other than "connected") arrived.
    bool waitForOutcomes(size_t n, double seconds = kWait) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return outcomes_ >= n; });
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<ReceiverObject> receivers() const {
        std::lock_guard lock(mutex_);
        return receivers_;
    }
    bool allOnClientQueue() const {
        std::lock_guard lock(mutex_);
        return allOnQueue_;
    }

  private:
    void add(const std::string& event) {
        std::lock_guard lock(mutex_);
        addLocked(event);
    }
    void addLocked(const std::string& event) {
        const auto queue = Queue::current();
        allOnQueue_ = allOnQueue_ && queue && queue->label() == "com.kelpa.orvellomac.socketqueue";
        events_.push_back(event);
        if (event != "connected") ++outcomes_;
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<ReceiverObject> receivers_;
    size_t outcomes_ = 0;
    bool allOnQueue_ = true;
};

class PincodeLookup : public ::testing::Test {
  protected:
    void SetUp() override { makeChannel(PincodeChannel::kReplyTimeout); }
    void makeChannel(double replyTimeout, const std::string& host = "127.0.0.1") {
        channel = PincodeChannel::create(host, server.port(), out, replyTimeout);
        channel->setPincodeDelegate(recorder);
    }
    // One look-up, until its outcome.
    std::vector<std::string> lookUp(const std::string& pin, double seconds = kWait) {
        const size_t before = recorder->events().size();
        const size_t outcomesBefore = outcomes();
        channel->findReceiverByPincode(pin);
        EXPECT_TRUE(recorder->waitForOutcomes(outcomesBefore + 1, seconds));
        const auto all = recorder->events();
        return {all.begin() + long(before), all.end()};
    }
    size_t outcomes() const {
        size_t n = 0;
        for (const auto& e : recorder->events())
            n += e != "connected";
        return n;
    }

    TestLookupServer server;
    std::ostringstream out;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<PincodeChannel> channel;
};

TEST_F(PincodeLookup, FindsTheReceiverAndPrintsTheHeader) {
    server.setReply(TestLookupServer::foundReply({"127.0.0.5", "127.0.0.6"}, "Kitchen", "1.4"));
    LogCapture log;
    EXPECT_EQ(lookUp("123456"), (std::vector<std::string>{"connected", "found"}));
    ASSERT_EQ(recorder->receivers().size(), 1u);
    EXPECT_EQ(recorder->receivers()[0],
              (ReceiverObject{"Kitchen", "1.4", {"127.0.0.5", "127.0.0.6"}, "123456"}));
    EXPECT_EQ(out.str(), "0\n0\n0\n64\n");
    EXPECT_EQ(channel->pincode(), "123456");
    EXPECT_TRUE(recorder->allOnClientQueue());

    // The exact request arrived, and the client closed the connection after the reply.
    ASSERT_TRUE(server.waitForClientClosed(1, kWait));
    const auto connections = server.connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].received, PincodeChannel::makeRequest(std::string("123456")));
    EXPECT_TRUE(log.contains("findReceiverByPincode:123456"));
    EXPECT_TRUE(log.contains("didConnectToHost127.0.0.1:" + std::to_string(server.port())));
}

TEST_F(PincodeLookup, EachFailingStatusIsNoReceiver) {
    for (StatusCode status : {StatusCode::NONE, StatusCode::FAILED, StatusCode::FAILED_NOT_EXIT}) {
        server.setReply(TestLookupServer::statusReply(status));
        EXPECT_EQ(lookUp("654321"), (std::vector<std::string>{"connected", "unable"}))
            << statusCodeName(status);
    }
    EXPECT_TRUE(server.waitForClientClosed(3, kWait));
    EXPECT_TRUE(recorder->receivers().empty());
}

TEST_F(PincodeLookup, MalformedRepliesAreNoReceiver) {
    const std::vector<Bytes> replies{
        TestLookupServer::framed({0x01, 0x02, 0x03}),
        Bytes{0, 0, 0, 0},
        TestLookupServer::statusReply(StatusCode::OK),
        TestLookupServer::replyFor(CastCommand{RequestCmd{}, std::nullopt}),
        // Announces more than the client accepts: no waiting for it.
        Bytes{0x7f, 0xff, 0xff, 0xff, 0x01, 0x02, 0x03},
    };
    for (const auto& reply : replies) {
        server.setReply(reply);
        EXPECT_EQ(lookUp("111111"), (std::vector<std::string>{"connected", "unable"}));
    }
}

TEST_F(PincodeLookup, AReplySplitAnywhereIsGatheredWhole) {
    // Enough addresses that a message cut short could still parse, with some of them missing.
    const std::vector<std::string> ips{"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14", "127.0.0.15"};
    const Bytes reply = TestLookupServer::foundReply(ips, "Hall", "2.0");
    server.setReply(reply);
    std::vector<size_t> everyByte(reply.size() - 1);
    std::iota(everyByte.begin(), everyByte.end(), size_t{1});
    const std::vector<std::tuple<std::string, std::vector<size_t>, double>> splits{
        {"header apart", {4}, 0.05},
        {"inside the header", {2}, 0.05},
        {"in the middle", {reply.size() / 2}, 0.05},
        {"byte by byte", everyByte, 0.003},
    };
    for (const auto& [name, points, pause] : splits) {
        server.setReplySplits(points, pause);
        const size_t before = recorder->receivers().size();
        EXPECT_EQ(lookUp("222222"), (std::vector<std::string>{"connected", "found"})) << name;
        const auto receivers = recorder->receivers();
        const std::vector<ReceiverObject> found(receivers.begin() + long(before), receivers.end());
        const std::vector<ReceiverObject> expected{{"Hall", "2.0", ips, "222222"}};
        EXPECT_EQ(found, expected) << name;
    }
}

TEST_F(PincodeLookup, AReplyCutShortFailsAtTheReplyDeadline) {
    makeChannel(0.4);
    Bytes reply = TestLookupServer::foundReply({"127.0.0.9"});
    reply.resize(reply.size() - 3);  // the server never sends the rest
    server.setReply(reply);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(lookUp("232323"), (std::vector<std::string>{"connected", "failed"}));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(350));
    EXPECT_TRUE(recorder->receivers().empty());
}

TEST_F(PincodeLookup, ASilentServerTimesOutAsAFailedConnection) {
    makeChannel(0.3);
    server.setMode(Mode::silent);
    LogCapture log;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(lookUp("333333"), (std::vector<std::string>{"connected", "failed"}));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250));
    EXPECT_TRUE(server.waitForClientClosed(1, kWait));
    EXPECT_EQ(log.count("socketDidDisconnect:nil"), 0u);
}

TEST_F(PincodeLookup, ServerClosingAtOnceOrBeforeReplyingIsAFailedConnection) {
    server.setMode(Mode::closeAtOnce);
    const auto first = lookUp("444444");
    // The close may come before or after the client saw its connection up.
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back(), "failed");
    EXPECT_EQ(std::count(first.begin(), first.end(), "failed"), 1);

    server.setMode(Mode::closeAfterRequest);
    EXPECT_EQ(lookUp("444445"), (std::vector<std::string>{"connected", "failed"}));
}

TEST_F(PincodeLookup, ServerClosingRightAfterItsReplyIsOnlyLogged) {
    server.setReply(TestLookupServer::foundReply({"127.0.0.7"}));
    server.setCloseAfterReply(true);
    EXPECT_EQ(lookUp("555555"), (std::vector<std::string>{"connected", "found"}));
    // A next look-up starts only once the first connection's close was reported, so any report the close
    // caused would come before this one's.
    server.setCloseAfterReply(false);
    server.setReply(TestLookupServer::statusReply(StatusCode::FAILED));
    EXPECT_EQ(lookUp("555556"), (std::vector<std::string>{"connected", "unable"}));
    EXPECT_EQ(recorder->events(), (std::vector<std::string>{"connected", "found", "connected", "unable"}));
}

TEST_F(PincodeLookup, RefusedConnectionIsAFailedConnection) {
    server.refuseConnections();
    EXPECT_EQ(lookUp("666666"), (std::vector<std::string>{"failed"}));
}

TEST_F(PincodeLookup, AConnectRefusedAtOnceIsAFailedConnection) {
    makeChannel(1.0, "");
    EXPECT_EQ(lookUp("777777"), (std::vector<std::string>{"failed"}));
    // The socket's own error was printed.
    EXPECT_NE(out.str().find("Error Domain="), std::string::npos) << out.str();
    EXPECT_TRUE(server.connections().empty());
}

TEST_F(PincodeLookup, ALookUpAskedForDuringAnotherRunsAfterIt) {
    makeChannel(0.5);
    server.setMode(Mode::silent);
    channel->findReceiverByPincode("888881");
    ASSERT_TRUE(server.waitFor([](const auto& all) { return !all.empty() && all[0].request; }, kWait));
    server.setMode(Mode::answer);
    server.setReply(TestLookupServer::foundReply({"127.0.0.8"}));
    channel->findReceiverByPincode("888882");
    ASSERT_TRUE(recorder->waitForOutcomes(2));
    EXPECT_EQ(recorder->events(), (std::vector<std::string>{"connected", "failed", "connected", "found"}));
    ASSERT_EQ(recorder->receivers().size(), 1u);
    EXPECT_EQ(recorder->receivers()[0].pincode, "888882");
}

TEST_F(PincodeLookup, WithoutADelegateNothingIsReportedAndNothingBreaks) {
    channel->setPincodeDelegate({});
    server.setReply(TestLookupServer::foundReply({"127.0.0.7"}));
    channel->findReceiverByPincode("999999");
    EXPECT_TRUE(server.waitForClientClosed(1, kWait));
    EXPECT_TRUE(recorder->events().empty());
}

TEST_F(PincodeLookup, DroppingTheClientDuringALookUpIsSafe) {
    server.setMode(Mode::silent);
    channel->findReceiverByPincode("121212");
    ASSERT_TRUE(server.waitFor([](const auto& all) { return !all.empty() && all[0].request; }, kWait));
    channel.reset();
    EXPECT_TRUE(server.waitForClientClosed(1, kWait));
}

}  // namespace
}  // namespace quill
