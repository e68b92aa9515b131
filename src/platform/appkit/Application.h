#pragma once
// The application object: runs the event loop, tells its delegate about launching, hiding, reopening
// and quitting, and ends the program through one path, terminate(), whether the user quits, the last
// window's owner asks, or the process receives SIGINT or SIGTERM. Quitting never waits for the user:
// alerts open at that moment close as if cancelled (see setAlertsClosed).
//
// Hiding: the desktops this runs on have no hidden state for an application as a whole, so from launch
// on the application counts as hidden once the last of its own windows that showed (see
// countAsApplicationWindow) has gone, and unhidden when one shows again. Other top-level windows of the
// process never count: the tray icon's, for one, is a parentless window wherever the desktop docks it
// into a tray, and it never goes.

#include <functional>
#include <memory>

class QSocketNotifier;
class QWidget;

namespace quill::platform::appkit {

class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() {}
    virtual void applicationWillTerminate() {}
    virtual void applicationWillHide() {}
    virtual void applicationWillUnhide() {}
    // False: the application does nothing further.
    virtual bool applicationShouldHandleReopen(bool /*hasVisibleWindows*/) { return true; }
};

// Makes a window (a top-level widget: the main window, an alert) one of the application's own, whose
// showing and hiding unhide and hide the application. Main thread.
void countAsApplicationWindow(QWidget& window);

class Application {
  public:
    // quitLoop ends the event loop; by default QCoreApplication::exit(0). A QApplication must exist
    // while run() runs.
    explicit Application(std::function<void()> quitLoop = {});
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Held weakly.
    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_.lock(); }

    // Tells the delegate that launching finished, then runs the event loop until terminate().
    int run();
    // Starts watching the windows (with a QApplication), then tells the delegate that launching
    // finished.
    void finishLaunching();

    // Main thread. Open alerts close as if cancelled, the delegate hears applicationWillTerminate once,
    // then the event loop ends. Later calls do nothing. sender is for the log only.
    void terminate(const void* sender = nullptr);
    bool isTerminating() const { return terminating_; }

    // The user asks for the application again (e.g. from its status item).
    void reopen(bool hasVisibleWindows);
    void hide();
    void unhide();

    // From now on SIGINT and SIGTERM end the application: the Qt event loop hears the signal even
    // while an alert runs its own loop inside main-queue work; the alerts close as if cancelled, and
    // terminate() follows on the main queue once that work has returned. A second signal while the
    // first is being handled ends the process at once. Needs a QCoreApplication. False when the
    // signals could not be watched.
    bool handleTerminationSignals();

  private:
    class WindowWatcher;
    void onTerminationSignal();
    void stopWatchingSignals();
    // Hides or unhides after the windows have shown or hidden.
    void windowsChanged(bool anyVisible);

    std::function<void()> quitLoop_;
    std::weak_ptr<ApplicationDelegate> delegate_;
    bool terminating_ = false;
    bool terminationRequested_ = false;
    bool hidden_ = false;
    // The signal pipe's ends and the watcher of its read end.
    int signalPipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> signalNotifier_;
    std::unique_ptr<WindowWatcher> windowWatcher_;
    // Work posted to the main queue holds this weakly, so it does nothing once the application is gone.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace quill::platform::appkit
