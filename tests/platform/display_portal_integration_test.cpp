// The display service of a Wayland session against Debian's own portal frontend, with a stand-in for the
// desktop's dialog only (PortalDesktop), a private PipeWire and a video source node of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/display/Display.h"
#include "support/FrameCollector.h"
#include "support/PortalDesktop.h"
#include "support/PrivateVideoPipeWire.h"
#include "support/TestVideoSource.h"
#include "support/ThreadQueue.h"

namespace quill::platform::display {
namespace {

using quill::testing::FrameCollector;
using quill::testing::PortalDesktop;
using Clock = std::chrono::steady_clock;

size_t entriesOf(const char* folder) {
    size_t n = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

// The luma that BT.601 limited range gives an RGB colour.
int lumaOf(uint32_t rgb) {
    const double r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    return static_cast<int>(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255 + 0.5);
}

class PortalDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pipewire.available()) GTEST_SKIP() << pipewire.failure();
        source = std::make_unique<quill::testing::TestVideoSource>(
            pipewire.runtimeDir(), quill::testing::TestVideoSource::Options{});
        ASSERT_TRUE(source->running()) << source->failure();
        node = source->nodeId();
        ASSERT_NE(node, 0xffffffffu);
        desktop = std::make_unique<PortalDesktop>(pipewire.runtimeDir());
        if (!desktop->available()) GTEST_SKIP() << desktop->failure();
        desktop->setAnswer(PortalDesktop::Answer::Grant, node, 320, 240);
        DisplayService::TokenStore store;
        store.load = [this] {
            std::lock_guard lock(mutex);
            return token;
        };
        store.save = [this](const std::string& t) {
            std::lock_guard lock(mutex);
            token = t;
        };
        service = DisplayService::screenCastPortal(desktop->busAddress(), store);
        service->setCaptureEndedHandler([this](DisplayService::CaptureEnd end, const std::string&) {
            std::lock_guard lock(mutex);
            ends.push_back(end);
        });
    }

    // Asks for the main display as the recorder does, every 50 ms, until it is there.
    bool waitForDisplay(double seconds = 10) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < deadline) {
            if (service->mainDisplayID() != 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::vector<DisplayService::CaptureEnd> endsSeen(size_t n, double seconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (ends.size() >= n || Clock::now() >= deadline) return ends;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::shared_ptr<DisplayStream> startStream(FrameCollector& frames) {
        auto stream = service->createDisplayStream(service->mainDisplayID(), 160, 120, PixelFormat::NV12, {},
                                                   queue, frames.handler());
        EXPECT_TRUE(stream && stream->start());
        return stream;
    }

    quill::testing::PrivateVideoPipeWire pipewire;
    std::unique_ptr<quill::testing::TestVideoSource> source;
    uint32_t node = 0;
    std::unique_ptr<PortalDesktop> desktop;
    std::shared_ptr<DisplayService> service;
    std::shared_ptr<quill::testing::ThreadQueue> queue = std::make_shared<quill::testing::ThreadQueue>();
    std::mutex mutex;
    std::string token;
    std::vector<DisplayService::CaptureEnd> ends;
};

// The first share asks (cursor drawn in, kept until revoked); its pictures are the source's, scaled, and
// move with it; the stream's stop closes the session; the next share hands the token back and is granted
// without the dialog.
TEST_F(PortalDisplayTest, TheSharedScreenIsStreamedAndTheChoiceIsRemembered) {
    ASSERT_TRUE(waitForDisplay());
    EXPECT_EQ(service->copyAllDisplayModes(1), (std::vector<DisplayMode>{{320, 240}}));
    EXPECT_EQ(service->displayBounds(1), (Rect{0, 0, 320, 240}));
    FrameCollector frames;
    auto stream = startStream(frames);
    // The bottom right corner shows the background; the square keeps moving.
    const int background = lumaOf(quill::testing::TestVideoSource::Options{}.background);
    std::vector<uint8_t> first;
    ASSERT_TRUE(frames.waitForLastFrame([&](const PixelBuffer& f) {
        if (std::abs(f.plane(0)[(f.height() - 2) * f.stride(0) + f.width() - 2] - background) > 3)
            return false;
        first.assign(f.plane(0), f.plane(0) + f.stride(0) * f.height());
        return true;
    }));
    EXPECT_TRUE(frames.waitForLastFrame(
        [&](const PixelBuffer& f) { return !std::equal(first.begin(), first.end(), f.plane(0)); }));
    stream->stop();
    EXPECT_TRUE(frames.waitForCount(FrameStatus::Stopped, 1));
    EXPECT_TRUE(desktop->waitForSessionsClosed(5));
    {
        std::lock_guard lock(mutex);
        EXPECT_FALSE(token.empty());
    }

    ASSERT_TRUE(waitForDisplay());
    service->endCapture();
    const auto starts = desktop->starts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].types, 1u);
    EXPECT_EQ(starts[0].cursorMode, 2u);
    EXPECT_EQ(starts[0].persistMode, 2u);
    EXPECT_FALSE(starts[0].restored);
    EXPECT_TRUE(starts[1].restored);
    EXPECT_TRUE(desktop->waitForSessionsClosed(5));
    EXPECT_TRUE(endsSeen(0, 0).empty());
}

// A saved token the desktop no longer knows, or one that is no token at all, brings the dialog back
// rather than failing the share.
TEST_F(PortalDisplayTest, AStaleOrMalformedTokenBringsTheDialogBack) {
    const char* tokens[] = {"8d3e7a52-3b1f-4c8e-9a8e-5d8f2e6b1c40", "not a token"};
    for (const char* saved : tokens) {
        SCOPED_TRACE(saved);
        {
            std::lock_guard lock(mutex);
            token = saved;
        }
        const size_t before = desktop->starts().size();
        ASSERT_TRUE(waitForDisplay());
        service->endCapture();
        const auto starts = desktop->starts();
        ASSERT_EQ(starts.size(), before + 1);
        EXPECT_FALSE(starts.back().restored);
        std::lock_guard lock(mutex);
        EXPECT_NE(token, saved);
    }
}

// A cancelled dialog or a failing desktop is reported once, and the dialog is not brought back by the
// recorder's retries until the capture ends.
TEST_F(PortalDisplayTest, ARefusedShareIsReportedOnceAndNotAskedForAgainUntilTheCaptureEnds) {
    const std::pair<PortalDesktop::Answer, DisplayService::CaptureEnd> cases[] = {
        {PortalDesktop::Answer::Cancel, DisplayService::CaptureEnd::Refused},
        {PortalDesktop::Answer::Fail, DisplayService::CaptureEnd::Failed},
    };
    size_t n = 0;
    for (const auto& [answer, end] : cases) {
        desktop->setAnswer(answer, node, 320, 240);
        EXPECT_FALSE(waitForDisplay(1));
        ++n;
        EXPECT_EQ(endsSeen(n, 5).size(), n);
        EXPECT_FALSE(waitForDisplay(0.3));
        EXPECT_EQ(desktop->starts().size(), n);
        EXPECT_EQ(endsSeen(n, 0).back(), end);
        service->endCapture();
        EXPECT_TRUE(desktop->waitForSessionsClosed(5));
    }
}

// "Stop sharing": the desktop closes the session while the stream runs.
TEST_F(PortalDisplayTest, TheDesktopEndingTheShareIsReportedWithinASecond) {
    ASSERT_TRUE(waitForDisplay());
    FrameCollector frames;
    auto stream = startStream(frames);
    ASSERT_TRUE(frames.waitForCount(FrameStatus::Complete, 1));
    desktop->endShares();
    const auto seen = endsSeen(1, 1.0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], DisplayService::CaptureEnd::Ended);
    stream->stop();
    EXPECT_TRUE(frames.waitForCount(FrameStatus::Stopped, 1));
    service->endCapture();
}

// A stop or a quit while the dialog is open closes it at once.
TEST_F(PortalDisplayTest, AnEndWhileTheDialogIsOpenClosesItAtOnce) {
    desktop->setAnswer(PortalDesktop::Answer::Hold, node, 320, 240);
    EXPECT_EQ(service->mainDisplayID(), 0u);
    ASSERT_TRUE(desktop->waitForStarts(1, 5));
    const auto before = Clock::now();
    service->endCapture();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - before).count(), 1.0);
    EXPECT_TRUE(desktop->waitForHeldClosed(5));
    EXPECT_TRUE(desktop->waitForSessionsClosed(5));
    EXPECT_TRUE(endsSeen(0, 0).empty());
}

// Twenty shares streamed and stopped leave no descriptor and no thread behind.
TEST_F(PortalDisplayTest, TwentySharesLeaveNoDescriptorOrThreadBehind) {
    size_t fds = 0, threads = 0;
    for (int i = 0; i < 21; ++i) {
        ASSERT_TRUE(waitForDisplay()) << "share " << i;
        FrameCollector frames;
        auto stream = startStream(frames);
        ASSERT_TRUE(frames.waitForCount(FrameStatus::Complete, 1)) << "share " << i;
        stream->stop();
        ASSERT_TRUE(frames.waitForCount(FrameStatus::Stopped, 1));
        service->endCapture();
        // The first share warms up what the process keeps (PipeWire's, the pixel pools').
        if (i == 0) {
            fds = entriesOf("/proc/self/fd");
            threads = entriesOf("/proc/self/task");
        }
    }
    // The test's own video source, in this process, holds a few buffers more or less at any moment; one
    // descriptor or thread kept per share would be twenty.
    EXPECT_LE(entriesOf("/proc/self/fd"), fds + 4);
    EXPECT_LE(entriesOf("/proc/self/task"), threads + 2);
    EXPECT_TRUE(desktop->waitForSessionsClosed(5));
}

}  // namespace
}  // namespace quill::platform::display
