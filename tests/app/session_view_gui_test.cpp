#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/AppTestSupport.h"
#include "app/session/ConnectStatusViewController.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/foundation/SysLog.h"

namespace quill {
namespace {

using Mode = ConnectStatusViewController::WorkingMode;
using testing::pumpUntil;

class ClosedCounter : public ConnectStatusViewDelegate {
  public:
    void onConnectStatusViewClosed() override { ++closed; }
    std::atomic<int> closed{0};
};

TEST(SessionRecordsTest, TargetIsTheLastAddressThatIsNotAHotspotAddress) {
    EXPECT_EQ(chooseTargetAddress({"10.0.0.5", "192.168.43.1"}), "10.0.0.5");
    EXPECT_EQ(chooseTargetAddress({"192.168.43.1"}), "");
    EXPECT_EQ(chooseTargetAddress({"192.168.1.9", "10.0.0.5"}), "10.0.0.5");
    EXPECT_EQ(chooseTargetAddress({"192.168.43.10"}), "192.168.43.10");
    EXPECT_EQ(chooseTargetAddress({"10.0.0.5", "192.168.48.1", "192.168.50.1", "192.168.78.1"}), "10.0.0.5");
    EXPECT_EQ(chooseTargetAddress({}), "");
}

TEST(SessionRecordsTest, DeviceTakesTheLastOctetOfAnIPv4Address) {
    EXPECT_EQ(Device("tv", "10.1.2.3", "1").localIp(), 3);
    EXPECT_EQ(Device("tv", "10.1.2.255", "1").localIp(), 255);
    EXPECT_EQ(Device("tv", "", "1").localIp(), 0);
    EXPECT_EQ(Device("tv", "10.1.2", "1").localIp(), 0);
    EXPECT_EQ(Device("tv", "10.1.2.256", "1").localIp(), 0);
    EXPECT_EQ(Device("tv", "10.1.2.x", "1").localIp(), 0);
    EXPECT_EQ(Device("tv", "10.1.2.3.4", "1").localIp(), 0);
    EXPECT_EQ(Device("tv", "10..2.3", "1").localIp(), 0);
    EXPECT_EQ(Device("tv", "a.b.c.3", "1").localIp(), 0);
    Device device("tv", "10.1.2.3", "7");
    EXPECT_EQ(device.deviceName(), "tv");
    EXPECT_EQ(device.deviceVersion(), "7");
    ControlPayload payload;
    EXPECT_EQ(payload.startIndex, -1);
    EXPECT_EQ(payload.endIndex, -1);
    for (uint8_t b : payload.payload)
        EXPECT_EQ(b, 0);
}

class SessionViewTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::testApplication(); }

    std::shared_ptr<ConnectStatusViewController> makeView(std::optional<std::string> wifi = "192.168.1.37") {
        ConnectStatusViewParts parts;
        parts.mirrorChannel = session;
        parts.alerts = alerts;
        parts.wifiAddress = [wifi] { return wifi; };
        parts.display = display;
        auto view = ConnectStatusViewController::create(parts);
        view->setDelegate(closed);
        return view;
    }

    // Shows the view with a receiver and has the session report the connection.
    std::shared_ptr<ConnectStatusViewController> connected() {
        auto view = makeView();
        view->setReceiver(receiver);
        view->viewWillAppear();
        session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverSuccess(); });
        EXPECT_TRUE(pumpUntil([&] { return !view->contentStackView()->isHidden(); }));
        EXPECT_EQ(view->workingMode(), Mode::CONNECTED);
        session->clear();
        return view;
    }

    static std::string text(QLabel* label) { return label->text().toStdString(); }
    static std::string text(QPushButton* button) { return button->text().toStdString(); }

    ReceiverObject receiver{"Living room", "2.1", {"10.0.0.5", "192.168.43.1"}, "123456"};
    std::shared_ptr<testing::FakeSession> session = std::make_shared<testing::FakeSession>();
    std::shared_ptr<testing::RecordingAlerts> alerts = std::make_shared<testing::RecordingAlerts>();
    std::shared_ptr<ClosedCounter> closed = std::make_shared<ClosedCounter>();
    // A screen that can be captured, whatever desktop session runs these tests.
    std::shared_ptr<platform::display::DisplayService> display =
        platform::display::SyntheticDisplayService::create();
};

TEST_F(SessionViewTest, CreationMakesItTheSessionsDelegateAndHandsOverTheLocalAddress) {
    platform::foundation::LogCapture log;
    auto view = makeView("192.168.1.37");
    EXPECT_EQ(session->delegate(), view);
    EXPECT_EQ(session->calls(), std::vector<std::string>{"setLocalIP:192.168.1.37"});
    EXPECT_TRUE(log.contains("wifiIp=192.168.1.37"));
    EXPECT_EQ(view->workingMode(), Mode::NONE);

    auto other = std::make_shared<testing::FakeSession>();
    session = other;
    auto noWifi = makeView(std::nullopt);
    EXPECT_TRUE(other->calls().empty());
}

TEST_F(SessionViewTest, AppearingWithAReceiverConnectsToTheChosenAddress) {
    auto view = makeView();
    session->clear();
    view->setReceiver(receiver);
    view->viewWillAppear();
    EXPECT_EQ(session->calls(), (std::vector<std::string>{"connect:10.0.0.5,123456", "installSoundPlugin"}));
    EXPECT_EQ(text(view->receiverNameTextField()), "Living room(2.1)");
    EXPECT_EQ(text(view->ipListTextField()), "10.0.0.5");
    EXPECT_TRUE(view->contentStackView()->isHidden());
    EXPECT_FALSE(view->connectStatusProgressIndicator()->isHidden());
    EXPECT_TRUE(view->mirrorBackButton()->isHidden());
    EXPECT_EQ(text(view->mirrorButton()), "Start Mirroring");
    ASSERT_TRUE(view->targetDevice());
    EXPECT_EQ(view->targetDevice()->deviceIp(), "10.0.0.5");
    EXPECT_EQ(view->targetDevice()->localIp(), 5);

    // Appearing again while the session is under way changes nothing.
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return !view->contentStackView()->isHidden(); }));
    EXPECT_TRUE(view->connectStatusProgressIndicator()->isHidden());
    session->clear();
    view->viewWillAppear();
    EXPECT_TRUE(session->calls().empty());
    EXPECT_TRUE(view->mirrorBackButton()->isHidden());
}

TEST_F(SessionViewTest, NoUsableAddressFailsAtOnceInsteadOfSpinning) {
    auto view = makeView();
    session->clear();
    view->setReceiver({"Hotspot", "1", {"192.168.43.1"}, "123456"});
    view->viewWillAppear();
    EXPECT_EQ(text(view->ipListTextField()), "");
    EXPECT_EQ(session->count("connect:,123456"), 0u);
    ASSERT_TRUE(pumpUntil([&] { return closed->closed == 1; }));
    ASSERT_EQ(alerts->count(), 1u);
    EXPECT_EQ(alerts->alerts()[0].messageText, "Connect again?");
    EXPECT_TRUE(view->connectStatusProgressIndicator()->isHidden());
    EXPECT_EQ(view->workingMode(), Mode::NONE);
}

TEST_F(SessionViewTest, MirrorButtonFollowsTheReceiversAnswers) {
    auto view = connected();
    view->mirrorButton()->click();
    EXPECT_EQ(session->calls(), std::vector<std::string>{"requestMirrorOn"});
    EXPECT_EQ(view->workingMode(), Mode::MIRROR);
    EXPECT_EQ(text(view->mirrorButton()), "Start Mirroring");  // the title waits for the receiver
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return text(view->mirrorButton()) == "Stop Mirroring"; }));

    view->mirrorButton()->click();
    EXPECT_EQ(session->calls(), (std::vector<std::string>{"requestMirrorOn", "requestMirrorOff"}));
    EXPECT_EQ(view->workingMode(), Mode::CONNECTED);
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOffSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return text(view->mirrorButton()) == "Start Mirroring"; }));
    EXPECT_EQ(view->workingMode(), Mode::CONNECTED);
}

TEST_F(SessionViewTest, ReceiverStartingAndStoppingMirroringItselfKeepsButtonAndModeTogether) {
    auto view = connected();
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return text(view->mirrorButton()) == "Stop Mirroring"; }));
    EXPECT_EQ(view->workingMode(), Mode::MIRROR);
    view->mirrorButton()->click();  // "Stop" stops
    EXPECT_EQ(session->calls(), std::vector<std::string>{"requestMirrorOff"});

    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return text(view->mirrorButton()) == "Stop Mirroring"; }));
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOffSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return text(view->mirrorButton()) == "Start Mirroring"; }));
    EXPECT_EQ(view->workingMode(), Mode::CONNECTED);
    session->clear();
    view->mirrorButton()->click();  // "Start" starts
    EXPECT_EQ(session->calls(), std::vector<std::string>{"requestMirrorOn"});
}

TEST_F(SessionViewTest, LateStopAnswerAfterDisconnectLeavesTheNextSessionFree) {
    auto view = connected();
    view->mirrorButton()->click();
    view->disconnectButton()->click();
    EXPECT_EQ(view->workingMode(), Mode::NONE);
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOffSuccess(); });
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); });
    testing::pump();
    EXPECT_EQ(view->workingMode(), Mode::NONE);
    session->clear();
    view->viewWillAppear();  // the next receiver connects again
    EXPECT_EQ(session->count("connect:10.0.0.5,123456"), 1u);
}

TEST_F(SessionViewTest, DisconnectAtTheMomentTheReceiverConnectsLeavesTheNextSessionFree) {
    namespace dispatch = platform::dispatch;
    auto view = makeView();
    view->setReceiver(receiver);
    view->viewWillAppear();
    // The session's thread is held right where its report reaches the main queue, until the user's
    // Disconnect has gone through.
    dispatch::Semaphore reported;
    dispatch::Semaphore disconnected;
    std::atomic<bool> held{false};
    dispatch::setMainWakeup([&] {
        if (dispatch::isMainThread() || held.exchange(true)) return;
        reported.signal();
        disconnected.wait(5);
    });
    auto delegate = session->delegate();
    std::thread reporter([&] { delegate->onConnectToReceiverSuccess(); });
    const bool arrived = reported.wait(5);
    view->disconnectButton()->click();
    disconnected.signal();
    reporter.join();
    dispatch::setMainWakeup({});
    ASSERT_TRUE(arrived);
    testing::pump();
    EXPECT_EQ(view->workingMode(), Mode::NONE);
    session->clear();
    view->viewWillAppear();  // the next receiver connects again
    EXPECT_EQ(session->count("connect:10.0.0.5,123456"), 1u);
}

TEST_F(SessionViewTest, FailureReportAfterTheSessionEndedIsIgnored) {
    auto view = connected();
    view->disconnectButton()->click();
    session->clear();
    // Late from the ended session: no alert, no second close, and the next session is left alone.
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-1); });
    testing::pump();
    EXPECT_TRUE(session->calls().empty());
    EXPECT_EQ(alerts->count(), 0u);
    EXPECT_EQ(closed->closed, 1);
    view->viewWillAppear();
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return view->workingMode() == Mode::CONNECTED; }));
    // A failure reported once is reported once.
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-1); });
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-1); });
    ASSERT_TRUE(pumpUntil([&] { return closed->closed == 2; }));
    testing::pump();
    EXPECT_EQ(alerts->count(), 1u);
    EXPECT_EQ(session->count("disconnect"), 1u);
}

TEST_F(SessionViewTest, LostReceiverDisconnectsAlertsAndCloses) {
    auto view = connected();
    view->mirrorButton()->click();
    session->clear();
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-1); });
    ASSERT_TRUE(pumpUntil([&] { return closed->closed == 1; }));
    EXPECT_EQ(view->workingMode(), Mode::NONE);
    EXPECT_EQ(session->calls(), std::vector<std::string>{"disconnect"});
    ASSERT_EQ(alerts->count(), 1u);
    auto alert = alerts->alerts()[0];
    EXPECT_EQ(alert.messageText, "Connect again?");
    EXPECT_EQ(alert.informativeText,
              "The receiver cannot be reached. Check that it is switched on and on the same network, then "
              "enter its pin code again.");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"OK", "Cancel"}));
    EXPECT_EQ(alert.alertStyle, platform::appkit::AlertStyle::Warning);

    // The reused view connects again for the next receiver.
    session->clear();
    view->setReceiver({"Kitchen", "3", {"10.0.0.9"}, "654321"});
    view->viewWillAppear();
    EXPECT_EQ(session->count("connect:10.0.0.9,654321"), 1u);
    EXPECT_EQ(text(view->receiverNameTextField()), "Kitchen(3)");
}

TEST_F(SessionViewTest, DisconnectButtonEndsTheSession) {
    auto view = connected();
    view->disconnectButton()->click();
    EXPECT_EQ(view->workingMode(), Mode::NONE);
    EXPECT_EQ(session->calls(), std::vector<std::string>{"disconnect"});
    EXPECT_EQ(closed->closed, 1);
    EXPECT_EQ(alerts->count(), 0u);
}

TEST_F(SessionViewTest, VersionReportReplacesTheVersionOnly) {
    auto view = connected();
    session->report([](MirrorChannelDelegate& d) { d.onRequestReceiverVersionSuccess("2.5"); });
    ASSERT_TRUE(pumpUntil([&] { return text(view->receiverNameTextField()) == "Living room(2.5)"; }));
    EXPECT_EQ(view->receiver()->version, "2.5");
}

TEST_F(SessionViewTest, RefusedMirroringAlertsByCode) {
    auto view = connected();
    platform::foundation::LogCapture log;
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnFailed(-2); });
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnFailed(-1); });
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnFailed(-7); });
    ASSERT_TRUE(pumpUntil([&] { return alerts->count() == 2; }));
    EXPECT_EQ(alerts->alerts()[0].messageText, "The receiver is protected by a password.");
    EXPECT_EQ(alerts->alerts()[1].messageText, "The receiver is in use by another sender.");
    EXPECT_EQ(alerts->alerts()[1].informativeText, "Mirroring could not start.");
    EXPECT_EQ(alerts->alerts()[1].buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(log.contains("Unknown error when mirror on failed"));
}

// Mirroring goes on without pictures in a Wayland session; the user is told once per start why, and how
// to get them.
TEST_F(SessionViewTest, MirroringInAWaylandSessionAlertsThatTheScreenNeedsAnX11Session) {
    display = platform::display::DisplayService::waylandSession();
    auto view = connected();
    platform::foundation::LogCapture log;
    view->mirrorButton()->click();
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return alerts->count() == 1; }));
    EXPECT_EQ(alerts->alerts()[0].messageText, "Screen capture needs an X11 session");
    EXPECT_NE(alerts->alerts()[0].informativeText.find("\"GNOME on Xorg\" with the gear at the login screen"),
              std::string::npos);
    EXPECT_EQ(alerts->alerts()[0].buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(
        log.count("screen capture needs an X11 session or the desktop's screen-cast portal: this Wayland "
                  "session has no portal, so no screen is sent"),
        1u);
    EXPECT_EQ(text(view->mirrorButton()), "Stop Mirroring");
    EXPECT_EQ(view->workingMode(), Mode::MIRROR);
    EXPECT_EQ(session->calls(), std::vector<std::string>{"requestMirrorOn"});  // nothing stopped
}

TEST_F(SessionViewTest, MirrorButtonWithoutASessionOnlyLogs) {
    auto view = makeView();
    session->clear();
    platform::foundation::LogCapture log;
    view->onMirrorButtonClicked();
    EXPECT_TRUE(session->calls().empty());
    EXPECT_TRUE(log.contains("when click mirror, in wrong NONE state."));
}

// A display whose share the desktop controls: the test plays the desktop ending it.
class SharedScreen : public platform::display::DisplayService {
  public:
    void setCaptureEndedHandler(CaptureEndedHandler h) override { handler = std::move(h); }
    platform::display::DisplayID mainDisplayID() override { return 0; }
    bool getActiveDisplayList(uint32_t, std::vector<platform::display::DisplayID>&, Error*) override {
        return true;
    }
    platform::display::Rect displayBounds(platform::display::DisplayID) override { return {}; }
    std::vector<platform::display::DisplayMode> copyAllDisplayModes(platform::display::DisplayID) override {
        return {};
    }
    std::optional<platform::display::Point> mouseLocation() override { return std::nullopt; }
    std::shared_ptr<platform::display::DisplayStream> createDisplayStream(
        platform::display::DisplayID, int, int, platform::display::PixelFormat,
        const platform::display::DisplayStreamProperties&, platform::dispatch::QueuePtr,
        platform::display::FrameHandler, Error*) override {
        return nullptr;
    }
    CaptureEndedHandler handler;
};

// A share refused in the desktop's dialog, failed, or ended by the desktop stops mirroring as the Stop
// button does; only a share never granted is alerted, once.
TEST_F(SessionViewTest, AShareTheDesktopEndsStopsMirroringAsTheStopButtonDoes) {
    using End = platform::display::DisplayService::CaptureEnd;
    struct Case {
        End end;
        std::string info;  // empty: no alert
    };
    const Case cases[] = {
        {End::Refused, "The screen-sharing dialog was cancelled, so mirroring stopped."},
        {End::Failed, "The desktop could not share the screen, so mirroring stopped: Start was refused"},
        {End::Ended, ""},
    };
    for (const Case& c : cases) {
        auto shared = std::make_shared<SharedScreen>();
        display = shared;
        alerts = std::make_shared<testing::RecordingAlerts>();
        auto view = connected();
        view->mirrorButton()->click();
        session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); });
        ASSERT_TRUE(pumpUntil([&] { return view->workingMode() == Mode::MIRROR; }));
        ASSERT_TRUE(shared->handler);
        shared->handler(c.end, "Start was refused");
        shared->handler(c.end, "Start was refused");  // a late second report changes nothing
        ASSERT_TRUE(pumpUntil([&] { return view->workingMode() == Mode::CONNECTED; }));
        pumpUntil([&] { return alerts->count() >= 2; }, 0.2);
        EXPECT_EQ(session->calls(), (std::vector<std::string>{"requestMirrorOn", "requestMirrorOff"}));
        ASSERT_EQ(alerts->count(), c.info.empty() ? 0u : 1u);
        if (!c.info.empty()) {
            EXPECT_EQ(alerts->alerts()[0].messageText, "The screen was not shared");
            EXPECT_EQ(alerts->alerts()[0].informativeText.rfind(c.info, 0), 0u)
                << alerts->alerts()[0].informativeText;
        }
    }
}

}  // namespace
}  // namespace quill
