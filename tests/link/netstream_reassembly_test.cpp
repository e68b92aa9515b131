// The link's reassembly of control bytes into packets and its delegate forwarding, driven without sockets.
#include <gtest/gtest.h>

#include "NetStreamTestSupport.h"
#include "link/NetStream.h"
#include "media/MediaPacket.h"
#include "platform/foundation/SysLog.h"

namespace quill {
namespace {

using testing::NetStreamRecorder;

// A receiver callback (kind 3) setting the device status, scrambled as on the wire.
Bytes deviceStatus(uint8_t status) {
    ControlPacket p;
    p.bytes[0] = 200;
    p.bytes[1] = 4;
    p.bytes[2] = kControlKindCallback;
    p.bytes[3] = kCallbackSetDeviceStatus;
    p.bytes[5] = status;
    p.encode();
    return Bytes(p.bytes.begin(), p.bytes.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& b : parts)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::vector<std::string> statuses(const NetStreamRecorder& rec) {
    std::vector<std::string> out;
    for (const auto& e : rec.events("onServerRequestDeviceStatus"))
        out.push_back(e.text);
    return out;
}

class NetStreamReassemblyTest : public ::testing::Test {
  protected:
    void SetUp() override { link->setDelegate(rec); }
    std::shared_ptr<NetStreamRecorder> rec = std::make_shared<NetStreamRecorder>();
    std::shared_ptr<NetStream> link = NetStream::create();
};

TEST_F(NetStreamReassemblyTest, FortyBytesDispatchTwoPacketsAndKeepEight) {
    Bytes stream = concat({deviceStatus(7), deviceStatus(6), deviceStatus(5)});
    link->onReceiveControlData(Bytes(stream.begin(), stream.begin() + 40));
    EXPECT_EQ(statuses(*rec), (std::vector<std::string>{"7", "6"}));
    link->onReceiveControlData(Bytes(stream.begin() + 40, stream.end()));
    EXPECT_EQ(statuses(*rec), (std::vector<std::string>{"7", "6", "5"}));
}

TEST_F(NetStreamReassemblyTest, FiveBytesWaitForTheNextElevenAndSplitsOfEveryKindJoin) {
    Bytes p = deviceStatus(7);
    link->onReceiveControlData(Bytes(p.begin(), p.begin() + 5));
    EXPECT_EQ(rec->count("onServerRequestDeviceStatus"), 0u);
    link->onReceiveControlData(Bytes(p.begin() + 5, p.end()));
    EXPECT_EQ(statuses(*rec), (std::vector<std::string>{"7"}));

    // One byte at a time, then a read that ends one packet, holds a whole one and starts a third.
    Bytes q = deviceStatus(6);
    for (uint8_t b : q)
        link->onReceiveControlData(Bytes{b});
    Bytes three = concat({deviceStatus(1), deviceStatus(2), deviceStatus(3)});
    link->onReceiveControlData(Bytes(three.begin(), three.begin() + 3));
    link->onReceiveControlData(Bytes(three.begin() + 3, three.begin() + 35));
    link->onReceiveControlData(Bytes(three.begin() + 35, three.end()));
    EXPECT_EQ(statuses(*rec), (std::vector<std::string>{"7", "6", "1", "2", "3"}));
    // An empty read changes nothing.
    link->onReceiveControlData(Bytes{});
    EXPECT_EQ(rec->count("onServerRequestDeviceStatus"), 5u);
}

TEST_F(NetStreamReassemblyTest, ForwardsEveryReceiverPacketToTheDelegate) {
    auto packet = [](uint8_t kind, uint8_t code, std::initializer_list<std::pair<int, uint8_t>> set = {}) {
        ControlPacket p;
        p.bytes[1] = 4;
        p.bytes[2] = kind;
        p.bytes[3] = code;
        for (auto [i, v] : set)
            p.bytes[size_t(i)] = v;
        p.encode();
        return Bytes(p.bytes.begin(), p.bytes.end());
    };
    link->setLocaIpByte(37);
    Bytes all = concat({
        packet(1, 1),                                            // receiver asks to start
        packet(1, 2),                                            // and to stop
        packet(1, 24),                                           // a key frame
        packet(1, 38, {{4, 25}}),                                // a frame rate
        packet(1, 99),                                           // unknown request: nothing
        packet(2, 1, {{6, 1}}),                                  // mirror start ok
        packet(2, 1, {{6, 2}}),                                  // mirror stop
        packet(2, 1, {{6, 9}, {10, 1}, {11, 37}}),               // status: showing us already
        packet(2, 1, {{6, 9}, {10, 3}}),                         // status: refused
        packet(2, 1, {{6, 14}, {8, '1'}, {9, '.'}, {10, '2'}}),  // version
        packet(2, 1, {{6, 25}, {8, 1}}),                         // authentication type
        packet(3, 129),                                          // key status
        packet(3, 128, {{5, 6}}),                                // device status
        packet(7, 1),                                            // unknown kind: nothing
    });
    link->onReceiveControlData(all);
    EXPECT_EQ(
        rec->names(),
        (std::vector<std::string>{
            "onServerRequestMirrorOn", "onServerRequestMirrorOff", "onServerRequestKeyFrame",
            "onServerRequsstUpdateFrameRate", "onRequestMirrorStartSuccess", "onRequestMirrorStopSuccess",
            "onRequestMirrorStartSuccess", "onRequestMirrorStartFailed", "onServerResponseVersion",
            "onServerResponseAuthenticateType", "onServerRequestKeyStatus", "onServerRequestDeviceStatus"}));
    EXPECT_EQ(rec->events("onServerRequsstUpdateFrameRate")[0].text, "25");
    EXPECT_EQ(rec->events("onRequestMirrorStartFailed")[0].text, "-2");
    EXPECT_EQ(rec->events("onServerResponseVersion")[0].text, "1.2");
    EXPECT_EQ(rec->events("onServerRequestDeviceStatus")[0].text, "6");
}

TEST_F(NetStreamReassemblyTest, WithoutAConnectionNothingIsWrittenAndNoCreditIsTaken) {
    platform::foundation::LogCapture log;
    EXPECT_FALSE(link->isConnected());
    // A receiver heartbeat would be answered; with no connection the answer goes nowhere.
    ControlPacket hb = ControlPacket::request(200, 4, kRequestHeartBeat).scrambled();
    link->onReceiveControlData(Bytes(hb.bytes.begin(), hb.bytes.end()));
    link->requestMirrorStart();

    MediaPacket v = MediaPacket::video(1, std::vector<uint8_t>{0, 0, 1, 0x65, 1});
    for (int i = 0; i < 12; ++i)
        EXPECT_FALSE(link->sendVideoData(v.wire()));
    EXPECT_FALSE(log.contains("unable to send video data."));
    EXPECT_FALSE(link->sendAudioData(nullptr, 0));
    EXPECT_TRUE(log.contains("sendAudioData:0"));
    // Disconnecting a link that never connected is harmless.
    link->disconnect();
    EXPECT_TRUE(rec->events().empty());
}

// A link made without options goes to the receiver's own ports, control first, then video, audio and
// touch, and marks its requests with address byte 1 until it is told its own. An empty host refuses every
// connection at once, so the attempts show in the log without any network. (The default heartbeat period
// and silence limit are measured by the link tests against the test receiver.)
TEST(NetStreamOptionsTest, ADefaultLinkTriesTheReceiverPortsInOrder) {
    platform::foundation::LogCapture log;
    auto rec = std::make_shared<NetStreamRecorder>();
    auto link = NetStream::create();
    link->setDelegate(rec);
    link->connect("");
    ASSERT_TRUE(rec->waitFor("onConnectFailed", 1, 5));
    std::vector<std::string> attempts;
    for (const auto& line : log.lines()) {
        if (line.rfind("connectToHost :", 0) == 0) attempts.push_back(line.substr(0, line.find(" failed")));
    }
    EXPECT_EQ(attempts, (std::vector<std::string>{"connectToHost :11102", "connectToHost :11104",
                                                  "connectToHost :11103", "connectToHost :11101"}));
    EXPECT_TRUE(log.contains("receiver addr = , last byte=1"));
    link->disconnect();
}

}  // namespace
}  // namespace quill
