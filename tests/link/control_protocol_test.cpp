#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/ControlPacket.h"
#include "link/ControlProtocol.h"
#include "link/Utf8Text.h"
#include "platform/foundation/SysLog.h"

namespace quill {
namespace {

using platform::foundation::LogCapture;
using Packet16 = std::array<uint8_t, 16>;

// Records every write (unscrambled again for reading) and every delegate event in order.
class RecordingDelegate : public ControlProtocolDelegate {
  public:
    struct Write {
        ControlPacket scrambled;
        long tag;
        ControlPacket plain() const { return scrambled.scrambled(); }
    };
    std::vector<Write> writes;
    std::vector<std::string> events;

    void writeControlPacket(const ControlPacket& scrambled, long tag) override {
        writes.push_back({scrambled, tag});
    }
    void onServerRequestMirrorOn() override { events.push_back("mirrorOn"); }
    void onServerRequestMirrorOff() override { events.push_back("mirrorOff"); }
    void onServerRequestKeyFrame() override { events.push_back("keyFrame"); }
    void onServerRequsstUpdateFrameRate(int r) override {
        events.push_back("frameRate " + std::to_string(r));
    }
    void onRequestMirrorStartSuccess() override { events.push_back("startSuccess"); }
    void onRequestMirrorStartFailed(int c) override { events.push_back("startFailed " + std::to_string(c)); }
    void onRequestMirrorStopSuccess() override { events.push_back("stopSuccess"); }
    void onServerResponseVersion(const std::string& v) override { events.push_back("version " + v); }
    void onServerResponseAuthenticateType() override { events.push_back("authType"); }
    void onServerRequestDeviceStatus(int s) override {
        events.push_back("deviceStatus " + std::to_string(s));
    }
    void onServerRequestKeyStatus() override { events.push_back("keyStatus"); }
};

ControlPacket packetOf(std::initializer_list<int> bytes) {
    ControlPacket p;
    size_t i = 0;
    for (int b : bytes)
        p.bytes[i++] = static_cast<uint8_t>(b);
    return p;
}

// A packet as the receiver would send it: `kind`, `code`, then any bytes set by index.
ControlPacket received(int kind, int code, std::initializer_list<std::pair<int, int>> extra = {}) {
    ControlPacket p;
    p.bytes[0] = 200;
    p.bytes[1] = 4;
    p.bytes[2] = static_cast<uint8_t>(kind);
    p.bytes[3] = static_cast<uint8_t>(code);
    for (auto [i, v] : extra)
        p.bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    return p;
}

class ControlProtocolTest : public ::testing::Test {
  protected:
    RecordingDelegate delegate;
    ControlProtocol protocol{delegate};
    LogCapture log;

    ControlPacket onlyWrite() {
        EXPECT_EQ(delegate.writes.size(), 1u);
        return delegate.writes.empty() ? ControlPacket{} : delegate.writes.back().scrambled;
    }
};

// ---- Scrambling ----

TEST(ControlPacketTest, ScramblingUsesTheKeyCyclicallyAndUndoesItself) {
    ControlPacket zero;
    ControlPacket s = zero.scrambled();
    EXPECT_EQ(s, packetOf({0x54, 0x75, 0x76, 0x62, 0x72, 0x6F, 0x6E, 0x65, 0x78, 0x5F, 0x70, 0x61, 0x64, 0x54,
                           0x75, 0x76}));
    // Bytes 13-15 reuse key bytes 0-2.
    EXPECT_EQ(s[13], s[0]);
    EXPECT_EQ(s[14], s[1]);
    EXPECT_EQ(s[15], s[2]);
    ControlPacket any = packetOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0xFF});
    EXPECT_EQ(any.scrambled().scrambled(), any);
}

// ---- Requests on the wire, worked out by hand ----

TEST_F(ControlProtocolTest, HeartBeatRequestBytes) {
    protocol.sendHeartBeatRequest();
    EXPECT_EQ(onlyWrite(), packetOf({0x55, 0x71, 0x77, 0x62, 0x72, 0x6F, 0x6E, 0x65, 0x78, 0x5F, 0x70, 0x61,
                                     0x64, 0x54, 0x75, 0x76}));
    EXPECT_EQ(delegate.writes[0].tag, kControlRequestTag);
}

TEST_F(ControlProtocolTest, MirrorStartAndStopCarryTheAddressByteAndLog) {
    protocol.setLocaIpByte(42);
    protocol.requestMirrorStart();
    protocol.requestMirrorStop();
    ASSERT_EQ(delegate.writes.size(), 2u);
    EXPECT_EQ(delegate.writes[0].scrambled, packetOf({0x7E, 0x71, 0x77, 0x63, 0x72, 0x6F, 0x6E, 0x65, 0x78,
                                                      0x5F, 0x70, 0x61, 0x64, 0x54, 0x75, 0x76}));
    EXPECT_EQ(delegate.writes[1].scrambled, packetOf({0x7E, 0x71, 0x77, 0x60, 0x72, 0x6F, 0x6E, 0x65, 0x78,
                                                      0x5F, 0x70, 0x61, 0x64, 0x54, 0x75, 0x76}));
    EXPECT_TRUE(log.contains("requestMirrorStart"));
    EXPECT_TRUE(log.contains("requestMirrorStop"));
}

TEST_F(ControlProtocolTest, ReceiverStatusRequestBytes) {
    protocol.requestGetReceiverStatus();
    EXPECT_EQ(onlyWrite(), packetOf({0x55, 0x71, 0x77, 0x6B, 0x73, 0x6F, 0x6E, 0x65, 0x78, 0x5F, 0x70, 0x61,
                                     0x64, 0x54, 0x75, 0x76}));
}

TEST_F(ControlProtocolTest, ClientTypeRequestBytes) {
    protocol.requestSyncClientType();
    EXPECT_EQ(onlyWrite(), packetOf({0x55, 0x71, 0x77, 0x76, 0x71, 0x6A, 0x6E, 0x65, 0x78, 0x5F, 0x70, 0x61,
                                     0x64, 0x54, 0x75, 0x76}));
}

TEST_F(ControlProtocolTest, MouseEventRequestBytes) {
    protocol.requestMouseEvent(MouseEvent(2, 1, 1919, 1079));
    EXPECT_EQ(onlyWrite(), packetOf({0x55, 0x71, 0x77, 0x40, 0x70, 0x6E, 0x69, 0x1A, 0x7C, 0x68, 0x70, 0x61,
                                     0x64, 0x54, 0x75, 0x76}));
    // Only the low 16 bits of the position travel.
    delegate.writes.clear();
    protocol.requestMouseEvent(MouseEvent(0, 0, 0x12345, -1));
    ControlPacket plain = onlyWrite().scrambled();
    EXPECT_EQ(plain[6], 0x23);
    EXPECT_EQ(plain[7], 0x45);
    EXPECT_EQ(plain[8], 0xFF);
    EXPECT_EQ(plain[9], 0xFF);
}

TEST_F(ControlProtocolTest, PinRequestBytes) {
    EXPECT_TRUE(protocol.requestAuthenPinCode("123456"));
    EXPECT_EQ(onlyWrite(), packetOf({0x55, 0x71, 0x77, 0x41, 0x74, 0x5E, 0x5C, 0x56, 0x4C, 0x6A, 0x46, 0x61,
                                     0x64, 0x54, 0x75, 0x76}));
}

TEST_F(ControlProtocolTest, PinOfElevenBytesFitsAndLongerIsRefused) {
    EXPECT_TRUE(protocol.requestAuthenPinCode("12345678901"));
    ControlPacket plain = onlyWrite().scrambled();
    EXPECT_EQ(plain[4], 11);
    EXPECT_EQ(plain[15], '1');
    delegate.writes.clear();
    EXPECT_FALSE(protocol.requestAuthenPinCode("123456789012"));
    EXPECT_TRUE(delegate.writes.empty());
}

TEST_F(ControlProtocolTest, SimpleRequestsHaveTheirCodesAndAttach) {
    protocol.requestReceiverVersion();
    protocol.requestGetReceiverVersion();
    protocol.requestGetAuthentication();
    protocol.requestMouseAlone(true);
    protocol.requestMouseAlone(false);
    ASSERT_EQ(delegate.writes.size(), 5u);
    const int codes[] = {14, 14, 25, 33, 33};
    const int attach0[] = {0, 0, 0, 1, 0};
    for (size_t i = 0; i < 5; ++i) {
        ControlPacket p = delegate.writes[i].plain();
        EXPECT_EQ(p[0], 1);
        EXPECT_EQ(p[1], 4);
        EXPECT_EQ(p[2], 1);
        EXPECT_EQ(p[3], codes[i]);
        EXPECT_EQ(p[4], attach0[i]);
        for (size_t k = 5; k < 16; ++k)
            EXPECT_EQ(p[k], 0) << "byte " << k;
    }
    // The first scrambled form, by hand: code 14 -> 0x6C, 25 -> 0x7B, mouse-alone flag 1 -> 0x73.
    EXPECT_EQ(delegate.writes[0].scrambled[3], 0x6C);
    EXPECT_EQ(delegate.writes[2].scrambled[3], 0x7B);
    EXPECT_EQ(delegate.writes[3].scrambled[3], 0x43);
    EXPECT_EQ(delegate.writes[3].scrambled[4], 0x73);
}

// ---- Sender name ----

TEST_F(ControlProtocolTest, ShortNameGoesInOnePacketWithItsExactBytes) {
    protocol.setSenderName("Quill");
    EXPECT_EQ(onlyWrite(), packetOf({0x55, 0x71, 0x77, 0x6D, 0x23, 0x1A, 0x07, 0x09, 0x14, 0x5F, 0x70, 0x61,
                                     0x64, 0x54, 0x75, 0x76}));
    EXPECT_EQ(log.count("setSenderName==Quill"), 1u);
}

std::vector<std::pair<int, std::string>> chunksOf(const RecordingDelegate& d) {
    std::vector<std::pair<int, std::string>> out;
    for (const auto& w : d.writes) {
        ControlPacket p = w.plain();
        std::string s;
        for (size_t i = 4; i < 16 && p[i] != 0; ++i)
            s.push_back(static_cast<char>(p[i]));
        out.emplace_back(p[3], s);
    }
    return out;
}

using Chunks = std::vector<std::pair<int, std::string>>;

TEST_F(ControlProtocolTest, NameChunksAtElevenUnits) {
    protocol.setSenderName("ABCDEFGHIJK");
    EXPECT_EQ(chunksOf(delegate), (Chunks{{15, "ABCDEFGHIJK"}}));
    delegate.writes.clear();
    protocol.setSenderName("ABCDEFGHIJKL");
    EXPECT_EQ(chunksOf(delegate), (Chunks{{15, "ABCDEFGHIJK"}, {16, "L"}}));
    delegate.writes.clear();
    protocol.setSenderName(std::string(25, 'x'));
    EXPECT_EQ(chunksOf(delegate),
              (Chunks{{15, std::string(11, 'x')}, {16, std::string(11, 'x')}, {16, "xxx"}}));
}

TEST_F(ControlProtocolTest, NameChunksShrinkToTwelveBytes) {
    // Five characters of three bytes each: four fit (12 bytes), the fifth follows.
    protocol.setSenderName("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xA7\xE3\x81\x99");
    EXPECT_EQ(chunksOf(delegate),
              (Chunks{{15, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xA7"}, {16, "\xE3\x81\x99"}}));
    delegate.writes.clear();
    // Eleven two-byte characters: six, then five.
    std::string e;
    for (int i = 0; i < 11; ++i)
        e += "\xC3\xA9";
    protocol.setSenderName(e);
    auto c = chunksOf(delegate);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].second.size(), 12u);
    EXPECT_EQ(c[1].second.size(), 10u);
    EXPECT_EQ(c[1].first, 16);
}

TEST_F(ControlProtocolTest, NameChunksNeverSplitASurrogatePair) {
    const std::string grin = "\xF0\x9F\x98\x80";  // two UTF-16 units, four UTF-8 bytes
    // Ten ASCII letters and an emoji: cutting at 11 units would split the pair.
    protocol.setSenderName("abcdefghij" + grin);
    EXPECT_EQ(chunksOf(delegate), (Chunks{{15, "abcdefghij"}, {16, grin}}));
    delegate.writes.clear();
    protocol.setSenderName(grin + grin + grin + grin);
    EXPECT_EQ(chunksOf(delegate), (Chunks{{15, grin + grin + grin}, {16, grin}}));
    // Every chunk is valid UTF-8 on its own.
    for (const auto& [code, s] : chunksOf(delegate))
        EXPECT_EQ(utf8::sanitize(s), s);
}

TEST_F(ControlProtocolTest, EmptyNameSendsNothingAndMalformedNameIsRepaired) {
    protocol.setSenderName("");
    EXPECT_TRUE(delegate.writes.empty());
    EXPECT_TRUE(log.contains("setSenderName=="));
    protocol.setSenderName("A\xFF");
    EXPECT_EQ(chunksOf(delegate), (Chunks{{15, "A\xEF\xBF\xBD"}}));
}

// ---- Responses ----

TEST_F(ControlProtocolTest, HeartBeatFromReceiverIsAnsweredWithSwappedBytes) {
    protocol.setLocaIpByte(7);
    protocol.handleControlData(received(1, 0).scrambled().bytes);
    EXPECT_EQ(onlyWrite(), packetOf({0x53, 0x71, 0x74, 0x63, 0x76, 0xA7, 0x6E, 0x65, 0x78, 0x5F, 0x70, 0x61,
                                     0x64, 0x54, 0x75, 0x76}));
    EXPECT_EQ(delegate.writes[0].tag, kControlResponseTag);
    ControlPacket plain = delegate.writes[0].plain();
    EXPECT_EQ(plain[2], 2);
    EXPECT_EQ(plain[3], 1);
    EXPECT_EQ(plain[4], 4);
    EXPECT_EQ(plain[5], 200);
    EXPECT_EQ(plain[6], 0);
    EXPECT_TRUE(delegate.events.empty());
}

TEST_F(ControlProtocolTest, ResponseCarriesDataAndFailedResult) {
    ControlPacket req = received(1, 9);
    protocol.sendFailedResponseFor(req, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(onlyWrite().scrambled(), packetOf({1, 4, 2, 0, 4, 200, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

// ---- Dispatch of received packets ----

TEST_F(ControlProtocolTest, ReceivedRequests) {
    protocol.handleControlPacket(received(1, 1));
    protocol.handleControlPacket(received(1, 2));
    protocol.handleControlPacket(received(1, 24));
    protocol.handleControlPacket(received(1, 38, {{4, 30}}));
    protocol.handleControlPacket(received(1, 3));
    protocol.handleControlPacket(received(1, 255));
    EXPECT_EQ(delegate.events,
              (std::vector<std::string>{"mirrorOn", "mirrorOff", "keyFrame", "frameRate 30"}));
    EXPECT_TRUE(delegate.writes.empty());  // only heartbeats are answered
}

TEST_F(ControlProtocolTest, MirrorStartResponse) {
    protocol.handleControlPacket(received(2, 1, {{6, 1}}));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"startSuccess"}));
    EXPECT_TRUE(log.contains("handleControlResponse"));
    // A refusal asks for the receiver's status.
    protocol.handleControlPacket(received(2, 0, {{6, 1}}));
    ASSERT_EQ(delegate.writes.size(), 1u);
    EXPECT_EQ(delegate.writes[0].plain()[3], 9);
    EXPECT_EQ(delegate.writes[0].plain()[4], 1);
}

TEST_F(ControlProtocolTest, MirrorStopResponseWhateverTheResult) {
    protocol.handleControlPacket(received(2, 1, {{6, 2}}));
    protocol.handleControlPacket(received(2, 0, {{6, 2}}));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"stopSuccess", "stopSuccess"}));
}

TEST_F(ControlProtocolTest, ReceiverStatusResponse) {
    protocol.setLocaIpByte(33);
    protocol.handleControlPacket(received(2, 0, {{6, 9}, {10, 1}, {11, 33}}));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"startSuccess"}));
    EXPECT_TRUE(delegate.writes.empty());

    protocol.handleControlPacket(received(2, 1, {{6, 9}, {10, 1}, {11, 34}}));
    protocol.handleControlPacket(received(2, 1, {{6, 9}, {10, 0}}));
    ASSERT_EQ(delegate.writes.size(), 2u);
    for (const auto& w : delegate.writes) {
        EXPECT_EQ(w.plain()[0], 33);
        EXPECT_EQ(w.plain()[3], 1);
    }

    delegate.events.clear();
    protocol.handleControlPacket(received(2, 1, {{6, 9}, {10, 2}}));
    protocol.handleControlPacket(received(2, 1, {{6, 9}, {10, 3}}));
    protocol.handleControlPacket(received(2, 1, {{6, 9}, {10, 4}}));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"startFailed -1", "startFailed -2"}));
    EXPECT_EQ(delegate.writes.size(), 2u);
}

TEST_F(ControlProtocolTest, VersionResponse) {
    protocol.handleControlPacket(received(2, 1, {{6, 14}, {8, '2'}, {9, '.'}, {10, '1'}, {12, 'x'}}));
    // Eight bytes without a zero make an eight-character version.
    protocol.handleControlPacket(received(
        2, 1,
        {{6, 14}, {8, 'A'}, {9, 'B'}, {10, 'C'}, {11, 'D'}, {12, 'E'}, {13, 'F'}, {14, 'G'}, {15, 'H'}}));
    // Only a successful response counts; broken UTF-8 is repaired.
    protocol.handleControlPacket(received(2, 0, {{6, 14}, {8, '9'}}));
    protocol.handleControlPacket(received(2, 1, {{6, 14}, {8, '1'}, {9, 0xC3}}));
    EXPECT_EQ(delegate.events,
              (std::vector<std::string>{"version 2.1", "version ABCDEFGH", "version 1\xEF\xBF\xBD"}));
}

TEST_F(ControlProtocolTest, AuthenticationTypeResponse) {
    protocol.handleControlPacket(received(2, 1, {{6, 25}, {8, 1}}));
    protocol.handleControlPacket(received(2, 1, {{6, 25}, {8, 2}}));
    protocol.handleControlPacket(received(2, 0, {{6, 25}, {8, 1}}));
    protocol.handleControlPacket(received(2, 1, {{6, 26}, {8, 1}}));
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"authType"}));
}

TEST_F(ControlProtocolTest, ResponsesToOtherRequestsAreIgnored) {
    for (int code : {0, 15, 16, 20, 35, 200})
        protocol.handleControlPacket(received(2, 1, {{6, code}}));
    EXPECT_TRUE(delegate.events.empty());
    EXPECT_TRUE(delegate.writes.empty());
}

TEST_F(ControlProtocolTest, Callbacks) {
    protocol.handleControlData(received(3, 128, {{5, 7}}).scrambled().bytes);
    protocol.handleControlData(received(3, 129).scrambled().bytes);
    protocol.handleControlData(received(3, 5).scrambled().bytes);
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"deviceStatus 7", "keyStatus"}));
    EXPECT_TRUE(log.contains("handleControlCallback:128"));
    EXPECT_TRUE(log.contains("COMMAND_SET_DEVICE_STATUS"));
    EXPECT_TRUE(log.contains("handleControlCallback:129"));
    EXPECT_TRUE(log.contains("COMMAND_SET_KEY_STATUS"));
    EXPECT_TRUE(log.contains("handleControlCallback:5"));
}

TEST_F(ControlProtocolTest, OtherKindsAreDroppedSilently) {
    for (int kind : {0, 4, 255})
        protocol.handleControlPacket(received(kind, 1));
    EXPECT_TRUE(delegate.events.empty());
    EXPECT_TRUE(delegate.writes.empty());
    EXPECT_TRUE(log.lines().empty());
}

// ---- UTF-8 helper ----

TEST(Utf8TextTest, DecodeRejectsMalformedForms) {
    EXPECT_EQ(utf8::decode("a\xC3\xA9"), (std::vector<char32_t>{'a', 0xE9}));
    EXPECT_EQ(utf8::decode("\xC0\x80"), (std::vector<char32_t>{0xFFFD, 0xFFFD}));              // overlong
    EXPECT_EQ(utf8::decode("\xED\xA0\x80"), (std::vector<char32_t>{0xFFFD, 0xFFFD, 0xFFFD}));  // surrogate
    EXPECT_EQ(utf8::decode("\xF4\x90\x80\x80").front(), 0xFFFDu);                              // > U+10FFFF
    EXPECT_EQ(utf8::decode("\xE6\x97"), (std::vector<char32_t>{0xFFFD, 0xFFFD}));              // truncated
    EXPECT_EQ(utf8::sanitize("ok \xF0\x9F\x98\x80"), "ok \xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace quill
