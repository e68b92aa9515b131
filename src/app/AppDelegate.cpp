#include "app/AppDelegate.h"

#include "app/MainHandler.h"
#include "logging/Log.h"
#include "logging/TTYLogger.h"
#include "platform/foundation/SysLog.h"
#include "platform/power/Power.h"

namespace quill {

AppDelegate::AppDelegate(AppDelegateParts parts) : parts_(std::move(parts)) {
    if (!parts_.power) parts_.power = &platform::power::PowerManager::shared();
    if (!parts_.installConsoleLogger) {
        parts_.installConsoleLogger = [] { Log::addLogger(TTYLogger::sharedInstance(), LOG_LEVEL_ALL); };
    }
}

void AppDelegate::applicationDidFinishLaunching() {
    sysLogString("applicationDidFinishLaunching");
    parts_.installConsoleLogger();
    // The first activity asks the desktop to hold off its automatic suspend for the life of the process;
    // the screen still blanks and locks, and no suspend the user asks for is blocked. The second keeps
    // the process itself from being throttled, and is the one ended at quit.
    endActivity_ = parts_.power->beginActivity(false, "Batch processing files");
    endActivity_ = parts_.power->beginActivity(true, "just not sleep");
}

void AppDelegate::applicationWillTerminate() {
    sysLogString("applicationWillTerminate");
    if (mainController_ && mainController_->connectStatusViewController()) {
        mainController_->connectStatusViewController()->mirrorChannel().disconnect();
    }
    if (endActivity_) {
        parts_.power->endActivity(*endActivity_);
        endActivity_.reset();
    }
}

void AppDelegate::applicationWillHide() {
    sysLogString("applicationWillHide");
}

void AppDelegate::applicationWillUnhide() {
    sysLogString("applicationWillUnhide");
}

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
    sysLogString("applicationShouldHandleReopen");
    if (mainController_) mainController_->showMainWindow();
    return false;
}

}  // namespace quill
