#include "platform/display/Display.h"

#include <cstdlib>
#include <string>

#include "platform/display/ScreenCastPortal.h"
#include "platform/display/SyntheticDisplay.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::display {

namespace {
// A portal started on demand may take a moment to answer.
constexpr double kPortalCheckSeconds = 5;
}  // namespace

bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (type && std::string(type) == "wayland") || (wayland && *wayland);
}

std::shared_ptr<DisplayService> DisplayService::forEnvironment() {
    const char* env = std::getenv("QUILLARAN_DISPLAY");
    const std::string choice = env ? env : "";
    // The test picture only when asked for: a user's receiver must never show it in place of a
    // screen that could not be read.
    if (choice == "synthetic") return SyntheticDisplayService::create();
    if (choice == "x11") return x11Waiting();
    if (choice == "portal") return screenCastPortal();
    if (!choice.empty())
        sysLog("unknown QUILLARAN_DISPLAY value \"%s\" (x11, portal or synthetic); using the session's own",
               choice.c_str());
    if (!isWaylandSession()) return x11Waiting();
    // XWayland's root window would be captured as black pictures: the portal, or else none and the
    // user told why.
    if (auto version = screenCastPortalVersion(std::nullopt, kPortalCheckSeconds)) {
        sysLog("Wayland session: the screen is shared through the desktop portal (ScreenCast version %u)",
               *version);
        return screenCastPortal();
    }
    return waylandSession();
}

std::shared_ptr<DisplayService> DisplayService::shared() {
    static const std::shared_ptr<DisplayService> service = forEnvironment();
    return service;
}

}  // namespace quill::platform::display
