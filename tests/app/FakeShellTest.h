#pragma once
// A fixture with the main window shown over fakes: the look-up client and the session controller are
// fakes, alerts are recorded, power assertions go to a recording backend and the user defaults live in a
// temporary folder. It counts the quits, console loggers and session controllers the shell asks for.

#include <memory>
#include <optional>
#include <string>

#include "app/AppTestSupport.h"
#include "app/MainNib.h"
#include "platform/appkit/Application.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/power/Power.h"
#include "support/TempFolder.h"

namespace quill::testing {

class FakeShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testApplication();
        defaults = std::make_unique<UserDefaults>(folder / "defaults.plist");
        defaults->setInteger(6, "pincode.type");
        ShellParts parts;
        parts.alerts = presenter ? presenter : alerts;
        parts.userDefaults = defaults.get();
        parts.makePincodeChannel = [this] { return lookup; };
        parts.makeMirrorChannel = [this] {
            ++sessionsMade;
            return session;
        };
        parts.wifiAddress = [] { return std::optional<std::string>("192.168.1.37"); };
        // A screen that can be captured, whatever desktop session runs these tests.
        parts.display = platform::display::SyntheticDisplayService::create();
        parts.appDelegate.power = &powerManager;
        parts.appDelegate.installConsoleLogger = [this] { ++loggersInstalled; };
        parts.statusItemAvailable = [this] { return trayAvailable; };
        nib = loadMainNib(application, parts);
        nib.window->show();
    }

    TempFolder folder;
    std::unique_ptr<UserDefaults> defaults;
    std::shared_ptr<FakeLookup> lookup = std::make_shared<FakeLookup>();
    std::shared_ptr<FakeSession> session = std::make_shared<FakeSession>();
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    // When set (before SetUp), runs the alerts instead of the recorder.
    std::shared_ptr<platform::appkit::AlertPresenter> presenter;
    std::shared_ptr<platform::power::RecordingPowerBackend> powerBackend =
        std::make_shared<platform::power::RecordingPowerBackend>();
    platform::power::PowerManager powerManager{powerBackend};
    int quits = 0;
    // Whether a quit also ends the Qt loop, as in the application.
    bool quitEndsTheLoop = false;
    int loggersInstalled = 0;
    int sessionsMade = 0;
    bool trayAvailable = true;
    platform::appkit::Application application{[this] {
        ++quits;
        if (quitEndsTheLoop) QCoreApplication::exit(0);
    }};
    MainNib nib;
};

}  // namespace quill::testing
