// PipeWireCapture against a private PipeWire and WirePlumber with a test video source node, through the
// capture stream the display services use: pictures, damage, corrupted buffers, size changes, the end of
// the share, and what open/close cycles leave behind.

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "platform/display/CaptureStream.h"
#include "platform/display/PipeWireCapture.h"
#include "support/PrivateVideoPipeWire.h"
#include "support/TestVideoSource.h"
#include "support/ThreadQueue.h"

using namespace quill::platform::display;
using quill::testing::PrivateVideoPipeWire;
using quill::testing::TestVideoSource;
using quill::testing::ThreadQueue;
using Clock = std::chrono::steady_clock;

namespace {

struct Yuv {
    int y, u, v;
};

// BT.601 limited range, as the conversion makes it.
Yuv yuvOf(uint32_t rgb) {
    const double r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    return {int(std::lround(16 + 0.257 * r + 0.504 * g + 0.098 * b)),
            int(std::lround(128 - 0.148 * r - 0.291 * g + 0.439 * b)),
            int(std::lround(128 + 0.439 * r - 0.368 * g - 0.071 * b))};
}

Yuv pixelAt(const PixelBuffer& f, int x, int y) {
    const uint8_t* uv = f.plane(1) + (y / 2) * f.stride(1) + (x / 2) * 2;
    return {f.plane(0)[y * f.stride(0) + x], uv[0], uv[1]};
}

bool near(const Yuv& a, const Yuv& b, int tolerance = 3) {
    return std::abs(a.y - b.y) <= tolerance && std::abs(a.u - b.u) <= tolerance &&
           std::abs(a.v - b.v) <= tolerance;
}

// The left edge of the square on row y (luma within 8 of squareY), -1 when there is none.
int squareEdge(const PixelBuffer& f, int y, int squareY) {
    for (int x = 0; x < f.width(); ++x)
        if (std::abs(f.plane(0)[y * f.stride(0) + x] - squareY) <= 8) return x;
    return -1;
}

size_t entries(const char* dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// One capture of the source's node through a capture stream of width x height, every picture handed to
// the test's check as it arrives.
class Session {
  public:
    using Check = std::function<void(const PixelBuffer&)>;
    Session(PrivateVideoPipeWire& pw, uint32_t node, int width, int height, Check check = {})
        : check_(std::move(check)) {
        capture = PipeWireCapture::open(pw.connect(), node, [this](const std::string&) { ++endedCalls; });
        if (!capture) return;
        stream = std::make_shared<CaptureStream>(
            capture->makeSource(), width, height, DisplayStreamProperties{}, queue_,
            [this](FrameStatus status, uint64_t, PixelBufferRef frame) {
                std::lock_guard lock(mutex_);
                if (status == FrameStatus::Complete) {
                    ++pictures_;
                    if (check_) check_(*frame);
                    last_ = std::move(frame);
                }
                idle_ += status == FrameStatus::Idle;
                changed_.notify_all();
            },
            0.2);
        started = stream->start();
    }
    ~Session() {
        if (stream) stream->stop();
        queue_->drain();
    }
    // Waits at most timeoutSeconds for a picture for which pred holds.
    bool waitForPicture(const std::function<bool(const PixelBuffer&)>& pred, double timeoutSeconds = 5) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                 [&] { return last_ && pred(*last_); });
    }
    bool waitForPictures(size_t count, double timeoutSeconds = 5) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                 [&] { return pictures_ >= count; });
    }
    size_t pictures() {
        std::lock_guard lock(mutex_);
        return pictures_;
    }
    size_t idleReports() {
        std::lock_guard lock(mutex_);
        return idle_;
    }

    std::shared_ptr<PipeWireCapture> capture;
    std::shared_ptr<CaptureStream> stream;
    bool started = false;
    std::atomic<int> endedCalls{0};

  private:
    Check check_;
    std::shared_ptr<ThreadQueue> queue_ = std::make_shared<ThreadQueue>();
    std::mutex mutex_;
    std::condition_variable changed_;
    PixelBufferRef last_;
    size_t pictures_ = 0;
    size_t idle_ = 0;
};

class PipeWireCaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pw_ = new PrivateVideoPipeWire(); }
    static void TearDownTestSuite() {
        delete pw_;
        pw_ = nullptr;
    }
    void SetUp() override {
        if (!pw_->available()) GTEST_SKIP() << "no private PipeWire: " << pw_->failure();
    }
    std::unique_ptr<TestVideoSource> startSource(const TestVideoSource::Options& options) {
        auto source = std::make_unique<TestVideoSource>(pw_->runtimeDir(), options);
        EXPECT_TRUE(source->running()) << source->failure();
        return source;
    }

    static PrivateVideoPipeWire* pw_;
};
PrivateVideoPipeWire* PipeWireCaptureTest::pw_ = nullptr;

struct PictureCase {
    const char* name;
    TestVideoSource::Format format;
    bool allocateMemFd;
    int outWidth, outHeight;  // the stream's size (the source's is 320 x 240)
    uint32_t background;
};

class PipeWirePictureTest : public PipeWireCaptureTest, public ::testing::WithParamInterface<PictureCase> {};

}  // namespace

TEST_P(PipeWirePictureTest, PicturesShowTheSourcesColoursAndMotion) {
    const PictureCase& c = GetParam();
    TestVideoSource::Options options;
    options.format = c.format;
    options.allocateMemFd = c.allocateMemFd;
    options.background = c.background;
    options.squareSize = 40;
    auto source = startSource(options);
    Session session(*pw_, source->nodeId(), c.outWidth, c.outHeight);
    ASSERT_TRUE(session.capture && session.started);
    ASSERT_TRUE(session.capture->waitForFormat(5));
    EXPECT_EQ(session.capture->width(), 320);
    EXPECT_EQ(session.capture->height(), 240);

    const Yuv background = yuvOf(c.background), square = yuvOf(options.squareColour);
    const int row = c.outHeight / 2;  // through the square, which is centred
    int firstEdge = -1;
    ASSERT_TRUE(session.waitForPicture([&](const PixelBuffer& f) {
        firstEdge = squareEdge(f, row, square.y);
        return near(pixelAt(f, 2, 2), background) &&
               near(pixelAt(f, f.width() - 3, f.height() - 3), background) && firstEdge >= 0;
    })) << c.name;
    // The square moves on: a later picture shows it elsewhere, still in the square's colour.
    EXPECT_TRUE(session.waitForPicture([&](const PixelBuffer& f) {
        const int edge = squareEdge(f, row, square.y);
        return edge >= 0 && edge != firstEdge && near(pixelAt(f, edge + 4, row), square, 4);
    })) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PipeWirePictureTest,
    ::testing::Values(PictureCase{"BGRx", TestVideoSource::Format::BGRx, true, 320, 240, 0x204080},
                      PictureCase{"RGBx", TestVideoSource::Format::RGBx, true, 320, 240, 0x80c020},
                      PictureCase{"BGRA scaled", TestVideoSource::Format::BGRA, false, 160, 120, 0x602010},
                      PictureCase{"RGBA scaled", TestVideoSource::Format::RGBA, false, 480, 360, 0x106090}),
    [](const auto& param) {
        std::string name = param.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST_F(PipeWireCaptureTest, StillScreenGivesNoPicturesAndCorruptedOnesAreSkipped) {
    TestVideoSource::Options options;
    auto source = startSource(options);
    const Yuv corrupt = yuvOf(TestVideoSource::kCorruptColour);
    std::atomic<int> corruptSeen{0};
    Session session(*pw_, source->nodeId(), 320, 240,
                    [&](const PixelBuffer& f) { corruptSeen += near(pixelAt(f, 2, 2), corrupt); });
    ASSERT_TRUE(session.capture && session.started);
    ASSERT_TRUE(session.waitForPicture([](const PixelBuffer&) { return true; }));

    // Still: pictures keep coming from the source, but none changed, so nothing is converted or sent.
    source->setStill(true);
    ASSERT_TRUE(source->waitForPictures(source->picturesSent() + 3, 2));
    const size_t before = session.pictures();
    const uint64_t sent = source->picturesSent();
    ASSERT_TRUE(source->waitForPictures(sent + 10, 3));
    EXPECT_EQ(session.pictures(), before);
    EXPECT_GE(session.idleReports(), 1u);

    // Corrupted pictures never show; the stream goes on with the next good ones.
    source->setStill(false);
    for (int i = 0; i < 5; ++i) {
        source->sendCorrupted();
        ASSERT_TRUE(source->waitForPictures(source->picturesSent() + 2, 2));
    }
    const size_t afterCorrupt = session.pictures();
    ASSERT_TRUE(source->waitForPictures(source->picturesSent() + 5, 2));
    EXPECT_TRUE(session.waitForPictures(afterCorrupt + 1));
    EXPECT_EQ(corruptSeen.load(), 0);
    EXPECT_EQ(session.endedCalls.load(), 0);
}

TEST_F(PipeWireCaptureTest, SizeChangeKeepsTheOutputSize) {
    TestVideoSource::Options options;
    auto source = startSource(options);
    Session session(*pw_, source->nodeId(), 320, 240);
    ASSERT_TRUE(session.capture && session.started);
    ASSERT_TRUE(session.waitForPicture([](const PixelBuffer&) { return true; }));

    source->resize(400, 300);
    const Yuv background = yuvOf(options.background), square = yuvOf(options.squareColour);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (session.capture->width() != 400 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(session.capture->width(), 400);
    EXPECT_EQ(session.capture->height(), 300);
    // Pictures of the new size, scaled to the stream's: the square is 4/5 as wide as it was.
    const size_t seen = session.pictures();
    EXPECT_TRUE(session.waitForPictures(seen + 2));
    EXPECT_TRUE(session.waitForPicture([&](const PixelBuffer& f) {
        const int row = 120, edge = squareEdge(f, row, square.y);
        int width = 0;
        while (edge >= 0 && edge + width < f.width() && near(pixelAt(f, edge + width, row), square, 8))
            ++width;
        return f.width() == 320 && f.height() == 240 && near(pixelAt(f, 2, 2), background) &&
               std::abs(width - options.squareSize * 4 / 5) <= 2;
    }));
    EXPECT_EQ(session.endedCalls.load(), 0);
}

TEST_F(PipeWireCaptureTest, NodeGoingAwayEndsTheCaptureOnce) {
    auto source = startSource({});
    Session session(*pw_, source->nodeId(), 320, 240);
    ASSERT_TRUE(session.capture && session.started);
    ASSERT_TRUE(session.waitForPicture([](const PixelBuffer&) { return true; }));
    source->stop();
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (session.endedCalls == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(session.endedCalls.load(), 1);
    EXPECT_TRUE(session.capture->ended());
    EXPECT_FALSE(session.capture->waitForFormat(0.1));
}

TEST_F(PipeWireCaptureTest, DaemonGoingAwayEndsTheCaptureOnce) {
    PrivateVideoPipeWire own;
    ASSERT_TRUE(own.available()) << own.failure();
    TestVideoSource source(own.runtimeDir(), {});
    Session session(own, source.nodeId(), 320, 240);
    ASSERT_TRUE(session.capture && session.started);
    ASSERT_TRUE(session.waitForPicture([](const PixelBuffer&) { return true; }));
    own.stop();
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (session.endedCalls == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(session.endedCalls.load(), 1);
}

TEST_F(PipeWireCaptureTest, OpenCloseCyclesLeaveNoDescriptorsOrThreads) {
    auto source = startSource({});
    const uint32_t node = source->nodeId();
    auto cycle = [&] {
        Session session(*pw_, node, 320, 240);
        ASSERT_TRUE(session.capture && session.started);
        ASSERT_TRUE(session.waitForPicture([](const PixelBuffer&) { return true; }));
    };
    // The source's own descriptors for a link (its peer's eventfd and memory) go a little after the
    // link: counts are compared once they hold still, or once they reach `target`.
    auto settled = [](std::optional<size_t> target) {
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        size_t n = entries("/proc/self/fd");
        while (n != target && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const size_t m = entries("/proc/self/fd");
            if (!target && m == n) break;
            n = m;
        }
        return n;
    };
    cycle();  // what the first use sets up once (PipeWire's own process-wide state)
    const size_t fds = settled(std::nullopt), threads = entries("/proc/self/task");
    for (int i = 0; i < 20; ++i)
        cycle();
    EXPECT_EQ(settled(fds), fds);
    EXPECT_EQ(entries("/proc/self/task"), threads);
}
