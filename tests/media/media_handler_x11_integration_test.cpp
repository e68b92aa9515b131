// The media pipeline over a real X server that stops answering (Xvfb stopped with SIGSTOP): a stop
// never waits on it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/display/Display.h"
#include "support/SessionParts.h"
#include "support/XvfbServer.h"

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;

// Whether stopMedia() returned within the time given. One that did not is let finish by resuming the
// server, so that the test fails rather than hangs.
bool stopsWithin(SWMediaHandler& handler, const testing::XvfbServer& server, double seconds) {
    auto stopped = std::async(std::launch::async, [&] { handler.stopMedia(); });
    const bool inTime = stopped.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
    if (!inTime) ::kill(server.pid(), SIGCONT);
    stopped.wait();
    return inTime;
}

TEST(MediaHandlerX11Test, AStopNeverWaitsOnAnXServerThatDoesNotAnswer) {
    testing::XvfbServer server(320, 240);
    if (!server.running()) GTEST_SKIP() << "no X server for this test: " << server.failure();
    auto screen = platform::display::DisplayService::x11(server.name());
    ASSERT_TRUE(screen);
    testing::SimulatedSound sound;
    const std::string savedDevices = sound.tmp / ".soundflower";

    // Capturing, with the pointer drawn: the capture thread asks the server where it is every 40 ms.
    auto capturing = sound.makeMediaHandler(screen, savedDevices, true);
    capturing->startMedia();
    ASSERT_TRUE(capturing->videoOutputQueue()->take(10.0).has_value());
    ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(stopsWithin(*capturing, server, 3.0));

    // Starting: the screen capture's start waits to open the display.
    auto starting = sound.makeMediaHandler(screen, savedDevices, true);
    starting->startMedia();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(stopsWithin(*starting, server, 4.0));

    // Once the server answers again, so does the display: the opening left waiting came back.
    ::kill(server.pid(), SIGCONT);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (screen->mainDisplayID() == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(screen->mainDisplayID(), 0u);
}

}  // namespace
}  // namespace quill
