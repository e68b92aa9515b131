#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <thread>

#include "media/SWVideoRecorder.h"
#include "platform/display/SyntheticDisplay.h"
#include "support/BigEndian.h"
#include "support/ShellCommand.h"
#include "support/TempFolder.h"
#include "support/VideoTestUtil.h"

using namespace quill;
using namespace quill::platform::display;

namespace {

using quill::testing::readBE32;

constexpr auto run = &quill::testing::runShellCommand;

}  // namespace

TEST(VideoDecodeTest, RecordedStreamDecodesWithAnIndependentDecoder) {
    if (run("command -v ffprobe").second != 0) GTEST_SKIP() << "ffprobe is not installed";
    auto display = SyntheticDisplayService::create({.width = 1440, .height = 900, .changesPerSecond = 30});
    auto recorder = SWVideoRecorder::create({.display = display, .showCursor = false});
    recorder->setTargetFrameRate(25);
    auto raw = RawVideoQueue::create(3);
    auto encoded = EncodedVideoQueue::create(3);
    recorder->setVideoOutputBuffer(raw);
    recorder->setEncodedVideoBuffer(encoded);
    recorder->beginRecorder(std::stop_token());

    // Take packets as the send loop would, until enough pictures went by (at most 20 s).
    std::vector<MediaPacket> packets;
    size_t pictures = 0;
    bool keyRequested = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pictures < 40 && std::chrono::steady_clock::now() < deadline) {
        auto packet = encoded->take(0.1);
        if (!packet) continue;
        const int type = quill::testing::nalType(packet->payload());
        if (type == 1 || type == 5) ++pictures;
        if (pictures == 20 && !keyRequested) {
            recorder->setNeedsKeyFrame(true);
            keyRequested = true;
        }
        packets.push_back(std::move(*packet));
    }
    raw->stopBlocking();
    encoded->stopBlocking();
    recorder->endRecorder();
    ASSERT_GE(pictures, 40u);

    quill::testing::TempFolder folder;
    const std::string file = folder / "screen.h264";
    std::ofstream out(file, std::ios::binary);
    int idrs = 0;
    for (const auto& p : packets) {
        const auto wire = p.wire();
        ASSERT_EQ(p.kind(), kMediaKindVideo);
        ASSERT_GE(wire.size(), 32u);
        EXPECT_EQ(readBE32(wire.data()), wire.size() - 4);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(readBE32(wire.data() + 4 + 4 * i), 1u);
        EXPECT_GT(quill::testing::startCodeLength(p.payload()), 0u);
        idrs += quill::testing::nalType(p.payload()) == 5;
        out.write(reinterpret_cast<const char*>(p.payload().data()),
                  static_cast<std::streamsize>(p.payload().size()));
    }
    out.close();
    EXPECT_GE(idrs, 2);  // the first picture and the requested one

    auto [probe, status] =
        run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=width,height,nb_read_frames -of csv=p=0 " +
            file);
    ASSERT_EQ(status, 0) << probe;
    EXPECT_EQ(probe, "1440,912," + std::to_string(pictures) + "\n");
    auto [decode, decodeStatus] = run("ffmpeg -nostdin -v error -i " + file + " -f null -");
    EXPECT_EQ(decodeStatus, 0);
    EXPECT_EQ(decode, "");  // no decoding error at all
}
