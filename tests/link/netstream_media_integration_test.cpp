// Media writes of the receiver link against the test receiver: wire bytes as sent, write credits and the
// back-pressure of a receiver that stops reading, and fresh credits for every connection.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "NetStreamTestSupport.h"
#include "link/NetStream.h"
#include "media/MediaPacket.h"
#include "platform/foundation/SysLog.h"
#include "support/TestReceiver.h"

namespace quill {
namespace {

using platform::foundation::LogCapture;
using testing::NetStreamRecorder;
using testing::ReceiverPort;
using testing::TestReceiver;

NetStream::Options fastOptionsFor(const TestReceiver& rx) {
    NetStream::Options o = testing::linkOptionsFor(rx);
    o.heartbeatPeriod = 0.1;
    o.silenceLimit = 2.0;
    // Long enough for a write to complete on a slow (sanitized) build, short enough for the drop tests.
    o.videoCreditWait = 1.0;
    o.audioCreditWait = 1.0;
    return o;
}

// A 418-byte MPEG-1 Layer III frame header (128 kbit/s, 44.1 kHz, padded) and filler.
std::vector<uint8_t> mp3Frame() {
    std::vector<uint8_t> f(418, 0x55);
    f[0] = 0xFF;
    f[1] = 0xFB;
    f[2] = 0x92;
    f[3] = 0x64;
    return f;
}

std::vector<uint8_t> nal(size_t n, uint8_t type) {
    std::vector<uint8_t> v(n, 0xAB);
    v[0] = 0;
    v[1] = 0;
    v[2] = 0;
    v[3] = 1;
    v[4] = type;
    return v;
}

TestReceiver::Options receiverOptions() {
    TestReceiver::Options ro;
    ro.heartbeatSeconds = 0.1;
    return ro;
}

struct MediaLink : testing::ReceiverLink {
    MediaLink() : ReceiverLink(receiverOptions()) { start(fastOptionsFor(rx)); }
};

TEST(NetStreamMediaTest, VideoAndAudioPacketsArriveAsWritten) {
    LogCapture log;
    MediaLink l;
    ASSERT_TRUE(l.connect());
    for (uint32_t i = 0; i < 30; ++i) {
        MediaPacket v = MediaPacket::video(1000 + i, nal(20 + i, i == 0 ? 0x65 : 0x41));
        ASSERT_TRUE(l.ns->sendVideoData(v.wire()));
        MediaPacket a = MediaPacket::audio(2000 + i, mp3Frame());
        ASSERT_TRUE(l.ns->sendAudioData(a.wire()));
    }
    ASSERT_TRUE(l.rx.waitForVideo(30, 5));
    ASSERT_TRUE(l.rx.waitForAudio(30, 5));
    auto video = l.rx.video();
    auto audio = l.rx.audio();
    for (uint32_t i = 0; i < 30; ++i) {
        EXPECT_EQ(video[i].stamp, 1000 + i);
        EXPECT_EQ(video[i].nal, nal(20 + i, i == 0 ? 0x65 : 0x41));
        EXPECT_EQ(audio[i].stamp, 2000 + i);
        EXPECT_EQ(audio[i].frame, mp3Frame());
    }
    EXPECT_TRUE(l.rx.problems().empty());
    EXPECT_EQ(log.count("sendAudioData:426"), 30u);
    ASSERT_TRUE(l.rx.waitFor([&] { return log.count("didWriteDataWithTag audioooooooo:4") == 30; }, 5));
    EXPECT_FALSE(log.contains("unable to send video data."));
    // Media never travels on the touch connection.
    EXPECT_EQ(l.rx.touchBytes(), 0u);
    l.ns->disconnect();
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    EXPECT_EQ(l.rx.touchBytes(), 0u);
}

// Fills the video connection until a write waits for a credit in vain. Returns the number queued.
int fillVideo(MediaLink& l, LogCapture& log, const std::vector<uint8_t>& wire) {
    int queued = 0;
    for (int i = 0; i < 400 && !log.contains("unable to send video data."); ++i)
        queued += l.ns->sendVideoData(wire) ? 1 : 0;
    return queued;
}

TEST(NetStreamMediaTest, StalledVideoDropsPacketsWhileHeartbeatsGoOn) {
    LogCapture log;
    MediaLink l;
    l.rx.setReadMedia(ReceiverPort::Video, false);
    ASSERT_TRUE(l.connect());
    MediaPacket big = MediaPacket::video(7, nal(1 << 20, 0x41));
    int queued = fillVideo(l, log, std::vector<uint8_t>(big.wire().begin(), big.wire().end()));
    ASSERT_TRUE(log.contains("unable to send video data.")) << queued;
    // The drop took about the credit wait; the link is still up and its heartbeat goes on.
    auto beats = l.rx.requests(0).size();
    ASSERT_TRUE(l.rx.waitForRequests(0, beats + 3, 5));
    EXPECT_EQ(l.rec->count("onConnectFailed"), 0u);
    EXPECT_TRUE(l.ns->isConnected());
    // Audio is not held up by the stalled video connection.
    MediaPacket a = MediaPacket::audio(9, mp3Frame());
    ASSERT_TRUE(l.ns->sendAudioData(a.wire()));
    ASSERT_TRUE(l.rx.waitForAudio(1, 5));

    // A drop costs the caller the credit wait, no more.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(l.ns->sendVideoData(big.wire()));
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(waited, 0.99);
    EXPECT_LT(waited, 2.5);

    // When the receiver reads again, the queued packets arrive whole and writing resumes.
    l.rx.setReadMedia(ReceiverPort::Video, true);
    // About ten megabytes are waiting: give slow sanitizer builds time to move them.
    ASSERT_TRUE(l.rx.waitForVideo(size_t(queued), 30));
    ASSERT_TRUE(l.ns->sendVideoData(big.wire()));
    ASSERT_TRUE(l.rx.waitForVideo(size_t(queued) + 1, 30));
    EXPECT_TRUE(l.rx.problems().empty());
    l.ns->disconnect();
}

TEST(NetStreamMediaTest, EveryConnectionStartsWithFreshCredits) {
    LogCapture log;
    MediaLink l;
    l.rx.setReadMedia(ReceiverPort::Video, false);
    ASSERT_TRUE(l.connect());
    MediaPacket big = MediaPacket::video(7, nal(1 << 20, 0x41));
    fillVideo(l, log, std::vector<uint8_t>(big.wire().begin(), big.wire().end()));
    ASSERT_TRUE(log.contains("unable to send video data."));
    // Closing drops the stalled writes, and their credits with them. The close reaches the receiver
    // behind the bytes already sent, so it reads again.
    l.ns->disconnect();
    l.rx.setReadMedia(ReceiverPort::Video, true);
    ASSERT_TRUE(l.rx.waitForAllClosed(5));
    // A media write after disconnect is dropped at once.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(l.ns->sendVideoData(big.wire()));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);

    l.rx.clearRecords();
    log.clear();
    ASSERT_TRUE(l.connect());
    for (int i = 0; i < 12; ++i) {
        MediaPacket v = MediaPacket::video(uint32_t(i), nal(100, 0x41));
        ASSERT_TRUE(l.ns->sendVideoData(v.wire())) << i;
    }
    ASSERT_TRUE(l.rx.waitForVideo(12, 5));
    EXPECT_FALSE(log.contains("unable to send video data."));
    l.ns->disconnect();
}

TEST(NetStreamMediaTest, DisconnectReleasesAWriterWaitingForACredit) {
    LogCapture log;
    MediaLink l;
    l.rx.setReadMedia(ReceiverPort::Video, false);
    // A long wait, so that only disconnect() can end it in time.
    auto o = fastOptionsFor(l.rx);
    o.videoCreditWait = 30;
    l.ns = NetStream::create(o);
    l.ns->setDelegate(l.rec);
    ASSERT_TRUE(l.connect());
    MediaPacket big = MediaPacket::video(7, nal(1 << 20, 0x41));
    using Clock = std::chrono::steady_clock;
    std::atomic<int64_t> callStarted{0};  // when the current call began (ns), 0 between calls
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        while (true) {
            callStarted = Clock::now().time_since_epoch().count();
            bool ok = l.ns->sendVideoData(big.wire());
            callStarted = 0;
            if (!ok) break;
        }
        returned = true;
    });
    // Disconnect once a call has been waiting for a credit for a while (half a second: only a credit wait
    // holds a call that long, even on a busy machine).
    auto waiting = [&] {
        int64_t s = callStarted.load();
        return s != 0 && Clock::now().time_since_epoch().count() - s > 500'000'000;
    };
    EXPECT_TRUE(l.rx.waitFor(waiting, 10));
    auto t0 = Clock::now();
    l.ns->disconnect();
    EXPECT_TRUE(l.rx.waitFor([&] { return returned.load(); }, 5));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.0);
    sender.join();
    // The packet went with the link, not for want of a credit.
    EXPECT_FALSE(log.contains("unable to send video data."));
    EXPECT_TRUE(log.contains("video packet dropped: the link was closed."));
}

}  // namespace
}  // namespace quill
