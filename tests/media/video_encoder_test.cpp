#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "media/SWSoftwareEncoder.h"
#include "platform/display/PixelTransfer.h"
#include "support/FfmpegDecode.h"
#include "support/ShellCommand.h"
#include "support/TempFolder.h"
#include "support/VideoTestUtil.h"

using quill::SWSoftwareEncoder;
using quill::testing::nalType;
using quill::testing::runShellCommand;
using quill::testing::startCodeLength;
using quill::testing::TempFolder;
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

// The settings the receiver relies on, read back from the stream by an independent parser: Constrained
// Baseline (no CABAC, no B-frames), one reference frame, no deblocking, 15 frames a second, and no key
// frame but the first one (long key-frame interval, no scene cuts).
TEST(SWSoftwareEncoderTest, FixedSettings) {
    if (runShellCommand("command -v ffprobe && command -v ffmpeg").second != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    // Thirty different pictures of a screen that needs no scaling, 40 ms apart, with a cut in the middle.
    SWSoftwareEncoder enc;
    TempFolder folder;
    const std::string file = folder / "screen.h264";
    {
        std::ofstream out(file, std::ios::binary);
        std::vector<std::span<const uint8_t>> nals;
        for (int i = 0; i < 30; ++i) {
            auto picture = testPicture(1280, 720, i);
            if (i >= 15) picture.fill(40, 200, 60);  // a cut to another scene
            ASSERT_TRUE(enc.encodeFrame(picture, 1000 + 40 * i, false, nals));
            for (auto nal : nals)
                out.write(reinterpret_cast<const char*>(nal.data()),
                          static_cast<std::streamsize>(nal.size()));
        }
    }

    auto stream = quill::testing::probeVideoStream(file);
    EXPECT_EQ(stream["codec_name"], "h264");
    EXPECT_EQ(stream["profile"], "Constrained Baseline");
    EXPECT_EQ(stream["width"], "1280");
    EXPECT_EQ(stream["height"], "720");
    EXPECT_EQ(stream["refs"], "1");
    EXPECT_EQ(stream["has_b_frames"], "0");
    EXPECT_EQ(stream["r_frame_rate"], "15/1");

    auto fields = quill::testing::h264HeaderFields(file);
    auto all = [&](const std::string& name, long value) {
        const auto& values = fields[name];
        return !values.empty() &&
               std::all_of(values.begin(), values.end(), [&](long v) { return v == value; });
    };
    EXPECT_TRUE(all("entropy_coding_mode_flag", 0));  // CAVLC
    EXPECT_TRUE(all("max_num_ref_frames", 1));
    EXPECT_TRUE(all("max_num_reorder_frames", 0));
    EXPECT_TRUE(all("weighted_pred_flag", 0));
    EXPECT_TRUE(all("time_scale", 30));  // two ticks a frame
    EXPECT_TRUE(all("num_units_in_tick", 1));
    // Every slice: deblocking off, and only P (5) or I (7) slices.
    ASSERT_EQ(fields["slice_type"].size(), 30u);
    EXPECT_TRUE(all("disable_deblocking_filter_idc", 1));
    const auto& types = fields["slice_type"];
    EXPECT_EQ(std::count(types.begin(), types.end(), 7), 1);
    EXPECT_EQ(std::count(types.begin(), types.end(), 5), 29);
    const auto& units = fields["nal_unit_type"];
    EXPECT_EQ(std::count(units.begin(), units.end(), 5), 1);  // one IDR picture
    EXPECT_EQ(std::count(units.begin(), units.end(), 1), 29);
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

TEST(SWSoftwareEncoderTest, Nv12FramesOfTheEncodingWidthGiveTheStreamOfTheirPlanarPictures) {
    // Rows stretched (1080 to 1088, 900 to 912) and a frame of the encoding size: x264 gets NV12, and
    // must write what it writes for the planar pictures the frames scale to (the stream of before).
    for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{640, 352}, std::pair{1440, 900}}) {
        SWSoftwareEncoder enc;
        x264_t* x264 = nullptr;
        quill::platform::display::PixelTransfer scale(nullptr);
        std::vector<uint8_t> got, expected;
        std::vector<std::span<const uint8_t>> nals;
        for (int n = 0; n < 5; ++n) {
            const auto frame = testPicture(w, h, n);
            ASSERT_TRUE(enc.encodeFrame(frame, uint32_t(n * 40), n == 3, nals));
            for (auto nal : nals)
                got.insert(got.end(), nal.begin(), nal.end());
            x264_param_t param = enc.x264Param();
            if (!x264) x264 = x264_encoder_open(&param);
            ASSERT_NE(x264, nullptr);
            quill::platform::display::PixelBuffer planar(quill::platform::display::PixelFormat::I420,
                                                         int(enc.dstWidth()), int(enc.dstHeight()));
            ASSERT_TRUE(scale.transfer(frame, planar));
            x264_picture_t in, out;
            x264_picture_init(&in);
            in.img = {X264_CSP_I420,
                      3,
                      {planar.stride(0), planar.stride(1), planar.stride(2)},
                      {planar.plane(0), planar.plane(1), planar.plane(2)}};
            in.i_type = n == 3 ? X264_TYPE_KEYFRAME : X264_TYPE_AUTO;
            in.i_pts = n;
            x264_nal_t* nal = nullptr;
            int count = 0;
            ASSERT_GE(x264_encoder_encode(x264, &nal, &count, &in, &out), 0);
            for (int i = 0; i < count; ++i)
                expected.insert(expected.end(), nal[i].p_payload, nal[i].p_payload + nal[i].i_payload);
        }
        x264_encoder_close(x264);
        EXPECT_TRUE(got == expected) << w << "x" << h << ": " << got.size() << " bytes, " << expected.size();
    }
}

// Every encoded frame adds its timings, stamped by the encoder's clock; those more than a second older
// than the newest go.
TEST(SWSoftwareEncoderTest, StatisticsKeepTheLastSecondOfEncodedFrames) {
    double now = 100.0;
    SWSoftwareEncoder enc([&now] { return now; });
    for (int i = 0; i < 6; ++i, now += 0.25)
        encodeTypes(enc, 64, 64, i, uint32_t(40 * i), false);
    // Encoded at 100.0 to 101.25: 100.0 is more than a second older than 101.25, 100.25 exactly one.
    const auto stats = enc.statArray();
    ASSERT_EQ(stats.size(), 5u);
    EXPECT_DOUBLE_EQ(stats.front().timestamp, 100.25);
    EXPECT_DOUBLE_EQ(stats.back().timestamp, 101.25);
    for (const auto& entry : stats)
        EXPECT_GT(entry.encodeTime, 0.0);
}

// The frames' wall-clock stamps may go back (a clock step back); x264 is given increasing presentation
// times all the same.
TEST(SWSoftwareEncoderTest, StampsThatGoBackReachX264Increasing) {
    static std::vector<int64_t> given;
    given.clear();
    SWSoftwareEncoder enc(
        {}, [](x264_t* h, x264_nal_t** nals, int* count, x264_picture_t* in, x264_picture_t* out) {
            given.push_back(in->i_pts);
            return x264_encoder_encode(h, nals, count, in, out);
        });
    int n = 0;
    for (uint32_t ts : {5000u, 5040u, 4000u})
        EXPECT_FALSE(encodeTypes(enc, 64, 64, n++, ts, false).empty());
    ASSERT_EQ(given.size(), 3u);
    EXPECT_LT(given[0], given[1]);
    EXPECT_LT(given[1], given[2]);
}
