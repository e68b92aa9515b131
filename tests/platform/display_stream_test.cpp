#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/display/CaptureStream.h"
#include "platform/display/SyntheticDisplay.h"
#include "support/FrameCollector.h"
#include "support/ThreadQueue.h"

using namespace quill::platform::display;
using quill::testing::FrameCollector;
using quill::testing::ThreadQueue;

namespace {

std::shared_ptr<DisplayStream> makeStream(SyntheticDisplayService& service, FrameCollector& collector,
                                          std::shared_ptr<ThreadQueue> queue,
                                          DisplayStreamProperties props = {}, int w = 0, int h = 0) {
    const DisplayID id = service.mainDisplayID();
    const Rect bounds = service.displayBounds(id);
    return service.createDisplayStream(id, w ? w : static_cast<int>(bounds.width),
                                       h ? h : static_cast<int>(bounds.height), PixelFormat::NV12, props,
                                       queue, collector.handler());
}

}  // namespace

TEST(SyntheticDisplayTest, DescribesItsDisplayAndCanBeAbsent) {
    auto service = SyntheticDisplayService::create({.width = 1440,
                                                    .height = 900,
                                                    .modes = {{1440, 900}, {2880, 1800}},
                                                    .moving = true,
                                                    .changesPerSecond = 60,
                                                    .present = false});
    EXPECT_EQ(service->mainDisplayID(), 0u);
    std::vector<DisplayID> list{7};
    EXPECT_TRUE(service->getActiveDisplayList(10, list));
    EXPECT_TRUE(list.empty());
    service->setPresent(true);
    EXPECT_EQ(service->mainDisplayID(), SyntheticDisplayService::kDisplayID);
    EXPECT_TRUE(service->getActiveDisplayList(10, list));
    EXPECT_EQ(list, std::vector<DisplayID>{1});
    EXPECT_EQ(service->displayBounds(1), (Rect{0, 0, 1440, 900}));
    EXPECT_EQ(service->copyAllDisplayModes(1).size(), 2u);
    EXPECT_TRUE(service->copyAllDisplayModes(2).empty());
    quill::Error error;
    auto queue = std::make_shared<ThreadQueue>();
    EXPECT_EQ(service->createDisplayStream(
                  2, 100, 100, PixelFormat::NV12, {}, queue, [](auto, auto, auto) {}, &error),
              nullptr);
    EXPECT_EQ(error.domain, kDisplayErrorDomain);
    EXPECT_EQ(
        service->createDisplayStream(1, 100, 100, PixelFormat::I420, {}, queue, [](auto, auto, auto) {}),
        nullptr);
}

TEST(SyntheticDisplayTest, MovingPatternDeliversCountedFramesOfTheOutputSizeNoFasterThanAsked) {
    auto service = SyntheticDisplayService::create({.width = 640, .height = 400, .changesPerSecond = 200});
    FrameCollector collector;
    auto queue = std::make_shared<ThreadQueue>();
    DisplayStreamProperties props;
    props.minimumFrameTime = 0.02;
    auto stream = makeStream(*service, collector, queue, props);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->start());
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Complete, 10));
    stream->stop();
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Stopped, 1));
    auto events = collector.events();
    std::vector<FrameCollector::Event> frames;
    for (const auto& e : events)
        if (e.status == FrameStatus::Complete) frames.push_back(e);
    for (size_t i = 1; i < frames.size(); ++i) {
        // Capture times at least the minimum frame time apart (a little slack for the clock).
        EXPECT_GE(frames[i].displayTime - frames[i - 1].displayTime, 19'000'000u);
    }
    auto last = collector.lastFrame();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->width(), 640);
    EXPECT_EQ(last->height(), 400);
    EXPECT_EQ(last->format(), PixelFormat::NV12);
    EXPECT_EQ(SyntheticDisplayService::readCounter(*last), frames.size() - 1);
}

TEST(SyntheticDisplayTest, StopDeliversExactlyOneStoppedAndNothingAfterIt) {
    auto service = SyntheticDisplayService::create({.width = 320, .height = 200, .changesPerSecond = 500});
    FrameCollector collector;
    auto queue = std::make_shared<ThreadQueue>();
    auto stream = makeStream(*service, collector, queue);
    ASSERT_TRUE(stream->start());
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Complete, 3));
    stream->stop();
    stream->stop();
    ASSERT_TRUE(queue->drain());
    auto events = collector.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().status, FrameStatus::Stopped);
    EXPECT_EQ(FrameCollector::count(events, FrameStatus::Stopped), 1u);
    stream.reset();
    ASSERT_TRUE(queue->drain());
    EXPECT_EQ(collector.count(FrameStatus::Stopped), 1u);
}

TEST(SyntheticDisplayTest, StreamStoppedBeforeStartSaysNothingAndCannotStart) {
    auto service = SyntheticDisplayService::create({.width = 64, .height = 64});
    FrameCollector collector;
    auto queue = std::make_shared<ThreadQueue>();
    auto stream = makeStream(*service, collector, queue);
    stream->stop();
    EXPECT_FALSE(stream->start());
    ASSERT_TRUE(queue->drain());
    EXPECT_TRUE(collector.events().empty());
}

TEST(SyntheticDisplayTest, HeldFramesBoundTheStreamAndReleasingThemResumesIt) {
    auto service = SyntheticDisplayService::create({.width = 320, .height = 200, .changesPerSecond = 500});
    FrameCollector collector(/*keepFrames=*/true);
    auto queue = std::make_shared<ThreadQueue>();
    DisplayStreamProperties props;
    props.queueDepth = 3;
    auto stream = makeStream(*service, collector, queue, props);
    ASSERT_TRUE(stream->start());
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Complete, 3));
    // Every picture is held: nothing more can come, however much the screen changes.
    ASSERT_FALSE(collector.waitForCount(FrameStatus::Complete, 4, 0.2));
    std::vector<uint32_t> counters;
    for (const auto& e : collector.events())
        if (e.frame) counters.push_back(SyntheticDisplayService::readCounter(*e.frame));
    EXPECT_EQ(counters, (std::vector<uint32_t>{0, 1, 2}));  // none overwritten while held
    collector.releaseFrames();
    EXPECT_TRUE(collector.waitForCount(FrameStatus::Complete, 5));
    collector.releaseFrames();
    stream->stop();
    collector.releaseFrames();
}

TEST(SyntheticDisplayTest, StillPictureGivesOneFrameThenIdleUntilItChanges) {
    auto service = SyntheticDisplayService::create({.width = 320, .height = 200, .moving = false});
    FrameCollector collector;
    auto queue = std::make_shared<ThreadQueue>();
    auto stream = makeStream(*service, collector, queue);
    ASSERT_TRUE(stream->start());
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Idle, 1, 5.0));
    EXPECT_EQ(collector.count(FrameStatus::Complete), 1u);
    service->poke();
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Complete, 2));
    EXPECT_EQ(SyntheticDisplayService::readCounter(*collector.lastFrame()), 1u);
    stream->stop();
    ASSERT_TRUE(queue->drain());
    EXPECT_EQ(collector.count(FrameStatus::Complete), 2u);
}

namespace {

// What a capture source saw, kept beyond the stream that owns the source.
struct SourceLog {
    std::mutex mutex;
    std::thread::id captureThread;
    std::thread::id closedOn;
    int wakes = 0;
    bool wokenAfterClose = false;
    bool closed = false;
};

class LoggingSource : public CaptureSource {
  public:
    explicit LoggingSource(std::shared_ptr<SourceLog> log) : log_(std::move(log)) {}
    bool open(quill::Error*) override { return true; }
    bool waitForChange(double) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return false;
    }
    void wake() override {
        std::lock_guard lock(log_->mutex);
        ++log_->wakes;
        log_->wokenAfterClose = log_->wokenAfterClose || log_->closed;
    }
    FrameStatus grab(PixelBuffer&) override {
        std::lock_guard lock(log_->mutex);
        log_->captureThread = std::this_thread::get_id();
        return FrameStatus::Blank;
    }
    void close() override {
        std::lock_guard lock(log_->mutex);
        log_->closed = true;
        log_->closedOn = std::this_thread::get_id();
    }

  private:
    std::shared_ptr<SourceLog> log_;
};

}  // namespace

// The stop's wake-up must reach a source that is still open: it is closed only once its capture thread
// has ended, by the thread that stopped it.
TEST(CaptureStreamTest, TheSourceIsClosedAfterTheCaptureThreadEndedNeverBeforeItsWakeUp) {
    auto log = std::make_shared<SourceLog>();
    FrameCollector collector;
    auto stream = std::make_shared<CaptureStream>(std::make_unique<LoggingSource>(log), 16, 16,
                                                  DisplayStreamProperties{}, std::make_shared<ThreadQueue>(),
                                                  collector.handler());
    ASSERT_TRUE(stream->start());
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Blank, 1));
    stream->stop();
    std::lock_guard lock(log->mutex);
    EXPECT_TRUE(log->closed);
    EXPECT_EQ(log->wakes, 1);
    EXPECT_FALSE(log->wokenAfterClose);
    EXPECT_EQ(log->closedOn, std::this_thread::get_id());
    EXPECT_NE(log->closedOn, log->captureThread);
}
