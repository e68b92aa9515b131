#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/avcapture/CaptureSession.h"
#include "platform/foundation/SysLog.h"
#include "support/SampleBufferCollector.h"
#include "support/TempFolder.h"
#include "support/ToneAnalysis.h"

namespace quill::platform::avcapture {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using Collector = testing::SampleBufferCollector;

using testing::ScopedEnv;

TEST(AVCaptureSessionTest, SyntheticToneArrivesInRealTimeAsStereoFloatBuffers) {
    auto collector = std::make_shared<Collector>();
    CaptureSession session;
    session.setInput(CaptureDevice::synthetic(1000.0, 0.5));
    session.setSampleBufferDelegate(collector, nullptr);
    const auto start = Clock::now();
    session.startRunning();
    ASSERT_TRUE(collector->waitFor(20, 3s));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    session.stopRunning();

    // 20 buffers of 1024 frames are 464 ms of sound: paced, they cannot arrive much sooner.
    EXPECT_GE(elapsed, 0.40);
    auto buffers = collector->buffers();
    for (const auto& b : buffers) {
        ASSERT_TRUE(b->isValid());
        EXPECT_EQ(b->frameCount(), CaptureSession::kDefaultFramesPerBuffer);
        EXPECT_EQ(b->byteLength(), CaptureSession::kDefaultFramesPerBuffer * kBytesPerFrame);
        for (size_t i = 0; i < b->frameCount(); ++i)
            ASSERT_EQ(b->data()[2 * i], b->data()[2 * i + 1]);
    }
    for (size_t i = 1; i < buffers.size(); ++i)
        EXPECT_GT(buffers[i]->presentationTime(), buffers[i - 1]->presentationTime());
    // The tone runs on across buffer boundaries without a phase jump.
    auto left = collector->leftChannel();
    EXPECT_NEAR(testing::toneFrequency(left.data(), left.size(), kSampleRate), 1000.0, 1.0);
    EXPECT_NEAR(testing::rms(left.data(), left.size()), 0.5 / std::sqrt(2.0), 0.01);
}

TEST(AVCaptureSessionTest, DeliversInOrderOnTheDelegateSerialQueue) {
    auto collector = std::make_shared<Collector>();
    auto queue = dispatch::Queue::serial("avcapture-test-queue");
    CaptureSession session;
    session.setInput(CaptureDevice::synthetic());
    // 512 frames (about 12 ms a buffer) leave the delegate queue some 190 ms of slack before a buffer
    // is dropped, enough for a sanitizer build on a busy machine.
    session.setFramesPerBuffer(512);
    session.setSampleBufferDelegate(collector, queue);
    session.startRunning();
    ASSERT_TRUE(collector->waitFor(20, 3s));
    session.stopRunning();
    queue->sync([] {});  // let queued deliveries finish
    auto buffers = collector->buffers();
    for (const auto& label : collector->labels())
        EXPECT_EQ(label, "avcapture-test-queue");
    for (size_t i = 1; i < buffers.size(); ++i)
        EXPECT_GT(buffers[i]->presentationTime(), buffers[i - 1]->presentationTime());
    EXPECT_EQ(session.droppedBufferCount(), 0u);
}

TEST(AVCaptureSessionTest, StopEndsCaptureQuicklyAndNothingArrivesAfterIt) {
    auto collector = std::make_shared<Collector>();
    CaptureSession session;
    session.setInput(CaptureDevice::synthetic());
    session.setFramesPerBuffer(44100);  // one second a buffer: a stop must not wait for it
    session.setSampleBufferDelegate(collector, nullptr);
    session.startRunning();
    EXPECT_TRUE(session.isRunning());
    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    session.stopRunning();
    // Well under the 0.95 s the current buffer still needs, with room for slow sanitizer builds.
    EXPECT_LT(Clock::now() - before, 600ms);
    EXPECT_FALSE(session.isRunning());
    EXPECT_TRUE(collector->buffers().empty());
    session.stopRunning();  // twice is harmless
}

TEST(AVCaptureSessionTest, RestartsAfterStop) {
    auto collector = std::make_shared<Collector>();
    CaptureSession session;
    session.setInput(CaptureDevice::synthetic());
    session.setFramesPerBuffer(256);
    session.setSampleBufferDelegate(collector, nullptr);
    session.startRunning();
    ASSERT_TRUE(collector->waitFor(2, 2s));
    session.stopRunning();
    const size_t first = collector->buffers().size();
    session.startRunning();
    ASSERT_TRUE(collector->waitFor(first + 2, 2s));
    session.stopRunning();
}

TEST(AVCaptureSessionTest, WithoutInputRunsSilentlyAndSaysSoOnce) {
    foundation::LogCapture log;
    auto collector = std::make_shared<Collector>();
    CaptureSession session;
    session.setSampleBufferDelegate(collector, nullptr);
    session.startRunning();
    EXPECT_TRUE(session.isRunning());
    EXPECT_FALSE(collector->waitFor(1, 100ms));
    session.stopRunning();
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains("sound capture: no input device, running without sound"));
}

TEST(AVCaptureSessionTest, InputThatCannotOpenIsLoggedOnceAndDeliversNothing) {
    foundation::LogCapture log;
    auto collector = std::make_shared<Collector>();
    CaptureSession session;
    session.setInput(CaptureDevice::pulse("unix:/nonexistent/quillaran/native"));
    session.setSampleBufferDelegate(collector, nullptr);
    session.startRunning();
    // The failure is logged from the capture thread: wait for it, bounded.
    for (int i = 0; i < 200 && log.lines().empty(); ++i)
        std::this_thread::sleep_for(10ms);
    session.stopRunning();
    ASSERT_EQ(log.lines().size(), 1u);
    // Connecting goes on in the background; the first read finds that it failed.
    EXPECT_NE(log.lines()[0].find("sound capture: reading default sound source of"), std::string::npos);
    EXPECT_TRUE(collector->buffers().empty());
}

TEST(AVCaptureSessionTest, DelegateGoneIsHarmless) {
    auto collector = std::make_shared<Collector>();
    CaptureSession session;
    session.setInput(CaptureDevice::synthetic());
    session.setFramesPerBuffer(64);
    session.setSampleBufferDelegate(collector, nullptr);
    collector.reset();
    session.startRunning();
    for (int i = 0; i < 200 && session.deliveredBufferCount() < 3; ++i)
        std::this_thread::sleep_for(5ms);
    session.stopRunning();
    EXPECT_GE(session.deliveredBufferCount(), 3u);
}

// A queue that only keeps what it is given, so that deliveries pile up as behind a stalled consumer.
class HeldQueue : public dispatch::Queue {
  public:
    const std::string& label() const override { return label_; }
    bool isSerial() const override { return true; }
    void async(dispatch::Work work) override {
        std::lock_guard lock(mutex_);
        held_.push_back(std::move(work));
    }
    void sync(const dispatch::Work& work) override { work(); }
    void after(double, dispatch::Work work) override { async(std::move(work)); }
    void setSpecific(const void*, void*) override {}
    void* specific(const void*) const override { return nullptr; }
    size_t held() {
        std::lock_guard lock(mutex_);
        return held_.size();
    }
    void runAll() {
        std::deque<dispatch::Work> work;
        {
            std::lock_guard lock(mutex_);
            work.swap(held_);
        }
        for (auto& w : work)
            w();
    }

  private:
    std::string label_ = "held";
    std::mutex mutex_;
    std::deque<dispatch::Work> held_;
};

TEST(AVCaptureSessionTest, StalledDelegateQueueBoundsPendingBuffersAndDropsTheRest) {
    auto collector = std::make_shared<Collector>();
    auto queue = std::make_shared<HeldQueue>();
    CaptureSession session;
    session.setInput(CaptureDevice::synthetic());
    session.setFramesPerBuffer(32);  // about 0.7 ms a buffer
    session.setSampleBufferDelegate(collector, queue);
    session.startRunning();
    for (int i = 0; i < 400 && session.droppedBufferCount() < 5; ++i)
        std::this_thread::sleep_for(5ms);
    session.stopRunning();
    EXPECT_GE(session.droppedBufferCount(), 5u);
    EXPECT_EQ(queue->held(), CaptureSession::kMaxPendingDeliveries);
    EXPECT_TRUE(collector->buffers().empty());
    queue->runAll();
    EXPECT_EQ(collector->buffers().size(), CaptureSession::kMaxPendingDeliveries);
}

TEST(AVCaptureDeviceTest, EnvironmentChoosesTheBackend) {
    ScopedEnv server("PULSE_SERVER", "unix:/nonexistent/quillaran/native");
    {
        ScopedEnv sound("QUILLARAN_SOUND", "synthetic");
        foundation::LogCapture log;
        auto device = CaptureDevice::defaultAudioDevice();
        ASSERT_TRUE(device);
        EXPECT_EQ(device->kind(), CaptureDevice::Kind::Synthetic);
        EXPECT_TRUE(log.lines().empty());
    }
    {
        // Asked for the sound server and none answers: no input, one line.
        ScopedEnv sound("QUILLARAN_SOUND", "pulse");
        foundation::LogCapture log;
        EXPECT_FALSE(CaptureDevice::defaultAudioDevice());
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0],
                  "sound capture: QUILLARAN_SOUND=pulse but no sound server answers; no sound input");
    }
    {
        // Unset, or an unknown value: the sound server's, and no server means no sound, never the tone.
        ScopedEnv sound("QUILLARAN_SOUND", std::nullopt);
        foundation::LogCapture log;
        EXPECT_FALSE(CaptureDevice::defaultAudioDevice());
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"sound capture: no sound server answers; no sound input"});
    }
    {
        ScopedEnv sound("QUILLARAN_SOUND", "speakers");
        foundation::LogCapture log;
        EXPECT_FALSE(CaptureDevice::defaultAudioDevice());
        EXPECT_EQ(log.lines().size(), 2u);
    }
}

}  // namespace
}  // namespace quill::platform::avcapture
