#include <signal.h>

#include <QLabel>
#include <QPushButton>

#include "app/FakeShellTest.h"
#include "platform/appkit/MainQueueBridge.h"
#include "platform/foundation/SysLog.h"

namespace quill {
namespace {

using State = MainHandler::WindowState;
using testing::pumpUntil;
namespace appkit = platform::appkit;

class MainWindowTest : public testing::FakeShellTest {
  protected:
    MainHandler& handler() { return *nib.mainHandler; }
    bool pinViewShows() {
        auto pin = handler().pinCodeViewController();
        return pin && pin->view()->isVisible() && handler().windowState() == State::PinCodeView;
    }
    bool sessionViewShows() {
        auto session = handler().connectStatusViewController();
        return session && session->view()->isVisible() && handler().windowState() == State::ConnectStatusView;
    }
    // Finds a receiver through the pin view's delegate, as the look-up client would.
    void findReceiver(const ReceiverObject& receiver) {
        // The pin view waits for the main thread before it hands the receiver on: pump meanwhile.
        std::thread worker([&] { lookup->delegate()->onFindReceiverSuccess(receiver); });
        bool shown = pumpUntil([&] { return sessionViewShows(); });
        worker.join();
        ASSERT_TRUE(shown);
    }
    ReceiverObject receiver{"Living room", "2.1", {"10.0.0.5"}, "123456"};
};

TEST_F(MainWindowTest, WakesWithThePinViewTheStatusItemAndItselfAsMainController) {
    EXPECT_TRUE(pinViewShows());
    EXPECT_EQ(handler().pinCodeViewController()->view()->parentWidget(), handler().topView());
    EXPECT_EQ(handler().pinCodeViewController()->maxPinCodeLength(), 6);  // the stored kind
    EXPECT_EQ(nib.appDelegate->mainController(), nib.mainHandler);
    EXPECT_EQ(application.delegate(), nib.appDelegate);
    ASSERT_TRUE(handler().trayIcon());
    EXPECT_EQ(handler().trayIcon()->imageName(), "tray");
    EXPECT_TRUE(handler().trayIcon()->hasImage());
    EXPECT_TRUE(handler().trayIcon()->isEnabled());
    EXPECT_TRUE(handler().trayIcon()->highlightMode());
    EXPECT_EQ(handler().trayIcon()->length(), -1.0);
    EXPECT_FALSE(handler().connectStatusViewController());  // made on first need

    auto* tray = handler().trayIcon();
    handler().awakeFromNib();  // again: still one status item, still the same pin view
    EXPECT_EQ(handler().trayIcon(), tray);
    EXPECT_TRUE(pinViewShows());
}

TEST_F(MainWindowTest, FoundReceiverSwapsToTheSessionViewAndClosingSwapsBack) {
    auto pin = handler().pinCodeViewController();
    findReceiver(receiver);
    EXPECT_FALSE(pin->view()->isVisible());
    auto sessionView = handler().connectStatusViewController();
    EXPECT_EQ(sessionView->view()->parentWidget(), handler().topView());
    EXPECT_EQ(session->count("connect:10.0.0.5,123456"), 1u);
    EXPECT_EQ(sessionView->receiverNameTextField()->text().toStdString(), "Living room(2.1)");

    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverSuccess(); });
    ASSERT_TRUE(pumpUntil([&] { return sessionView->disconnectButton()->isVisible(); }));
    sessionView->disconnectButton()->click();
    ASSERT_TRUE(pumpUntil([&] { return pinViewShows(); }));
    EXPECT_FALSE(sessionView->view()->isVisible());
    EXPECT_EQ(handler().pinCodeViewController(), pin);  // the same pin view, pin kept
    EXPECT_EQ(session->count("disconnect"), 1u);

    // A second receiver reuses the session view with the new receiver.
    findReceiver({"Kitchen", "3", {"10.0.0.9"}, "654321"});
    EXPECT_EQ(handler().connectStatusViewController(), sessionView);
    EXPECT_EQ(sessionsMade, 1);
    EXPECT_EQ(session->count("connect:10.0.0.9,654321"), 1u);
    EXPECT_EQ(sessionView->receiverNameTextField()->text().toStdString(), "Kitchen(3)");
}

TEST_F(MainWindowTest, LostReceiverReturnsToThePinViewAfterTheAlert) {
    findReceiver(receiver);
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverFailed(-1); });
    ASSERT_TRUE(pumpUntil([&] { return pinViewShows(); }));
    EXPECT_EQ(alerts->count(), 1u);
    EXPECT_EQ(session->count("disconnect"), 1u);
    EXPECT_EQ(quits, 0);
}

TEST_F(MainWindowTest, ClosingTheWindowInThePinViewQuits) {
    application.finishLaunching();
    EXPECT_TRUE(nib.window->close());
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(application.isTerminating());
    EXPECT_FALSE(nib.appDelegate->endActivity());  // the activity kept at launch has ended
    EXPECT_TRUE(session->calls().empty());         // no session was ever made
    EXPECT_EQ(sessionsMade, 0);
}

TEST_F(MainWindowTest, ClosingTheWindowInTheSessionViewKeepsTheSessionAndTheStatusItemBringsItBack) {
    application.finishLaunching();
    findReceiver(receiver);
    platform::foundation::LogCapture log;
    EXPECT_TRUE(nib.window->close());
    EXPECT_FALSE(nib.window->isVisible());
    EXPECT_TRUE(pumpUntil([&] { return log.contains("applicationWillHide"); }));
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(session->count("disconnect"), 0u);
    handler().trayIcon()->activate();
    EXPECT_TRUE(nib.window->isVisible());
    EXPECT_TRUE(log.contains("applicationShouldHandleReopen"));
    EXPECT_TRUE(pumpUntil([&] { return log.contains("applicationWillUnhide"); }));
    EXPECT_FALSE(nib.appDelegate->applicationShouldHandleReopen(true));
    EXPECT_TRUE(sessionViewShows());
}

// Where the desktop docks the tray icon into a tray, the icon has a parentless window of its own that
// stays visible: only the application's own windows count for hiding.
TEST_F(MainWindowTest, OtherWindowsOfTheProcessDoNotKeepTheApplicationFromHiding) {
    application.finishLaunching();
    findReceiver(receiver);
    QWidget trayWindow(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    trayWindow.show();
    platform::foundation::LogCapture log;
    EXPECT_TRUE(nib.window->close());
    EXPECT_TRUE(pumpUntil([&] { return log.contains("applicationWillHide"); }));
    handler().trayIcon()->activate();
    EXPECT_TRUE(pumpUntil([&] { return log.contains("applicationWillUnhide"); }));
}

TEST_F(MainWindowTest, WithoutATrayClosingTheSessionWindowOnlyMinimizesIt) {
    trayAvailable = false;
    findReceiver(receiver);
    EXPECT_FALSE(nib.window->close());
    EXPECT_TRUE(nib.window->isVisible());
    EXPECT_EQ(quits, 0);
    handler().showMainWindow();
    EXPECT_FALSE(nib.window->isMinimized());
}

TEST_F(MainWindowTest, LaunchInstallsTheLoggerAndBeginsTheTwoActivities) {
    platform::foundation::LogCapture log;
    application.finishLaunching();
    EXPECT_EQ(loggersInstalled, 1);
    EXPECT_TRUE(log.contains("applicationDidFinishLaunching"));
    auto entries = powerBackend->entries();
    // The first activity holds the system awake; the second allows idle sleep and holds nothing.
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].reason, "Batch processing files");
    ASSERT_TRUE(nib.appDelegate->endActivity());
    powerManager.endActivity(*nib.appDelegate->endActivity());  // the second token: nothing more to release
    EXPECT_EQ(powerBackend->held(), 1u);
}

TEST_F(MainWindowTest, QuitDuringASessionDisconnectsIt) {
    application.finishLaunching();
    findReceiver(receiver);
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverSuccess(); });
    auto sessionView = handler().connectStatusViewController();
    ASSERT_TRUE(pumpUntil([&] { return sessionView->mirrorButton()->isVisible(); }));
    sessionView->mirrorButton()->click();
    platform::foundation::LogCapture log;
    application.terminate(nullptr);
    EXPECT_EQ(session->count("disconnect"), 1u);
    EXPECT_TRUE(log.contains("applicationWillTerminate"));
    EXPECT_EQ(quits, 1);
    application.terminate(nullptr);  // once only
    EXPECT_EQ(session->count("disconnect"), 1u);
    EXPECT_EQ(quits, 1);
}

TEST_F(MainWindowTest, TerminationSignalQuitsThroughTheNormalPath) {
    findReceiver(receiver);
    ASSERT_TRUE(application.handleTerminationSignals());
    ::raise(SIGTERM);
    ASSERT_TRUE(pumpUntil([&] { return quits == 1; }));
    EXPECT_EQ(session->count("disconnect"), 1u);
    // Handling ended with the quit: the signal's default action is back.
    struct sigaction current {};
    ::sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST(MainQueueBridgeTest, QtLoopRunsMainQueueWorkWithoutNesting) {
    testing::testApplication();
    appkit::MainQueueBridge bridge;
    std::vector<std::string> order;
    std::atomic<bool> done{false};
    std::thread([&] {
        platform::dispatch::Queue::main()->async([&] {
            order.push_back("first begins");
            // A nested loop (as a modal alert runs) does not run the next item inside this one.
            for (int i = 0; i < 20; ++i) {
                QCoreApplication::processEvents();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            order.push_back("first ends");
        });
        platform::dispatch::Queue::main()->async([&] {
            order.push_back("second");
            done = true;
        });
    }).join();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(order, (std::vector<std::string>{"first begins", "first ends", "second"}));

    // A sync from another thread is answered by the Qt loop.
    std::atomic<bool> synced{false};
    std::thread worker([&] {
        platform::dispatch::Queue::main()->sync([] {});
        synced = true;
    });
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!synced && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    worker.join();
    EXPECT_TRUE(synced);
}

}  // namespace
}  // namespace quill
