#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/display/Display.h"
#include "platform/foundation/SysLog.h"
#include "support/FrameCollector.h"
#include "support/TempFolder.h"
#include "support/ThreadQueue.h"
#include "support/VideoTestUtil.h"
#include "support/XvfbServer.h"

// Xlib last: its macros clash with names in the headers above.
#include <X11/Xlib.h>

using namespace quill::platform::display;
using quill::testing::FrameCollector;
using quill::testing::samePicture;
using quill::testing::ThreadQueue;
using quill::testing::XvfbServer;

namespace {

class X11DisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<XvfbServer>(640, 480);
        if (!server_->running()) GTEST_SKIP() << "no X server for this test: " << server_->failure();
        dpy_ = XOpenDisplay(server_->name().c_str());
        ASSERT_NE(dpy_, nullptr);
        service_ = DisplayService::x11(server_->name());
        ASSERT_TRUE(service_);
    }
    void TearDown() override {
        if (dpy_) XCloseDisplay(dpy_);
    }

    // Paints the whole root window one colour (0xRRGGBB).
    void paintRoot(unsigned long rgb) {
        const Window root = DefaultRootWindow(dpy_);
        XSetWindowBackground(dpy_, root, rgb);
        XClearWindow(dpy_, root);
        XSync(dpy_, False);
    }

    std::unique_ptr<XvfbServer> server_;
    Display* dpy_ = nullptr;
    std::shared_ptr<DisplayService> service_;
};

struct Yuv {
    int y, u, v;
};

Yuv centre(const PixelBuffer& f) {
    const int x = f.width() / 2, y = f.height() / 2;
    return {f.plane(0)[y * f.stride(0) + x], f.plane(1)[(y / 2) * f.stride(1) + (x / 2) * 2],
            f.plane(1)[(y / 2) * f.stride(1) + (x / 2) * 2 + 1]};
}

}  // namespace

TEST_F(X11DisplayTest, DescribesTheScreen) {
    const DisplayID main = service_->mainDisplayID();
    ASSERT_NE(main, 0u);
    std::vector<DisplayID> list;
    ASSERT_TRUE(service_->getActiveDisplayList(10, list));
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front(), main);
    EXPECT_EQ(service_->displayBounds(main), (Rect{0, 0, 640, 480}));
    auto modes = service_->copyAllDisplayModes(main);
    EXPECT_NE(std::find(modes.begin(), modes.end(), DisplayMode{640, 480}), modes.end());
    EXPECT_TRUE(service_->copyAllDisplayModes(main + 100).empty());
    EXPECT_EQ(service_->createDisplayStream(main + 100, 64, 64, PixelFormat::NV12, {},
                                            std::make_shared<ThreadQueue>(), [](auto, auto, auto) {}),
              nullptr);
}

TEST_F(X11DisplayTest, DeliversScaledFramesOfTheRootColourWhenItChanges) {
    paintRoot(0xff0000);
    FrameCollector collector;
    auto queue = std::make_shared<ThreadQueue>();
    DisplayStreamProperties props;
    props.minimumFrameTime = 0.02;
    props.showCursor = false;
    auto stream = service_->createDisplayStream(service_->mainDisplayID(), 320, 240, PixelFormat::NV12, props,
                                                queue, collector.handler());
    ASSERT_TRUE(stream);
    quill::Error error;
    ASSERT_TRUE(stream->start(&error)) << error.description();
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Complete, 1));
    auto first = collector.lastFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width(), 320);
    EXPECT_EQ(first->height(), 240);
    Yuv red = centre(*first);
    EXPECT_NEAR(red.y, 82, 2);
    EXPECT_NEAR(red.u, 90, 2);
    EXPECT_NEAR(red.v, 240, 2);

    // Nothing changes: nothing more comes.
    EXPECT_FALSE(collector.waitForCount(FrameStatus::Complete, 2, 0.3));

    paintRoot(0x0000ff);
    ASSERT_TRUE(collector.waitFor([](const std::vector<FrameCollector::Event>& events) {
        return FrameCollector::count(events, FrameStatus::Complete) >= 2;
    }));
    // The change may arrive in more than one frame; the last one shows it whole.
    ASSERT_TRUE(collector.waitForLastFrame(
        [](const PixelBuffer& f) { return std::abs(centre(f).y - 41) <= 2; }, 2.0));
    Yuv blue = centre(*collector.lastFrame());
    EXPECT_NEAR(blue.u, 240, 2);
    EXPECT_NEAR(blue.v, 110, 2);

    stream->stop();
    ASSERT_TRUE(queue->drain());
    auto events = collector.events();
    EXPECT_EQ(events.back().status, FrameStatus::Stopped);
    EXPECT_EQ(FrameCollector::count(events, FrameStatus::Stopped), 1u);
}

TEST_F(X11DisplayTest, DrawsTheCursorWhenAsked) {
    paintRoot(0x000000);
    // A cursor at a known place on a black screen: somewhere near it the picture is not black.
    XWarpPointer(dpy_, None, DefaultRootWindow(dpy_), 0, 0, 0, 0, 100, 100);
    XSync(dpy_, False);
    FrameCollector collector;
    auto queue = std::make_shared<ThreadQueue>();
    DisplayStreamProperties props;
    props.showCursor = true;
    auto stream = service_->createDisplayStream(service_->mainDisplayID(), 640, 480, PixelFormat::NV12, props,
                                                queue, collector.handler());
    ASSERT_TRUE(stream && stream->start());
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Complete, 1));
    auto frame = collector.lastFrame();
    int brightest = 0;
    for (int y = 80; y < 130; ++y)
        for (int x = 80; x < 130; ++x)
            brightest = std::max<int>(brightest, frame->plane(0)[y * frame->stride(0) + x]);
    int far = 0;
    for (int y = 300; y < 350; ++y)
        for (int x = 400; x < 450; ++x)
            far = std::max<int>(far, frame->plane(0)[y * frame->stride(0) + x]);
    EXPECT_GT(brightest, 100);
    EXPECT_LE(far, 17);
    // Moving the pointer alone brings a new frame.
    XWarpPointer(dpy_, None, DefaultRootWindow(dpy_), 0, 0, 0, 0, 300, 200);
    XSync(dpy_, False);
    EXPECT_TRUE(collector.waitForCount(FrameStatus::Complete, 2));
    stream->stop();
}

TEST_F(X11DisplayTest, PicturesRefreshedWherePartsChangedMatchAWholeGrab) {
    paintRoot(0x204060);
    const Window root = DefaultRootWindow(dpy_);
    GC gc = XCreateGC(dpy_, root, 0, nullptr);
    // Drawing in a window counts as much as drawing on the root.
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0x808080;
    const Window window = XCreateWindow(dpy_, root, 300, 20, 200, 150, 0, CopyFromParent, InputOutput,
                                        CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(dpy_, window);
    XSync(dpy_, False);
    DisplayStreamProperties props;
    props.minimumFrameTime = 0.005;
    props.queueDepth = 3;  // pictures come back from the pool holding grabs of one to three frames ago
    props.showCursor = true;
    FrameCollector collector;
    auto queue = std::make_shared<ThreadQueue>();
    auto stream = service_->createDisplayStream(service_->mainDisplayID(), 640, 480, PixelFormat::NV12, props,
                                                queue, collector.handler());
    ASSERT_TRUE(stream && stream->start());
    ASSERT_TRUE(collector.waitForCount(FrameStatus::Complete, 1));
    // Small changes here and there, some overlapping, some at odd places and at the edges, and the
    // pointer moving between them.
    const int changes[][4] = {{10, 10, 30, 20}, {25, 15, 7, 9},     {600, 440, 40, 40}, {0, 0, 1, 1},
                              {321, 123, 3, 5}, {100, 300, 200, 2}, {639, 0, 1, 480},   {200, 200, 60, 60},
                              {210, 210, 5, 5}, {0, 479, 640, 1}};
    size_t frames = collector.count(FrameStatus::Complete);
    int k = 0;
    for (const auto& [x, y, w, h] : changes) {
        XSetForeground(dpy_, gc, 0x10305u * unsigned(++k * 37));
        XFillRectangle(dpy_, root, gc, x, y, unsigned(w), unsigned(h));
        XFillRectangle(dpy_, window, gc, (k * 17) % 190, (k * 29) % 140, 9, 7);
        XWarpPointer(dpy_, None, root, 0, 0, 0, 0, 13 + k * 61, 470 - k * 45);
        XSync(dpy_, False);
        ASSERT_TRUE(collector.waitForCount(FrameStatus::Complete, ++frames)) << "change " << k;
        frames = collector.count(FrameStatus::Complete);
    }
    XFreeGC(dpy_, gc);
    // A new stream grabs the screen whole at first; the running one's last picture must come to hold the
    // same bytes.
    FrameCollector wholeCollector;
    auto whole = service_->createDisplayStream(service_->mainDisplayID(), 640, 480, PixelFormat::NV12, props,
                                               queue, wholeCollector.handler());
    ASSERT_TRUE(whole && whole->start());
    ASSERT_TRUE(wholeCollector.waitForCount(FrameStatus::Complete, 1));
    const auto expected = wholeCollector.lastFrame();
    EXPECT_TRUE(collector.waitForLastFrame(
        [&](const PixelBuffer& f) { return bool(samePicture(f, *expected)); }, 3.0));
    EXPECT_TRUE(samePicture(*collector.lastFrame(), *expected));
    whole->stop();
    stream->stop();
    // Their last reports run on the queue, which outlives the second collector: wait for them.
    EXPECT_TRUE(wholeCollector.waitForCount(FrameStatus::Stopped, 1));
    EXPECT_TRUE(collector.waitForCount(FrameStatus::Stopped, 1));
    XDestroyWindow(dpy_, window);
}

TEST_F(X11DisplayTest, PointerCountsInPointsFromTheBottomLeftOfTheMainDisplay) {
    XWarpPointer(dpy_, None, DefaultRootWindow(dpy_), 0, 0, 0, 0, 10, 20);
    XSync(dpy_, False);
    EXPECT_EQ(service_->mouseLocation(), (Point{10, 460}));
    XWarpPointer(dpy_, None, DefaultRootWindow(dpy_), 0, 0, 0, 0, 0, 0);
    XSync(dpy_, False);
    EXPECT_EQ(service_->mouseLocation(), (Point{0, 480}));
}

// In a Wayland session the X server that answers is XWayland, whose root window is black but for the
// X programs: without the desktop's portal the process captures nothing there rather than black pictures. The
// test picture stays available to tests.
TEST_F(X11DisplayTest, AWaylandSessionCapturesNoScreenThoughAnXServerAnswers) {
    struct Case {
        std::optional<std::string> sessionType, waylandDisplay, choice;
        bool wayland;
    };
    const Case cases[] = {
        {"wayland", std::nullopt, std::nullopt, true},
        {std::nullopt, "wayland-0", std::nullopt, true},
        // Asked for by name, X11 is used in any session: its server may be a real one.
        {"x11", "wayland-0", "x11", false},
        {"x11", std::nullopt, std::nullopt, false},
        {"tty", "", std::nullopt, false},
        {"wayland", "wayland-0", "synthetic", false},
    };
    quill::testing::ScopedEnv display("DISPLAY", server_->name());
    // A session bus without the desktop portal.
    quill::testing::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sessionType.value_or("-") + " " + c.waylandDisplay.value_or("-") + " " +
                     c.choice.value_or("-"));
        quill::testing::ScopedEnv type("XDG_SESSION_TYPE", c.sessionType);
        quill::testing::ScopedEnv wayland("WAYLAND_DISPLAY", c.waylandDisplay);
        quill::testing::ScopedEnv choice("QUILLARAN_DISPLAY", c.choice);
        auto service = DisplayService::forEnvironment();
        EXPECT_EQ(service->needsX11Session(), c.wayland);
        EXPECT_EQ(service->mainDisplayID() == 0, c.wayland);
        auto stream = service->createDisplayStream(1, 64, 64, PixelFormat::NV12, {},
                                                   std::make_shared<ThreadQueue>(), [](auto, auto, auto) {});
        EXPECT_EQ(stream == nullptr, c.wayland);
    }
}

// Without an X server the process has no display and waits for one; it never shows a test picture.
TEST(X11DisplayWaitingTest, NoServerMeansNoMainDisplayLoggedOnce) {
    quill::testing::ScopedEnv display("DISPLAY", ":9999");
    quill::testing::ScopedEnv choice("QUILLARAN_DISPLAY", std::nullopt);
    quill::testing::ScopedEnv type("XDG_SESSION_TYPE", std::nullopt);
    quill::testing::ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
    quill::platform::foundation::LogCapture log;
    auto service = DisplayService::shared();
    EXPECT_EQ(service->mainDisplayID(), 0u);
    EXPECT_EQ(service->mainDisplayID(), 0u);
    EXPECT_FALSE(service->mouseLocation());
    EXPECT_EQ(log.count("no X display answers; waiting for one"), 1u);
}
