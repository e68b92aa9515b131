// The display service of a Wayland session whose desktop has no screen-cast portal: it captures nothing.
// The screen of such a session cannot be read through X (XWayland's root window shows only the X
// programs, black elsewhere), so mirroring finds no main display here, the way it does while no X server
// answers, and sends no picture at all.

#include "platform/display/Display.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::display {

namespace {

class WaylandSessionService : public DisplayService {
  public:
    WaylandSessionService() {
        sysLog(
            "Wayland session without the desktop's screen-cast portal on the session bus: no screen is "
            "captured");
    }

    bool needsX11Session() const override { return true; }
    DisplayID mainDisplayID() override { return 0; }
    bool getActiveDisplayList(uint32_t, std::vector<DisplayID>& displays, Error*) override {
        displays.clear();
        return true;
    }
    Rect displayBounds(DisplayID) override { return {}; }
    std::vector<DisplayMode> copyAllDisplayModes(DisplayID) override { return {}; }
    std::optional<Point> mouseLocation() override { return std::nullopt; }
    std::shared_ptr<DisplayStream> createDisplayStream(DisplayID, int, int, PixelFormat,
                                                       const DisplayStreamProperties&, dispatch::QueuePtr,
                                                       FrameHandler, Error* error) override {
        if (error) *error = displayError(7, "no screen-cast portal in this Wayland session");
        return nullptr;
    }
};

}  // namespace

std::shared_ptr<DisplayService> DisplayService::waylandSession() {
    return std::make_shared<WaylandSessionService>();
}

}  // namespace quill::platform::display
