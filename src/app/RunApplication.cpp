#include "app/RunApplication.h"

#include <QApplication>
#include <QIcon>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/Strings.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/MainQueueBridge.h"
#include "platform/appkit/WindowServer.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/display/Display.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SysLog.h"
#include "platform/power/Power.h"

namespace quill {

namespace {

// How long the teardown after the event loop may take: it asks the window server, which may have
// stopped answering.
constexpr double kTeardownSeconds = 3.0;

// Ends the application through its quit path when the X server goes away. afterLoop: what the quit path
// does once the event loop has ended, given the exit status; run here in the one case where the loop
// never ends.
class QuitOnDisplayLoss {
  public:
    QuitOnDisplayLoss(platform::appkit::Application& application, std::function<void(int)> afterLoop)
        : state_(std::make_shared<State>()) {
        state_->application = &application;
        std::weak_ptr<State> weak = state_;
        // A capture connection notices on a thread of its own: the quit runs on the main thread.
        platform::display::setX11ServerLostHandler([weak](const std::string&) {
            platform::dispatch::Queue::main()->async([weak] {
                if (auto state = weak.lock()) state->quit();
            });
        });
        // The window server's connection is noticed on the main thread, and Qt ends the process right
        // after (exit() from inside the event loop, which never returns): the quit runs at once, and so
        // does what follows the loop, before the process-wide objects are destroyed after exit().
        platform::appkit::setWindowServerLostHandler([weak, afterLoop = std::move(afterLoop)] {
            auto state = weak.lock();
            if (!state || !state->quit()) return;
            afterLoop(state->exitStatus.load());
        });
    }
    ~QuitOnDisplayLoss() {
        platform::display::setX11ServerLostHandler({});
        platform::appkit::setWindowServerLostHandler({});
        state_->application = nullptr;
    }
    QuitOnDisplayLoss(const QuitOnDisplayLoss&) = delete;
    QuitOnDisplayLoss& operator=(const QuitOnDisplayLoss&) = delete;

    int exitStatus() const { return state_->exitStatus.load(); }

  private:
    struct State {
        platform::appkit::Application* application = nullptr;  // main thread; null once the owner is gone
        std::atomic<int> exitStatus{0};

        // Main thread. False when the application is gone or already quit for this reason.
        bool quit() {
            if (!application || exitStatus.exchange(kDisplayLostExitStatus) != 0) return false;
            platform::foundation::sysLogString("the X server is gone: quitting");
            application->terminate(this);
            return true;
        }
    };
    std::shared_ptr<State> state_;
};

// Once armed, ends the process with the given status unless it is destroyed within the time given.
class TeardownDeadline {
  public:
    TeardownDeadline() = default;
    ~TeardownDeadline() {
        {
            std::lock_guard lock(mutex_);
            over_ = true;
        }
        ended_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    TeardownDeadline(const TeardownDeadline&) = delete;
    TeardownDeadline& operator=(const TeardownDeadline&) = delete;

    // Once: a second call changes nothing.
    void arm(int status, double seconds) {
        if (thread_.joinable()) return;
        thread_ = std::thread([this, status, seconds] {
            std::unique_lock lock(mutex_);
            if (ended_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return over_; }))
                return;
            platform::foundation::sysLogString(
                "the window server does not answer: ending without tidying up");
            std::_Exit(status);
        });
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool over_ = false;
    std::thread thread_;
};

// The application's icon in each bundled size (the same pictures as the desktop entry's icon).
QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        if (auto path = platform::foundation::resourcePath("icon-" + std::to_string(size), "png"))
            icon.addFile(QString::fromStdString(*path), QSize(size, size));
    }
    return icon;
}

// Says where the bundled files were found, so that an installed copy can be seen to use its own.
void logBundleLocations() {
    using platform::foundation::resourcePath;
    const auto where = [](const std::optional<std::string>& path) { return path ? *path : "(none)"; };
    platform::foundation::sysLogString("tray icon: " + where(resourcePath("tray", "png")) +
                                       "; driver archive: " + where(resourcePath("Soundflower", "zip")) +
                                       "; helper tools: " + platform::foundation::helperToolsFolder());
}

}  // namespace

int runApplication(int& argc, char** argv, ShellParts parts, std::function<void(MainNib&)> launched) {
    // First, so that it outlives the teardown of everything below.
    TeardownDeadline deadline;
    QApplication qtApplication(argc, argv);
    QApplication::setApplicationName("Quillaran");
#ifdef QUILL_APP_ID
    // The desktop entry's name: the desktop puts the windows under its launcher.
    QApplication::setDesktopFileName(QUILL_APP_ID);
#endif
    QApplication::setQuitOnLastWindowClosed(false);  // the main window's controller decides
    QApplication::setWindowIcon(applicationIcon());
    logBundleLocations();
    platform::appkit::MainQueueBridge mainQueue;
    registerLocalizedStrings();

    platform::appkit::Application application;
    MainNib nib = loadMainNib(application, std::move(parts));
    application.handleTerminationSignals();
    // Once the event loop has ended. The power manager is process-wide and would otherwise let its
    // backend go only after main returns (or Qt's exit()), past the deadline and while Xlib and the bus
    // library are themselves being torn down: its X connection and bus connections close here, and what
    // it still holds is given back.
    auto afterLoop = [&deadline, &nib](int status) {
        deadline.arm(status, kTeardownSeconds);
        nib.appDelegate->powerManager().releaseBackend();
    };
    QuitOnDisplayLoss displayLoss(application, afterLoop);
    nib.window->show();
    if (launched) launched(nib);
    application.run();
    const int status = displayLoss.exitStatus();
    afterLoop(status);
    return status;
}

}  // namespace quill
