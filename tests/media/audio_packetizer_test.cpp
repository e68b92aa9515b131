#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "media/Mp3Packetizer.h"
#include "platform/foundation/SysLog.h"

namespace quill {
namespace {

struct Cut {
    std::vector<uint8_t> frame;
    uint32_t stamp;
};

// A stand-in MP3 frame: a real 128 kbit/s 44.1 kHz header, the padding bit as asked, and a body that
// tells frames apart.
std::vector<uint8_t> frame(bool padded, uint8_t tag) {
    std::vector<uint8_t> f(padded ? 418 : 417, tag);
    f[0] = 0xFF;
    f[1] = 0xFB;
    f[2] = static_cast<uint8_t>(0x90 | (padded ? 0x02 : 0x00));
    f[3] = 0x64;
    return f;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class PacketizerTest : public ::testing::Test {
  protected:
    Mp3Packetizer packetizer{[this](std::span<const uint8_t> f, uint32_t stamp) {
        cuts.push_back({std::vector<uint8_t>(f.begin(), f.end()), stamp});
    }};
    std::vector<Cut> cuts;

    void feed(const std::vector<uint8_t>& bytes, uint32_t stamp) {
        packetizer.composeAudioPacket(bytes.data(), bytes.size(), stamp);
    }
};

TEST_F(PacketizerTest, PaddedThenPlainFrameSendsOneAndCarriesTheOther) {
    const auto a = frame(true, 1), b = frame(false, 2);
    feed(concat({a, b}), 100000);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].frame, a);
    EXPECT_EQ(cuts[0].stamp, 100000u - 51);  // 835 * 26 / 418 = 51
    EXPECT_EQ(packetizer.preLen(), 417u);
}

TEST_F(PacketizerTest, CarriedFrameIsSentWithTheNextCall) {
    const auto a = frame(false, 7);
    feed(concat({frame(true, 6), a}), 5000);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(packetizer.preLen(), 417u);
    const auto next = frame(true, 8);
    feed(std::vector<uint8_t>(next.begin(), next.begin() + 100), 6000);
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(cuts[1].frame, a);
    EXPECT_EQ(cuts[1].stamp, 6000u - 32);  // 517 * 26 / 418 = 32
    EXPECT_EQ(packetizer.preLen(), 100u);
}

TEST_F(PacketizerTest, PaddingBitIsReadFromTheNewBytesWhenOnlyTwoWereCarried) {
    const auto a = frame(true, 3);
    feed(std::vector<uint8_t>(a.begin(), a.begin() + 2), 10);
    EXPECT_EQ(packetizer.preLen(), 2u);
    // 416 more bytes make 418 pending: a plain frame would be cut at 417, this one needs all 418.
    feed(std::vector<uint8_t>(a.begin() + 2, a.end() - 1), 20);
    EXPECT_TRUE(cuts.empty());
    feed(std::vector<uint8_t>(a.end() - 1, a.end()), 30);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].frame, a);
    EXPECT_EQ(cuts[0].stamp, 30u - 26);
}

TEST_F(PacketizerTest, FewerThanThreeBytesAreOnlyCarried) {
    const auto a = frame(false, 4);
    feed({a[0]}, 1);
    feed({}, 2);
    feed({a[1]}, 3);
    EXPECT_TRUE(cuts.empty());
    EXPECT_EQ(packetizer.preLen(), 2u);
    feed(std::vector<uint8_t>(a.begin() + 2, a.end()), 4);
    // Exactly one plain frame pending: it is cut (the first frame needs only its own length).
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].frame, a);
    EXPECT_EQ(packetizer.preLen(), 0u);
}

TEST_F(PacketizerTest, OnePaddedFramePendingIsStampedOneFrameEarlier) {
    feed(frame(true, 5), 418);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].stamp, 418u - 26);
}

TEST_F(PacketizerTest, StampsWrapAroundLikeTheClock) {
    feed(frame(true, 5), 10);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].stamp, static_cast<uint32_t>(10 - 26));
}

TEST_F(PacketizerTest, ManyFramesInOneCallShareTheCallStampLessWhatIsPending) {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> all;
    for (int i = 0; i < 10; ++i) {
        frames.push_back(frame(i % 3 == 1, static_cast<uint8_t>(i)));
        all.insert(all.end(), frames.back().begin(), frames.back().end());
    }
    feed(all, 1000000);
    size_t pending = all.size();
    size_t i = 0;
    for (; i < cuts.size(); ++i) {
        EXPECT_EQ(cuts[i].frame, frames[i]);
        EXPECT_EQ(cuts[i].stamp, 1000000u - static_cast<uint32_t>(pending * 26 / 418)) << i;
        pending -= frames[i].size();
    }
    // All but the last are cut; it waits, since fewer than 418 bytes remain.
    EXPECT_EQ(cuts.size(), 9u);
    EXPECT_EQ(packetizer.preLen(), frames[9].size());
}

TEST_F(PacketizerTest, SplitAnywhereTheStreamComesOutWholeAndInOrder) {
    std::mt19937 rng(42);
    std::vector<uint8_t> all;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 300; ++i) {
        frames.push_back(frame(rng() % 2 == 0, static_cast<uint8_t>(i)));
        all.insert(all.end(), frames.back().begin(), frames.back().end());
    }
    size_t pos = 0;
    uint32_t stamp = 0;
    while (pos < all.size()) {
        // Chunk sizes from 0 to 2000 bytes, small ones often.
        size_t n = (rng() % 4 == 0) ? rng() % 5 : rng() % 2001;
        n = std::min(n, all.size() - pos);
        packetizer.composeAudioPacket(all.data() + pos, n, stamp += 23);
        pos += n;
        ASSERT_LE(packetizer.preLen(), 417u);
    }
    ASSERT_GE(cuts.size(), frames.size() - 1);
    for (size_t i = 0; i < cuts.size(); ++i) {
        ASSERT_EQ(cuts[i].frame, frames[i]) << i;
        const auto& f = cuts[i].frame;
        ASSERT_TRUE(Mp3Packetizer::isExpectedHeader(f[0], f[1], f[2]));
        EXPECT_EQ(f.size(), (f[2] & 0x02) ? 418u : 417u);
    }
    EXPECT_EQ(packetizer.discardedBytes(), 0u);
}

TEST_F(PacketizerTest, BytesThatStartNoFrameAreSkippedOnce) {
    platform::foundation::LogCapture log;
    const auto a = frame(true, 1), b = frame(true, 2);
    // Garbage, including a lone 0xFF and a header of the wrong bit rate, then two good frames.
    std::vector<uint8_t> junk = {0x00, 0xFF, 0x12, 0xFF, 0xFB, 0xA0, 0x33};
    feed(concat({junk, a, b}), 9000);
    ASSERT_GE(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].frame, a);
    EXPECT_EQ(packetizer.discardedBytes(), junk.size());
    EXPECT_EQ(log.count("audio encoder: MP3 stream out of step, skipping to the next frame"), 1u);
}

TEST(PacketizerHeaderTest, RecognisesOnlyTheExpectedKindOfFrame) {
    EXPECT_TRUE(Mp3Packetizer::isExpectedHeader(0xFF, 0xFB, 0x90));
    EXPECT_TRUE(Mp3Packetizer::isExpectedHeader(0xFF, 0xFA, 0x92));  // with CRC, padded
    EXPECT_FALSE(Mp3Packetizer::isExpectedHeader(0xFE, 0xFB, 0x90));
    EXPECT_FALSE(Mp3Packetizer::isExpectedHeader(0xFF, 0xF3, 0x90));  // MPEG-2
    EXPECT_FALSE(Mp3Packetizer::isExpectedHeader(0xFF, 0xFD, 0x90));  // layer II
    EXPECT_FALSE(Mp3Packetizer::isExpectedHeader(0xFF, 0xFB, 0xA0));  // 160 kbit/s
    EXPECT_FALSE(Mp3Packetizer::isExpectedHeader(0xFF, 0xFB, 0x94));  // 48 kHz
    EXPECT_EQ(Mp3Packetizer::frameLength(0x92), 418u);
    EXPECT_EQ(Mp3Packetizer::frameLength(0x90), 417u);
}

}  // namespace
}  // namespace quill
