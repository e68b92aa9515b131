#include "platform/appkit/Application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cerrno>

#include "platform/appkit/Alert.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::appkit {

namespace {

// The write end of the signal pipe, for the handler (async-signal-safe: a write only).
std::atomic<int> signalPipeWrite{-1};

extern "C" void writeSignalToPipe(int signo) {
    int saved = errno;
    int fd = signalPipeWrite.load();
    if (fd >= 0) {
        unsigned char byte = static_cast<unsigned char>(signo);
        ssize_t ignored = ::write(fd, &byte, 1);
        (void)ignored;
    }
    // A second signal is not caught: if quitting hangs, the user can still end the process.
    ::signal(signo, SIG_DFL);
    errno = saved;
}

// The mark of the application's own windows.
constexpr const char* kApplicationWindowProperty = "quillApplicationWindow";

}  // namespace

void countAsApplicationWindow(QWidget& window) {
    window.setProperty(kApplicationWindowProperty, true);
}

Application::Application(std::function<void()> quitLoop) : quitLoop_(std::move(quitLoop)) {
    if (!quitLoop_) quitLoop_ = [] { QCoreApplication::exit(0); };
}

Application::~Application() {
    stopWatchingSignals();
    // Alerts closed by this application's quitting may run again in a later one (tests make several).
    if (terminating_ || terminationRequested_) setAlertsClosed(false);
}

int Application::run() {
    finishLaunching();
    if (terminating_) return 0;
    // Ending the loop some other way (the session ends, the last window's owner quits) still goes
    // through terminate(), so the delegate hears it.
    QObject context;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &context, [this] { terminate(qApp); });
    return QCoreApplication::exec();
}

// Sees every window of the process show and hide and, once that has taken effect, tells the application
// whether any of its own windows is still visible. Menus, tool tips, the tray icon's window and the like
// do not count.
class Application::WindowWatcher : public QObject {
  public:
    explicit WindowWatcher(Application& application) : application_(application) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~WindowWatcher() override {
        if (auto* app = QCoreApplication::instance()) app->removeEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool shownOrHidden = event->type() == QEvent::Show || event->type() == QEvent::Hide;
        if (shownOrHidden && watched->isWindowType() && !pending_) {
            // One look after the change, also when several windows change at once.
            pending_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    pending_ = false;
                    application_.windowsChanged(anyVisible());
                },
                Qt::QueuedConnection);
        }
        return false;
    }

  private:
    static bool anyVisible() {
        const auto windows = QApplication::topLevelWidgets();
        return std::any_of(windows.begin(), windows.end(), [](const QWidget* window) {
            return window->isVisible() && window->property(kApplicationWindowProperty).toBool();
        });
    }

    Application& application_;
    bool pending_ = false;
};

void Application::finishLaunching() {
    if (!windowWatcher_ && qobject_cast<QApplication*>(QCoreApplication::instance()))
        windowWatcher_ = std::make_unique<WindowWatcher>(*this);
    if (auto d = delegate()) d->applicationDidFinishLaunching();
}

void Application::windowsChanged(bool anyVisible) {
    if (terminating_) return;  // windows close as the application quits: that is no hiding
    if (anyVisible) {
        unhide();
    } else {
        hide();
    }
}

void Application::terminate(const void* /*sender*/) {
    if (terminating_) return;
    terminating_ = true;
    // An alert under way returns once the loop that runs it sees it closed; none opens any more.
    setAlertsClosed(true);
    if (auto d = delegate()) d->applicationWillTerminate();
    stopWatchingSignals();
    quitLoop_();
}

void Application::reopen(bool hasVisibleWindows) {
    if (auto d = delegate()) d->applicationShouldHandleReopen(hasVisibleWindows);
}

void Application::hide() {
    if (hidden_) return;
    hidden_ = true;
    if (auto d = delegate()) d->applicationWillHide();
}

void Application::unhide() {
    if (!hidden_) return;
    hidden_ = false;
    if (auto d = delegate()) d->applicationWillUnhide();
}

bool Application::handleTerminationSignals() {
    if (signalNotifier_) return true;
    if (::pipe2(signalPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        foundation::sysLogString("cannot watch termination signals");
        return false;
    }
    // Watched by the Qt loop itself rather than through the main queue, whose work does not nest: an
    // alert running inside main-queue work would keep the signal waiting until the user answered it.
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalPipe_[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, signalNotifier_.get(),
                     [this] { onTerminationSignal(); });
    signalPipeWrite.store(signalPipe_[1]);
    struct sigaction action {};
    action.sa_handler = writeSignalToPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return true;
}

void Application::onTerminationSignal() {
    unsigned char buffer[16];
    while (::read(signalPipe_[0], buffer, sizeof buffer) > 0) {
    }
    if (terminationRequested_ || terminating_) return;
    terminationRequested_ = true;
    foundation::sysLogString("termination signal");
    setAlertsClosed(true);
    std::weak_ptr<int> alive = lifetime_;
    dispatch::Queue::main()->async([this, alive] {
        if (alive.lock()) terminate(this);
    });
}

void Application::stopWatchingSignals() {
    if (!signalNotifier_) return;
    // Signals from now on end the process the default way.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    signalPipeWrite.store(-1);
    signalNotifier_.reset();
    for (int& fd : signalPipe_) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace quill::platform::appkit
