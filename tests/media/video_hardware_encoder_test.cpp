#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "media/SWHardwareEncoder.h"
#include "support/BigEndian.h"
#include "support/FfmpegDecode.h"
#include "support/ShellCommand.h"
#include "support/VideoTestUtil.h"

using namespace quill;
using namespace quill::platform::display;

namespace {

using quill::testing::readBE32;

class Collect : public AVCallback {
  public:
    void onOutputMediaData(MediaPacket packet) override {
        std::lock_guard lock(mutex);
        packets.push_back(std::move(packet));
    }
    std::mutex mutex;
    std::vector<MediaPacket> packets;
};

}  // namespace

TEST(SWHardwareEncoderTest, PacksParameterSetsAndStartCodesIntoOnePacket) {
    EncodedFrame frame;
    frame.sps = {0x67, 0x64, 0x00, 0x1f};
    frame.pps = {0x68, 0xee};
    frame.data = {0, 0, 0, 2, 0x06, 0x05, 0, 0, 0, 3, 0x65, 0x88, 0x84};
    MediaPacket p = SWHardwareEncoder::packFrame(frame, 0x01020304);
    const size_t S = 4, Q = 2, D = 13;
    EXPECT_EQ(p.kind(), kMediaKindVideo);
    EXPECT_EQ(p.wireLength(), S + Q + D + 36);
    const auto wire = p.wire();
    EXPECT_EQ(readBE32(wire.data()), S + Q + D + 32);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(readBE32(wire.data() + 4 + 4 * i), 1u);
    EXPECT_EQ(readBE32(wire.data() + 24), 0x01020304u);
    const std::vector<uint8_t> payload(p.payload().begin(), p.payload().end());
    const std::vector<uint8_t> expected = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1f, 0, 0, 0,    1,    0x68, 0xee,
                                           0, 0, 0, 1, 0x06, 0x05, 0,    0,    0, 1, 0x65, 0x88, 0x84};
    EXPECT_EQ(payload, expected);
}

TEST(SWHardwareEncoderTest, ALengthPastTheEndIsNotFollowed) {
    EncodedFrame frame;
    frame.sps = {0x67};
    frame.pps = {0x68};
    frame.data = {0, 0, 0, 9, 0x65, 0x01};
    MediaPacket p = SWHardwareEncoder::packFrame(frame, 7);
    const std::vector<uint8_t> payload(p.payload().begin(), p.payload().end());
    EXPECT_EQ(payload, (std::vector<uint8_t>{0, 0, 0, 1, 0x67, 0, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x65, 0x01}));
}

TEST(SWHardwareEncoderTest, EncodesRawFramesIntoDecodablePacketsAndFollowsTheSize) {
    auto collect = std::make_shared<Collect>();
    auto raw = RawVideoQueue::create(3);
    SWHardwareEncoder encoder;
    encoder.setVaCallback(collect);
    encoder.setRawVideoInput(raw);
    encoder.start();
    for (int i = 0; i < 6; ++i) {
        auto pic = std::make_shared<PixelBuffer>(
            quill::testing::testPicture(i < 3 ? 640 : 320, i < 3 ? 480 : 240, i));
        ASSERT_TRUE(raw->put(RawVideoFrame{pic, static_cast<uint32_t>(100 + 40 * i), i == 1}, 5.0));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(collect->mutex);
            if (collect->packets.size() >= 6) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    encoder.stop();
    EXPECT_FALSE(encoder.isRunning());
    std::lock_guard lock(collect->mutex);
    ASSERT_EQ(collect->packets.size(), 6u);
    EXPECT_EQ(encoder.encodeWidth(), 320);
    for (size_t i = 0; i < collect->packets.size(); ++i) {
        const auto& p = collect->packets[i];
        EXPECT_EQ(p.timestamp(), 100 + 40 * i);
        auto units = CompressionSession::splitAnnexB(p.payload().data(), p.payload().size());
        ASSERT_GE(units.size(), 3u);
        EXPECT_EQ(units[0].first[0] & 0x1f, 7);  // every frame carries both parameter sets
        EXPECT_EQ(units[1].first[0] & 0x1f, 8);
        const bool idr = (units.back().first[0] & 0x1f) == 5;
        EXPECT_EQ(idr, i == 0 || i == 1 || i == 3) << i;  // first, requested, new size
    }

    // An independent decoder takes the packets as they would reach the receiver, one picture each, at
    // the size of its source, and finds the source's picture in them.
    if (quill::testing::runShellCommand("command -v ffprobe && command -v ffmpeg").second != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    std::vector<uint8_t> stream;
    for (const auto& p : collect->packets)
        stream.insert(stream.end(), p.payload().begin(), p.payload().end());
    std::string failure;
    auto pictures = quill::testing::decodeH264WithFfmpeg(stream, &failure);
    ASSERT_TRUE(pictures) << failure;
    ASSERT_EQ(pictures->size(), 6u);
    for (int i = 0; i < 6; ++i) {
        const auto& decoded = (*pictures)[static_cast<size_t>(i)];
        const auto source = quill::testing::testPicture(i < 3 ? 640 : 320, i < 3 ? 480 : 240, i);
        ASSERT_EQ(decoded.width, source.width()) << i;
        ASSERT_EQ(decoded.height, source.height()) << i;
        double difference = 0;
        for (int y = 0; y < source.height(); ++y) {
            for (int x = 0; x < source.width(); ++x) {
                difference += std::abs(int(decoded.luma[static_cast<size_t>(y * decoded.width + x)]) -
                                       int(source.plane(0)[y * source.stride(0) + x]));
            }
        }
        EXPECT_LT(difference / (source.width() * source.height()), 1.0) << i;
    }
}
