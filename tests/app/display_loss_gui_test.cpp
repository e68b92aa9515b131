// The application as a process when its X server goes away or stops answering: it ends through its own
// quit path, with the user's sound devices (on a private sound server) put back and the power manager's
// backend let go. Each test runs the application in a child process, mirroring to a test receiver in that
// process.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "app/AppTestSupport.h"
#include "app/RunApplication.h"
#include "platform/power/Power.h"
#include "session/MirrorChannel.h"
#include "support/ChildProcess.h"
#include "support/FileText.h"
#include "support/PrivatePulseServer.h"
#include "support/SessionParts.h"
#include "support/TempFolder.h"
#include "support/TestReceiver.h"
#include "support/XvfbServer.h"

namespace quill {
namespace {

constexpr const char* kChildVariable = "QUILL_DISPLAY_LOSS_CHILD";

// Qt's threads on an X server (its event reader, its D-Bus connection) hand work over through futexes
// that ThreadSanitizer cannot see in a Qt not built with it: there it reports races that are not there.
#ifdef __SANITIZE_THREAD__
constexpr bool kQtOnAnXServerIsChecked = false;
#else
constexpr bool kQtOnAnXServerIsChecked = true;
#endif
using Clock = std::chrono::steady_clock;

// What the process's power manager holds at the end: "released" once it has let its backend go.
void sayWhatThePowerManagerHolds() {
    std::fprintf(stderr, "power backend at the end: %s\n",
                 platform::power::PowerManager::shared().backendName().c_str());
}

// Runs the application as main does, over the process's own screen, sound devices and power as the
// environment chooses, with the session against a test receiver here. Once connected it asks for
// mirroring and says "mirroring" when video arrives; it exits with the application's status.
TEST(DisplayLossChild, MirrorsUntilTheApplicationEnds) {
    if (!std::getenv(kChildVariable)) GTEST_SKIP() << "runs as the child of the DisplayLossTest tests";
    testing::TestReceiver receiver;
    std::mutex channelMutex;
    std::shared_ptr<MirrorChannel> channel;
    ShellParts parts = defaultShellParts();
    parts.makeMirrorChannel = [&] {
        MirrorChannelParts channelParts;
        channelParts.link = testing::linkOptionsFor(receiver);
        std::lock_guard lock(channelMutex);
        channel = MirrorChannel::create(std::move(channelParts));
        return std::make_shared<MirrorChannelSession>(channel);
    };
    parts.alerts = std::make_shared<testing::RecordingAlerts>();
    parts.wifiAddress = [] { return std::optional<std::string>("127.0.0.1"); };
    parts.statusItemAvailable = [] { return false; };
    std::thread driver;
    int argc = 1;
    char name[] = "quillaran";
    char* argv[] = {name, nullptr};
    const int status = runApplication(argc, argv, std::move(parts), [&](MainNib& nib) {
        // Qt may end the process with exit() from inside the event loop: the power manager, made by now,
        // is looked at then too, before it and the other process-wide objects go.
        std::atexit(sayWhatThePowerManagerHolds);
        nib.mainHandler->onFindReceiverSuccess({"Test receiver", "1.0", {"127.0.0.1"}, "12345678"});
        driver = std::thread([&] {
            if (!receiver.waitForRequests(35, 1, 20)) return;  // the pin ends the set-up
            std::lock_guard lock(channelMutex);
            channel->requestMirrorOn();
            if (receiver.waitForVideo(1, 20)) std::fprintf(stderr, "mirroring\n");
        });
    });
    if (driver.joinable()) driver.join();
    // The session goes with the application, as in main. The process-wide objects' teardown that would
    // follow is not what these tests look at: the process ends here with the status.
    channel.reset();
    sayWhatThePowerManagerHolds();
    std::_Exit(status);
}

class DisplayLossTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xvfb.running()) GTEST_SKIP() << "no X server for this test: " << xvfb.failure();
        if (!pulse.available()) GTEST_SKIP() << "no private PulseAudio server: " << pulse.failure();
        pulse.pactl("set-default-sink speakers");
        pulse.pactl("set-default-source speakers.monitor");
        ASSERT_TRUE(defaultsAre("speakers"));
        std::filesystem::create_directories(home / "Library/Quillaran");
    }

    void TearDown() override {
        if (child > 0) {
            ::kill(xvfb.pid(), SIGCONT);
            testing::endChildProcess(child, 0.5);
        }
    }

    // Starts the child with Qt on the platform given (offscreen or xcb, on the X server) and the screen
    // captured from source (x11: the X server; synthetic: a test picture); true once it mirrors.
    bool startMirroring(const std::string& platform, const std::string& source) {
        std::vector<std::unique_ptr<testing::ScopedEnv>> env;
        for (const auto& [name, value] :
             std::vector<std::pair<std::string, std::string>>{{"DISPLAY", xvfb.name()},
                                                              {"QT_QPA_PLATFORM", platform},
                                                              {"HOME", home.str()},
                                                              {"XDG_CONFIG_HOME", home / ".config"},
                                                              {"PULSE_SERVER", pulse.server()},
                                                              {"DBUS_SESSION_BUS_ADDRESS", "disabled:"},
                                                              {"QUILLARAN_DISPLAY", source},
                                                              {"QUILLARAN_SOUND", "synthetic"},
                                                              {"QUILLARAN_AUDIO_DEVICES", "pulse"},
                                                              {"QUILLARAN_POWER", "x11"},
                                                              {kChildVariable, "1"}})
            env.push_back(std::make_unique<testing::ScopedEnv>(name, value));
        // The screen is the X server's, also where these tests run inside a Wayland session.
        for (const char* name : {"WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
            env.push_back(std::make_unique<testing::ScopedEnv>(name, std::nullopt));
        child = testing::spawnQuietly({"/proc/self/exe", "--gtest_filter=DisplayLossChild.*"}, nullptr, log);
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < deadline && !childStatus(0)) {
            if (logText().find("mirroring\n") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The child's wait status once it ended, waiting at most seconds.
    std::optional<int> childStatus(double seconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (::waitpid(child, &status, WNOHANG) != child) {
            if (Clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        child = -1;
        return status;
    }

    // Kills the X server under the mirroring child, which must end through its quit path.
    void expectTheQuitPathWhenTheServerIsKilled() {
        ASSERT_TRUE(defaultsAre("Soundflower"));
        ASSERT_EQ(::kill(xvfb.pid(), SIGKILL), 0);
        const auto status = childStatus(15);
        ASSERT_TRUE(status) << logText();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == kDisplayLostExitStatus)
            << *status << logText();
        EXPECT_NE(logText().find("the X server is gone: quitting"), std::string::npos) << logText();
        EXPECT_NE(logText().find("applicationWillTerminate"), std::string::npos);
        EXPECT_NE(logText().find("power backend at the end: released\n"), std::string::npos) << logText();
        EXPECT_TRUE(defaultsAre("speakers")) << pulse.pactl("info");
    }

    // Whether the sink and its monitor are the default output and input.
    bool defaultsAre(const std::string& sink) const {
        const std::string info = pulse.pactl("info");
        return info.find("Default Sink: " + sink + "\n") != std::string::npos &&
               info.find("Default Source: " + sink + ".monitor\n") != std::string::npos;
    }
    std::string logText() const { return testing::readFileText(log); }

    testing::XvfbServer xvfb{320, 240};
    testing::PrivatePulseServer pulse{
        {{true, "speakers", "Speakers", true}, {true, "Soundflower", "Soundflower (2ch)"}}};
    testing::TempFolder home;
    std::string log = home / "child.log";
    pid_t child = -1;
};

// The screen is captured from the X server and Qt draws nowhere: our capture connection sees the loss.
TEST_F(DisplayLossTest, AServerLostUnderTheScreenCaptureEndsThroughTheQuitPath) {
    ASSERT_TRUE(startMirroring("offscreen", "x11")) << logText();
    expectTheQuitPathWhenTheServerIsKilled();
}

// The windows are on the X server and the screen is a test picture: Qt's connection sees the loss, and
// Qt ends the process right after.
TEST_F(DisplayLossTest, AServerLostUnderTheWindowsEndsThroughTheQuitPath) {
    if (!kQtOnAnXServerIsChecked) GTEST_SKIP() << "Qt on an X server under ThreadSanitizer";
    ASSERT_TRUE(startMirroring("xcb", "synthetic")) << logText();
    expectTheQuitPathWhenTheServerIsKilled();
}

// The X server stops answering with windows and capture on it; SIGTERM still ends the process in time.
TEST_F(DisplayLossTest, ASilentServerDoesNotKeepTheProcessFromQuitting) {
    if (!kQtOnAnXServerIsChecked) GTEST_SKIP() << "Qt on an X server under ThreadSanitizer";
    ASSERT_TRUE(startMirroring("xcb", "x11")) << logText();
    ASSERT_EQ(::kill(xvfb.pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::kill(child, SIGTERM), 0);
    const auto status = childStatus(10);
    ::kill(xvfb.pid(), SIGCONT);
    ASSERT_TRUE(status) << logText();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << logText();
    EXPECT_TRUE(defaultsAre("speakers")) << pulse.pactl("info");
}

}  // namespace
}  // namespace quill
