#include <gtest/gtest.h>

#include <vector>

#include "media/SWSoftwareEncoder.h"
#include "platform/foundation/SysLog.h"
#include "support/VideoTestUtil.h"

using quill::SWSoftwareEncoder;
using quill::testing::nalType;
using quill::testing::startCodeLength;
using quill::testing::testPicture;

namespace {

std::vector<int> encodeTypes(SWSoftwareEncoder& enc, int w, int h, int n, uint32_t ts, bool key) {
    std::vector<std::span<const uint8_t>> nals;
    auto pic = testPicture(w, h, n);
    EXPECT_TRUE(enc.encodeFrame(pic, ts, key, nals));
    std::vector<int> types;
    for (auto nal : nals) {
        EXPECT_GT(startCodeLength(nal), 0u);
        types.push_back(nalType(nal));
    }
    return types;
}

}  // namespace

TEST(SWSoftwareEncoderTest, EncodingSizeRules) {
    using P = std::pair<uint32_t, uint32_t>;
    EXPECT_EQ(SWSoftwareEncoder::encodingSize(2560, 1600), P(1920, 1080));
    EXPECT_EQ(SWSoftwareEncoder::encodingSize(2880, 1800), P(1920, 1088));
    EXPECT_EQ(SWSoftwareEncoder::encodingSize(1366, 768), P(1376, 768));
    EXPECT_EQ(SWSoftwareEncoder::encodingSize(1440, 900), P(1440, 912));
    EXPECT_EQ(SWSoftwareEncoder::encodingSize(1280, 800), P(1280, 800));
    EXPECT_EQ(SWSoftwareEncoder::encodingSize(1920, 1080), P(1920, 1088));
    EXPECT_EQ(SWSoftwareEncoder::encodingSize(3840, 2160), P(1920, 1080));
    EXPECT_EQ(SWSoftwareEncoder::encodingSize(17, 9), P(32, 16));
}

TEST(SWSoftwareEncoderTest, FixedSettings) {
    SWSoftwareEncoder enc;
    enc.setupX264();
    const x264_param_t& p = enc.x264Param();
    EXPECT_EQ(enc.encodingFps(), 15u);  // no frames counted yet
    EXPECT_EQ(p.i_fps_num, 15u);
    EXPECT_EQ(p.i_width, 1360);
    EXPECT_EQ(p.i_height, 768);
    EXPECT_EQ(p.i_threads, 1);
    EXPECT_EQ(p.i_keyint_max, 2000);
    EXPECT_EQ(p.i_bframe, 0);
    EXPECT_EQ(p.b_cabac, 0);
    EXPECT_EQ(p.b_deblocking_filter, 0);
    EXPECT_EQ(p.i_frame_reference, 1);
    EXPECT_EQ(p.analyse.i_me_method, X264_ME_DIA);
    EXPECT_EQ(p.analyse.i_subpel_refine, 0);
    EXPECT_EQ(p.rc.i_rc_method, X264_RC_ABR);
    EXPECT_EQ(p.rc.i_bitrate, 4400);
    EXPECT_EQ(p.rc.i_vbv_max_bitrate, 5280);
    EXPECT_EQ(p.rc.i_vbv_buffer_size, 5280);
    EXPECT_EQ(p.rc.i_lookahead, 0);
    EXPECT_EQ(p.b_repeat_headers, 1);
    EXPECT_EQ(p.b_annexb, 1);
    EXPECT_EQ(p.b_vfr_input, 0);
}

TEST(SWSoftwareEncoderTest, FrameRateCountsTheLastSecond) {
    SWSoftwareEncoder enc;
    for (uint32_t i = 0; i < 60; ++i)
        enc.calcFramerate(1000 + i * 40);
    EXPECT_EQ(enc.currFps(), 26u);  // stamps within 1000 ms of the newest, both ends included
    // Across the 32-bit wrap the difference is still taken unsigned.
    SWSoftwareEncoder wrap;
    for (uint32_t i = 0; i < 10; ++i)
        wrap.calcFramerate(0xFFFFFF00u + i * 100);
    EXPECT_EQ(wrap.currFps(), 10u);
}

TEST(SWSoftwareEncoderTest, FirstFrameBringsParameterSetsAndIdrThenKeyFramesOnRequest) {
    SWSoftwareEncoder enc;
    auto first = encodeTypes(enc, 640, 480, 0, 1000, false);
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first[0], 7);      // SPS
    EXPECT_EQ(first[1], 8);      // PPS
    EXPECT_EQ(first.back(), 5);  // IDR slice
    auto second = encodeTypes(enc, 640, 480, 1, 1040, false);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second, std::vector<int>{1});  // a plain slice, no parameter sets
    auto key = encodeTypes(enc, 640, 480, 2, 1080, true);
    ASSERT_GE(key.size(), 3u);
    EXPECT_EQ(key[0], 7);
    EXPECT_EQ(key[1], 8);
    EXPECT_EQ(key.back(), 5);
    // The type goes back to automatic after the requested key frame.
    EXPECT_EQ(encodeTypes(enc, 640, 480, 3, 1120, false), std::vector<int>{1});
}

TEST(SWSoftwareEncoderTest, ReopensAtANewSourceSizeWithTheCountedFrameRate) {
    SWSoftwareEncoder enc;
    uint32_t ts = 5000;
    for (int i = 0; i < 30; ++i, ts += 40)
        encodeTypes(enc, 1280, 800, i, ts, false);
    EXPECT_EQ(enc.dstWidth(), 1280u);
    EXPECT_EQ(enc.x264Param().i_fps_num, 15u);  // set up at the first frame
    auto types = encodeTypes(enc, 1440, 900, 0, ts, false);
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(types[0], 7);
    EXPECT_EQ(types.back(), 5);
    EXPECT_EQ(enc.srcWidth(), 1440u);
    EXPECT_EQ(enc.dstWidth(), 1440u);
    EXPECT_EQ(enc.dstHeight(), 912u);
    EXPECT_EQ(enc.x264Param().i_height, 912);
    EXPECT_EQ(enc.x264Param().i_fps_num, 26u);
}

TEST(SWSoftwareEncoderTest, AClosedEncoderIsReopenedBeforeAFrameReachesIt) {
    SWSoftwareEncoder enc;
    encodeTypes(enc, 320, 240, 0, 0, false);
    enc.closeEncoder();
    EXPECT_FALSE(enc.isEncoderOpen());
    EXPECT_FALSE(enc.reconfigEncoder());  // nothing open to reconfigure
    auto types = encodeTypes(enc, 320, 240, 1, 40, false);
    EXPECT_TRUE(enc.isEncoderOpen());
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types[0], 7);
}

TEST(SWSoftwareEncoderTest, AcceptsI420AndOddSources) {
    SWSoftwareEncoder enc;
    quill::platform::display::PixelBuffer odd(quill::platform::display::PixelFormat::I420, 1366, 768);
    odd.fill(120, 128, 128);
    std::vector<std::span<const uint8_t>> nals;
    ASSERT_TRUE(enc.encodeFrame(odd, 0, false, nals));
    EXPECT_EQ(enc.dstWidth(), 1376u);
    EXPECT_FALSE(nals.empty());
}

TEST(SWSoftwareEncoderTest, StampsThatGoBackOrWrapAreNoConcernOfX264) {
    quill::platform::foundation::LogCapture log;
    ::testing::internal::CaptureStderr();
    SWSoftwareEncoder enc;
    int n = 0;
    // A clock step back, then the 32-bit wrap.
    for (uint32_t ts : {5000u, 5040u, 4000u, 4040u, 0xFFFFFFE0u, 0x10u, 0x50u})
        EXPECT_FALSE(encodeTypes(enc, 64, 64, n++, ts, false).empty());
    const std::string stderrText = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(stderrText.find("PTS"), std::string::npos) << stderrText;
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find("PTS"), std::string::npos) << line;
}

TEST(SWSoftwareEncoderTest, StatisticsKeepTheLastSecond) {
    SWSoftwareEncoder enc;
    for (int i = 0; i < 6; ++i)
        enc.refreshRateInfo({100.0 + i * 0.25, 0.002, 0.008, 0.5});
    // 100.0 is more than a second older than 101.25; 100.25 is exactly a second older.
    ASSERT_EQ(enc.statArray().size(), 5u);
    EXPECT_DOUBLE_EQ(enc.statArray().front().timestamp, 100.25);
    EXPECT_DOUBLE_EQ(enc.totalEnqueueCost(), 2.5);
}
