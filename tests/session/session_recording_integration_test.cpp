// A recorded stretch of a mirroring session decodes with ffmpeg, an independent decoder, without errors.
#include <gtest/gtest.h>

#include <atomic>

#include "support/SessionRig.h"
#include "support/ShellCommand.h"

namespace quill {
namespace {

using testing::SessionRig;

constexpr auto run = &quill::testing::runShellCommand;

// Twenty seconds of media at the rates the pipeline is asked for: 25 pictures a second, and 44.1 kHz MP3
// frames of 1152 samples (about 38 a second). A loaded machine may take longer to deliver them.
constexpr size_t kPictures = 20 * 25;
constexpr size_t kSoundFrames = 20 * 44100 / 1152;
constexpr double kDeadlineSeconds = 90;

TEST(SessionRecordingTest, ARecordedStretchDecodesWithoutErrors) {
    if (run("command -v ffmpeg").second != 0) GTEST_SKIP() << "ffmpeg is not installed";
    // Counted as they arrive: the waits below need not copy the records.
    std::atomic<size_t> picturesArrived{0}, soundFramesArrived{0};
    SessionRig rig({.receiver = [&](testing::TestReceiver::Options& o) {
        o.onVideo = [&](const testing::VideoRecord& v) {
            picturesArrived += v.nalType() == 1 || v.nalType() == 5;
        };
        o.onAudio = [&](const testing::AudioRecord&) { ++soundFramesArrived; };
    }});
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 1, 10));
    EXPECT_TRUE(rig.receiver->waitFor(
        [&] { return picturesArrived >= kPictures && soundFramesArrived >= kSoundFrames; }, kDeadlineSeconds))
        << picturesArrived << " pictures and " << soundFramesArrived << " sound frames arrived";
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 1, 10));
    rig.channel->disconnect();
    EXPECT_TRUE(rig.receiver->problems().empty());

    size_t pictures = 0;
    for (const auto& v : rig.receiver->video())
        pictures += v.nalType() == 1 || v.nalType() == 5;

    const std::string h264 = rig.tmp / "stretch.h264";
    const std::string mp3 = rig.tmp / "stretch.mp3";
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
