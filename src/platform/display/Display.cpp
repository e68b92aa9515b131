#include "platform/display/Display.h"

#include <cstdlib>
#include <string>

#include "platform/display/SyntheticDisplay.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::display {

std::shared_ptr<DisplayService> DisplayService::shared() {
    static const std::shared_ptr<DisplayService> service = [] {
        const char* env = std::getenv("QUILLARAN_DISPLAY");
        const std::string choice = env ? env : "";
        // The test picture only when asked for: a user's receiver must never show it in place of a
        // screen that could not be read.
        if (choice == "synthetic") return std::shared_ptr<DisplayService>(SyntheticDisplayService::create());
        if (!choice.empty() && choice != "x11")
            sysLog("unknown QUILLARAN_DISPLAY value \"%s\" (x11 or synthetic); using X11", choice.c_str());
        return x11Waiting();
    }();
    return service;
}

}  // namespace quill::platform::display
