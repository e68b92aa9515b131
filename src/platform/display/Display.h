#pragma once
// Displays and display streams: which displays exist, their bounds and modes, and a stream that
// delivers pictures of a display as NV12 frames on a serial dispatch queue, only when the screen changed
// and no faster than a minimum frame time. Three backends: X11 (the screen of an X11 session), the
// desktop's screen-cast portal with PipeWire (the screen of a Wayland session) and a synthetic one (a
// moving or still test pattern, for tests). Without an X server answering there is no main display
// (id 0) until one comes. No call waits long on an X server that does not answer, and a server that goes
// away ends no thread and no process (see setX11ServerLostHandler).
//
// In a Wayland session the X server, where there is one, is XWayland, whose root window holds only the
// X programs and shows black elsewhere: the screen is read through the portal instead. Asked for the
// main display, the portal service starts a screen-cast session, which shows the desktop's dialog the
// first time, and answers "no main display" until the user has chosen, the way the X11 service does
// while no X server answers. The user's choice is remembered by the portal's restore token. Without a
// portal the process gets a service without displays (needsX11Session), so that no black picture is
// ever sent.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/display/PixelBuffer.h"
#include "platform/foundation/Error.h"

namespace quill::platform::display {

using DisplayID = uint32_t;

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

struct DisplayMode {
    size_t width = 0;
    size_t height = 0;
    bool operator==(const DisplayMode&) const = default;
};

enum class FrameStatus {
    Complete = 0,  // a new frame
    Idle = 1,      // nothing changed for a while; no frame
    Blank = 2,     // the display shows nothing (asleep or unreadable); no frame
    Stopped = 3,   // the stream has stopped; the last callback
};

struct DisplayStreamProperties {
    size_t queueDepth = 5;        // frames that may be held by the receiver at once
    double minimumFrameTime = 0;  // seconds between two frames at least
    bool preserveAspectRatio = false;
    bool showCursor = true;
};

// displayTime: monotonic nanoseconds of the capture. frame: null unless status is Complete.
using FrameHandler = std::function<void(FrameStatus status, uint64_t displayTime, PixelBufferRef frame)>;

class DisplayStream {
  public:
    virtual ~DisplayStream() = default;
    // Starts capturing; false (with error) when it cannot.
    virtual bool start(Error* error = nullptr) = 0;
    // Stops capturing. After it, the handler is called exactly once more, with Stopped. Calling it again,
    // or before start(), does nothing more.
    virtual void stop() = 0;
};

class DisplayService {
  public:
    virtual ~DisplayService() = default;

    // The main display, 0 when there is none.
    virtual DisplayID mainDisplayID() = 0;
    // Up to maxDisplays active displays, main display first. False with error when the list cannot be
    // read.
    virtual bool getActiveDisplayList(uint32_t maxDisplays, std::vector<DisplayID>& displays,
                                      Error* error = nullptr) = 0;
    // Bounds in the global desktop space; empty for an unknown display.
    virtual Rect displayBounds(DisplayID display) = 0;
    // Every mode the display can show; empty for an unknown display.
    virtual std::vector<DisplayMode> copyAllDisplayModes(DisplayID display) = 0;
    // The pointer position in points relative to the main display, with the origin at its bottom left
    // corner and y growing upwards; none without a main display or pointer.
    virtual std::optional<Point> mouseLocation() = 0;
    // A stream of the display scaled to outputWidth x outputHeight; only NV12 is offered. Null (with
    // error) for an unknown display or bad arguments. The handler runs on queue.
    virtual std::shared_ptr<DisplayStream> createDisplayStream(DisplayID display, int outputWidth,
                                                               int outputHeight, PixelFormat format,
                                                               const DisplayStreamProperties& properties,
                                                               dispatch::QueuePtr queue, FrameHandler handler,
                                                               Error* error = nullptr) = 0;

    // True for the service of a Wayland session without a screen-cast portal: it has no display, now or
    // later.
    virtual bool needsX11Session() const { return false; }

    // How a screen share that the user or the desktop controls ended without this process ending it.
    enum class CaptureEnd {
        Refused,  // the user cancelled the desktop's dialog
        Failed,   // the desktop could not share the screen
        Ended,    // the desktop ended the share (its "Stop sharing"), or the stream went away
    };
    using CaptureEndedHandler = std::function<void(CaptureEnd end, const std::string& reason)>;
    // Told when a share ended as above; called on a thread of the service, once per share; it should
    // only hand the news on. Services without such shares never call it.
    virtual void setCaptureEndedHandler(CaptureEndedHandler) {}
    // Ends what the service holds for capturing that no stream holds: a share the user has not granted
    // yet (the dialog closes) or one no stream was made of. The next request for the main display asks
    // anew. Called when capturing stops.
    virtual void endCapture() {}
    // The properties the next stream is to have, for a service that asks for them before its display
    // exists (whether the pointer is drawn in).
    virtual void prepareStream(const DisplayStreamProperties&) {}
    // The window that asks for the share, as the desktop's dialog is to name it ("x11:<hex id>"), or
    // empty.
    virtual void setParentWindow(const std::string&) {}

    // The process-wide service: forEnvironment(), chosen once.
    static std::shared_ptr<DisplayService> shared();
    // The service the environment asks for, by QUILLARAN_DISPLAY: "synthetic" the synthetic one, "x11"
    // x11Waiting(), "portal" screenCastPortal(). Otherwise, in a Wayland session (isWaylandSession),
    // screenCastPortal() when the session bus has a portal with the ScreenCast interface, else
    // waylandSession(); in other sessions x11Waiting().
    static std::shared_ptr<DisplayService> forEnvironment();
    // The service of a Wayland session without a portal: no main display, no display list, no streams.
    static std::shared_ptr<DisplayService> waylandSession();

    // Where the portal service keeps the portal's restore token between shares.
    struct TokenStore {
        std::function<std::string()> load;
        std::function<void(const std::string&)> save;
    };
    // The service of the desktop's screen-cast portal on the bus (none: the user's session bus), the
    // token kept in store (with no functions, the application's user defaults).
    static std::shared_ptr<DisplayService> screenCastPortal(std::optional<std::string> busAddress = {},
                                                            TokenStore store = {});
    // The X11 service on $DISPLAY whether or not a server answers now: without one it reports no main
    // display (logged once) and finds the server when it comes.
    static std::shared_ptr<DisplayService> x11Waiting();
    // An X11 service on the named display (empty: $DISPLAY); null when no X server answers.
    static std::shared_ptr<DisplayService> x11(const std::string& displayName = {});
};

// Whether the desktop session is a Wayland one: XDG_SESSION_TYPE is "wayland", or WAYLAND_DISPLAY is set
// and not empty.
bool isWaylandSession();

// Told when a connection of this layer to the X server breaks without this process cutting it: the
// server ended, or the link to it broke. Called on the thread that noticed, once per connection, with the
// display's name; it should only hand the news on. Without one the loss is only logged.
void setX11ServerLostHandler(std::function<void(const std::string& displayName)> handler);

inline constexpr const char* kDisplayErrorDomain = "DisplayErrorDomain";

// An error of the display layer with its description.
inline Error displayError(long code, const std::string& text) {
    return Error(kDisplayErrorDomain, code, {{foundation::kLocalizedDescriptionKey, text}});
}

}  // namespace quill::platform::display
