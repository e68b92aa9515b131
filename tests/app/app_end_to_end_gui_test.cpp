// The whole application against the test look-up server and the test receiver: a 6-digit pin typed, the
// session view shown and connected, mirroring asked for, the session disconnected.
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <filesystem>
#include <sstream>

#include "app/AppTestSupport.h"
#include "app/MainNib.h"
#include "media/SWAppConfig.h"
#include "media/SWMediaHandler.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/power/Power.h"
#include "support/SessionParts.h"
#include "support/TempFolder.h"
#include "support/TestLookupServer.h"
#include "support/TestReceiver.h"

namespace quill {
namespace {

using testing::pumpUntil;
using testing::TestLookupServer;
using testing::TestReceiver;

constexpr uint8_t kRequestMirrorStart = 1;

class AppEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::testApplication();
        std::filesystem::create_directories(home / "Library/Quillaran");

        server.setReply(TestLookupServer::foundReply({"192.168.43.1", "127.0.0.1"}, "Test receiver", "1.0"));
        receiver.setVersion("1.1");
        defaults = std::make_unique<UserDefaults>(home / "defaults.plist");
        defaults->setInteger(6, "pincode.type");

        ShellParts parts;
        parts.alerts = alerts;
        parts.userDefaults = defaults.get();
        parts.makePincodeChannel = [this] {
            return std::make_shared<PincodeChannelLookup>(
                PincodeChannel::create("127.0.0.1", server.port(), out));
        };
        parts.makeMirrorChannel = [this] {
            MirrorChannelParts channelParts;
            channelParts.link = testing::linkOptionsFor(receiver);
            channelParts.soundflowerManager = sound.soundflower.get();
            channelParts.audioDeviceManager = sound.devices.get();
            channelParts.powerManager = &powerManager;
            channelParts.soundflowerSettingFile = settingFile();
            // The screen is a synthetic one and the sound a tone, so the test runs anywhere.
            channelParts.makeMediaHandler = [this] { return sound.makeMediaHandler(display, settingFile()); };
            channel = MirrorChannel::create(channelParts);
            return std::make_shared<MirrorChannelSession>(channel);
        };
        parts.wifiAddress = [] { return std::optional<std::string>("127.0.0.1"); };
        parts.display = display;
        parts.appDelegate.power = &powerManager;
        parts.appDelegate.installConsoleLogger = [] {};
        parts.statusItemAvailable = [] { return true; };
        nib = loadMainNib(application, parts);
        nib.window->show();
        application.finishLaunching();
    }

    void TearDown() override {
        application.terminate(nullptr);
        nib = {};
        // A link callback under way may still hold the controller; it must be gone before its parts.
        std::weak_ptr<MirrorChannel> weak = channel;
        channel.reset();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!weak.expired() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::string settingFile() const { return home / "Library/Quillaran/.soundflower"; }

    void press(QWidget* view, Qt::Key key, const QString& text = {}) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(view, &event);
    }

    testing::TempFolder home;
    testing::ScopedEnv homeEnv{"HOME", home.str()};
    testing::SimulatedSound sound;
    std::shared_ptr<platform::power::RecordingPowerBackend> powerBackend =
        std::make_shared<platform::power::RecordingPowerBackend>();
    platform::power::PowerManager powerManager{powerBackend};
    std::shared_ptr<platform::display::SyntheticDisplayService> display =
        platform::display::SyntheticDisplayService::create(
            {.width = 320, .height = 240, .changesPerSecond = 30, .present = true});
    TestLookupServer server;
    TestReceiver receiver;
    std::ostringstream out;
    std::unique_ptr<UserDefaults> defaults;
    std::shared_ptr<testing::RecordingAlerts> alerts = std::make_shared<testing::RecordingAlerts>();
    int quits = 0;
    platform::appkit::Application application{[this] { ++quits; }};
    std::shared_ptr<MirrorChannel> channel;
    MainNib nib;
};

TEST_F(AppEndToEndTest, PinTypedSessionShownMirroringAskedForAndDisconnected) {
    MainHandler& handler = *nib.mainHandler;
    QWidget* pinView = handler.pinCodeViewController()->view();
    for (char digit : std::string("123456"))
        press(pinView, static_cast<Qt::Key>(Qt::Key_0 + (digit - '0')), QString(QChar(digit)));
    press(pinView, Qt::Key_Return);

    // The look-up finds the receiver; the session view connects to its usable address.
    ASSERT_TRUE(
        pumpUntil([&] { return handler.windowState() == MainHandler::WindowState::ConnectStatusView; }, 10));
    auto session = handler.connectStatusViewController();
    ASSERT_TRUE(pumpUntil([&] { return session->mirrorButton()->isVisible(); }, 10)) << "not connected";
    EXPECT_EQ(session->ipListTextField()->text().toStdString(), "127.0.0.1");
    ASSERT_FALSE(server.connections().empty());
    ASSERT_TRUE(server.connections()[0].request);
    EXPECT_TRUE(receiver.waitForConnections(1, 5));
    // The receiver's own answer to the version request replaces the version the look-up gave.
    EXPECT_TRUE(pumpUntil(
        [&] { return session->receiverNameTextField()->text().toStdString() == "Test receiver(1.1)"; }, 5))
        << session->receiverNameTextField()->text().toStdString();

    session->mirrorButton()->click();
    EXPECT_TRUE(receiver.waitForRequests(kRequestMirrorStart, 1, 5));
    EXPECT_EQ(session->workingMode(), ConnectStatusViewController::WorkingMode::MIRROR);
    // The receiver agrees: the button offers to stop, and the screen arrives as video packets.
    EXPECT_TRUE(pumpUntil([&] { return session->mirrorButton()->text() == "Stop Mirroring"; }, 10));
    EXPECT_TRUE(receiver.waitForVideo(3, 20));
    EXPECT_TRUE(receiver.problems().empty());

    session->disconnectButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return handler.windowState() == MainHandler::WindowState::PinCodeView; }, 5));
    EXPECT_TRUE(receiver.waitForAllClosed(5));
    EXPECT_EQ(alerts->count(), 0u);
    EXPECT_EQ(quits, 0);
}

}  // namespace
}  // namespace quill
