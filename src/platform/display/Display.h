#pragma once
// Displays and display streams: which displays exist, their bounds and modes, and a stream that
// delivers pictures of a display as NV12 frames on a serial dispatch queue, only when the screen changed
// and no faster than a minimum frame time. Two backends: X11 (the real screen) and a synthetic one
// (a moving or still test pattern, for tests). The process uses X11 on $DISPLAY; only
// QUILLARAN_DISPLAY=synthetic puts the synthetic one in its place. Without an X server answering there
// is no main display (id 0) until one comes. No call waits long on an X server that does not answer,
// and a server that goes away ends no thread and no process (see setX11ServerLostHandler).
//
// A Wayland session's screen cannot be captured: its X server, where there is one, is XWayland, whose
// root window holds only the X programs and shows black elsewhere. There the process gets a service
// without displays (needsX11Session), so that no black picture is ever sent.

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

    // True for the service of a Wayland session: it has no display, now or later, because screen
    // capture needs an X11 session.
    virtual bool needsX11Session() const { return false; }

    // The process-wide service: forEnvironment(), chosen once.
    static std::shared_ptr<DisplayService> shared();
    // The service the environment asks for: the synthetic one with QUILLARAN_DISPLAY=synthetic;
    // otherwise waylandSession() in a Wayland session (isWaylandSession), whatever QUILLARAN_DISPLAY
    // says; otherwise x11Waiting().
    static std::shared_ptr<DisplayService> forEnvironment();
    // The service of a Wayland session: no main display, no display list, no streams.
    static std::shared_ptr<DisplayService> waylandSession();
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
