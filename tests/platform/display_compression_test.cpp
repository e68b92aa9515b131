#include <gtest/gtest.h>

#include <vector>

#include "platform/display/CompressionSession.h"
#include "platform/display/Display.h"
#include "support/VideoTestUtil.h"

using namespace quill::platform::display;

namespace {

// Walks length-prefixed NAL units; false when the lengths do not add up to the data.
bool lengthPrefixedTypes(const quill::Bytes& data, std::vector<int>& types) {
    size_t i = 0;
    while (i + 4 <= data.size()) {
        const size_t len =
            (size_t(data[i]) << 24) | (size_t(data[i + 1]) << 16) | (size_t(data[i + 2]) << 8) | data[i + 3];
        i += 4;
        if (len == 0 || i + len > data.size()) return false;
        types.push_back(data[i] & 0x1f);
        i += len;
    }
    return i == data.size();
}

CompressionProperties softwareProperties() {
    CompressionProperties p;
    p.hardwareAcceleration = false;
    p.expectedFrameRate = 23;
    p.maxKeyFrameInterval = 2000;
    p.averageBitRate = 4'000'000;
    return p;
}

}  // namespace

TEST(CompressionSessionTest, HandsBackLengthPrefixedFramesWithParameterSets) {
    std::vector<EncodedFrame> frames;
    quill::Error error;
    auto session = CompressionSession::create(
        320, 240, softwareProperties(), [&](const EncodedFrame& f) { frames.push_back(f); }, &error);
    ASSERT_TRUE(session) << error.description();
    EXPECT_EQ(session->encoderName(), "libx264");
    for (int i = 0; i < 5; ++i) {
        auto pic = quill::testing::testPicture(640, 480, i);  // scaled down by the session
        ASSERT_TRUE(session->encodeFrame(pic, 1000 + i * 40, i == 3, &error)) << error.description();
    }
    ASSERT_TRUE(session->completeFrames(&error));
    ASSERT_EQ(frames.size(), 5u);
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto& f = frames[i];
        EXPECT_EQ(f.presentationTime, 1000 + static_cast<int64_t>(i) * 40);
        ASSERT_FALSE(f.sps.empty());
        ASSERT_FALSE(f.pps.empty());
        EXPECT_EQ(f.sps[0] & 0x1f, 7);
        EXPECT_EQ(f.sps[1], 100);  // High profile
        EXPECT_EQ(f.pps[0] & 0x1f, 8);
        std::vector<int> types;
        ASSERT_TRUE(lengthPrefixedTypes(f.data, types));
        for (int t : types)
            EXPECT_TRUE(t != 7 && t != 8 && t != 9);
        const bool idr = std::find(types.begin(), types.end(), 5) != types.end();
        EXPECT_EQ(idr, i == 0 || i == 3) << i;
        EXPECT_EQ(f.keyFrame, idr);
    }
}

TEST(CompressionSessionTest, RepeatedTimeStampsStillEncode) {
    int count = 0;
    auto session =
        CompressionSession::create(160, 96, softwareProperties(), [&](const EncodedFrame&) { ++count; });
    ASSERT_TRUE(session);
    auto pic = quill::testing::testPicture(160, 96, 0);
    EXPECT_TRUE(session->encodeFrame(pic, 50, false));
    EXPECT_TRUE(session->encodeFrame(pic, 50, false));
    EXPECT_TRUE(session->encodeFrame(pic, 10, false));
    EXPECT_TRUE(session->completeFrames());
    EXPECT_EQ(count, 3);
}

TEST(CompressionSessionTest, RejectsBadSizesAndUseAfterInvalidate) {
    quill::Error error;
    EXPECT_EQ(CompressionSession::create(
                  0, 10, {}, [](const EncodedFrame&) {}, &error),
              nullptr);
    EXPECT_EQ(error.domain, kDisplayErrorDomain);
    EXPECT_EQ(CompressionSession::create(15, 10, {}, [](const EncodedFrame&) {}), nullptr);
    auto session = CompressionSession::create(64, 64, softwareProperties(), [](const EncodedFrame&) {});
    ASSERT_TRUE(session);
    session->invalidate();
    auto pic = quill::testing::testPicture(64, 64, 0);
    EXPECT_FALSE(session->encodeFrame(pic, 0, false, &error));
}

TEST(CompressionSessionTest, SplitsAnnexBWithBothStartCodes) {
    const uint8_t data[] = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4, 5};
    auto units = CompressionSession::splitAnnexB(data, sizeof data);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].second, 3u);
    EXPECT_EQ(units[1].second, 2u);
    EXPECT_EQ(units[2].second, 3u);
    EXPECT_EQ(units[2].first[0], 0x65);
    EXPECT_TRUE(CompressionSession::splitAnnexB(data, 2).empty());
}
