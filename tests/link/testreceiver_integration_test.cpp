// The test receiver is the peer every link and session test relies on, so its own framing, answers and
// media checks are tested here against a raw client.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support/LoopbackServer.h"
#include "support/TestReceiver.h"

namespace quill::testing {
namespace {

std::array<uint8_t, 16> request(uint8_t addr, uint8_t code) {
    std::array<uint8_t, 16> p{};
    p[0] = addr;
    p[1] = 4;
    p[2] = 1;
    p[3] = code;
    return p;
}

TEST(TestReceiverTest, FramesControlPacketsAcrossArbitrarySplitsAndAnswers) {
    TestReceiver::Options opts;
    opts.heartbeatSeconds = 0;
    TestReceiver rx(opts);
    rx.setVersion("1.2.3");
    int fd = connectLoopback(rx.controlPort());
    ASSERT_GE(fd, 0);
    auto a = request(37, 14);
    auto b = request(37, 0);
    scrambleControl(a);
    scrambleControl(b);
    std::vector<uint8_t> stream(a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    // 5 bytes, then 11, then the rest: one packet completes across the first two writes.
    ASSERT_TRUE(writeAll(fd, std::span(stream).subspan(0, 5)));
    ASSERT_TRUE(writeAll(fd, std::span(stream).subspan(5, 11)));
    ASSERT_TRUE(rx.waitForRequests(14, 1, 5));
    ASSERT_TRUE(writeAll(fd, std::span(stream).subspan(16)));
    ASSERT_TRUE(rx.waitForRequests(0, 1, 5));

    // Two responses come back: the version, then the heartbeat answer.
    std::vector<uint8_t> got, buf;
    for (int i = 0; i < 200 && got.size() < 32; ++i) {
        if (readSome(fd, buf, 64, 20) > 0) got.insert(got.end(), buf.begin(), buf.end());
    }
    ASSERT_EQ(got.size(), 32u);
    std::array<uint8_t, 16> r1, r2;
    std::copy_n(got.begin(), 16, r1.begin());
    std::copy_n(got.begin() + 16, 16, r2.begin());
    scrambleControl(r1);
    scrambleControl(r2);
    EXPECT_EQ(r1[2], 2);
    EXPECT_EQ(r1[3], 1);
    EXPECT_EQ(r1[4], 4);   // the request's byte 1
    EXPECT_EQ(r1[5], 37);  // the request's byte 0
    EXPECT_EQ(r1[6], 14);  // the request code
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&r1[8]), 5), "1.2.3");
    EXPECT_EQ(r2[6], 0);
    closeFd(fd);
}

TEST(TestReceiverTest, ParsesMediaAndReportsBrokenPackets) {
    TestReceiver rx;
    int v = connectLoopback(rx.videoPort());
    int au = connectLoopback(rx.audioPort());
    ASSERT_GE(v, 0);
    ASSERT_GE(au, 0);
    std::vector<uint8_t> pkt;
    std::vector<uint8_t> nal{0, 0, 0, 1, 0x67, 1, 2, 3};
    appendBE32(pkt, uint32_t(nal.size() + 24));
    for (int i = 0; i < 5; ++i)
        appendBE32(pkt, 1);
    appendBE32(pkt, 1234);
    pkt.insert(pkt.end(), nal.begin(), nal.end());
    ASSERT_TRUE(writeAll(v, pkt));
    ASSERT_TRUE(rx.waitForVideo(1, 5));
    EXPECT_EQ(rx.video()[0].stamp, 1234u);
    EXPECT_EQ(rx.video()[0].nalType(), 7);

    // A 417-byte frame must not have the padding bit set.
    std::vector<uint8_t> frame(417, 0);
    frame[0] = 0xFF;
    frame[1] = 0xFB;
    frame[2] = 0x92;  // padding bit set: disagrees with 417 bytes
    std::vector<uint8_t> apkt;
    appendBE32(apkt, 417 + 4);
    appendBE32(apkt, 99);
    apkt.insert(apkt.end(), frame.begin(), frame.end());
    ASSERT_TRUE(writeAll(au, apkt));
    ASSERT_TRUE(rx.waitFor([&] { return !rx.problems().empty(); }, 5));
    EXPECT_EQ(rx.problems()[0], "audio frame length disagrees with its padding bit");
    EXPECT_TRUE(rx.audio().empty());
    closeFd(v);
    closeFd(au);
    EXPECT_TRUE(rx.waitForAllClosed(5));
}

TEST(TestReceiverTest, RefusedPortRejectsConnects) {
    TestReceiver rx;
    uint16_t port = rx.touchPort();
    ASSERT_TRUE(rx.refusePort(ReceiverPort::Touch));
    int fd = connectLoopback(port);
    EXPECT_LT(fd, 0);
    closeFd(fd);
}

TEST(TestReceiverTest, NoticesACloseWhileNotReadingMedia) {
    TestReceiver rx;
    rx.setReadMedia(ReceiverPort::Video, false);
    int v = connectLoopback(rx.videoPort());
    ASSERT_GE(v, 0);
    ASSERT_TRUE(rx.waitFor([&] { return rx.connections(ReceiverPort::Video) == 1; }, 5));
    std::vector<uint8_t> junk(1000, 7);
    ASSERT_TRUE(writeAll(v, junk));
    closeFd(v);
    EXPECT_TRUE(rx.waitFor([&] { return rx.peerClosed(ReceiverPort::Video); }, 5));
    EXPECT_TRUE(rx.video().empty());
}

TEST(TestReceiverTest, Mp3FrameLengthsFollowTheHeader) {
    EXPECT_EQ(mpeg1Layer3FrameLength(0x90), 417u);  // 128 kbit/s, 44.1 kHz
    EXPECT_EQ(mpeg1Layer3FrameLength(0x92), 418u);  // padded
    EXPECT_EQ(mpeg1Layer3FrameLength(0x94), 384u);  // 48 kHz
    EXPECT_EQ(mpeg1Layer3FrameLength(0x00), 0u);    // free format
    EXPECT_EQ(mpeg1Layer3FrameLength(0x9C), 0u);    // reserved sample rate
}

}  // namespace
}  // namespace quill::testing
