#include "platform/appkit/Application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <atomic>
#include <cerrno>

#include "platform/foundation/SysLog.h"

namespace quill::platform::appkit {

namespace {

// The write end of the signal pipe, for the handler (async-signal-safe: a write only).
std::atomic<int> signalPipeWrite{-1};

extern "C" void onTerminationSignal(int signo) {
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

}  // namespace

Application::Application(std::function<void()> quitLoop) : quitLoop_(std::move(quitLoop)) {
    if (!quitLoop_) quitLoop_ = [] { QCoreApplication::exit(0); };
}

Application::~Application() {
    stopWatchingSignals();
}

int Application::run() {
    finishLaunching();
    if (terminating_) return 0;
    // Ending the loop some other way (the session ends, the last window's owner quits) still goes
    // through terminate(), so the delegate hears it.
    QObject context;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &context, [this] { terminate(qApp); });
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        QObject::connect(gui, &QGuiApplication::applicationStateChanged, &context,
                         [this](Qt::ApplicationState state) {
                             if (state == Qt::ApplicationHidden) {
                                 hide();
                             } else {
                                 unhide();
                             }
                         });
    }
    return QCoreApplication::exec();
}

void Application::finishLaunching() {
    if (auto d = delegate()) d->applicationDidFinishLaunching();
}

void Application::terminate(const void* /*sender*/) {
    if (terminating_) return;
    terminating_ = true;
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
    if (signalSource_) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        foundation::sysLogString("cannot watch termination signals");
        return false;
    }
    int readFd = fds[0];
    signalSource_ = dispatch::FdSource::create(readFd, dispatch::FdEvent::Read, dispatch::Queue::main());
    signalSource_->setEventHandler([this, readFd] {
        unsigned char buffer[16];
        while (::read(readFd, buffer, sizeof buffer) > 0) {
        }
        terminate(this);
    });
    int writeFd = fds[1];
    signalSource_->setCancelHandler([readFd, writeFd] {
        ::close(readFd);
        ::close(writeFd);
    });
    signalPipeWrite.store(writeFd);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    signalSource_->resume();
    return true;
}

void Application::stopWatchingSignals() {
    if (!signalSource_) return;
    // Signals from now on end the process the default way.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    signalPipeWrite.store(-1);
    signalSource_->cancel();
    signalSource_.reset();
}

}  // namespace quill::platform::appkit
