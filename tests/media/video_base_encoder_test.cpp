// The encoder thread every video encoder shares, driven through a recording encoder: the order of its
// steps, frames without a picture, a missing or vanishing raw queue, and start and stop.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/SWBaseEncoder.h"

namespace quill {
namespace {

using platform::display::PixelBuffer;
using platform::display::PixelFormat;

class RecordingEncoder : public SWBaseEncoder {
  public:
    explicit RecordingEncoder(Pacing pacing = Pacing::RestEveryPass)
        : SWBaseEncoder("test-encoder", pacing) {}
    ~RecordingEncoder() override { stop(); }

    std::vector<std::string> steps() const {
        std::lock_guard lock(mutex_);
        return steps_;
    }
    bool waitForSteps(size_t n, double seconds) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return steps_.size() >= n; });
    }

  private:
    void encoderThreadBegins() override { add("begin"); }
    void encodeRawFrame(const RawVideoFrame& frame) override {
        add("frame " + std::to_string(frame.timestamp) + (frame.keyframe ? " key" : ""));
    }
    void encoderThreadEnds() override { add("end"); }
    void add(std::string step) {
        {
            std::lock_guard lock(mutex_);
            steps_.push_back(std::move(step));
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> steps_;
};

RawVideoFrame frame(uint32_t timestamp, bool keyframe = false) {
    return RawVideoFrame{std::make_shared<PixelBuffer>(PixelFormat::I420, 16, 16), timestamp, keyframe};
}

TEST(SWBaseEncoderTest, StepsRunInOrderAndFramesWithoutAPictureAreSkipped) {
    for (auto pacing : {SWBaseEncoder::Pacing::RestEveryPass, SWBaseEncoder::Pacing::RestWhenIdle}) {
        auto raw = RawVideoQueue::create(4);
        RecordingEncoder encoder(pacing);
        encoder.setRawVideoInput(raw);
        ASSERT_TRUE(raw->put(frame(10, true), 1.0));
        ASSERT_TRUE(raw->put(RawVideoFrame{nullptr, 20, false}, 1.0));
        ASSERT_TRUE(raw->put(frame(30), 1.0));
        encoder.start();
        encoder.start();  // a second start finds the thread running
        EXPECT_TRUE(encoder.isRunning());
        ASSERT_TRUE(encoder.waitForSteps(3, 5.0));
        encoder.stop();
        EXPECT_FALSE(encoder.isRunning());
        EXPECT_EQ(encoder.steps(), (std::vector<std::string>{"begin", "frame 10 key", "frame 30", "end"}));
    }
}

TEST(SWBaseEncoderTest, WithoutAQueueTheThreadWaitsAndStopsPromptly) {
    RecordingEncoder encoder(SWBaseEncoder::Pacing::RestWhenIdle);
    encoder.start();
    ASSERT_TRUE(encoder.waitForSteps(1, 5.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto before = std::chrono::steady_clock::now();
    encoder.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_EQ(encoder.steps(), (std::vector<std::string>{"begin", "end"}));
}

TEST(SWBaseEncoderTest, AQueueDroppedByItsOwnerIsNoLongerTakenFrom) {
    auto raw = RawVideoQueue::create(2);
    RecordingEncoder encoder;
    encoder.setRawVideoInput(raw);
    encoder.start();
    ASSERT_TRUE(raw->put(frame(1), 1.0));
    ASSERT_TRUE(encoder.waitForSteps(2, 5.0));
    raw.reset();  // the encoder holds the queue weakly
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // A new queue is taken from again, after a restart as well.
    auto next = RawVideoQueue::create(2);
    encoder.setRawVideoInput(next);
    ASSERT_TRUE(next->put(frame(2), 1.0));
    ASSERT_TRUE(encoder.waitForSteps(3, 5.0));
    encoder.stop();
    encoder.start();
    ASSERT_TRUE(next->put(frame(3), 1.0));
    ASSERT_TRUE(encoder.waitForSteps(6, 5.0));
    encoder.stop();
    EXPECT_EQ(encoder.steps(),
              (std::vector<std::string>{"begin", "frame 1", "frame 2", "end", "begin", "frame 3", "end"}));
}

}  // namespace
}  // namespace quill
