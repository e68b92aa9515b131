#pragma once
// The application object: runs the event loop, tells its delegate about launching, hiding, reopening
// and quitting, and ends the program through one path, terminate(), whether the user quits, the last
// window's owner asks, or the process receives SIGINT or SIGTERM.

#include <functional>
#include <memory>

#include "platform/dispatch/Dispatch.h"

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
    void finishLaunching();

    // Main thread. The delegate hears applicationWillTerminate once, then the event loop ends. Later
    // calls do nothing. sender is for the log only.
    void terminate(const void* sender = nullptr);
    bool isTerminating() const { return terminating_; }

    // The user asks for the application again (e.g. from its status item).
    void reopen(bool hasVisibleWindows);
    void hide();
    void unhide();

    // From now on SIGINT and SIGTERM call terminate() on the main queue; a second signal while the
    // first is being handled ends the process at once. False when the signals could not be watched.
    bool handleTerminationSignals();

  private:
    void stopWatchingSignals();

    std::function<void()> quitLoop_;
    std::weak_ptr<ApplicationDelegate> delegate_;
    bool terminating_ = false;
    bool hidden_ = false;
    std::shared_ptr<dispatch::FdSource> signalSource_;
};

}  // namespace quill::platform::appkit
