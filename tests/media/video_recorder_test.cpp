#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <future>
#include <thread>

#include "media/SWTimeUtils.h"
#include "media/SWVideoRecorder.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/foundation/NotificationCenter.h"

using namespace quill;
using namespace quill::platform::display;

namespace {

// Drains the raw video queue on its own thread and keeps what it took.
class RawConsumer {
  public:
    explicit RawConsumer(std::shared_ptr<RawVideoQueue> queue) : queue_(std::move(queue)) {
        thread_ = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                auto item = queue_->take(0.01);
                if (!item) continue;
                std::lock_guard lock(mutex_);
                items_.push_back({SyntheticDisplayService::readCounter(*item->buffer), item->keyframe});
            }
        });
    }
    struct Item {
        uint32_t counter;
        bool keyframe;
    };
    std::vector<Item> items() {
        std::lock_guard lock(mutex_);
        return items_;
    }
    size_t size() { return items().size(); }
    // Waits until at least n items were taken, at most timeoutSeconds.
    bool waitFor(size_t n, double timeoutSeconds = 5.0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        while (std::chrono::steady_clock::now() < end) {
            if (size() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return size() >= n;
    }
    // True when no new item arrives for the given time.
    bool quietFor(double seconds) {
        const size_t before = size();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return size() == before;
    }

  private:
    std::shared_ptr<RawVideoQueue> queue_;
    std::mutex mutex_;
    std::vector<Item> items_;
    std::jthread thread_;
};

struct FakeClock {
    std::atomic<double> seconds{1000.0};
    std::function<double()> fn() {
        return [this] { return seconds.load(); };
    }
    void advance(double s) { seconds.store(seconds.load() + s); }
};

}  // namespace

TEST(SWVideoRecorderTest, LargestResolutionPrefersWidthThenHeight) {
    EXPECT_EQ(SWVideoRecorder::getLargestResolution({{1440, 900}, {2880, 1800}}), (DisplayMode{2880, 1800}));
    EXPECT_EQ(SWVideoRecorder::getLargestResolution({{2880, 1800}, {1440, 900}}), (DisplayMode{2880, 1800}));
    EXPECT_EQ(SWVideoRecorder::getLargestResolution({{1440, 900}, {1440, 1050}, {1280, 1024}}),
              (DisplayMode{1440, 1050}));
    EXPECT_EQ(SWVideoRecorder::getLargestResolution({}), (DisplayMode{0, 0}));
}

TEST(SWVideoRecorderTest, StillScreenIsRepeatedFiftyTimesAfterSixtyMillisecondsAndAgainOnKeyFrameRequest) {
    FakeClock clock;
    auto display = SyntheticDisplayService::create({.width = 320, .height = 200, .moving = false});
    auto recorder = SWVideoRecorder::create({.display = display, .now = clock.fn(), .showCursor = false});
    recorder->setTargetFrameRate(25);
    auto raw = RawVideoQueue::create(3);
    recorder->setVideoOutputBuffer(raw);
    recorder->encoder().setRawVideoInput({});  // this test takes the raw frames itself
    RawConsumer consumer(raw);
    recorder->beginRecorder(std::stop_token());
    ASSERT_TRUE(consumer.waitFor(1));
    EXPECT_TRUE(consumer.quietFor(0.15));  // the clock stands still: no repeat
    clock.advance(0.059);
    EXPECT_TRUE(consumer.quietFor(0.15));  // not yet 1.5 frame times
    clock.advance(0.002);
    ASSERT_TRUE(consumer.waitFor(1 + SWVideoRecorder::kMaxStaticFrames, 10.0));
    EXPECT_TRUE(consumer.quietFor(0.2));
    EXPECT_EQ(consumer.size(), 1 + SWVideoRecorder::kMaxStaticFrames);
    for (const auto& item : consumer.items()) {
        EXPECT_EQ(item.counter, 0u);  // the same picture every time
        EXPECT_FALSE(item.keyframe);
    }
    recorder->setNeedsKeyFrame(true);
    ASSERT_TRUE(consumer.waitFor(3 + SWVideoRecorder::kMaxStaticFrames));
    auto items = consumer.items();
    EXPECT_TRUE(items[1 + SWVideoRecorder::kMaxStaticFrames].keyframe);
    EXPECT_FALSE(items[2 + SWVideoRecorder::kMaxStaticFrames].keyframe);
    EXPECT_FALSE(recorder->needsKeyFrame());
    // The request started the count again: fifty more, then quiet.
    ASSERT_TRUE(consumer.waitFor(1 + 2 * SWVideoRecorder::kMaxStaticFrames, 10.0));
    EXPECT_TRUE(consumer.quietFor(0.2));
    EXPECT_EQ(consumer.size(), 1 + 2 * SWVideoRecorder::kMaxStaticFrames);
    // A real change arrives; with the clock standing still no repeat follows it.
    display->poke();
    ASSERT_TRUE(consumer.waitFor(2 + 2 * SWVideoRecorder::kMaxStaticFrames));
    EXPECT_TRUE(consumer.quietFor(0.15));
    EXPECT_EQ(consumer.items().back().counter, 1u);
    EXPECT_EQ(consumer.size(), 2 + 2 * SWVideoRecorder::kMaxStaticFrames);
    recorder->endRecorder();
}

TEST(SWVideoRecorderTest, KeyFrameRequestSurvivesARefusedFrame) {
    auto display = SyntheticDisplayService::create({.width = 64, .height = 64, .moving = false});
    auto recorder = SWVideoRecorder::create({.display = display, .showCursor = false});
    auto raw = RawVideoQueue::create(1);
    recorder->setVideoOutputBuffer(raw);
    auto picture = std::make_shared<PixelBuffer>(PixelFormat::NV12, 64, 64);
    ASSERT_TRUE(recorder->enqueueDesktopImage(picture));
    recorder->setNeedsKeyFrame(true);
    EXPECT_FALSE(recorder->enqueueDesktopImage(picture));  // full
    EXPECT_TRUE(recorder->needsKeyFrame());
    auto first = raw->take(0.1);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->keyframe);
    ASSERT_TRUE(recorder->enqueueDesktopImage(picture));
    EXPECT_FALSE(recorder->needsKeyFrame());
    auto second = raw->take(0.1);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->keyframe);
    EXPECT_EQ(second->buffer, picture);
}

TEST(SWVideoRecorderTest, WaitingForADisplayEndsWithItsCancel) {
    auto display = SyntheticDisplayService::create({.width = 64, .height = 64, .present = false});
    auto recorder = SWVideoRecorder::create({.display = display, .showCursor = false, .retryInterval = 0.02});
    std::stop_source cancel;
    std::atomic<bool> returned{false};
    std::thread begin([&] {
        recorder->beginRecorder(cancel.get_token());
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned.load());
    cancel.request_stop();
    begin.join();
    recorder->endRecorder();
    EXPECT_FALSE(recorder->isCapturing());
    EXPECT_FALSE(recorder->encoder().isRunning());
}

// A cancel that comes before the begin has started is not lost: the begin starts nothing.
TEST(SWVideoRecorderTest, ACancelMadeBeforeTheBeginIsKept) {
    auto display = SyntheticDisplayService::create({.width = 64, .height = 64});
    auto recorder = SWVideoRecorder::create({.display = display, .showCursor = false});
    std::stop_source cancel;
    cancel.request_stop();
    recorder->beginRecorder(cancel.get_token());
    EXPECT_FALSE(recorder->isCapturing());
    EXPECT_FALSE(recorder->encoder().isRunning());
}

// A second begin replaces the first one's capture rather than cancelling itself.
TEST(SWVideoRecorderTest, ASecondBeginCapturesAfresh) {
    auto display = SyntheticDisplayService::create({.width = 64, .height = 64});
    auto recorder = SWVideoRecorder::create({.display = display, .showCursor = false, .retryInterval = 0.01});
    auto raw = RawVideoQueue::create(3);
    recorder->setVideoOutputBuffer(raw);
    recorder->encoder().setRawVideoInput({});
    recorder->beginRecorder(std::stop_token());
    recorder->beginRecorder(std::stop_token());
    EXPECT_TRUE(recorder->isCapturing());
    EXPECT_TRUE(recorder->encoder().isRunning());
    while (raw->take(0.0)) {
    }
    EXPECT_TRUE(raw->take(5.0).has_value());
    recorder->endRecorder();
}

TEST(SWVideoRecorderTest, DisplayAppearingLaterIsCaptured) {
    auto display =
        SyntheticDisplayService::create({.width = 64, .height = 64, .moving = false, .present = false});
    auto recorder = SWVideoRecorder::create({.display = display, .showCursor = false, .retryInterval = 0.02});
    auto raw = RawVideoQueue::create(3);
    recorder->setVideoOutputBuffer(raw);
    recorder->encoder().setRawVideoInput({});
    std::jthread begin([&](std::stop_token cancel) { recorder->beginRecorder(cancel); });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    display->setPresent(true);
    begin.join();
    EXPECT_TRUE(recorder->isCapturing());
    auto item = raw->take(5.0);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->buffer->width(), 64);
    recorder->endRecorder();
    EXPECT_FALSE(recorder->isCapturing());
}

TEST(SWVideoRecorderTest, EndingItBeforeTheEncodedQueueIsStoppedDoesNotHang) {
    auto display = SyntheticDisplayService::create({.width = 64, .height = 64});
    auto recorder = SWVideoRecorder::create({.display = display, .showCursor = false});
    auto raw = RawVideoQueue::create(3);
    auto encoded = EncodedVideoQueue::create(1);  // nobody drains it
    recorder->setVideoOutputBuffer(raw);
    recorder->setEncodedVideoBuffer(encoded);
    recorder->beginRecorder(std::stop_token());
    // The first picture brings several units: the encoder waits to put the second.
    for (int i = 0; i < 500 && encoded->count() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(encoded->count(), 1);
    auto ended = std::async(std::launch::async, [&] { recorder->endRecorder(); });
    const bool inTime = ended.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!inTime) encoded->stopBlocking();  // let it end, to fail rather than hang
    ended.wait();
    EXPECT_TRUE(inTime);
    EXPECT_FALSE(recorder->encoder().isRunning());
}

TEST(SWVideoRecorderTest, MakingTheStreamPostsTheMainDisplaysSize) {
    platform::foundation::NotificationCenter center;
    std::vector<Rect> sizes;
    platform::foundation::ScopedObserver observer(center, kSystemResolutionDidChange,
                                                  [&](const platform::foundation::Notification& n) {
                                                      sizes.push_back(std::any_cast<Rect>(n.userInfo));
                                                  });
    auto display = SyntheticDisplayService::create({.width = 320, .height = 200, .modes = {{640, 400}}});
    auto recorder =
        SWVideoRecorder::create({.display = display, .showCursor = false, .notificationCenter = &center});
    ASSERT_TRUE(recorder->createRecorderQueue());
    EXPECT_EQ(sizes, std::vector<Rect>{(Rect{0, 0, 320, 200})});
    recorder->endRecorder();
}

namespace {

// A cancel that lands after the stream was made but before it started leaves it unstarted, and the end
// that follows does not wait for a stop report that an unstarted stream never sends.
TEST(SWVideoRecorderTest, ACancelBetweenMakingAndStartingTheStreamEndsPromptly) {
    auto display = SyntheticDisplayService::create({.width = 64, .height = 64});
    auto recorder = SWVideoRecorder::create({.display = display, .showCursor = false, .retryInterval = 0.5});
    std::stop_source cancel;
    std::thread begin([&] { recorder->beginRecorder(cancel.get_token()); });
    // The stream is made at once; the start follows the half-second pause.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto t0 = std::chrono::steady_clock::now();
    cancel.request_stop();
    begin.join();
    recorder->endRecorder();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(took, 1.0);
    EXPECT_FALSE(recorder->isCapturing());
}

}  // namespace
