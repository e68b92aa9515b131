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
        if (choice == "synthetic") return std::shared_ptr<DisplayService>(SyntheticDisplayService::create());
        if (auto x = x11()) return x;
        if (choice == "x11") sysLog("no X display answers; using the synthetic display");
        return std::shared_ptr<DisplayService>(SyntheticDisplayService::create());
    }();
    return service;
}

}  // namespace quill::platform::display
