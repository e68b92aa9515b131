// The application's main loop under real conditions: a privileged task's poll runs in the Qt loop,
// quitting while an alert is open (the application's own quit, or SIGTERM to a real process) closes the
// alert as if cancelled and ends the session, and the whole run as main starts it lets the power
// manager's backend go before it returns.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/FakeShellTest.h"
#include "app/RunApplication.h"
#include "audio/PrivilegedTask.h"
#include "platform/appkit/MainQueueBridge.h"
#include "support/ChildProcess.h"
#include "support/FileText.h"

namespace quill {
namespace {

namespace appkit = platform::appkit;
using testing::pumpUntil;

// "Connect again?" has "OK" and "Cancel".
constexpr int kCancel = appkit::NSAlertFirstButtonReturn + 1;
constexpr const char* kChildVariable = "QUILL_QUIT_WITH_ALERT_CHILD";
constexpr const char* kRunChildVariable = "QUILL_RUN_APPLICATION_CHILD";

// The real message boxes, keeping every answer and writing it to stderr (read there in a child process).
class AnsweringAlerts : public appkit::AlertPresenter {
  public:
    int runModal(const appkit::Alert& alert) override {
        const int answer = real_.runModal(alert);
        answers.push_back(answer);
        std::fprintf(stderr, "alert answered %d\n", answer);
        return answer;
    }
    std::vector<int> answers;  // main thread

  private:
    appkit::QtAlertPresenter real_;
};

QMessageBox* openAlert() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

// Calls action once an alert is on screen (polling every 10 ms, also inside the alert's own loop).
void whenAnAlertIsOpen(QTimer& timer, std::function<void(QMessageBox&)> action) {
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&timer, action] {
        if (QMessageBox* box = openAlert()) {
            timer.stop();
            action(*box);
        }
    });
    timer.start();
}

// On threads of its own, as the look-up client and the session do: a receiver is found and, once the
// session view has connected to it, reported unreachable, so that "Connect again?" opens. The main
// loop must run meanwhile.
std::thread unreachableReceiver(testing::FakeLookup& lookup, testing::FakeSession& session) {
    return std::thread([&lookup, &session] {
        lookup.delegate()->onFindReceiverSuccess({"Living room", "2.1", {"10.0.0.5"}, "123456"});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (session.count("connect:10.0.0.5,123456") == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (auto d = session.delegate()) d->onConnectToReceiverFailed(-1);
    });
}

class QuitWithAnAlertOpen : public testing::FakeShellTest {
  protected:
    QuitWithAnAlertOpen() { presenter = answering; }
    std::shared_ptr<AnsweringAlerts> answering = std::make_shared<AnsweringAlerts>();
};

TEST_F(QuitWithAnAlertOpen, TheApplicationsOwnQuitClosesItAsCancelledAndEndsTheSession) {
    application.finishLaunching();
    std::thread receiverSide = unreachableReceiver(*lookup, *session);
    bool quitWithAlertOpen = false;
    QTimer quit;
    whenAnAlertIsOpen(quit, [&](QMessageBox&) {
        quitWithAlertOpen = true;
        application.terminate(nullptr);
    });
    // Should quitting leave the alert open, the test closes it rather than hang.
    bool leftOpen = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (QMessageBox* box = openAlert()) {
            leftOpen = true;
            box->reject();
        }
    });
    watchdog.start(5000);

    EXPECT_TRUE(pumpUntil([&] { return !answering->answers.empty(); }, 15));
    receiverSide.join();
    EXPECT_TRUE(quitWithAlertOpen);
    EXPECT_FALSE(leftOpen);
    EXPECT_EQ(answering->answers, std::vector<int>{kCancel});
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(session->count("disconnect"), 2u);  // at the failure, and at quit
    EXPECT_FALSE(nib.appDelegate->endActivity());
    EXPECT_EQ(openAlert(), nullptr);
}

// Runs in a process of its own, started by QuitWithAnAlertOpenProcess: the real main-queue bridge and
// the real quit path (the Qt loop ends). What happens goes to stderr; the process exits 0 when it passes.
TEST_F(QuitWithAnAlertOpen, InAChildProcessRunsUntilASignalEndsIt) {
    if (!std::getenv(kChildVariable)) GTEST_SKIP() << "runs as the child of QuitWithAnAlertOpenProcess";
    appkit::MainQueueBridge bridge;
    quitEndsTheLoop = true;
    ASSERT_TRUE(application.handleTerminationSignals());
    std::thread receiverSide = unreachableReceiver(*lookup, *session);
    QTimer announce;
    whenAnAlertIsOpen(announce, [](QMessageBox& box) {
        std::fprintf(stderr, "alert open: %s\n", box.text().toStdString().c_str());
    });
    application.run();
    receiverSide.join();
    std::fprintf(stderr, "loop ended; disconnects: %zu\n", session->count("disconnect"));
    EXPECT_EQ(session->count("disconnect"), 2u);
    EXPECT_EQ(answering->answers, std::vector<int>{kCancel});
}

TEST(PrivilegedTaskInTheMainLoop, TheQtLoopPollsTheChildReapsItAndLetsTheTaskGo) {
    testing::testApplication();
    appkit::MainQueueBridge bridge;
    auto service = std::make_shared<platform::security::RecordingAuthorizationService>();
    service->runAsRecorded = true;
    platform::foundation::NotificationCenter center;
    int terminated = 0;
    platform::foundation::ScopedObserver observer(
        center, kPrivilegedTaskDidTerminateNotification,
        [&](const platform::foundation::Notification&) { ++terminated; });
    auto task = PrivilegedTask::create(service, &center);
    task->setLaunchPath("/bin/sh");
    task->setArguments({"-c", "exit 3"});
    ASSERT_EQ(task->launch(), 0);
    const pid_t pid = task->processIdentifier();
    std::weak_ptr<PrivilegedTask> weak = task;
    task.reset();  // as the driver installation does: the poll keeps the task until the child has ended

    // Only the Qt loop runs, as in the application: nothing drains the main queue by hand.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(terminated && weak.expired()) && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(terminated, 1);
    EXPECT_TRUE(weak.expired());
    siginfo_t info{};
    EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT), -1)
        << "the child was left a zombie";
}

TEST(QuitWithAnAlertOpenProcess, SigtermClosesTheAlertAndEndsTheProcessCleanly) {
    testing::TempFolder folder;
    const std::string log = folder / "child.log";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.push_back(std::string(kChildVariable) + "=1");
    env.push_back("QT_QPA_PLATFORM=offscreen");
    const pid_t child = testing::spawnQuietly(
        {"/proc/self/exe", "--gtest_filter=QuitWithAnAlertOpen.InAChildProcessRunsUntilASignalEndsIt"}, &env,
        log);
    ASSERT_GT(child, 0);
    auto logText = [&] { return testing::readFileText(log); };
    auto waitFor = [](const std::function<bool()>& done, double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    };
    const bool alertOpen = waitFor([&] { return logText().find("alert open: ") != std::string::npos; }, 20);
    if (!alertOpen) testing::endChildProcess(child, 0.5);
    ASSERT_TRUE(alertOpen) << logText();

    ASSERT_EQ(::kill(child, SIGTERM), 0);
    const auto signalled = std::chrono::steady_clock::now();
    int status = 0;
    const bool ended = waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10);
    const auto took = std::chrono::steady_clock::now() - signalled;
    if (!ended) testing::endChildProcess(child, 0.5);
    ASSERT_TRUE(ended) << "still running 10 s after SIGTERM\n" << logText();
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << logText();
    const std::string text = logText();
    EXPECT_NE(text.find("alert answered " + std::to_string(kCancel)), std::string::npos) << text;
    EXPECT_NE(text.find("applicationWillTerminate"), std::string::npos) << text;
    EXPECT_NE(text.find("loop ended; disconnects: 2"), std::string::npos) << text;
}

// Runs in a process of its own, started by RunApplicationProcess: the application's whole run as main
// does it (over fakes and a recording power backend), quit by SIGTERM as soon as the window shows. What
// the power backend holds once it returns goes to stderr.
TEST(RunApplicationChild, QuitsOnASignal) {
    if (!std::getenv(kRunChildVariable)) GTEST_SKIP() << "runs as the child of RunApplicationProcess";
    auto backend = std::make_shared<platform::power::RecordingPowerBackend>();
    platform::power::PowerManager power(backend);
    ShellParts parts;
    parts.alerts = std::make_shared<testing::RecordingAlerts>();
    parts.makePincodeChannel = [] { return std::make_shared<testing::FakeLookup>(); };
    parts.makeMirrorChannel = [] { return std::make_shared<testing::FakeSession>(); };
    parts.wifiAddress = [] { return std::optional<std::string>("192.168.1.37"); };
    parts.appDelegate.power = &power;
    parts.appDelegate.installConsoleLogger = [] {};
    parts.statusItemAvailable = [] { return false; };
    int argc = 1;
    char name[] = "quillaran";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(runApplication(argc, argv, std::move(parts), [](MainNib&) { ::raise(SIGTERM); }), 0);
    // The launch activity, which nothing ends, is given back with the backend, which the manager lets go.
    std::fprintf(stderr, "returned; held: %zu, backend owners: %ld\n", backend->held(), backend.use_count());
}

TEST(RunApplicationProcess, TheQuitPathLetsThePowerBackendGoBeforeReturning) {
    testing::TempFolder home;
    const std::string log = home / "child.log";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("HOME=", 0) != 0) env.emplace_back(*e);
    }
    env.push_back(std::string(kRunChildVariable) + "=1");
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("HOME=" + home.str());
    const pid_t child =
        testing::spawnQuietly({"/proc/self/exe", "--gtest_filter=RunApplicationChild.*"}, &env, log);
    ASSERT_GT(child, 0);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::waitpid(child, &status, WNOHANG) != child) {
        if (std::chrono::steady_clock::now() > deadline) {
            testing::endChildProcess(child, 0.5);
            FAIL() << "still running after 20 s\n" << testing::readFileText(log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n"
                                                               << testing::readFileText(log);
    EXPECT_NE(testing::readFileText(log).find("returned; held: 0, backend owners: 1\n"), std::string::npos)
        << testing::readFileText(log);
}

}  // namespace
}  // namespace quill
