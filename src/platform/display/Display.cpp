#include "platform/display/Display.h"

#include <cstdlib>
#include <string>

#include "platform/display/SyntheticDisplay.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::display {

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
    if (!choice.empty() && choice != "x11")
        sysLog("unknown QUILLARAN_DISPLAY value \"%s\" (x11 or synthetic); using X11", choice.c_str());
    // XWayland's root window would be captured as black pictures: better none, and the user told why.
    if (isWaylandSession()) return waylandSession();
    return x11Waiting();
}

std::shared_ptr<DisplayService> DisplayService::shared() {
    static const std::shared_ptr<DisplayService> service = forEnvironment();
    return service;
}

}  // namespace quill::platform::display
