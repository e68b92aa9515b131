#pragma once
// The application's delegate: installs the console logger, keeps the process from being throttled and
// the desktop from suspending by itself while it runs, ends the session when the application quits and
// brings the main window back when the user asks for the application again.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/appkit/Application.h"

namespace quill {

namespace platform::power {
class PowerManager;
}

class MainHandler;

struct AppDelegateParts {
    // Default: the process's power manager.
    platform::power::PowerManager* power = nullptr;
    // Default: adds the console logger to the logging registry at level 31.
    std::function<void()> installConsoleLogger;
};

class AppDelegate : public platform::appkit::ApplicationDelegate {
  public:
    explicit AppDelegate(AppDelegateParts parts = {});

    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;
    void applicationWillHide() override;
    void applicationWillUnhide() override;
    bool applicationShouldHandleReopen(bool hasVisibleWindows) override;

    void setMainController(std::shared_ptr<MainHandler> controller) {
        mainController_ = std::move(controller);
    }
    const std::shared_ptr<MainHandler>& mainController() const { return mainController_; }
    const std::optional<uint64_t>& endActivity() const { return endActivity_; }
    // The power manager the activities are begun with.
    platform::power::PowerManager& powerManager() const { return *parts_.power; }

  private:
    AppDelegateParts parts_;
    std::optional<uint64_t> endActivity_;
    std::shared_ptr<MainHandler> mainController_;
};

}  // namespace quill
