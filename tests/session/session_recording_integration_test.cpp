// A recorded minute of a mirroring session decodes with ffmpeg, an independent decoder, without errors.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <thread>

#include "support/SessionRig.h"
#include "support/ShellCommand.h"

namespace quill {
namespace {

using testing::SessionRig;

constexpr auto run = &quill::testing::runShellCommand;

TEST(SessionRecordingTest, ARecordedMinuteDecodesWithoutErrors) {
    if (run("command -v ffmpeg").second != 0) GTEST_SKIP() << "ffmpeg is not installed";
    SessionRig rig;
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 1, 10));
    std::this_thread::sleep_for(std::chrono::seconds(60));
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 1, 10));
    rig.channel->disconnect();
    EXPECT_TRUE(rig.receiver->problems().empty());

    size_t pictures = 0;
    for (const auto& v : rig.receiver->video())
        pictures += v.nalType() == 1 || v.nalType() == 5;
    // 25 pictures a second are asked for; allow for a loaded machine.
    EXPECT_GT(pictures, 60u * 10);
    // 44.1 kHz MP3 frames of 1152 samples: about 38 a second.
    EXPECT_GT(rig.receiver->audio().size(), 60u * 30);

    const std::string h264 = rig.tmp / "minute.h264";
    const std::string mp3 = rig.tmp / "minute.mp3";
    ASSERT_TRUE(rig.receiver->writeH264(h264));
    ASSERT_TRUE(rig.receiver->writeMp3(mp3));
    for (const auto& file : {h264, mp3}) {
        const auto [out, status] = run("ffmpeg -nostdin -hide_banner -v error -i '" + file + "' -f null -");
        EXPECT_EQ(status, 0) << file << ": " << out;
        EXPECT_EQ(out, "") << file;
    }
    const auto [frames, status] =
        run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=nb_read_frames,width,height -of csv=p=0 '" +
            h264 + "'");
    EXPECT_EQ(status, 0);
    const auto [w, h] = SWSoftwareEncoder::encodingSize(640, 360);
    const std::string size = std::to_string(w) + "," + std::to_string(h) + ",";
    ASSERT_EQ(frames.substr(0, size.size()), size) << frames;
    EXPECT_EQ(std::stoul(frames.substr(size.size())), pictures) << frames;
}

}  // namespace
}  // namespace quill
