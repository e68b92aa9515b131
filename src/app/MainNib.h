#pragma once
// What the application's main window description creates: the main window, the application's delegate
// and the window's controller, wired together and awake.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/AppDelegate.h"
#include "app/MainHandler.h"
#include "app/MainWindow.h"
#include "app/pincode/PincodeLookup.h"
#include "app/session/MirrorSession.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/Application.h"
#include "platform/display/Display.h"

namespace quill {

namespace platform::foundation {
class UserDefaults;
}

struct ShellParts {
    // Default: Qt message boxes over the main window.
    std::shared_ptr<platform::appkit::AlertPresenter> alerts;
    // Default: the standard user defaults.
    platform::foundation::UserDefaults* userDefaults = nullptr;
    // The look-up client and the session controller, made once each.
    std::function<std::shared_ptr<PincodeLookup>()> makePincodeChannel;
    std::function<std::shared_ptr<MirrorSession>()> makeMirrorChannel;
    // This computer's own IPv4 address.
    std::function<std::optional<std::string>()> wifiAddress;
    // The screen that mirroring captures, as the session view sees it. Default: the process's.
    std::shared_ptr<platform::display::DisplayService> display;
    AppDelegateParts appDelegate;
    std::function<bool()> statusItemAvailable;
};

struct MainNib {
    std::unique_ptr<MainWindow> window;
    std::shared_ptr<AppDelegate> appDelegate;
    std::shared_ptr<MainHandler> mainHandler;  // also held by the application delegate
};

// Creates the objects, makes the delegate the application's, and wakes the controller (the pin view
// shows, the status item appears). The window is not shown yet.
MainNib loadMainNib(platform::appkit::Application& application, ShellParts parts);

// The application's own parts: the real look-up client and session controller.
ShellParts defaultShellParts();

}  // namespace quill
