#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "media/DataQueue.h"
#include "media/MediaPacket.h"
#include "media/SWTimeUtils.h"
#include "platform/foundation/Clock.h"

namespace quill {
namespace {

using Bytes8 = std::vector<uint8_t>;

Bytes8 toVector(std::span<const uint8_t> s) {
    return Bytes8(s.begin(), s.end());
}

uint32_t host32(std::span<const uint8_t> s, size_t at) {
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

TEST(MediaPacketTest, VideoWireLayout) {
    // A 20-byte unit with a 3-byte start code.
    Bytes8 nal = {0x00, 0x00, 0x01, 0x65};
    for (uint8_t i = 0; nal.size() < 20; ++i)
        nal.push_back(i);
    MediaPacket p = MediaPacket::video(0x01020304u, nal);

    EXPECT_EQ(p.kind(), 1u);
    EXPECT_EQ(p.wireLength(), 48u);
    EXPECT_EQ(p.timestamp(), 0x01020304u);
    Bytes8 expect = {0x00, 0x00, 0x00, 0x2C, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0,
                     0,    1,    0,    0,    0, 1, 0, 0, 0, 1, 1, 2, 3, 4};
    expect.insert(expect.end(), nal.begin(), nal.end());
    EXPECT_EQ(toVector(p.wire()), expect);
    EXPECT_EQ(toVector(p.payload()), nal);

    // The carrier block: kind and wire length in host order, then the wire bytes.
    auto block = p.block();
    ASSERT_EQ(block.size(), 56u);
    EXPECT_EQ(host32(block, 0), 1u);
    EXPECT_EQ(host32(block, 4), 48u);
    EXPECT_EQ(toVector(block.subspan(8)), expect);
}

TEST(MediaPacketTest, AudioWireLayout) {
    for (size_t f : {417u, 418u}) {
        Bytes8 frame(f);
        frame[0] = 0xFF;
        frame[1] = 0xFB;
        frame[2] = f == 418 ? 0x92 : 0x90;
        frame.back() = 0xAB;
        MediaPacket p = MediaPacket::audio(0xFFFFFFF0u, frame);
        EXPECT_EQ(p.kind(), 2u);
        EXPECT_EQ(p.wireLength(), f + 8);
        EXPECT_EQ(p.block().size(), f + 16);
        auto w = p.wire();
        const uint32_t len = static_cast<uint32_t>(f + 4);
        EXPECT_EQ(toVector(w.first(8)),
                  (Bytes8{0, 0, uint8_t(len >> 8), uint8_t(len), 0xFF, 0xFF, 0xFF, 0xF0}));
        EXPECT_EQ(toVector(w.subspan(8)), frame);
        EXPECT_EQ(p.timestamp(), 0xFFFFFFF0u);
    }
}

TEST(MediaPacketTest, PacketsFilledInPlace) {
    MediaPacket p = MediaPacket::video(5, 3);
    ASSERT_EQ(p.payload().size(), 3u);
    EXPECT_EQ(toVector(p.payload()), (Bytes8{0, 0, 0}));
    p.payload()[2] = 9;
    EXPECT_EQ(p.wire().back(), 9);
    EXPECT_EQ(p.wire()[3], 27);  // 3 + 24
    MediaPacket a = MediaPacket::audio(1, 0);
    EXPECT_EQ(a.wireLength(), 8u);
    EXPECT_EQ(a.wire()[3], 4);
}

TEST(MediaPacketTest, MovingHandsTheBlockOver) {
    MediaPacket p = MediaPacket::video(1, Bytes8{0, 0, 0, 1, 0x67});
    const uint8_t* where = p.block().data();
    MediaPacket q = std::move(p);
    EXPECT_TRUE(p.empty());
    EXPECT_EQ(p.kind(), 0u);
    EXPECT_TRUE(p.wire().empty());
    EXPECT_EQ(q.block().data(), where);

    // Through a queue: the item travels without copying; leftovers reach the destroy action.
    std::vector<uint32_t> destroyed;
    {
        DataQueue<MediaPacket> queue(3);
        queue.setDestroyBlock([&](MediaPacket m) { destroyed.push_back(m.kind()); });
        ASSERT_TRUE(queue.put(std::move(q), 0.0));
        auto out = queue.take(0.0);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->block().data(), where);
        ASSERT_TRUE(queue.put(MediaPacket::audio(2, 417), 0.0));
    }
    EXPECT_EQ(destroyed, (std::vector<uint32_t>{2}));
}

TEST(MediaPacketTest, AudioStampAccountsForPendingBytes) {
    EXPECT_EQ(adjustedAudioTimeStamp(1000, 418), 974u);       // one whole frame: 26 ms
    EXPECT_EQ(adjustedAudioTimeStamp(1000, 835), 949u);       // 835 x 26 / 418 = 51
    EXPECT_EQ(adjustedAudioTimeStamp(1000, 517), 968u);       // 32
    EXPECT_EQ(adjustedAudioTimeStamp(10, 418), 0xFFFFFFF0u);  // wraps like the stamps themselves
}

TEST(SWTimeUtilsTest, MillisecondsSinceReferenceDate) {
    double now = 1.2345;
    SWTimeUtils clock([&] { return now; });
    EXPECT_EQ(clock.getCurrentTimeStamp(), 1234);
    now = 800000000.5;
    EXPECT_EQ(clock.getCurrentTimeStamp(), 800000000500);
    // Packet stamps are the low 32 bits and wrap at 2^32 ms.
    now = 4294967.296 + 0.5;
    EXPECT_EQ(clock.getCurrentTimeStamp(), 4294967796);
    EXPECT_EQ(clock.mediaTimeStamp(), 500u);

    clock.reset();
    EXPECT_EQ(clock.zeroTime(), now);
    now += 2.0;
    EXPECT_EQ(clock.getCurrentTimeStamp(), 2000);
}

TEST(SWTimeUtilsTest, SingletonFollowsTheWallClock) {
    const int64_t before = platform::foundation::millisecondsSinceReferenceDate();
    const int64_t stamp = SWTimeUtils::singleton().getCurrentTimeStamp();
    const int64_t after = platform::foundation::millisecondsSinceReferenceDate();
    EXPECT_GE(stamp, before - 1);
    EXPECT_LE(stamp, after + 1);
    // 1 January 2001 was 978307200 s after the Unix epoch.
    const int64_t unixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    EXPECT_NEAR(static_cast<double>(stamp), static_cast<double>(unixMs - 978307200000), 1000.0);
}

}  // namespace
}  // namespace quill
