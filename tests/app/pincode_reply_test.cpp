// The look-up exchange without a network: the request's bytes, the reading of replies, and the look-up
// server's address from the environment.
#include <gtest/gtest.h>

#include "app/pincode/PincodeChannel.h"
#include "messages/CastCommand.h"
#include "platform/foundation/SysLog.h"
#include "support/TestLookupServer.h"

namespace quill {
namespace {

using platform::foundation::LogCapture;
using testing::TestLookupServer;
using Kind = PincodeChannel::Reply::Kind;

TEST(PincodeRequest, ExactBytesForAPin) {
    // Header, then the CastCommand: root offset, CastCommand vtable and table (data type 5, command type 1),
    // the QueryServerRequestData with its pin string (no terminating zero), the empty RequestCmd.
    const Bytes expected{
        0x00, 0x00, 0x00, 0x40,                                                              // length 64
        0x10, 0x00, 0x00, 0x00,                                                              // root at 16
        0x0c, 0x00, 0x0e, 0x00, 0x0d, 0x00, 0x08, 0x00, 0x0c, 0x00, 0x04, 0x00,              // vtable
        0x0c, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00, 0x05, 0x01,  // CastCommand
        0x06, 0x00, 0x08, 0x00, 0x04, 0x00,                                                  // vtable
        0x06, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,              // QueryServerRequestData
        0x06, 0x00, 0x00, 0x00, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36,  // "123456"
        0x06, 0x00, 0x04, 0x00, 0x00, 0x00,                          // vtable
        0x06, 0x00, 0x00, 0x00,                                      // RequestCmd
    };
    EXPECT_EQ(PincodeChannel::makeRequest(std::string("123456")), expected);
}

TEST(PincodeRequest, ReadsBackAsAQueryForThePin) {
    const std::vector<std::optional<std::string>> pins{"000000", "987654", std::nullopt};
    for (const auto& pin : pins) {
        const Bytes request = PincodeChannel::makeRequest(pin);
        ASSERT_GE(request.size(), 4u);
        EXPECT_EQ(request[0], 0);
        EXPECT_EQ(request[1], 0);
        EXPECT_EQ(request[2], 0);
        EXPECT_EQ(request[3], request.size() - 4);
        const auto command = CastCommand::from(std::span<const uint8_t>(request).subspan(4));
        ASSERT_TRUE(command);
        ASSERT_TRUE(command->cmdAs<RequestCmd>());
        EXPECT_FALSE(command->cmdAs<RequestCmd>()->mac);
        ASSERT_TRUE(command->dataAs<QueryServerRequestData>());
        EXPECT_EQ(command->dataAs<QueryServerRequestData>()->pin, pin);
    }
}

TEST(PincodeReply, FoundReceiver) {
    LogCapture log;
    const auto reply = PincodeChannel::readReply(
        TestLookupServer::foundReply({"10.0.0.9", "192.168.43.1"}, "Living room", "2.1"), "123456");
    ASSERT_EQ(reply.kind, Kind::found);
    EXPECT_EQ(*reply.receiver,
              (ReceiverObject{"Living room", "2.1", {"10.0.0.9", "192.168.43.1"}, "123456"}));
    EXPECT_TRUE(log.contains("got response from server"));
    EXPECT_TRUE(log.contains("server response OK"));
}

TEST(PincodeReply, AbsentNameAndVersionAreEmpty) {
    const auto reply =
        PincodeChannel::readReply(TestLookupServer::foundReply({"10.0.0.3", "10.0.0.1"}), "654321");
    ASSERT_EQ(reply.kind, Kind::found);
    EXPECT_EQ(*reply.receiver, (ReceiverObject{"", "", {"10.0.0.3", "10.0.0.1"}, "654321"}));
}

TEST(PincodeReply, EachFailingStatusFindsNoReceiver) {
    for (StatusCode status : {StatusCode::NONE, StatusCode::FAILED, StatusCode::FAILED_NOT_EXIT}) {
        LogCapture log;
        const auto reply = PincodeChannel::readReply(TestLookupServer::statusReply(status), "123456");
        EXPECT_EQ(reply.kind, Kind::unableToFind) << statusCodeName(status);
        EXPECT_FALSE(reply.receiver);
        EXPECT_TRUE(log.contains("unable to find receiver by pincode")) << statusCodeName(status);
    }
    // A failing status wins over receiver data sent along.
    const auto withData = PincodeChannel::readReply(
        TestLookupServer::replyFor(
            CastCommand{ResponseCmd{StatusCode::FAILED}, QueryServerResponseData{{"10.0.0.1"}}}),
        "1");
    EXPECT_EQ(withData.kind, Kind::unableToFind);
}

TEST(PincodeReply, UnusableRepliesFindNoReceiver) {
    const std::vector<std::pair<std::string, Bytes>> cases{
        {"garbage", TestLookupServer::framed({0xff, 0xff, 0xff, 0x7f, 1, 2, 3})},
        {"header only", Bytes{0, 0, 0, 0}},
        {"no command",
         TestLookupServer::replyFor(CastCommand{std::nullopt, QueryServerResponseData{{"10.0.0.1"}}})},
        {"request",
         TestLookupServer::replyFor(CastCommand{RequestCmd{}, QueryServerResponseData{{"10.0.0.1"}}})},
        {"unknown status", TestLookupServer::replyFor(CastCommand{ResponseCmd{std::nullopt},
                                                                  QueryServerResponseData{{"10.0.0.1"}}})},
        {"OK without data", TestLookupServer::statusReply(StatusCode::OK)},
        {"OK with other data", TestLookupServer::replyFor(CastCommand{ResponseCmd{StatusCode::OK},
                                                                      OnlineRegisterResponseData{"1"}})},
        {"OK without addresses", TestLookupServer::foundReply({}, "tv", "1")},
    };
    for (const auto& [name, bytes] : cases) {
        const auto reply = PincodeChannel::readReply(bytes, "123456");
        EXPECT_EQ(reply.kind, Kind::unableToFind) << name;
        EXPECT_FALSE(reply.receiver) << name;
    }
    LogCapture log;
    PincodeChannel::readReply(TestLookupServer::replyFor(CastCommand{RequestCmd{}, std::nullopt}), "1");
    EXPECT_TRUE(log.contains("got request from server"));
}

TEST(PincodeReply, UnknownStatusValueIsUnusable) {
    // The status byte is where two replies that differ only in their status differ.
    auto withStatus = [](StatusCode status) {
        return TestLookupServer::replyFor(
            CastCommand{ResponseCmd{status}, QueryServerResponseData{{"10.0.0.1"}, "tv", "1"}});
    };
    Bytes bytes = withStatus(StatusCode::OK);
    const Bytes other = withStatus(StatusCode::FAILED);
    ASSERT_EQ(bytes.size(), other.size());
    std::vector<size_t> differ;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != other[i]) differ.push_back(i);
    }
    ASSERT_EQ(differ.size(), 1u);
    ASSERT_EQ(PincodeChannel::readReply(bytes, "1").kind, Kind::found);
    bytes[differ[0]] = 7;
    LogCapture log;
    EXPECT_EQ(PincodeChannel::readReply(bytes, "1").kind, Kind::unableToFind);
    EXPECT_TRUE(log.contains("reply from server has no status"));
}

TEST(PincodeReply, FewerThanFourBytesAreIncomplete) {
    for (size_t n = 0; n < 4; ++n) {
        LogCapture log;
        EXPECT_EQ(PincodeChannel::readReply(Bytes(n, 0), "1").kind, Kind::incomplete) << n;
        EXPECT_FALSE(log.contains("data len=0"));
    }
}

TEST(PincodeReply, TheMessageIsExactlyTheLengthTheHeaderAnnounces) {
    const Bytes whole = TestLookupServer::foundReply({"10.0.0.9", "10.0.0.10"}, "tv", "3");
    // Any shorter piece waits for the rest, also where it would already parse as a reply.
    for (size_t n = 0; n < whole.size(); ++n) {
        const auto reply = PincodeChannel::readReply(Bytes(whole.begin(), whole.begin() + long(n)), "1");
        EXPECT_EQ(reply.kind, Kind::incomplete) << n;
    }
    // Bytes after the message are not part of it.
    Bytes longer = whole;
    longer.insert(longer.end(), {0xff, 0xff, 0xff, 0x7f});
    LogCapture log;
    const auto reply = PincodeChannel::readReply(longer, "1");
    ASSERT_EQ(reply.kind, Kind::found);
    EXPECT_EQ(reply.receiver->ipList, (std::vector<std::string>{"10.0.0.9", "10.0.0.10"}));
    EXPECT_TRUE(log.contains("data len=" + std::to_string(whole.size() - 4)));
}

TEST(PincodeReply, ALengthOverTheCapIsUnusableAtOnce) {
    auto withLength = [](uint32_t length) {
        Bytes bytes = TestLookupServer::foundReply({"10.0.0.9"});
        bytes[0] = uint8_t(length >> 24), bytes[1] = uint8_t(length >> 16);
        bytes[2] = uint8_t(length >> 8), bytes[3] = uint8_t(length);
        return bytes;
    };
    EXPECT_EQ(PincodeChannel::readReply(withLength(PincodeChannel::kMaxReplyLength), "1").kind,
              Kind::incomplete);
    for (uint32_t length : {PincodeChannel::kMaxReplyLength + 1, 0xffffffffu}) {
        LogCapture log;
        EXPECT_EQ(PincodeChannel::readReply(withLength(length), "1").kind, Kind::unableToFind) << length;
        EXPECT_TRUE(log.contains("reply from server too long"));
    }
}

TEST(PincodeLookupServerAddress, FromTheEnvironmentValues) {
    EXPECT_EQ(lookupHostFrom(nullptr), "localhost");
    EXPECT_EQ(lookupHostFrom(""), "localhost");
    EXPECT_EQ(lookupHostFrom("lookup.example"), "lookup.example");
    EXPECT_EQ(lookupPortFrom(nullptr), 10022);
    EXPECT_EQ(lookupPortFrom("1"), 1);
    EXPECT_EQ(lookupPortFrom("65535"), 65535);
    LogCapture log;
    for (const char* bad : {"", "0", "65536", "-1", "12a", " 80", "80 ", "99999999999999999999"}) {
        EXPECT_EQ(lookupPortFrom(bad), 10022) << bad;
    }
    EXPECT_TRUE(log.contains("QUILLARAN_LOOKUP_PORT=\"12a\" is no port; using 10022"));
}

}  // namespace
}  // namespace quill
